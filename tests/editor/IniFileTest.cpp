#include "editor/IniFile.h"
#include "EditorTestSupport.h"
#include "platform/graphics/Exceptions.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringEncoder>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A scale file as the calendar's Windows programs write it: CRLF, Windows-1252 accents (0xE9 é,
// 0xEF ï), a comment, blank lines, odd spacing, a repeated section and a repeated key.
const QByteArray kWindowsFile = "; Echelle des temps\r\n"
                                "\r\n"
                                "[541]\r\n"
                                "eon=Phan\xE9rozo\xEFque\r\n"
                                "  Ere  =  Pal\xE9ozo\xEFque  \r\n"
                                "couleur=255\r\n"
                                "couleur=999\r\n"
                                "\r\n"
                                "  [4,5]\r\n"
                                "eon = Pr\xE9"
                                "cambrien\r\n"
                                "\r\n"
                                "[541]\r\n"
                                "eon=Doublon\r\n";

class IniFileTest : public ::testing::Test {
protected:
    QString PathOf(const QString& name) const { return dir.filePath(name); }
    QString MakeFile(const QString& name, const QByteArray& bytes) const {
        const QString path = PathOf(name);
        WriteBytes(path, bytes);
        return path;
    }

    QTemporaryDir dir;
};

TEST_F(IniFileTest, ReadsAsProfileFilesAreRead) {
    TIniFile ini(MakeFile("e.ini", kWindowsFile));
    QStringList sections{"stale"};
    ini.ListSections(sections);
    EXPECT_EQ(sections, QStringList({"541", "4,5"}));
    EXPECT_EQ(ini.ReadValue("541", "eon", ""), QString("Phanérozoïque"));
    EXPECT_EQ(ini.ReadValue("541", "ERE", ""), QString("Paléozoïque"));
    EXPECT_EQ(ini.ReadValue("541", "couleur", ""), QString("255"));
    EXPECT_EQ(ini.ReadValue("4,5", "EON", ""), QString("Précambrien"));
    EXPECT_EQ(ini.ReadValue("541", "serie", "def"), QString("def"));
    EXPECT_EQ(ini.ReadValue("10", "eon", "def"), QString("def"));

    TIniFile missing(PathOf("missing.ini"));
    missing.ListSections(sections);
    EXPECT_TRUE(sections.isEmpty());
    EXPECT_EQ(missing.ReadValue("a", "b", "x"), QString("x"));
    EXPECT_FALSE(QFile::exists(PathOf("missing.ini")));
}

TEST_F(IniFileTest, KeepsWindowsFileByteForByte) {
    const QString path = MakeFile("e.ini", kWindowsFile);
    TIniFile ini(path);
    // Same values, whatever the case and spacing: nothing to write.
    ini.WriteValue("541", "EON", "Phanérozoïque");
    ini.WriteValue("541", "ere", " Paléozoïque ");
    ini.ReplaceSection("4,5", "4,5", {{"eon", "Précambrien"}});
    ini.RemoveSection("1000");
    EXPECT_EQ(ReadBytes(path), kWindowsFile);

    // One changed value changes that value only, in Windows-1252, spacing kept.
    ini.WriteValue("541", "ere", "Cénozoïque");
    QByteArray expected = kWindowsFile;
    expected.replace("  Ere  =  Pal\xE9ozo\xEFque  ", "  Ere  =  C\xE9nozo\xEFque");
    EXPECT_EQ(ReadBytes(path), expected);

    // A new key follows the section's last key; a new section follows the last section.
    ini.WriteValue("4,5", "ere", "");
    ini.WriteValue("10", "etage", "Début");
    expected.replace("eon = Pr\xE9"
                     "cambrien\r\n",
                     "eon = Pr\xE9"
                     "cambrien\r\nere=\r\n");
    // The file separates its sections by blank lines: so is the new one.
    expected += "\r\n[10]\r\netage=D\xE9"
                "but\r\n";
    EXPECT_EQ(ReadBytes(path), expected);
    EXPECT_EQ(ini.ReadValue("4,5", "ere", "x"), QString(""));

    // Removal takes the first of two equal sections, lines and all; the second then answers.
    ini.RemoveSection("541");
    expected.replace("[541]\r\neon=Phan\xE9rozo\xEFque\r\n  Ere  =  C\xE9nozo\xEFque\r\n"
                     "couleur=255\r\ncouleur=999\r\n\r\n",
                     "");
    EXPECT_EQ(ReadBytes(path), expected);
    EXPECT_EQ(ini.ReadValue("541", "eon", ""), QString("Doublon"));
}

