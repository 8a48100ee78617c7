// The main window driven through the real grid with key and mouse events, checking the calendar
// file on disk after each step.
#include "EditorTestSupport.h"
#include "editor/EditU1.h"
#include "platform/graphics/Exceptions.h"
#include "platform/ui/Application.h"
#include "platform/ui/StringGrid.h"

#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFile>
#include <QFontInfo>
#include <QKeySequence>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPixmap>
#include <QScrollBar>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolTip>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>

namespace {

// Sorted: 2,5 (row 1), 4,5 (row 2), 10 (row 3).
const QByteArray kScaleFile = "[10]\r\n"
                              "eon=Phan\xE9rozo\xEFque\r\n"
                              "couleur=16711680\r\n"
                              "\r\n"
                              "[2,5]\r\n"
                              "eon=Arch\xE9"
                              "en\r\n"
                              "\r\n"
                              "[4,5]\r\n"
                              "eon=Had\xE9"
                              "en\r\n"
                              "couleur=255\r\n";

class FormTest : public ::testing::Test {
protected:
    void SetUp() override {
        form = std::make_unique<TForm1>();
        // Showing the window opens Donnees.ini in the base folder: none there yet.
        form->BaseDir = dir.path() + "/";
        form->show();
        grid = form->StringGrid1;
    }

    void OpenScale(const QByteArray& bytes, const QString& name = "echelle.ini") {
        scalePath = dir.filePath(name);
        WriteBytes(scalePath, bytes);
        form->ScaleFile = std::make_unique<TIniFile>(scalePath);
        form->LoadTable(form->ScaleFile.get());
    }
    void OpenData(const QByteArray& bytes) {
        dataPath = dir.filePath("Donnees.ini");
        WriteBytes(dataPath, bytes);
        form->DataFile = std::make_unique<TIniFile>(dataPath);
        form->LoadTable(form->DataFile.get());
    }

    QPoint CellCenter(int col, int row) const {
        return grid->visualRect(grid->model()->index(row - grid->FixedRows(), col)).center();
    }
    void Click(int col, int row) {
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, CellCenter(col, row));
    }
    // Typed characters; those beyond ASCII, which QTest cannot type, come as key events
    // carrying their text, as an input method sends them.
    void Type(const QString& text) {
        for (const QChar c : text) {
            if (c.unicode() < 0x80) {
                QTest::keyClicks(grid->Editor(), QString(c));
                continue;
            }
            QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
            QApplication::sendEvent(grid->Editor(), &press);
            QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(c));
            QApplication::sendEvent(grid->Editor(), &release);
        }
    }
    void Key(Qt::Key key, Qt::KeyboardModifiers modifiers = {}) {
        QTest::keyClick(grid->Editor(), key, modifiers);
    }
    QStringList Column(int col) const {
        QStringList cells;
        for (int row = 0; row < grid->RowCount(); ++row) cells.append(grid->Cells(col, row));
        return cells;
    }
    static QStringList Sections(const QString& path) {
        QStringList sections;
        TIniFile(path).ListSections(sections);
        return sections;
    }
    // Every section with every scale key, as "section/key=value" lines.
    static QStringList Snapshot(const QString& path) {
        QStringList lines;
        TIniFile file(path);
        QStringList sections;
        file.ListSections(sections);
        for (const QString& section : sections) {
            for (const QString& key : ScaleKeys) {
                lines.append(section + "/" + key + "=" + file.ReadValue(section, key, ""));
            }
        }
        return lines;
    }
    static QString Value(const QString& path, const QString& section, const QString& key) {
        return TIniFile(path).ReadValue(section, key, "<absent>");
    }

    TScriptedModal modal;
    TModalScope modalScope{modal};
    QTemporaryDir dir;
    std::unique_ptr<TForm1> form;
    TStringGrid* grid = nullptr;
    QString scalePath;
    QString dataPath;
};

TEST_F(FormTest, LoadShowsSortedSectionsUnderTheModeHeadings) {
    EXPECT_EQ(form->windowTitle(), QString("Chronolith - Donnees.ini -"));
    EXPECT_EQ(form->EditMode, emData);
    EXPECT_EQ(grid->RowCount(), 2);
    EXPECT_EQ(grid->FixedRows(), 1);
    EXPECT_EQ(grid->ColCount(), 13);
    EXPECT_EQ(grid->Editor()->toolTip(), QString("Clic droit pour éditer"));
    EXPECT_EQ(grid->model()->index(0, 5).data(Qt::ToolTipRole).toString(),
              QString("Clic droit pour éditer"));

    OpenScale("[10]\r\n[2,5]\r\neon=b\r\n[2.4]\r\n[abc]\r\netage=x\r\n");
    EXPECT_EQ(form->EditMode, emScale);
    EXPECT_EQ(Column(0), QStringList({"Début", "abc", "2.4", "2,5", "10"}));
    EXPECT_EQ(grid->Cells(4, 0), QString("série"));
    EXPECT_EQ(grid->Cells(12, 0), QString("Lien Paléo."));
    EXPECT_EQ(grid->Cells(5, 1), QString("x"));
    EXPECT_EQ(grid->Cells(1, 3), QString("b"));
    EXPECT_EQ(grid->FixedRows(), 1);
    EXPECT_EQ(grid->Row(), 1);
    EXPECT_EQ(grid->Col(), 0);
    EXPECT_EQ(form->SelectedKey, QString("abc"));
    EXPECT_FALSE(form->Modified);

    // The designed window: a grid 968 pixels wide; the colour column widens to its heading and
    // the four path columns give up that room.
    ASSERT_EQ(grid->width(), 968);
    const int scale[13] = {40, 80, 80, 80, 80, 80, 43, 80, 71, 71, 80, 71, 71};
    for (int col = 0; col < 13; ++col) EXPECT_EQ(grid->ColWidths(col), scale[col]) << col;
    form->resize(form->width() - 288, form->height());
    QCoreApplication::processEvents();
    ASSERT_EQ(grid->width(), 680);
    for (int col : {8, 9, 11, 12}) EXPECT_EQ(grid->ColWidths(col), 0) << col;
    EXPECT_EQ(grid->ColWidths(7), 80);
    form->resize(992, 654);
    QCoreApplication::processEvents();

    // A missing file: the headings of its mode and one empty row.
    form->EventFile = std::make_unique<TIniFile>(dir.filePath("absent.ini"));
    form->LoadTable(form->EventFile.get());
    EXPECT_EQ(form->EditMode, emEvent);
    EXPECT_EQ(grid->RowCount(), 2);
    EXPECT_EQ(grid->Cells(0, 0), QString("Début"));
    EXPECT_EQ(grid->Cells(1, 0), QString("Evenement"));
    EXPECT_EQ(grid->Cells(2, 0), QString());
    EXPECT_EQ(grid->Cells(0, 1), QString());
    EXPECT_EQ(form->SelectedKey, QString());
    EXPECT_EQ(grid->ColWidths(0), 60);
    EXPECT_EQ(grid->ColWidths(1), 902);
    for (int col = 2; col < 13; ++col) EXPECT_EQ(grid->ColWidths(col), 0);

    // Menu texts keep their file order.
    OpenData("[Tertiaire]\r\nEchelle=t.ini\r\n[Primaire]\r\n[Secondaire]\r\nEvenement=s.ini\r\n");
    EXPECT_EQ(form->EditMode, emData);
    EXPECT_EQ(Column(0), QStringList({"Item du menu", "Tertiaire", "Primaire", "Secondaire"}));
    EXPECT_EQ(Column(2), QStringList({"Fichier Evenement", "", "", "s.ini"}));
    EXPECT_EQ(grid->ColWidths(0), 100);
    EXPECT_EQ(grid->ColWidths(1), 431);
    EXPECT_EQ(grid->ColWidths(2), 431);
    for (int col = 3; col < 13; ++col) EXPECT_EQ(grid->ColWidths(col), 0);
    EXPECT_TRUE(modal.shown.empty());
}

