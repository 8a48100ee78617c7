#include "editor/Paths.h"

#include "platform/graphics/Exceptions.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

void Touch(const QString& path) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
}

} // namespace

TEST(RelativePath, WindowsPathsBesideTheExecutable) {
    const QString base = QStringLiteral("E:\\Cal\\");
    EXPECT_EQ(RelativePath(base, "E:\\Cal\\Images\\x.jpg"), "Images\\x.jpg");
    // Drive and folder names compare without regard to case; the chosen spelling is stored.
    EXPECT_EQ(RelativePath(base, "e:\\cal\\IMAGES\\x.jpg"), "IMAGES\\x.jpg");
    EXPECT_EQ(RelativePath(base, "E:\\Autre\\y.htm"), "..\\Autre\\y.htm");
    EXPECT_EQ(RelativePath(base, "F:\\y.htm"), "F:\\y.htm");
    EXPECT_EQ(RelativePath(base, "E:\\Cal\\Donnees.ini"), "Donnees.ini");
    EXPECT_EQ(RelativePath("E:\\A\\B\\C\\", "E:\\A\\X\\Y\\f.png"), "..\\..\\X\\Y\\f.png");
    EXPECT_EQ(RelativePath("E:\\Cal\\", "E:\\"), "..\\");
    // Accented names compare without regard to case too.
    EXPECT_EQ(RelativePath("E:\\Données\\", "E:\\DONNÉES\\a.ini"), "a.ini");
}

TEST(RelativePath, DrivesAndColons) {
    // A share is a drive: \\server\share.
    EXPECT_EQ(RelativePath("\\\\srv\\share\\Cal\\", "\\\\SRV\\Share\\Cal\\Html\\a.htm"),
              "Html\\a.htm");
    EXPECT_EQ(RelativePath("\\\\srv\\share\\Cal\\", "\\\\srv\\other\\Cal\\a.htm"),
              "\\\\srv\\other\\Cal\\a.htm");
    EXPECT_EQ(RelativePath("E:\\Cal\\", "\\\\srv\\share\\a.htm"), "\\\\srv\\share\\a.htm");
    // The name starts after the last colon: E:f.txt is f.txt in E:'s current folder.
    EXPECT_EQ(RelativePath("E:\\Cal\\", "E:f.txt"), "..\\f.txt");
    // Without a drive on either side both lists start at the root.
    EXPECT_EQ(RelativePath("\\home\\u\\Cal\\", "\\home\\u\\Cal\\Images\\x.jpg"), "Images\\x.jpg");
}

TEST(RelativePath, CaseSensitiveFolders) {
    EXPECT_EQ(RelativePath("\\home\\u\\Cal\\", "\\home\\u\\cal\\x.jpg", Qt::CaseSensitive),
              "..\\cal\\x.jpg");
    EXPECT_EQ(RelativePath("\\home\\u\\Cal\\", "\\home\\u\\Cal\\x.jpg", Qt::CaseSensitive),
              "x.jpg");
}

TEST(StoredPath, NativeFilesBecomeRelativeWithBackslashes) {
    const QString base = QStringLiteral("/home/u/Cal/");
    EXPECT_EQ(StoredPath(base, "/home/u/Cal/Images/x.jpg"), "Images\\x.jpg");
    EXPECT_EQ(StoredPath("/home/u/Cal", "/home/u/Cal/Images/x.jpg"), "Images\\x.jpg");
    EXPECT_EQ(StoredPath(base, "/home/u/Autre/y.htm"), "..\\Autre\\y.htm");
    EXPECT_EQ(StoredPath(base, "/srv/z.htm"), "..\\..\\..\\srv\\z.htm");
    EXPECT_EQ(StoredPath(base, "/home/u/Cal/./Images/../Html/p.htm"), "Html\\p.htm");
    EXPECT_EQ(StoredPath("/", "/home/u/x.jpg"), "home\\u\\x.jpg");
    // Another case is another folder here.
    EXPECT_EQ(StoredPath(base, "/home/u/cal/Images/x.jpg"), "..\\cal\\Images\\x.jpg");
    // A colon is part of the name, not a drive.
    EXPECT_EQ(StoredPath(base, "/home/u/Cal/Images/a:b.jpg"), "Images\\a:b.jpg");
}

TEST(StoredPath, AgreesWithTheWindowsFormWhereBothApply) {
    const QString base = QStringLiteral("/home/u/Cal/");
    for (const char* file : {"/home/u/Cal/Images/x.jpg", "/home/u/Autre/y.htm", "/z.ini",
                             "/home/u/Cal/a/b/c/d.png", "/home/v/Cal/e.ini"}) {
        QString windowsBase = base, windowsFile = QString::fromUtf8(file);
        windowsBase.replace(u'/', u'\\');
        windowsFile.replace(u'/', u'\\');
        EXPECT_EQ(StoredPath(base, QString::fromUtf8(file)),
                  RelativePath(windowsBase, windowsFile, Qt::CaseSensitive))
            << file;
    }
}

TEST(StoredPath, BackslashInANameCannotBeStored) {
    try {
        StoredPath("/home/u/Cal/", "/home/u/Cal/Images/a\\b.jpg");
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_NE(e.Message().find("a\\b.jpg"), std::string::npos) << e.Message();
    }
    // In the shared part it does no harm: both sides split alike.
    EXPECT_EQ(StoredPath("/home/we\\ird/Cal/", "/home/we\\ird/Cal/x.jpg"), "x.jpg");
}