TEST_F(IniFileTest, ChoosesAndKeepsEncodingAndLineEnds) {
    // New files: Windows-1252 and CRLF, for the calendar's Windows programs.
    const QString fresh = PathOf("new.ini");
    TIniFile(fresh).WriteValue("Début", "eon", "Phanérozoïque €");
    EXPECT_EQ(ReadBytes(fresh), QByteArray("[D\xE9"
                                           "but]\r\neon=Phan\xE9rozo\xEFque \x80\r\n"));

    // A UTF-8 file stays UTF-8, LF stays LF, and a last line without a line end gets one.
    const QString utf8 = MakeFile("u.ini", "[a]\nx=\xC3\xA9t\xC3\xA9");
    TIniFile(utf8).WriteValue("a", "y", "été");
    EXPECT_EQ(ReadBytes(utf8), QByteArray("[a]\nx=\xC3\xA9t\xC3\xA9\ny=\xC3\xA9t\xC3\xA9\n"));
    const QString bom = MakeFile("b.ini", "\xEF\xBB\xBF[a]\r\nx=1\r\n");
    TIniFile(bom).WriteValue("a", "x", "ü");
    EXPECT_EQ(ReadBytes(bom), QByteArray("\xEF\xBB\xBF[a]\r\nx=\xC3\xBC\r\n"));
}

// Each encoding is read and written as such; lines that a write does not touch keep their
// bytes, whatever they are.
TEST_F(IniFileTest, EveryEncodingIsKept) {
    struct TCase {
        const char* name;
        QStringConverter::Encoding encoding;
        QByteArray bom;
    };
    const TCase cases[] = {
        {"utf8", QStringConverter::Utf8, ""},
        {"utf8bom", QStringConverter::Utf8, "\xEF\xBB\xBF"},
        {"utf16le", QStringConverter::Utf16LE, "\xFF\xFE"},
        {"utf16be", QStringConverter::Utf16BE, "\xFE\xFF"},
        {"utf16le-nobom", QStringConverter::Utf16LE, ""},
        {"utf16be-nobom", QStringConverter::Utf16BE, ""},
    };
    const QString before = "; Échelle ω\r\n[541]\r\neon=Phanérozoïque\r\nere = Paléozoïque\r\n"
                           "[4,5]\r\neon=Précambrien\r\n";
    const QString after = "; Échelle ω\r\n[541]\r\neon=Phanérozoïque\r\nere = Cénozoïque ≈ ω\r\n"
                          "[4,5]\r\neon=Précambrien\r\n[2,58]\r\nserie=Pléistocène\u202F!\r\n";
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        QStringEncoder encoder(c.encoding);
        const QByteArray original = c.bom + encoder.encode(before);
        const QString path = MakeFile(QString(c.name) + ".ini", original);
        TIniFile ini(path);
        QStringList sections;
        ini.ListSections(sections);
        EXPECT_EQ(sections, QStringList({"541", "4,5"}));
        EXPECT_EQ(ini.ReadValue("541", "ere", ""), QString("Paléozoïque"));
        ini.WriteValue("4,5", "eon", "Précambrien");
        EXPECT_EQ(ReadBytes(path), original);
        ini.WriteValue("541", "ere", "Cénozoïque ≈ ω");
        ini.ReplaceSection("", "2,58", {{"serie", "Pléistocène\u202F!"}});
        EXPECT_EQ(ReadBytes(path), c.bom + encoder.encode(after));
        EXPECT_EQ(TIniFile(path).ReadValue("2,58", "serie", ""), QString("Pléistocène\u202F!"));
    }
}