TEST_F(FormTest, TypingTabArrowsAndClicksWriteTheRowsLeft) {
    OpenScale(kScaleFile);
    Click(1, 2);
    EXPECT_EQ(form->SelectedKey, QString("4,5"));
    EXPECT_EQ(ReadBytes(scalePath), kScaleFile);

    // Typing replaces the selected text; the file changes only when the row is left.
    Type("Hadeen");
    EXPECT_EQ(grid->Cells(1, 2), QString("Hadeen"));
    EXPECT_TRUE(form->Modified);
    EXPECT_EQ(ReadBytes(scalePath), kScaleFile);

    // Tab moves within the row and writes it: all twelve keys, colour kept.
    Key(Qt::Key_Tab);
    EXPECT_EQ(grid->Col(), 2);
    EXPECT_FALSE(form->Modified);
    EXPECT_EQ(Value(scalePath, "4,5", "eon"), QString("Hadeen"));
    EXPECT_EQ(Value(scalePath, "4,5", "couleur"), QString("255"));
    EXPECT_EQ(Value(scalePath, "4,5", "lienpaleo"), QString());
    EXPECT_EQ(Sections(scalePath), QStringList({"10", "2,5", "4,5"}));

    // A point typed outside column 0 stays a point; Down writes the row and moves.
    Type("1.5");
    Key(Qt::Key_Down);
    EXPECT_EQ(grid->Row(), 3);
    EXPECT_EQ(Value(scalePath, "4,5", "ere"), QString("1.5"));
    EXPECT_EQ(form->SelectedKey, QString("10"));

    // A click into another row writes the row being left.
    Key(Qt::Key_Left);
    Type("Cambrien");
    Click(3, 1);
    EXPECT_EQ(grid->Row(), 1);
    EXPECT_EQ(grid->Col(), 3);
    EXPECT_EQ(Value(scalePath, "10", "eon"), QString("Cambrien"));
    EXPECT_EQ(Value(scalePath, "10", "couleur"), QString("16711680"));
    EXPECT_EQ(Sections(scalePath), QStringList({"10", "2,5", "4,5"}));

    // Arrows only navigate: the rows are written as they are, nothing else changes.
    const QStringList before = Snapshot(scalePath);
    Key(Qt::Key_Down);
    Key(Qt::Key_Up);
    Key(Qt::Key_Right);
    Click(0, 3);
    EXPECT_EQ(Snapshot(scalePath), before);
    EXPECT_TRUE(modal.shown.empty());
}

TEST_F(FormTest, KeyColumnRenamesAndRefusesEmptyOrTakenNames) {
    OpenScale(kScaleFile);
    Click(0, 2);
    // A point typed in column 0 becomes a comma.
    Type("4.6");
    EXPECT_EQ(grid->Cells(0, 2), QString("4,6"));
    Click(1, 1);
    EXPECT_EQ(Sections(scalePath), QStringList({"10", "2,5", "4,6"}));
    EXPECT_EQ(Value(scalePath, "4,6", "eon"), QString("Hadéen"));
    EXPECT_EQ(Value(scalePath, "4,6", "couleur"), QString("255"));
    EXPECT_EQ(Value(scalePath, "4,6", "imagebio"), QString());
    // The table keeps the row in place until the next load.
    EXPECT_EQ(Column(0), QStringList({"Début", "2,5", "4,6", "10"}));

    // An emptied name, a name of spaces, another row's name: refused with a message each time;
    // the row stays current and modified, the file and both sections as they were.
    const QByteArray before = ReadBytes(scalePath);
    Click(0, 3);
    Key(Qt::Key_Backspace);
    EXPECT_EQ(grid->Cells(0, 3), QString());
    Key(Qt::Key_Tab);
    Type("  ");
    Click(0, 1);
    Key(Qt::Key_Backspace);
    Key(Qt::Key_Backspace);
    Type("2,5");
    Key(Qt::Key_Up);
    ASSERT_EQ(modal.shown.size(), 3u);
    EXPECT_TRUE(modal.shown[0].text.startsWith("Le nom d'une ligne ne peut pas être vide"));
    EXPECT_EQ(modal.shown[1].text, modal.shown[0].text);
    EXPECT_EQ(modal.shown[2].text, "Une autre ligne de " + scalePath +
                                       " porte déjà le nom «\u00A02,5\u00A0» : la ligne n'est pas "
                                       "enregistrée.");
    EXPECT_EQ(modal.shown[2].type, TMsgDlgType::mtError);
    EXPECT_EQ(grid->Row(), 3);
    EXPECT_EQ(grid->Col(), 0);
    EXPECT_TRUE(form->Modified);
    EXPECT_EQ(form->SelectedKey, QString("10"));
    EXPECT_EQ(ReadBytes(scalePath), before);
    // Its own name again: the row is as loaded, leaving it writes nothing.
    for (int i = 0; i < 3; ++i) Key(Qt::Key_Backspace);
    Type("10");
    Click(0, 1);
    EXPECT_EQ(grid->Row(), 1);
    EXPECT_FALSE(form->Modified);
    EXPECT_EQ(ReadBytes(scalePath), before);
    form->LoadTable(form->ScaleFile.get());
    EXPECT_EQ(Column(0), QStringList({"Début", "2,5", "4,6", "10"}));
}

TEST_F(FormTest, SavesNeverRemoveAnotherRowsSection) {
    OpenScale(kScaleFile);
    const QStringList all = {"10", "2,5", "4,5"};
    // A new row without a name, typed into, then the saves of menu commands and a load.
    Click(1, 2);
    form->Insreraprs1Click(nullptr);
    Key(Qt::Key_Down);
    EXPECT_EQ(grid->Row(), 3);
    EXPECT_EQ(form->SelectedKey, QString());
    const QStringList before = Snapshot(scalePath);
    Type("orphelin");
    form->SaveRow(form->EditRow);
    EXPECT_EQ(Snapshot(scalePath), before);
    form->ScaleFile = std::make_unique<TIniFile>(scalePath);
    form->LoadTable(form->ScaleFile.get());
    EXPECT_EQ(grid->Row(), 1);
    form->SaveRow(form->EditRow);
    EXPECT_EQ(Sections(scalePath), all);

    // Keys that only navigate after a load, then a command's save.
    Click(2, 3);
    Key(Qt::Key_F2);
    Key(Qt::Key_Escape);
    EXPECT_TRUE(form->Modified);
    form->SaveRow(form->EditRow);
    EXPECT_EQ(Sections(scalePath), all);

    // Up and Down through every row with pending keys: each row rewritten under its own name.
    for (const Qt::Key key :
         {Qt::Key_Up, Qt::Key_Up, Qt::Key_Down, Qt::Key_Down, Qt::Key_PageUp, Qt::Key_PageDown}) {
        Key(key);
        EXPECT_EQ(Sections(scalePath), all);
    }
    EXPECT_EQ(Snapshot(scalePath), before);
    EXPECT_TRUE(modal.shown.empty());
}