TEST(NativePath, StoredNamesBecomeNativePaths) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString base = dir.path() + u'/';
    Touch(base + "Images/Cambrien.png");
    Touch(base + "Echelle.ini");
    Touch(dir.path() + "/../" + QFileInfo(dir.path()).fileName() + "-Autre/y.htm");

    EXPECT_EQ(NativePath(base, "Images\\Cambrien.png"), base + "Images/Cambrien.png");
    EXPECT_EQ(NativePath(dir.path(), "Echelle.ini"), base + "Echelle.ini");
    // Names written on Windows in another case find the file on disk.
    EXPECT_EQ(NativePath(base, "images\\CAMBRIEN.PNG"), base + "Images/Cambrien.png");
    EXPECT_EQ(NativePath(base, "ECHELLE.INI"), base + "Echelle.ini");
    // A missing file keeps its stored spelling (the first save creates it).
    EXPECT_EQ(NativePath(base, "images\\Nouveau.png"), base + "Images/Nouveau.png");
    EXPECT_EQ(NativePath(base, "Nouvelle.ini"), base + "Nouvelle.ini");
    // A name from another drive is appended as it is and names no file.
    EXPECT_EQ(NativePath(base, "F:\\y.htm"), base + "F:/y.htm");
    EXPECT_FALSE(QFileInfo::exists(NativePath(base, "F:\\y.htm")));
    // Parent folders.
    const QString other = "..\\" + QFileInfo(dir.path()).fileName() + "-Autre\\Y.HTM";
    EXPECT_TRUE(QFileInfo::exists(NativePath(base, other)));
    QDir(dir.path() + "-Autre").removeRecursively();
}

TEST(NativePath, AmbiguousCaseIsLeftAlone) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString base = dir.path() + u'/';
    Touch(base + "A.ini");
    Touch(base + "a.ini");
    EXPECT_EQ(NativePath(base, "A.INI"), base + "A.INI");
    EXPECT_EQ(NativePath(base, "a.ini"), base + "a.ini");
}

TEST(NativePath, RoundTripThroughTheStoredForm) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString base = dir.path() + "/Cal/";
    for (const QString& file : {base + "Images/Trias bio.jpg", base + "Html/é/p.htm",
                                dir.path() + "/Autre/y.htm", base + "Images/a:b.png"}) {
        Touch(file);
        const QString stored = StoredPath(base, file);
        EXPECT_EQ(QFileInfo(NativePath(base, stored)).canonicalFilePath(),
                  QFileInfo(file).canonicalFilePath())
            << stored.toStdString();
    }
}

TEST(BaseFolder, IsTheExecutablesFolder) {
    int argc = 1;
    char name[] = "paths_tests";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    const QString folder = BaseFolder();
    EXPECT_TRUE(folder.endsWith(u'/'));
    EXPECT_EQ(folder, QFileInfo(QFileInfo("/proc/self/exe").canonicalFilePath()).path() + u'/');
}

TEST(ColorCell, ReadsTheCellAsA32BitInteger) {
    EXPECT_EQ(ColorCellValue(""), 0u);
    EXPECT_EQ(ColorCellValue("255"), 255u);
    EXPECT_EQ(ColorCellValue("16711680"), 16711680u);
    EXPECT_EQ(ColorCellValue("  +42"), 42u);
    EXPECT_EQ(ColorCellValue("$FF0000"), 16711680u);
    EXPECT_EQ(ColorCellValue("x10"), 16u);
    EXPECT_EQ(ColorCellValue("0X1f"), 31u);
    EXPECT_EQ(ColorCellValue("-1"), 0xFFFFFFFFu);
    EXPECT_EQ(ColorCellValue("$FFFFFFFF"), 0xFFFFFFFFu);
}

TEST(ColorCell, BadCellsRaiseTheFrenchMessage) {
    for (const char* text : {"abc", "12 ", " ", "4,5", "0x", "$", "2147483648", "rouge é"}) {
        try {
            ColorCellValue(QString::fromUtf8(text));
            ADD_FAILURE() << "no exception for " << text;
        } catch (const EConvertError& e) {
            EXPECT_EQ(e.Message(),
                      std::string("'") + text + "' n'est pas une valeur entière correcte");
        }
    }
}

TEST(ColorCell, PlatformValuesAndQColor) {
    EXPECT_EQ(ToQColor(255), QColor(Qt::red));
    EXPECT_EQ(ToQColor(16711680), QColor(Qt::blue));
    EXPECT_EQ(ToQColor(0x00FF00), QColor(Qt::green));
    EXPECT_EQ(ToQColor(0), QColor(Qt::black));
    EXPECT_EQ(FromQColor(Qt::red), 255u);
    EXPECT_EQ(FromQColor(Qt::blue), 16711680u);
    EXPECT_EQ(FromQColor(QColor(0x12, 0x34, 0x56)), 0x563412u);
    // The top byte marks system colours; it is no component.
    EXPECT_EQ(ToQColor(0xFF00000Fu), QColor(15, 0, 0));
    EXPECT_EQ(ColorCellText(FromQColor(Qt::blue)), "16711680");
    EXPECT_EQ(ColorCellText(0), "0");
}