// A Windows-1252 file never changes its encoding: a character it cannot hold refuses the whole
// write with a message naming it, and two narrow spaces become the no-break space.
TEST_F(IniFileTest, Windows1252RefusesWhatItCannotHold) {
    const QString path = MakeFile("w.ini", kWindowsFile);
    TIniFile ini(path);
    const struct {
        QString text;
        QString shown;
    } refused[] = {{"≈", "«\u00A0≈\u00A0» (U+2248)"},
                   {"→", "«\u00A0→\u00A0» (U+2192)"},
                   {"ω", "«\u00A0ω\u00A0» (U+03C9)"},
                   {"x😀", "«\u00A0😀\u00A0» (U+1F600)"}};
    for (const auto& [text, shown] : refused) {
        try {
            // The refused character comes after values that would fit: nothing is written.
            ini.ReplaceSection("541", "541,5", {{"eon", "Autre"}, {"ere", text}});
            ADD_FAILURE() << "accepted " << text.toStdString();
        } catch (const Exception& error) {
            const QString message = QString::fromUtf8(error.what());
            EXPECT_TRUE(message.contains(shown)) << message.toStdString();
            EXPECT_TRUE(message.contains(path)) << message.toStdString();
            EXPECT_TRUE(message.contains("Windows-1252")) << message.toStdString();
        }
        EXPECT_THROW(ini.WriteValue("541", text, "x"), Exception);
        EXPECT_EQ(ReadBytes(path), kWindowsFile);
        EXPECT_EQ(ini.ReadValue("541", "eon", ""), QString("Phanérozoïque"));
    }
    // Narrow no-break space and figure space: written as U+00A0, read back as it.
    ini.WriteValue("4,5", "ere", "1\u2007000\u202F!");
    QByteArray expected = kWindowsFile;
    expected.replace("cambrien\r\n", "cambrien\r\nere=1\xA0"
                                     "000\xA0!\r\n");
    EXPECT_EQ(ReadBytes(path), expected);
    EXPECT_EQ(TIniFile(path).ReadValue("4,5", "ere", ""), QString("1\u00A0"
                                                                  "000\u00A0!"));
    // Writing the same text again changes nothing.
    ini.WriteValue("4,5", "ere", "1\u2007000\u202F!");
    EXPECT_EQ(ReadBytes(path), expected);

    // Unicode files hold every character, but not half of one.
    const QString utf8 = MakeFile("u.ini", "[a]\nx=\xC3\xA9\n");
    EXPECT_THROW(TIniFile(utf8).WriteValue("a", "x", QString(QChar(0xD800))), Exception);
    EXPECT_EQ(ReadBytes(utf8), QByteArray("[a]\nx=\xC3\xA9\n"));
}

// A file with zero bytes that is not UTF-16 is no profile file: read as empty, never written.
TEST_F(IniFileTest, BinaryFileIsNeverWritten) {
    const QByteArray bytes("[a]\r\nx=1\0\0\x01\r\n", 12);
    const QString path = MakeFile("bin.ini", bytes);
    TIniFile ini(path);
    QStringList sections;
    ini.ListSections(sections);
    EXPECT_TRUE(sections.isEmpty());
    EXPECT_THROW(ini.WriteValue("a", "x", "2"), Exception);
    EXPECT_THROW(ini.ReplaceSection("", "b", {{"y", "2"}}), Exception);
    EXPECT_EQ(ReadBytes(path), bytes);
}