TEST_F(FormTest, InsertAfterMakesEmptyRowsInTheTableOnly) {
    OpenData("[A]\r\nEchelle=a.ini\r\n[B]\r\nEchelle=b.ini\r\n[C]\r\nEvenement=c.ini\r\n");
    form->Insreraprs1Click(nullptr);
    EXPECT_EQ(Column(0), QStringList({"Item du menu", "A", "", "B", "C"}));
    EXPECT_EQ(Column(1), QStringList({"Fichier Echelle", "a.ini", "", "b.ini", ""}));
    EXPECT_EQ(Column(2), QStringList({"Fichier Evenement", "", "", "", "c.ini"}));
    EXPECT_EQ(grid->Row(), 1);
    Click(0, 4);
    form->Insreraprs1Click(nullptr);
    EXPECT_EQ(Column(0), QStringList({"Item du menu", "A", "", "B", "C", ""}));
    EXPECT_EQ(grid->Row(), 4);
    EXPECT_EQ(Sections(dataPath), QStringList({"A", "B", "C"}));

    // The new row reaches the file once it has a name and is left.
    Click(0, 5);
    Type("D");
    Key(Qt::Key_Tab);
    Type("d.ini");
    Click(0, 1);
    EXPECT_EQ(Sections(dataPath), QStringList({"A", "B", "C", "D"}));
    EXPECT_EQ(Value(dataPath, "D", "Echelle"), QString("d.ini"));
    EXPECT_EQ(Value(dataPath, "D", "Evenement"), QString());
    // Editing a menu item keeps it in place in the file, so the menu order stays.
    Click(1, 1);
    Type("z.ini");
    Click(0, 4);
    EXPECT_EQ(Sections(dataPath), QStringList({"A", "B", "C", "D"}));
    EXPECT_EQ(Value(dataPath, "A", "Echelle"), QString("z.ini"));
}

TEST_F(FormTest, DeleteAsksThenRemovesAndReloads) {
    OpenScale(kScaleFile);
    // No name: nothing happens, no box.
    form->Insreraprs1Click(nullptr);
    Key(Qt::Key_Down);
    form->Supprimer1Click(nullptr);
    EXPECT_TRUE(modal.shown.empty());

    Click(1, 3);
    const QByteArray before = ReadBytes(scalePath);
    modal.answers = {TModalResult::mrCancel};
    form->Supprimer1Click(nullptr);
    ASSERT_EQ(modal.shown.size(), 1u);
    EXPECT_EQ(modal.shown[0].caption, QString("Confirmation"));
    EXPECT_EQ(modal.shown[0].text.split('\n'),
              QStringList({"Supprimer la ligne relative à", "la date : 4,5"}));
    EXPECT_EQ(modal.shown[0].type, TMsgDlgType::mtConfirmation);
    EXPECT_EQ(modal.shown[0].buttons, mbOK | mbCancel);
    EXPECT_EQ(modal.shown[0].defaultButton, mbOK);
    EXPECT_EQ(ReadBytes(scalePath), before);
    EXPECT_EQ(grid->RowCount(), 5);

    modal.answers = {TModalResult::mrOk};
    form->Supprimer1Click(nullptr);
    EXPECT_EQ(Sections(scalePath), QStringList({"10", "2,5"}));
    EXPECT_EQ(Column(0), QStringList({"Début", "2,5", "10"}));
    EXPECT_EQ(grid->Row(), 1);
    EXPECT_EQ(form->SelectedKey, QString("2,5"));

    // In the data file only the menu item's section goes; its files stay.
    const QString scale = scalePath;
    OpenData("[Ere]\r\nEchelle=echelle.ini\r\n[Autre]\r\nEchelle=x.ini\r\n");
    const QByteArray scaleBytes = ReadBytes(scale);
    form->Supprimer1Click(nullptr);
    EXPECT_EQ(Sections(dataPath), QStringList({"Autre"}));
    EXPECT_EQ(ReadBytes(scale), scaleBytes);
}

TEST_F(FormTest, ReadOnlyFileReportsAndKeepsTheRow) {
    OpenScale(kScaleFile);
    ::chmod(QFile::encodeName(scalePath).constData(), 0444);
    OpenToAll(dir.path());
    Click(1, 2);
    Type("Perdu?");
    {
        const TUnprivileged user;
        Click(1, 3);
        ASSERT_EQ(modal.shown.size(), 1u);
        EXPECT_EQ(modal.shown[0].caption, QString("Erreur"));
        EXPECT_EQ(modal.shown[0].text, "Impossible d'écrire dans " + scalePath);
        EXPECT_EQ(modal.shown[0].type, TMsgDlgType::mtError);
        EXPECT_EQ(modal.shown[0].buttons, mbOK);
        // The move did not happen; the row is still pending.
        EXPECT_EQ(grid->Row(), 2);
        EXPECT_TRUE(form->Modified);
        EXPECT_EQ(form->SelectedKey, QString("4,5"));
        EXPECT_EQ(ReadBytes(scalePath), kScaleFile);
        // The keyboard gets the same answer, and typing goes on in the row.
        Key(Qt::Key_Down);
        EXPECT_EQ(modal.shown.size(), 2u);
        EXPECT_EQ(grid->Row(), 2);
        Type("!");
        EXPECT_EQ(grid->Cells(1, 2), QString("Perdu?!"));
    }
    ::chmod(QFile::encodeName(scalePath).constData(), 0644);
    Click(1, 3);
    EXPECT_EQ(modal.shown.size(), 2u);
    EXPECT_EQ(grid->Row(), 3);
    EXPECT_FALSE(form->Modified);
    EXPECT_EQ(Value(scalePath, "4,5", "eon"), QString("Perdu?!"));
    EXPECT_EQ(Value(scalePath, "4,5", "couleur"), QString("255"));
}

