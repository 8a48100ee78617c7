// Whole-file writes: where the file can be replaced it is, keeping its permissions and owner;
// where a replacement would fail or lose something (a folder that takes no new file, hard
// links, an owner a new file cannot have) the file is written in place.
#include "editor/FileWrite.h"
#include "EditorTestSupport.h"
#include "editor/IniFile.h"
#include "platform/graphics/Exceptions.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uid_t kNobody = 65534;

struct stat StatOf(const QString& path) {
    struct stat st {};
    ::lstat(QFile::encodeName(path).constData(), &st);
    return st;
}

class FileWriteTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        path = dir.filePath("Echelle.ini");
        WriteBytes(path, kOld);
    }
    void Chmod(const QString& name, mode_t mode) const {
        ::chmod(QFile::encodeName(name).constData(), mode);
    }
    QStringList Listing() const { return QDir(dir.path()).entryList(QDir::Files | QDir::System); }

    const QByteArray kOld = "[1]\r\neon=ancien\r\n";
    const QByteArray kNew = "[1]\r\neon=nouveau contenu plus long\r\n";
    QTemporaryDir dir;
    QString path;
};

TEST_F(FileWriteTest, ReplacementKeepsPermissions) {
    Chmod(path, 0640);
    const auto inode = StatOf(path).st_ino;
    TWriteWay way{};
    ASSERT_TRUE(WriteWholeFile(path, kNew, kOld, &way));
    EXPECT_EQ(way, TWriteWay::wwReplaced);
    EXPECT_EQ(ReadBytes(path), kNew);
    EXPECT_NE(StatOf(path).st_ino, inode);
    EXPECT_EQ(StatOf(path).st_mode & 07777, 0640u);
    EXPECT_EQ(Listing(), QStringList({"Echelle.ini"}));
}

// A shared folder: the user may write the file but make no file beside it.
TEST_F(FileWriteTest, ReadOnlyFolderWritesInPlace) {
    Chmod(path, 0666);
    const QString fresh = dir.filePath("Nouveau.ini");
    const QString locked = dir.filePath("Verrou.ini");
    WriteBytes(locked, kOld);
    Chmod(locked, 0444);
    Chmod(dir.path(), 0555);
    const auto inode = StatOf(path).st_ino;
    {
        const TUnprivileged user;
        TWriteWay way{};
        ASSERT_TRUE(WriteWholeFile(path, kNew, kOld, &way));
        EXPECT_EQ(way, TWriteWay::wwInPlace);
        EXPECT_EQ(ReadBytes(path), kNew);
        // Shorter again: the old tail goes.
        ASSERT_TRUE(WriteWholeFile(path, kOld, kNew, &way));
        EXPECT_EQ(ReadBytes(path), kOld);
        // What cannot be written at all stays as it was.
        EXPECT_FALSE(WriteWholeFile(fresh, kNew, {}));
        EXPECT_FALSE(WriteWholeFile(locked, kNew, kOld));
        EXPECT_EQ(ReadBytes(locked), kOld);

        // The store saves such a file, and the refusals say so.
        TIniFile ini(path);
        ini.WriteValue("1", "ere", "x");
        EXPECT_EQ(ReadBytes(path), kOld + "ere=x\r\n");
        try {
            TIniFile(fresh).WriteValue("1", "eon", "x");
            ADD_FAILURE() << "new file made in a read-only folder";
        } catch (const Exception& error) {
            EXPECT_EQ(QString::fromUtf8(error.what()), "Impossible d'écrire dans " + fresh);
        }
    }
    EXPECT_EQ(StatOf(path).st_ino, inode);
    Chmod(dir.path(), 0755);
    EXPECT_EQ(Listing(), QStringList({"Echelle.ini", "Verrou.ini"}));
}

TEST_F(FileWriteTest, HardLinksAndSymbolicLinksAreKept) {
    const QString other = dir.filePath("Autre.ini");
    ASSERT_EQ(::link(QFile::encodeName(path).constData(), QFile::encodeName(other).constData()), 0);
    TWriteWay way{};
    ASSERT_TRUE(WriteWholeFile(other, kNew, kOld, &way));
    EXPECT_EQ(way, TWriteWay::wwInPlace);
    EXPECT_EQ(ReadBytes(path), kNew);
    EXPECT_EQ(StatOf(path).st_nlink, 2u);

    const QString single = dir.filePath("Seul.ini");
    const QString alias = dir.filePath("Lien.ini");
    WriteBytes(single, kOld);
    ASSERT_TRUE(QFile::link(single, alias));
    ASSERT_TRUE(WriteWholeFile(alias, kNew, kOld, &way));
    EXPECT_EQ(way, TWriteWay::wwReplaced);
    EXPECT_TRUE(S_ISLNK(StatOf(alias).st_mode));
    EXPECT_EQ(ReadBytes(single), kNew);
}

TEST_F(FileWriteTest, OwnerAndGroupAreKept) {
    if (geteuid() != 0) GTEST_SKIP() << "needs two users";
    // Root saving a user's file: the new file is given to the user.
    ASSERT_EQ(::chown(QFile::encodeName(path).constData(), kNobody, kNobody), 0);
    Chmod(path, 0640);
    TWriteWay way{};
    ASSERT_TRUE(WriteWholeFile(path, kNew, kOld, &way));
    EXPECT_EQ(way, TWriteWay::wwReplaced);
    EXPECT_EQ(StatOf(path).st_uid, kNobody);
    EXPECT_EQ(StatOf(path).st_gid, kNobody);
    EXPECT_EQ(StatOf(path).st_mode & 07777, 0640u);

    // A user saving another user's file that he may write: written in place, owner kept.
    const QString shared = dir.filePath("Commun.ini");
    WriteBytes(shared, kOld);
    Chmod(shared, 0666);
    Chmod(dir.path(), 0777);
    const auto inode = StatOf(shared).st_ino;
    {
        const TUnprivileged user;
        ASSERT_TRUE(WriteWholeFile(shared, kNew, kOld, &way));
    }
    EXPECT_EQ(way, TWriteWay::wwInPlace);
    EXPECT_EQ(ReadBytes(shared), kNew);
    EXPECT_EQ(StatOf(shared).st_uid, 0u);
    EXPECT_EQ(StatOf(shared).st_ino, inode);
    EXPECT_EQ(Listing(), QStringList({"Commun.ini", "Echelle.ini"}));
}

} // namespace