TEST_F(IniFileTest, LimitsOfTheOldStoreAreGone) {
    const QString path = PathOf("big.ini");
    TIniFile ini(path);
    // Values are not cut at 2047 characters, and line breaks cannot split a value.
    const QString longValue = QString(3000, u'x') + "fin";
    ini.WriteValue("1", "eon", longValue);
    ini.WriteValue("1", "ere", "deux\r\nlignes\n[2]");
    TIniFile again(path);
    EXPECT_EQ(again.ReadValue("1", "eon", ""), longValue);
    EXPECT_EQ(again.ReadValue("1", "ere", ""), QString("deux  lignes [2]"));

    // A listing longer than 16 384 bytes is whole; an empty name is listed and hides nothing.
    QByteArray bytes = "[]\r\nx=1\r\n";
    QStringList names;
    for (int i = 0; i < 5000; ++i) {
        names.append(QString::number(i) + ",5");
        bytes += "[" + names.back().toLatin1() + "]\r\n";
    }
    QStringList listed;
    TIniFile(MakeFile("many.ini", bytes)).ListSections(listed);
    EXPECT_EQ(listed, QStringList{""} + names);
}

// A section's name is what its brackets hold, spaces included: each is listed, read and written
// under its own name, and a name of spaces, kept, can still be written.
TEST_F(IniFileTest, NamesKeepTheirSpaces) {
    const QString path = MakeFile("n.ini", "[12]\r\nx=a\r\n[ 12]\r\nx=b\r\n[12 ]\r\nx=c\r\n"
                                           "[ ]\r\nx=d\r\n");
    TIniFile ini(path);
    QStringList sections;
    ini.ListSections(sections);
    EXPECT_EQ(sections, QStringList({"12", " 12", "12 ", " "}));
    EXPECT_EQ(ini.ReadValue(" 12", "x", ""), QString("b"));
    EXPECT_EQ(ini.ReadValue("12 ", "x", ""), QString("c"));
    ini.ReplaceSection(" ", " ", {{"x", "e"}});
    ini.ReplaceSection("12 ", "13", {{"x", "f"}});
    EXPECT_EQ(ReadBytes(path), QByteArray("[12]\r\nx=a\r\n[ 12]\r\nx=b\r\n[13]\r\nx=f\r\n"
                                          "[ ]\r\nx=e\r\n"));
    EXPECT_THROW(ini.ReplaceSection("13", "  ", {}), Exception);
}

TEST_F(IniFileTest, SeesChangesMadeByOthers) {
    const QString path = MakeFile("s.ini", "[a]\r\nx=1\r\n");
    TIniFile ini(path);
    EXPECT_EQ(ini.ReadValue("a", "x", ""), QString("1"));
    WriteBytes(path, "[a]\r\nx=22\r\n[b]\r\ny=3\r\n");
    EXPECT_EQ(ini.ReadValue("a", "x", ""), QString("22"));
    // Another program replaces the file, same size; our write keeps its edit.
    QFile::remove(path);
    WriteBytes(path, "[a]\r\nx=44\r\n[c]\r\ny=3\r\n");
    ini.WriteValue("a", "z", "5");
    EXPECT_EQ(ReadBytes(path), QByteArray("[a]\r\nx=44\r\nz=5\r\n[c]\r\ny=3\r\n"));
}