// Rows the user only moves through are not written back: what another program changed in them
// meanwhile stays. A changed row writes the columns that changed and fills in missing keys.
TEST_F(FormTest, UnchangedRowsAreNotRewritten) {
    OpenScale(kScaleFile);
    Click(1, 2);
    Key(Qt::Key_Right);
    Key(Qt::Key_Left);
    EXPECT_TRUE(form->Modified);
    // Another program rewrites the file while the row is pending.
    QByteArray other = kScaleFile;
    other.replace("eon=Had\xE9"
                  "en\r\n",
                  "eon=Autre programme\r\nere=Externe\r\n");
    WriteBytes(scalePath, other);
    Key(Qt::Key_Down);
    EXPECT_FALSE(form->Modified);
    EXPECT_EQ(ReadBytes(scalePath), other);
    Click(1, 1);
    Click(1, 2);
    EXPECT_EQ(ReadBytes(scalePath), other);

    // One typed column: the other program changed this row, so the user is asked; with "my
    // changes", that column and the keys the section lacks are written, nothing else.
    Key(Qt::Key_Tab);
    Key(Qt::Key_Tab);
    Type("Silurien");
    modal.choices = {1};
    Click(0, 1);
    ASSERT_EQ(modal.shown.size(), 1u);
    EXPECT_EQ(modal.shown[0].named, QStringList({"Garder le texte de l'autre programme",
                                                 "Enregistrer mes modifications"}));
    QByteArray expected = other;
    expected.replace("ere=Externe\r\ncouleur=255\r\n",
                     "ere=Externe\r\ncouleur=255\r\nsysteme=Silurien\r\nserie=\r\netage=\r\n"
                     "labelbio=\r\nimagebio=\r\nlienbio=\r\nlabelpaleo=\r\nimagepaleo=\r\n"
                     "lienpaleo=\r\n");
    EXPECT_EQ(ReadBytes(scalePath), expected);
    // The table shows the file: the other program's text and the user's.
    EXPECT_EQ(grid->Cells(1, 2), QString("Autre programme"));
    EXPECT_EQ(grid->Cells(3, 2), QString("Silurien"));
}

// "Supprimer ligne" removes the section the row was loaded from or last saved as, whatever its
// key cell holds now; a row never saved takes nothing from the file.
TEST_F(FormTest, DeleteRemovesTheRowsOwnSection) {
    OpenScale(kScaleFile);
    Click(0, 2);
    Type("10");
    modal.answers = {TModalResult::mrOk};
    form->Supprimer1Click(nullptr);
    ASSERT_EQ(modal.shown.size(), 1u);
    EXPECT_EQ(modal.shown[0].text, QString("Supprimer la ligne relative à\nla date : 4,5"));
    QByteArray expected = kScaleFile;
    expected.replace("[4,5]\r\neon=Had\xE9"
                     "en\r\ncouleur=255\r\n",
                     "");
    EXPECT_EQ(ReadBytes(scalePath), expected);
    EXPECT_EQ(Column(0), QStringList({"Début", "2,5", "10"}));

    // A renamed row deletes under its new name.
    Click(0, 1);
    Type("3");
    Click(1, 2);
    Click(0, 1);
    Key(Qt::Key_Backspace);
    form->Supprimer1Click(nullptr);
    EXPECT_EQ(modal.shown.back().text, QString("Supprimer la ligne relative à\nla date : 3"));
    EXPECT_EQ(Sections(scalePath), QStringList({"10"}));

    // A new row, named but never saved: confirmed, it leaves the table and the file alone.
    const QByteArray before = ReadBytes(scalePath);
    form->Insreraprs1Click(nullptr);
    Key(Qt::Key_Down);
    Type("10");
    form->Supprimer1Click(nullptr);
    EXPECT_EQ(modal.shown.back().text, QString("Supprimer la ligne relative à\nla date : 10"));
    EXPECT_EQ(ReadBytes(scalePath), before);
    EXPECT_EQ(Column(0), QStringList({"Début", "10"}));
    Click(1, 1);
    EXPECT_EQ(ReadBytes(scalePath), before);
}

// A value that the file's encoding cannot hold: the French box names the character and the
// encoding, the row stays current and modified, and the file keeps every byte.
TEST_F(FormTest, CharacterOutsideTheEncodingIsRefused) {
    OpenScale(kScaleFile);
    Click(1, 2);
    Type("≈ 4 Ga");
    Click(1, 3);
    ASSERT_EQ(modal.shown.size(), 1u);
    EXPECT_EQ(modal.shown[0].text,
              "Le caractère «\u00A0≈\u00A0» (U+2248) ne peut pas être enregistré dans " +
                  scalePath +
                  ", dont le codage est Windows-1252 : la ligne n'est pas enregistrée et le "
                  "fichier reste tel qu'il était.");
    EXPECT_EQ(grid->Row(), 2);
    EXPECT_TRUE(form->Modified);
    EXPECT_EQ(ReadBytes(scalePath), kScaleFile);
    // The narrow no-break space has a Windows-1252 form.
    Key(Qt::Key_A, Qt::ControlModifier);
    Type("4\u202FGa");
    Click(1, 3);
    EXPECT_EQ(modal.shown.size(), 1u);
    QByteArray expected = kScaleFile;
    expected.replace("eon=Had\xE9"
                     "en\r\n",
                     "eon=4\xA0Ga\r\n");
    EXPECT_EQ(ReadBytes(scalePath).left(expected.indexOf("couleur=255")),
              expected.left(expected.indexOf("couleur=255")));
}

TEST_F(FormTest, Utf16FileIsEditedAsUtf16) {
    QStringEncoder encoder(QStringConverter::Utf16LE);
    const QString text = QString::fromLatin1(kScaleFile);
    const QByteArray original = "\xFF\xFE" + QByteArray(encoder.encode(text));
    OpenScale(original);
    EXPECT_EQ(grid->Cells(1, 3), QString("Phanérozoïque"));
    Click(1, 1);
    Type("Archéen ω");
    Click(1, 2);
    QString edited = text;
    edited.replace("[2,5]\r\neon=Archéen\r\n",
                   "[2,5]\r\neon=Archéen ω\r\nere=\r\nsysteme=\r\nserie=\r\netage=\r\ncouleur=\r\n"
                   "labelbio=\r\nimagebio=\r\nlienbio=\r\nlabelpaleo=\r\nimagepaleo=\r\n"
                   "lienpaleo=\r\n");
    QStringEncoder again(QStringConverter::Utf16LE);
    EXPECT_EQ(ReadBytes(scalePath), "\xFF\xFE" + QByteArray(again.encode(edited)));
    EXPECT_TRUE(modal.shown.empty());
}

// A file the user may write in a folder he may not: saved in place, the same file.
TEST_F(FormTest, WritableFileInReadOnlyFolderSaves) {
    OpenScale(kScaleFile);
    ::chmod(QFile::encodeName(scalePath).constData(), 0666);
    ::chmod(QFile::encodeName(dir.path()).constData(), 0555);
    struct stat before {};
    ::stat(QFile::encodeName(scalePath).constData(), &before);
    {
        const TUnprivileged user;
        Click(1, 2);
        Type("Hadéen 2");
        Click(1, 3);
    }
    ::chmod(QFile::encodeName(dir.path()).constData(), 0755);
    EXPECT_TRUE(modal.shown.empty());
    EXPECT_FALSE(form->Modified);
    EXPECT_EQ(Value(scalePath, "4,5", "eon"), QString("Hadéen 2"));
    struct stat after {};
    ::stat(QFile::encodeName(scalePath).constData(), &after);
    EXPECT_EQ(after.st_ino, before.st_ino);
}

