#include "EditorTestSupport.h"
#include "editor/IniFile.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

namespace {

// A writer killed at any moment leaves the old or the new file, whole.
TEST(SaveCrashTest, KilledWriterLeavesOldOrNewFile) {
    QTemporaryDir dir;
    const QString path = dir.filePath("echelle.ini");
    QByteArray base;
    for (int section = 0; section < 3000; ++section) {
        base += "[" + QByteArray::number(section) + "]\r\n";
        for (const char* key : {"eon", "ere", "systeme", "serie", "etage", "couleur"}) {
            base += QByteArray(key) + "=Valeur de la cl\xE9 " + key + "\r\n";
        }
    }
    QByteArray versions[2];
    for (int i = 0; i < 2; ++i) {
        WriteBytes(path, base);
        TIniFile(path).WriteValue("500", "eon", QString(300, i == 0 ? u'a' : u'b'));
        versions[i] = ReadBytes(path);
    }
    ASSERT_NE(versions[0], versions[1]);
    for (int round = 0; round < 6; ++round) {
        QProcess child;
        child.start(CHRONOLITH_SAVE_CHILD, {path});
        ASSERT_TRUE(child.waitForStarted());
        // Let it write a few times, then kill it at a moment that differs from round to round.
        int writes = 0;
        while (writes < 3 && child.waitForReadyRead(10000)) {
            writes += static_cast<int>(child.readAll().count('\n'));
        }
        ASSERT_GE(writes, 3);
        QThread::usleep(1000 + 1700 * round);
        child.kill();
        child.waitForFinished();
        const QByteArray now = ReadBytes(path);
        EXPECT_TRUE(now == versions[0] || now == versions[1])
            << "round " << round << ": " << now.size() << " bytes";
    }
}

} // namespace