TEST_F(IniFileTest, RenamesInPlaceAndKeepsOtherKeys) {
    const QByteArray start = "[1]\r\neon=a\r\n; note\r\nautre=z\r\n[2]\r\neon=b\r\n";
    const QString path = MakeFile("r.ini", start);
    TIniFile ini(path);
    ini.ReplaceSection("1", "1,5", {{"eon", "A"}, {"ere", ""}});
    QByteArray expected = "[1,5]\r\neon=A\r\n; note\r\nautre=z\r\nere=\r\n[2]\r\neon=b\r\n";
    EXPECT_EQ(ReadBytes(path), expected);
    // Onto another section, or to no name: refused, both sections whole.
    for (const QString& name : {QString("2"), QString(""), QString("   ")}) {
        EXPECT_THROW(ini.ReplaceSection("1,5", name, {{"eon", "B"}}), Exception);
        EXPECT_THROW(ini.ReplaceSection("", name, {{"eon", "B"}}), Exception);
        EXPECT_EQ(ReadBytes(path), expected);
    }
    try {
        ini.ReplaceSection("1,5", "2", {});
    } catch (const Exception& error) {
        EXPECT_EQ(QString::fromUtf8(error.what()),
                  "Une autre ligne de " + path +
                      " porte déjà le nom «\u00A02\u00A0» : la ligne n'est pas "
                      "enregistrée.");
    }
    EXPECT_THROW(ini.WriteValue(" ", "eon", "x"), Exception);
    // A change of case is the section's own name.
    ini.ReplaceSection("1,5", "1,5", {{"eon", "A2"}});
    expected.replace("eon=A\r\n", "eon=A2\r\n");
    EXPECT_EQ(ReadBytes(path), expected);
    // Keys written only where missing keep the file's values.
    ini.ReplaceSection("2", "2", {}, {{"eon", "grille"}, {"ere", "vide"}});
    expected += "ere=vide\r\n";
    EXPECT_EQ(ReadBytes(path), expected);
    // Without an old name, or with one the file no longer has: a new section.
    ini.ReplaceSection("", "3", {{"eon", "C"}});
    ini.ReplaceSection("9", "4", {{"eon", "D"}}, {{"ere", "E"}});
    expected += "[3]\r\neon=C\r\n[4]\r\neon=D\r\nere=E\r\n";
    EXPECT_EQ(ReadBytes(path), expected);
}

TEST_F(IniFileTest, RefusedWritesChangeNothing) {
    const QString path = MakeFile("ro.ini", kWindowsFile);
    ::chmod(QFile::encodeName(path).constData(), 0444);
    OpenToAll(dir.path());
    const QString expected = "Impossible d'écrire dans " + path;
    {
        const TUnprivileged user;
        TIniFile ini(path);
        for (int attempt = 0; attempt < 3; ++attempt) {
            try {
                if (attempt == 0) ini.WriteValue("541", "eon", "X");
                if (attempt == 1) ini.RemoveSection("4,5");
                if (attempt == 2) ini.ReplaceSection("541", "542", {{"eon", "Y"}});
                ADD_FAILURE() << "write accepted";
            } catch (const Exception& error) {
                EXPECT_EQ(QString::fromUtf8(error.what()), expected);
            }
            EXPECT_EQ(ReadBytes(path), kWindowsFile);
            // The refused change is not kept in memory either.
            EXPECT_EQ(ini.ReadValue("541", "eon", ""), QString("Phanérozoïque"));
        }
        // A missing folder refuses too.
        const QString nowhere = PathOf("none/x.ini");
        EXPECT_THROW(TIniFile(nowhere).WriteValue("a", "b", "c"), Exception);
    }
    // Permissions survive a write.
    ::chmod(QFile::encodeName(path).constData(), 0640);
    TIniFile(path).WriteValue("541", "eon", "X");
    EXPECT_EQ(QFileInfo(path).permissions() & 0x7777,
              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser |
                  QFileDevice::WriteUser | QFileDevice::ReadGroup);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList({"ro.ini"}));
}

TEST_F(IniFileTest, UnreadableFileIsNeverOverwritten) {
    // Writable but not readable by the user: a write must not replace what it cannot see.
    const QString path = MakeFile("secret.ini", "[a]\r\nx=1\r\n");
    if (geteuid() == 0) ::chown(QFile::encodeName(path).constData(), 65534, 65534);
    ::chmod(QFile::encodeName(path).constData(), 0200);
    ::chmod(QFile::encodeName(dir.path()).constData(), 0777);
    const TUnprivileged user;
    TIniFile ini(path);
    QStringList list;
    ini.ListSections(list);
    EXPECT_TRUE(list.isEmpty());
    EXPECT_THROW(ini.WriteValue("b", "y", "2"), Exception);
    EXPECT_THROW(ini.ReplaceSection("", "b", {{"y", "2"}}), Exception);
    EXPECT_EQ(QFileInfo(path).size(), 10);
}

} // namespace
