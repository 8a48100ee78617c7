// The real program, started offscreen beside a copy of the sample calendar and driven through
// a preloaded library (ProgramDriver.cpp): it opens Donnees.ini at start, an edit typed into a
// cell reaches the file when the user quits.
#include "editor/IniFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

QStringList ReadLines(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
}

TEST(Program, OpensTheSampleCalendarAndSavesAnEditOnQuit) {
    int argc = 1;
    char name[] = "program_tests";
    char* argv[] = {name, nullptr};
    const QCoreApplication application(argc, argv);

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString program = dir.filePath("chronolith");
    ASSERT_TRUE(QFile::copy(CHRONOLITH_PROGRAM, program));
    for (const QString& file : QDir(CHRONOLITH_SAMPLE).entryList({"*.ini"}, QDir::Files))
        ASSERT_TRUE(QFile::copy(QDir(CHRONOLITH_SAMPLE).filePath(file), dir.filePath(file)));
    const QString report = dir.filePath("report.txt");

    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    // Whatever the user's locale, Qt speaks French.
    environment.insert("LANG", "en_US.UTF-8");
    environment.insert("LC_ALL", "C");
    environment.insert("LANGUAGE", "en");
    environment.insert("LD_PRELOAD", CHRONOLITH_DRIVER);
    environment.insert("CHRONOLITH_DRIVER_REPORT", report);
    // Sanitized builds: the driver is preloaded ahead of the sanitizer's runtime.
    environment.insert("ASAN_OPTIONS", environment.value("ASAN_OPTIONS") +
                                           ":verify_asan_link_order=0:detect_leaks=0");
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, {});
    ASSERT_TRUE(process.waitForStarted(10000));
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        FAIL() << "the program did not end";
    }
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 0);

    const QStringList lines = ReadLines(report);
    EXPECT_TRUE(lines.contains("title=Chronolith - Donnees.ini -"))
        << lines.join('\n').toStdString();
    EXPECT_TRUE(lines.contains("locale=fr_FR fr_FR"));
    EXPECT_TRUE(lines.contains("size=1,05 Kio"));
    EXPECT_TRUE(lines.contains(QString::fromUtf8("date=8 déc. 2024")));
    EXPECT_TRUE(lines.contains("number=1,5"));
    EXPECT_TRUE(lines.contains("translated=Voir dans :"));
    EXPECT_TRUE(lines.contains("heading=Item du menu"));
    EXPECT_TRUE(lines.contains("heading=Fichier Echelle"));
    EXPECT_TRUE(lines.contains("heading=Fichier Evenement"));
    EXPECT_TRUE(lines.contains("typed=Evenements2.ini"));
    EXPECT_TRUE(lines.contains("quit=done"));

    TIniFile data(dir.filePath("Donnees.ini"));
    EXPECT_EQ(data.ReadValue(QString::fromUtf8("Temps géologiques"), "Evenement", {}),
              QString("Evenements2.ini"));
    EXPECT_EQ(data.ReadValue("Grandes extinctions", "Evenement", {}), QString("Extinctions.ini"));
}

} // namespace