// The current cell never stays in a hidden column: not after a resize that hides it, not after
// a switch to a mode without it; what is typed then shows.
TEST_F(FormTest, CurrentCellLeavesHiddenColumns) {
    OpenScale(kScaleFile);
    Click(9, 2);
    form->resize(form->width() - 288, form->height());
    QCoreApplication::processEvents();
    ASSERT_EQ(grid->ColWidths(9), 0);
    EXPECT_EQ(grid->Col(), 7);
    EXPECT_EQ(grid->Row(), 2);
    form->resize(form->width() + 288, form->height());
    QCoreApplication::processEvents();
    Click(11, 3);
    OpenData("[A]\r\nEchelle=a.ini\r\n");
    EXPECT_EQ(grid->Col(), 2);
    EXPECT_GT(grid->ColWidths(grid->Col()), 0);
    Type("b.ini");
    EXPECT_EQ(grid->Cells(2, 1), QString("b.ini"));
    EXPECT_TRUE(grid->Editor()->isVisible());
}

// A right click makes the cell under the mouse current before the menu opens, through the
// move that saves the row being left; a refused move opens no menu.
TEST_F(FormTest, RightClickMovesTheCurrentCellFirst) {
    OpenScale(kScaleFile);
    auto rightClick = [&](int col, int row) {
        const QPoint at = CellCenter(col, row);
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, grid->viewport()->mapToGlobal(at));
        QApplication::sendEvent(grid->viewport(), &event);
    };
    Click(1, 2);
    Type("Hadéen!");
    rightClick(2, 3);
    EXPECT_EQ(grid->Row(), 3);
    EXPECT_EQ(grid->Col(), 2);
    EXPECT_EQ(Value(scalePath, "4,5", "eon"), QString("Hadéen!"));
    EXPECT_TRUE(form->PopupMenu1->isVisible());
    form->PopupMenu1->hide();
    // The menu's delete acts on the row under the mouse.
    modal.answers = {TModalResult::mrCancel};
    form->Supprimer1->trigger();
    EXPECT_EQ(modal.shown.back().text, QString("Supprimer la ligne relative à\nla date : 10"));

    Type("≈");
    rightClick(1, 1);
    EXPECT_EQ(grid->Row(), 3);
    EXPECT_TRUE(modal.shown.back().text.startsWith("Le caractère «\u00A0≈\u00A0»"));
    EXPECT_FALSE(form->PopupMenu1->isVisible());
}

// A click, F2 or a double click open the cell editor: Home, End, Left and Right then move the
// caret, and typing appends where the caret is. A cell reached by the keyboard is only
// selected: typing replaces it and the arrows move to other cells.
TEST_F(FormTest, OpenEditorKeepsCaretKeys) {
    OpenScale(kScaleFile);
    auto* editor = static_cast<QLineEdit*>(grid->Editor());
    Click(1, 2);
    EXPECT_EQ(editor->selectedText(), QString("Hadéen"));
    Key(Qt::Key_End);
    Type(" récent");
    EXPECT_EQ(grid->Col(), 1);
    Key(Qt::Key_Home);
    Type("Le ");
    Key(Qt::Key_Right);
    Key(Qt::Key_Left);
    EXPECT_EQ(grid->Col(), 1);
    EXPECT_EQ(grid->Cells(1, 2), QString("Le Hadéen récent"));

    Key(Qt::Key_Down);
    EXPECT_EQ(editor->selectedText(), QString("Phanérozoïque"));
    Key(Qt::Key_Right);
    EXPECT_EQ(grid->Col(), 2);
    Key(Qt::Key_Left);
    Key(Qt::Key_F2);
    EXPECT_FALSE(editor->hasSelectedText());
    EXPECT_EQ(editor->cursorPosition(), editor->text().size());
    Key(Qt::Key_Home);
    EXPECT_EQ(grid->Col(), 1);
    EXPECT_EQ(editor->cursorPosition(), 0);

    QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, CellCenter(6, 1));
    EXPECT_EQ(grid->Row(), 1);
    EXPECT_EQ(grid->Col(), 6);
    EXPECT_FALSE(editor->hasSelectedText());
    EXPECT_EQ(editor->cursorPosition(), editor->text().size());
    QTest::mouseDClick(editor, Qt::LeftButton, {}, editor->rect().center());
    EXPECT_EQ(editor->cursorPosition(), editor->text().size());
    Key(Qt::Key_End);
    Type("0");
    EXPECT_EQ(grid->Cells(6, 1), QString("0"));
    EXPECT_EQ(Value(scalePath, "4,5", "eon"), QString("Le Hadéen récent"));
}

// The sample calendar at the designed size: every key and every colour shows whole, colours
// with their swatch, in the font the layout was drawn for or one of its widths.
TEST_F(FormTest, SampleScaleShowsKeysAndColoursWhole) {
    OpenScale(ReadBytes(CHRONOLITH_SAMPLE "/Echelle.ini"));
    EXPECT_EQ(QFontInfo(grid->font()).family(), QString("Liberation Sans"));
    EXPECT_EQ(grid->RowCount(), 118);
    for (int row = 1; row < grid->RowCount(); ++row) {
        EXPECT_LE(grid->CellFitWidth(0, row), grid->ColWidths(0)) << row;
        EXPECT_LE(grid->CellFitWidth(6, row), grid->ColWidths(6)) << row;
    }
    for (int col : {1, 2, 3, 4, 5, 7, 10}) EXPECT_EQ(grid->ColWidths(col), 80) << col;
    EXPECT_GT(grid->ColWidths(8), 40);
    // Every heading whole, and no sideways scrolling beside the vertical scroll bar.
    QCoreApplication::processEvents();
    for (int col = 0; col < 13; ++col)
        EXPECT_LE(grid->HeadingFitWidth(col), grid->ColWidths(col)) << col;
    EXPECT_TRUE(grid->verticalScrollBar()->isVisible());
    EXPECT_FALSE(grid->horizontalScrollBar()->isVisible());
    // Row 1, 0,0042 Meghalayen: #FDEDEC.
    const QVariant swatch = grid->model()->index(0, 6).data(Qt::DecorationRole);
    ASSERT_TRUE(swatch.canConvert<QPixmap>());
    const QImage image = swatch.value<QPixmap>().toImage();
    EXPECT_EQ(image.pixelColor(image.width() / 2, image.height() / 2), QColor(0xFD, 0xED, 0xEC));
    EXPECT_FALSE(grid->model()->index(0, 5).data(Qt::DecorationRole).isValid());
}

// A cell whose text is cut shows it whole as its tooltip; the others show the hint.
TEST_F(FormTest, CutTextsShowWholeAsTooltips) {
    OpenScale(kScaleFile);
    const QString longText = "Un texte bien trop long pour la colonne de quatre-vingts pixels";
    grid->SetCells(7, 2, longText);
    auto tooltipAt = [&](int col, int row) {
        const QPoint at = CellCenter(col, row);
        QHelpEvent event(QEvent::ToolTip, at, grid->viewport()->mapToGlobal(at));
        QApplication::sendEvent(grid->viewport(), &event);
        const QString text = QToolTip::text();
        QToolTip::hideText();
        return text;
    };
    EXPECT_EQ(tooltipAt(7, 2), longText);
    EXPECT_EQ(tooltipAt(0, 3), QString("Clic droit pour éditer"));
}

TEST_F(FormTest, ReloadMovesTheCurrentCellUpWithANotification) {
    OpenScale(kScaleFile);
    Click(4, 3);
    int selects = 0;
    grid->OnSelectCell = [&](int col, int row, bool& canSelect) {
        ++selects;
        form->StringGrid1SelectCell(col, row, canSelect);
    };
    OpenScale("[1]\r\n[2]\r\n[3]\r\n[4]\r\n", "autre.ini");
    EXPECT_EQ(selects, 1);
    EXPECT_EQ(grid->Row(), 1);
    EXPECT_EQ(grid->Col(), 4);
    EXPECT_EQ(form->SelectedKey, QString("1"));
    EXPECT_EQ(ReadBytes(scalePath), QByteArray("[1]\r\n[2]\r\n[3]\r\n[4]\r\n"));
    EXPECT_EQ(ReadBytes(dir.filePath("echelle.ini")), kScaleFile);
}

// Alt and Meta chords type nothing: Alt with a menu's letter and F10 open the menus. Escape puts
// back the text the cell had, and leaving the row then writes nothing.
TEST_F(FormTest, ChordsTypeNothingAndEscapePutsTheCellBack) {
    OpenScale(kScaleFile);
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    Click(1, 2);
    for (const Qt::KeyboardModifiers chord : {Qt::AltModifier, Qt::MetaModifier}) {
        Key(Qt::Key_X, chord);
        EXPECT_EQ(grid->Cells(1, 2), QString("Hadéen"));
    }
    Key(Qt::Key_F, Qt::AltModifier);
    EXPECT_EQ(form->menuBar()->activeAction(), form->Fichier1->menuAction());
    form->menuBar()->setActiveAction(nullptr);
    Key(Qt::Key_F10);
    EXPECT_EQ(form->menuBar()->activeAction(), form->Fichier1->menuAction());
    form->menuBar()->setActiveAction(nullptr);
    grid->setFocus();
    EXPECT_EQ(grid->Cells(1, 2), QString("Hadéen"));

    Type("Foo");
    Key(Qt::Key_Escape);
    EXPECT_EQ(grid->Cells(1, 2), QString("Hadéen"));
    EXPECT_EQ(static_cast<QLineEdit*>(grid->Editor())->text(), QString("Hadéen"));
    Key(Qt::Key_Down);
    EXPECT_EQ(grid->Row(), 3);
    EXPECT_EQ(ReadBytes(scalePath), kScaleFile);
    EXPECT_TRUE(modal.shown.empty());
}

// Ctrl+Z takes back unsaved typing first, then written rows one step at a time (a rename, a
// delete), each back to the file's bytes before it; a row another program changed since is put
// back alone, their change kept.
TEST_F(FormTest, UndoTakesBackWrittenRows) {
    OpenScale(kScaleFile);
    Click(1, 2);
    Type("Eoarchéen");
    Key(Qt::Key_Down);
    const QByteArray afterFirst = ReadBytes(scalePath);
    ASSERT_NE(afterFirst, kScaleFile);
    Click(0, 1);
    Type("3");
    Click(1, 3);
    EXPECT_EQ(Sections(scalePath), QStringList({"10", "3", "4,5"}));
    Type("zz");
    Key(Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(grid->Cells(1, 3), QString("Phanérozoïque"));
    EXPECT_EQ(Sections(scalePath), QStringList({"10", "3", "4,5"}));
    Key(Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(ReadBytes(scalePath), afterFirst);
    EXPECT_EQ(Column(0), QStringList({"Début", "2,5", "4,5", "10"}));
    Key(Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(ReadBytes(scalePath), kScaleFile);
    EXPECT_EQ(grid->Cells(1, 2), QString("Hadéen"));
    Key(Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(ReadBytes(scalePath), kScaleFile);

    // A delete, taken back.
    Click(1, 3);
    modal.answers = {TModalResult::mrOk};
    form->Supprimer1Click(nullptr);
    ASSERT_EQ(Sections(scalePath), QStringList({"2,5", "4,5"}));
    Key(Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(ReadBytes(scalePath), kScaleFile);
    EXPECT_EQ(Column(0), QStringList({"Début", "2,5", "4,5", "10"}));

    // Another program changes another row after a write: the write alone is taken back.
    Click(1, 1);
    Type("Archéen 2");
    Key(Qt::Key_Down);
    QByteArray other = ReadBytes(scalePath);
    other.replace("eon=Phan\xE9rozo\xEFque", "eon=Externe");
    WriteBytes(scalePath, other);
    Key(Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(Value(scalePath, "2,5", "eon"), QString("Archéen"));
    EXPECT_EQ(Value(scalePath, "10", "eon"), QString("Externe"));
    EXPECT_EQ(grid->Cells(1, 3), QString("Externe"));
    EXPECT_TRUE(modal.shown.size() == 1u);
}

// The file on disk is the truth: another program's new and changed rows show at the next save,
// the user's typing kept; a change to the row being saved asks, and keeps theirs by default; a
// deleted file is written back whole or not at all.
TEST_F(FormTest, AnotherProgramsChangesAreKept) {
    OpenScale(kScaleFile);
    Click(1, 2);
    Type("Mien");
    QByteArray other = kScaleFile + "[7]\r\neon=Nouveau\r\n";
    other.replace("eon=Phan\xE9rozo\xEFque", "eon=Externe");
    WriteBytes(scalePath, other);
    Key(Qt::Key_Down);
    EXPECT_TRUE(modal.shown.empty());
    EXPECT_EQ(Column(0), QStringList({"Début", "2,5", "4,5", "7", "10"}));
    // The move goes to the row it was going to, wherever the new rows put it.
    EXPECT_EQ(grid->Row(), 4);
    EXPECT_EQ(Value(scalePath, "4,5", "eon"), QString("Mien"));
    EXPECT_EQ(Value(scalePath, "10", "eon"), QString("Externe"));
    EXPECT_EQ(Value(scalePath, "7", "eon"), QString("Nouveau"));

    // The same row: asked; the default keeps theirs, shown in the table.
    Type("Mien aussi");
    other = ReadBytes(scalePath).replace("eon=Externe", "eon=Leur texte");
    WriteBytes(scalePath, other);
    Key(Qt::Key_Up);
    ASSERT_EQ(modal.shown.size(), 1u);
    EXPECT_EQ(modal.shown[0].text,
              "Un autre programme a modifié la ligne «\u00A010\u00A0» de " + scalePath +
                  " pendant que vous la modifiiez.\nGarder son texte (vos modifications de cette "
                  "ligne sont abandonnées) ou enregistrer vos modifications par-dessus ?");
    EXPECT_EQ(ReadBytes(scalePath), other);
    EXPECT_EQ(grid->Cells(1, 4), QString("Leur texte"));
    EXPECT_EQ(grid->Row(), 3);

    // Deleted: refused, nothing is written and the row stays; accepted, every row is written.
    Type("Dernier");
    QFile::remove(scalePath);
    modal.answers = {TModalResult::mrCancel};
    Key(Qt::Key_Up);
    EXPECT_TRUE(modal.shown.back().text.startsWith("Le fichier " + scalePath +
                                                   " a été supprimé par un autre programme"));
    EXPECT_FALSE(QFile::exists(scalePath));
    EXPECT_EQ(grid->Row(), 3);
    Key(Qt::Key_Up);
    EXPECT_EQ(modal.shown.size(), 3u);
    EXPECT_EQ(Sections(scalePath), QStringList({"2,5", "4,5", "7", "10"}));
    EXPECT_EQ(Value(scalePath, "7", "eon"), QString("Dernier"));
    EXPECT_EQ(Value(scalePath, "10", "eon"), QString("Leur texte"));
    EXPECT_EQ(grid->Row(), 2);
}

// A row with text but no name asks before it is dropped, when the file changes and at close.
TEST_F(FormTest, UnnamedRowsAskBeforeTheyGo) {
    OpenData("[A]\r\nEchelle=a.ini\r\n");
    form->Insreraprs1Click(nullptr);
    Key(Qt::Key_Down);
    Key(Qt::Key_Tab);
    Type("b.ini");
    modal.answers = {TModalResult::mrCancel, TModalResult::mrCancel};
    form->OuvrirDonnes1->trigger();
    ASSERT_EQ(modal.shown.size(), 1u);
    EXPECT_EQ(modal.shown[0].text, QString("La ligne 2 du tableau contient du texte mais sa "
                                           "colonne «\u00A0Item du menu\u00A0» est vide : elle "
                                           "ne peut pas être enregistrée.\nL'abandonner ?"));
    EXPECT_EQ(modal.shown[0].defaultButton, mbCancel);
    EXPECT_EQ(grid->Cells(1, 2), QString("b.ini"));
    EXPECT_FALSE(form->close());
    EXPECT_EQ(modal.shown.size(), 2u);
    EXPECT_TRUE(form->isVisible());
    modal.answers = {TModalResult::mrOk};
    EXPECT_TRUE(form->close());
    EXPECT_EQ(Sections(dataPath), QStringList({"A"}));
}

// Shift with the arrows and a mouse drag select a block; Ctrl+C copies it tab-separated; Ctrl+V
// pastes a block from the current cell, each row saved, taken back by one Ctrl+Z.
TEST_F(FormTest, BlocksAreSelectedCopiedAndPasted) {
    OpenScale(kScaleFile);
    Click(1, 1);
    Key(Qt::Key_Down, Qt::ShiftModifier);
    Key(Qt::Key_Right, Qt::ShiftModifier);
    EXPECT_EQ(grid->Selection(), QRect(QPoint(1, 1), QPoint(2, 2)));
    EXPECT_EQ(grid->selectionModel()->selectedIndexes().size(), 4);
    Key(Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QString("Archéen\t\nHadéen\t\n"));
    QTest::mousePress(grid->viewport(), Qt::LeftButton, {}, CellCenter(0, 1));
    QMouseEvent move(QEvent::MouseMove, CellCenter(1, 3),
                     grid->viewport()->mapToGlobal(CellCenter(1, 3)), Qt::NoButton, Qt::LeftButton,
                     Qt::NoModifier);
    QApplication::sendEvent(grid->viewport(), &move);
    QTest::mouseRelease(grid->viewport(), Qt::LeftButton, {}, CellCenter(1, 3));
    EXPECT_EQ(grid->Selection(), QRect(QPoint(0, 1), QPoint(1, 3)));
    EXPECT_EQ(grid->Row(), 3);

    QGuiApplication::clipboard()->setText("X\tY\r\nZ\tW\r\n");
    Click(1, 2);
    Key(Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(Value(scalePath, "4,5", "eon"), QString("X"));
    EXPECT_EQ(Value(scalePath, "4,5", "ere"), QString("Y"));
    EXPECT_EQ(Value(scalePath, "10", "eon"), QString("Z"));
    EXPECT_EQ(Value(scalePath, "10", "couleur"), QString("16711680"));
    EXPECT_FALSE(form->Modified);
    Key(Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(ReadBytes(scalePath), kScaleFile);
    // A block wider than the columns left: nothing pasted, the user told.
    QGuiApplication::clipboard()->setText("1\t2\t3\n");
    Click(11, 2);
    Key(Qt::Key_V, Qt::ControlModifier);
    EXPECT_TRUE(modal.shown.back().text.startsWith("Le bloc copié a 3 colonnes"));
    EXPECT_EQ(ReadBytes(scalePath), kScaleFile);
}

// Paths show their file names first; the event text column leaves room for the vertical scroll
// bar.
TEST_F(FormTest, PathsShowTheirFileNamesAndEventsNeedNoSideways) {
    OpenScale(kScaleFile);
    for (int col : {8, 9, 11, 12}) EXPECT_EQ(grid->ColElide(col), Qt::ElideMiddle) << col;
    EXPECT_EQ(grid->ColElide(7), Qt::ElideRight);
    const QFontMetrics metrics(grid->font());
    const QString path = "Images\\Quaternaire_bio.png";
    EXPECT_EQ(ElidePath(metrics, path, 1000), path);
    const int nameWidth = metrics.horizontalAdvance("\u2026Quaternaire_bio.png");
    EXPECT_EQ(ElidePath(metrics, path, nameWidth), "\u2026Quaternaire_bio.png");
    const QString cut = ElidePath(metrics, path, 60);
    EXPECT_TRUE(cut.startsWith("Qua") && cut.endsWith("png")) << cut.toStdString();
    EXPECT_LE(metrics.horizontalAdvance(cut), 60);
    QByteArray events;
    for (int i = 0; i < 80; ++i) events += "[" + QByteArray::number(i) + "]\r\nevenement=x\r\n";
    scalePath = dir.filePath("evenements.ini");
    WriteBytes(scalePath, events);
    form->EventFile = std::make_unique<TIniFile>(scalePath);
    form->LoadTable(form->EventFile.get());
    QCoreApplication::processEvents();
    EXPECT_TRUE(grid->verticalScrollBar()->isVisible());
    EXPECT_FALSE(grid->horizontalScrollBar()->isVisible());
    EXPECT_LE(grid->ColWidths(0) + grid->ColWidths(1), grid->viewport()->width());
}

// Names with spaces are rows of their own, sorted by their own value, and can be edited.
TEST_F(FormTest, NamesWithSpacesAreRowsOfTheirOwn) {
    OpenScale("[10]\r\neon=a\r\n[ 2]\r\neon=b\r\n[2 ]\r\neon=c\r\n[ ]\r\neon=d\r\n");
    EXPECT_EQ(Column(0), QStringList({"Début", "2 ", " ", " 2", "10"}));
    Click(1, 2);
    Type("e");
    Key(Qt::Key_Down);
    EXPECT_EQ(Value(scalePath, " ", "eon"), QString("e"));
    EXPECT_EQ(Value(scalePath, "2 ", "eon"), QString("c"));
    EXPECT_TRUE(modal.shown.empty());
}

} // namespace

namespace {

class GridTest : public ::testing::Test {
protected:
    void SetUp() override {
        grid.SetColCount(3);
        grid.SetRowCount(4);
        grid.SetFixedRows(1);
        grid.resize(400, 300);
        grid.show();
        grid.OnSelectCell = [this](int col, int row, bool& canSelect) {
            moves.append(QString("select %1,%2").arg(col).arg(row));
            canSelect = allow;
            if (fail) throw Exception("Refusé");
        };
        grid.OnSetEditText = [this](int col, int row, const QString& text) {
            moves.append(QString("text %1,%2=%3").arg(col).arg(row).arg(text));
        };
    }

    TScriptedModal modal;
    TModalScope modalScope{modal};
    TStringGrid grid;
    QStringList moves;
    bool allow = true;
    bool fail = false;
};

TEST_F(GridTest, NotificationsComeInOrderAndCanRefuse) {
    EXPECT_EQ(grid.Row(), 1);
    EXPECT_EQ(grid.Col(), 0);
    QTest::keyClicks(grid.Editor(), "ab");
    EXPECT_EQ(moves, QStringList({"text 0,1=a", "text 0,1=ab"}));
    EXPECT_EQ(grid.Cells(0, 1), QString("ab"));

    // The editor leaves its cell, then the move is asked for.
    moves.clear();
    QTest::keyClick(grid.Editor(), Qt::Key_Down);
    EXPECT_EQ(moves, QStringList({"text 0,1=ab", "select 0,2"}));
    EXPECT_EQ(grid.Row(), 2);

    // A refusal or a failure keeps the cell; a failure is reported once.
    allow = false;
    QTest::keyClick(grid.Editor(), Qt::Key_Up);
    EXPECT_EQ(grid.Row(), 2);
    allow = true;
    fail = true;
    const QPoint other = grid.visualRect(grid.model()->index(2, 2)).center();
    QTest::mouseClick(grid.viewport(), Qt::LeftButton, {}, other);
    EXPECT_EQ(grid.Row(), 2);
    EXPECT_EQ(grid.Col(), 0);
    ASSERT_EQ(modal.shown.size(), 1u);
    EXPECT_EQ(modal.shown[0].text, QString("Refusé"));
    EXPECT_EQ(modal.shown[0].type, TMsgDlgType::mtError);
    EXPECT_EQ(grid.selectionModel()->selectedIndexes(),
              QModelIndexList({grid.model()->index(1, 0)}));
    // Moves made in code raise to the caller.
    EXPECT_THROW(grid.SetCurrentCell(1, 1), Exception);
    fail = false;

    // Program writes raise nothing; a smaller row count moves the cell with a notification.
    moves.clear();
    grid.SetCells(1, 3, "x");
    grid.CopyRow(3, 1);
    EXPECT_EQ(grid.Cells(1, 1), QString("x"));
    grid.ClearRow(3);
    EXPECT_EQ(grid.Cells(1, 3), QString());
    grid.SetCurrentCell(2, 3);
    moves.clear();
    grid.SetRowCount(2);
    EXPECT_EQ(moves, QStringList({"text 2,3=", "select 2,1"}));
    EXPECT_EQ(grid.Row(), 1);
    EXPECT_EQ(grid.Col(), 2);
}

TEST_F(GridTest, KeyHandlersActBeforeTheKey) {
    QStringList keys;
    grid.OnKeyDown = [&](int key, Qt::KeyboardModifiers) {
        keys.append(QKeySequence(key).toString());
        if (key == Qt::Key_F5) throw Exception("F5");
    };
    grid.OnKeyPress = [](QChar& key) {
        if (key == u'a') key = u'b';
        if (key == u'z') key = QChar();
    };
    QTest::keyClicks(grid.Editor(), "aza");
    EXPECT_EQ(grid.Cells(0, 1), QString("bb"));
    EXPECT_EQ(keys, QStringList({"A", "Z", "A"}));
    // A failing key handler: reported, and the key does nothing.
    QTest::keyClick(grid.Editor(), Qt::Key_F5);
    QTest::keyClick(grid.Editor(), Qt::Key_Tab);
    EXPECT_EQ(grid.Col(), 1);
    EXPECT_EQ(modal.shown.size(), 1u);
    // Tab wraps to the next row and skips hidden columns.
    grid.SetColWidths(2, 0);
    QTest::keyClick(grid.Editor(), Qt::Key_Tab);
    EXPECT_EQ(grid.Row(), 2);
    EXPECT_EQ(grid.Col(), 0);
    QTest::keyClick(grid.Editor(), Qt::Key_Backtab);
    EXPECT_EQ(grid.Row(), 1);
    EXPECT_EQ(grid.Col(), 1);
}

// Moving into a cell wider than the view whose start shows does not scroll the columns before
// it half out of sight; a cell out of sight is scrolled to.
TEST_F(GridTest, WideCellsDoNotScrollTheKeyColumnAway) {
    grid.SetColWidths(0, 60);
    grid.SetColWidths(1, 600);
    grid.SetColWidths(2, 60);
    QCoreApplication::processEvents();
    QTest::keyClick(grid.Editor(), Qt::Key_Tab);
    EXPECT_EQ(grid.Col(), 1);
    EXPECT_EQ(grid.horizontalScrollBar()->value(), 0);
    QTest::keyClick(grid.Editor(), Qt::Key_Tab);
    EXPECT_EQ(grid.Col(), 2);
    EXPECT_GT(grid.horizontalScrollBar()->value(), 0);
}

// Qt's message box as the user sees it: French buttons, the default, Escape.
TEST(QtModalTest, MessageBoxButtonsAndAnswers) {
    TQtModalUI ui;
    QString seen;
    auto answerWith = [&](Qt::Key key) {
        QTimer::singleShot(0, [&seen, key] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr) return;
            QStringList buttons;
            for (QAbstractButton* button : box->buttons()) buttons.append(button->text());
            buttons.sort();
            seen = box->windowTitle() + "|" + box->text() + "|" + buttons.join(',') + "|" +
                   QString::number(box->icon());
            QTest::keyClick(box, key);
        });
    };
    answerWith(Qt::Key_Escape);
    EXPECT_EQ(
        ui.MessageBox("Confirmation", "a\rb", TMsgDlgType::mtConfirmation, mbOK | mbCancel, mbOK),
        TModalResult::mrCancel);
    EXPECT_EQ(seen, "Confirmation|a\nb|Annuler,OK|" + QString::number(QMessageBox::Question));
    answerWith(Qt::Key_Return);
    EXPECT_EQ(
        ui.MessageBox("Confirmation", "c", TMsgDlgType::mtConfirmation, mbOK | mbCancel, mbOK),
        TModalResult::mrOk);
    answerWith(Qt::Key_Escape);
    EXPECT_EQ(ui.MessageBox("Erreur", "d", TMsgDlgType::mtError, mbOK, mbOK), TModalResult::mrOk);
    EXPECT_EQ(seen, "Erreur|d|OK|" + QString::number(QMessageBox::Critical));
}

} // namespace
