// Every menu command of the main window, with its dialogs answered by a script: pickers and the
// paths and colours they store, file switching with titles, headings and menus per mode, the
// column layout at the designed size, and closing with a pending edit.
#include "EditorTestSupport.h"
#include "editor/EditU1.h"
#include "editor/Startup.h"
#include "platform/graphics/Warning.h"
#include "platform/ui/Application.h"
#include "platform/ui/FileDialogs.h"
#include "platform/ui/OpenPictureDialog.h"
#include "platform/ui/Panel.h"
#include "platform/ui/StringGrid.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QMenu>
#include <QMenuBar>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <optional>

namespace {

// One dialog that was run: which one and what it was set to.
struct TDialogRun {
    QString dialog; // object name
    QString initialDir;
    QString title;
    QString filter;
    QColor color;
};

// Message boxes as TScriptedModal; dialogs answered from `files` (a full path, or nullopt to
// cancel) and `colors`. A dialog without an answer left fails the test and is cancelled.
class TScriptedDialogs : public TScriptedModal {
public:
    bool Execute(TOpenDialog& dialog) override {
        runs.push_back({dialog.objectName(), dialog.InitialDir, dialog.Title, dialog.Filter, {}});
        return AnswerFile(dialog.FileName);
    }
    bool Execute(TOpenPictureDialog& dialog) override {
        runs.push_back({dialog.objectName(), dialog.InitialDir, dialog.Title, dialog.Filter(), {}});
        return AnswerFile(dialog.FileName);
    }
    bool Execute(TColorDialog& dialog) override {
        runs.push_back({dialog.objectName(), {}, {}, {}, dialog.Color});
        if (colors.empty()) {
            ADD_FAILURE() << "unexpected colour dialog";
            return false;
        }
        const std::optional<QColor> answer = colors.front();
        colors.pop_front();
        if (!answer) return false;
        dialog.Color = *answer;
        return true;
    }

    std::deque<std::optional<QString>> files;
    std::deque<std::optional<QColor>> colors;
    std::vector<TDialogRun> runs;

private:
    bool AnswerFile(QString& fileName) {
        if (files.empty()) {
            ADD_FAILURE() << "unexpected file dialog " << runs.back().title.toStdString();
            return false;
        }
        const std::optional<QString> answer = files.front();
        files.pop_front();
        if (!answer) return false;
        fileName = *answer;
        return true;
    }
};

const QByteArray kData = "[Temps g\xE9ologiques]\r\n"
                         "Echelle=Echelle.ini\r\n"
                         "Evenement=Evts\\Evenements.ini\r\n"
                         "\r\n"
                         "[Sans fichier]\r\n"
                         "Echelle=\r\n"
                         "Evenement=\r\n"
                         "\r\n"
                         "[Ailleurs]\r\n"
                         "Echelle=F:\\Autre\\Echelle.ini\r\n";

// Sorted: 2,5 (row 1), 4,5 (row 2), 10 (row 3).
const QByteArray kScale = "[10]\r\n"
                          "eon=Phan\xE9rozo\xEFque\r\n"
                          "couleur=$FF\r\n"
                          "\r\n"
                          "[4,5]\r\n"
                          "eon=Had\xE9"
                          "en\r\n"
                          "couleur=rouge\r\n"
                          "\r\n"
                          "[2,5]\r\n"
                          "eon=Arch\xE9"
                          "en\r\n";

const QByteArray kEvents = "[65]\r\nevenement=Fin des dinosaures\r\n";

class CommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        base = dir.path() + "/Cal/";
        ASSERT_TRUE(QDir().mkpath(base + "Images"));
        ASSERT_TRUE(QDir().mkpath(base + "Html"));
        ASSERT_TRUE(QDir().mkpath(base + "Evts"));
        WriteBytes(base + "Donnees.ini", kData);
        WriteBytes(base + "Echelle.ini", kScale);
        WriteBytes(base + "Evts/Evenements.ini", kEvents);
        form = std::make_unique<TForm1>();
        form->BaseDir = base;
        grid = form->StringGrid1;
    }
    void Show() {
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    }
    // Shows the window and opens the scale file of the first menu item.
    void ShowScale() {
        Show();
        grid->SetCurrentCell(0, 1);
        form->EditerlefichierEchelle1->trigger();
        ASSERT_EQ(form->EditMode, emScale);
    }
    QString Value(const QString& file, const QString& section, const QString& key) {
        return TIniFile(base + file).ReadValue(section, key, "<absent>");
    }
    QStringList Headings() const {
        QStringList result;
        for (int col = 0; col < grid->ColCount(); ++col) result += grid->Cells(col, 0);
        return result;
    }
    QList<int> Widths() const {
        QList<int> result;
        for (int col = 0; col < grid->ColCount(); ++col) result += grid->ColWidths(col);
        return result;
    }
    QStringList Visible(QMenu* menu) const {
        QStringList result;
        for (const QAction* item : menu->actions())
            if (item->isVisible()) result += item->objectName();
        return result;
    }

    TScriptedDialogs modal;
    TModalScope scope{modal};
    QTemporaryDir dir;
    QString base;
    std::unique_ptr<TForm1> form;
    TStringGrid* grid = nullptr;
};

TEST_F(CommandsTest, MenusHoldEveryItemInOrderWithoutShortcuts) {
    struct TItem {
        const char* name;
        const char* caption;
    };
    const auto check = [](const QList<QAction*>& items, std::initializer_list<TItem> expected) {
        ASSERT_EQ(items.size(), qsizetype(expected.size()));
        int i = 0;
        for (const TItem& item : expected) {
            EXPECT_EQ(items[i]->objectName(), QString(item.name));
            EXPECT_EQ(items[i]->text(), QString::fromUtf8(item.caption));
            EXPECT_TRUE(items[i]->shortcut().isEmpty()) << item.name;
            EXPECT_TRUE(items[i]->isVisible()) << item.name;
            ++i;
        }
    };
    check(form->PopupMenu1->actions(),
          {{"Insreraprs1", "Insérer après"},
           {"Supprimer1", "Supprimer ligne"},
           {"Choisircouleur2", "Choisir couleur"},
           {"Choisirimage1", "Choisir image Biosphère"},
           {"ChoisirlienBiosphre2", "Choisir lien Biosphère"},
           {"ChoisirImagePalo1", "Choisir Image Paléo."},
           {"ChoisirlienPalo2", "Choisir lien Paléo."},
           {"ChoisirFichierEchelle2", "Choisir fichier Echelle"},
           {"ChoisirfichierEvnement2", "Choisir fichier Evénement"},
           {"EditerlefichierEchelle2", "Editer le fichier Echelle"},
           {"EditerlefichierEvnement2", "Editer le fichier Evénement"}});
    // The menus' captions, their first letter underlined for Alt.
    const QList<QAction*> menus = form->menuBar()->actions();
    ASSERT_EQ(menus.size(), 2);
    EXPECT_EQ(menus[0]->text(), QString("&Fichier"));
    EXPECT_EQ(menus[1]->text(), QString("&Edition"));
    check(form->Fichier1->actions(),
          {{"OuvrirDonnes1", "Ouvrir Données"}, {"Quitter1", "Quitter"}});
    check(form->Ed1->actions(), {{"Insreraprs2", "Insérer après"},
                                 {"Supprimerligne1", "Supprimer ligne"},
                                 {"Choisircouleur1", "Choisir couleur"},
                                 {"ChoisirImage2", "Choisir Image Biosphère"},
                                 {"ChoisirLienBiosphre1", "Choisir Lien Biosphère"},
                                 {"ChoisirImagePalo2", "Choisir Image Paléo."},
                                 {"ChoisirLienPalo1", "Choisir Lien Paléo."},
                                 {"ChoisirfichierEchelle1", "Choisir fichier Echelle"},
                                 {"ChoisirFichierEvnement1", "Choisir fichier Evénement"},
                                 {"EditerlefichierEchelle1", "Editer le fichier Echelle"},
                                 {"EditerlefichierEvnement1", "Editer le fichier Evénement"}});
    EXPECT_EQ(form->windowTitle(), QString("Chronolith"));
}

TEST_F(CommandsTest, DesignedWindowLaysOutEveryMode) {
    Show();
    EXPECT_EQ(form->Panel1->size(), QSize(992, 654));
    EXPECT_EQ(grid->size(), QSize(968, 630));
    EXPECT_EQ(form->windowTitle(), QString("Chronolith - Donnees.ini -"));
    EXPECT_EQ(form->EditMode, emData);
    EXPECT_TRUE(grid->hasFocus() || grid->isAncestorOf(QApplication::focusWidget()));
    EXPECT_EQ(Headings().mid(0, 4),
              QStringList({"Item du menu", "Fichier Echelle", "Fichier Evenement", ""}));
    // "Temps géologiques" needs two pixels more than the designed 100.
    EXPECT_EQ(grid->CellFitWidth(0, 1), 102);
    EXPECT_EQ(Widths(), QList<int>({102, 430, 430, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

    grid->SetCurrentCell(0, 1);
    form->EditerlefichierEchelle1->trigger();
    EXPECT_EQ(form->windowTitle(), QString("Chronolith - Echelle.ini -"));
    EXPECT_EQ(Headings(), QStringList({"Début", "Eon", "Ere", "Systeme", "série", "Etage",
                                       "Couleur", "Label Bio.", "Image Bio.", "Lien Bio.",
                                       "Label Paléo.", "Image Paléo.", "Lien Paléo."}));
    // The colour $FF with its swatch needs more than the designed 40; the pictures and links
    // give up what it takes.
    EXPECT_EQ(grid->CellFitWidth(6, 3), 45);
    EXPECT_EQ(Widths(), QList<int>({40, 80, 80, 80, 80, 80, 45, 80, 70, 70, 80, 70, 70}));
    for (int col = 0; col < 13; ++col) EXPECT_LE(grid->HeadingFitWidth(col), Widths()[col]) << col;
    EXPECT_EQ(grid->Cells(0, 1), QString("2,5"));
    EXPECT_EQ(grid->Cells(6, 3), QString("$FF"));

    // Resizing in scale mode changes the four picture and link columns only.
    form->resize(form->width() - 288, form->height());
    QApplication::processEvents();
    ASSERT_EQ(grid->width(), 680);
    EXPECT_EQ(Widths(), QList<int>({40, 80, 80, 80, 80, 80, 45, 80, 0, 0, 80, 0, 0}));
    form->resize(form->width() + 288, form->height());
    QApplication::processEvents();

    form->OuvrirDonnes1->trigger();
    grid->SetCurrentCell(0, 1);
    form->EditerlefichierEvnement2->trigger();
    EXPECT_EQ(form->windowTitle(), QString("Chronolith - Evts\\Evenements.ini -"));
    EXPECT_EQ(form->EditMode, emEvent);
    EXPECT_EQ(Headings().mid(0, 3), QStringList({"Début", "Evenement", ""}));
    EXPECT_EQ(Widths(), QList<int>({60, 902, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(grid->Cells(1, 1), QString("Fin des dinosaures"));
    EXPECT_TRUE(modal.shown.empty());
}

TEST_F(CommandsTest, MenusFollowTheMode) {
    const QStringList always = {"Insreraprs1", "Supprimer1"};
    const QStringList scalePickers = {"Choisircouleur2", "Choisirimage1", "ChoisirlienBiosphre2",
                                      "ChoisirImagePalo1", "ChoisirlienPalo2"};
    const QStringList dataItems = {"ChoisirFichierEchelle2", "ChoisirfichierEvnement2",
                                   "EditerlefichierEchelle2", "EditerlefichierEvnement2"};
    Show();
    EXPECT_EQ(Visible(form->PopupMenu1), always + dataItems);
    EXPECT_EQ(Visible(form->Ed1),
              QStringList({"Insreraprs2", "Supprimerligne1", "ChoisirfichierEchelle1",
                           "ChoisirFichierEvnement1", "EditerlefichierEchelle1",
                           "EditerlefichierEvnement1"}));
    EXPECT_EQ(Visible(form->Fichier1), QStringList({"OuvrirDonnes1", "Quitter1"}));

    grid->SetCurrentCell(0, 1);
    form->EditerlefichierEchelle2->trigger();
    EXPECT_EQ(Visible(form->PopupMenu1), always + scalePickers);
    EXPECT_EQ(Visible(form->Ed1),
              QStringList({"Insreraprs2", "Supprimerligne1", "Choisircouleur1", "ChoisirImage2",
                           "ChoisirLienBiosphre1", "ChoisirImagePalo2", "ChoisirLienPalo1"}));

    form->OuvrirDonnes1->trigger();
    grid->SetCurrentCell(0, 1);
    form->EditerlefichierEvnement1->trigger();
    EXPECT_EQ(Visible(form->PopupMenu1), always);
    EXPECT_EQ(Visible(form->Ed1), QStringList({"Insreraprs2", "Supprimerligne1"}));
    EXPECT_EQ(Visible(form->Fichier1), QStringList({"OuvrirDonnes1", "Quitter1"}));
    EXPECT_TRUE(form->menuBar()->actions()[1]->isVisible());
}

TEST_F(CommandsTest, SwitchingSavesThePendingRowAndReportsAMissingName) {
    Show();
    // "Sans fichier" is row 2; a pending edit of row 1 is saved before the error box.
    grid->SetCurrentCell(1, 1);
    QTest::keyClicks(grid->Editor(), "Autre.ini");
    ASSERT_TRUE(form->Modified);
    grid->SetCurrentCell(0, 2);
    form->Modified = true; // a key went down in the new row without an edit
    grid->SetCurrentCell(1, 2);
    QTest::keyClicks(grid->Editor(), "x");
    grid->SetCells(1, 2, QString());
    form->EditerlefichierEchelle1->trigger();
    ASSERT_EQ(modal.shown.size(), 1u);
    EXPECT_EQ(modal.shown[0].caption, QString("Erreur"));
    EXPECT_EQ(modal.shown[0].text, QString("Le nom du fichier n'est pas défini !"));
    EXPECT_EQ(modal.shown[0].type, TMsgDlgType::mtError);
    EXPECT_EQ(modal.shown[0].buttons, TMsgDlgButtons(mbOK));
    EXPECT_EQ(form->EditMode, emData);
    EXPECT_EQ(form->windowTitle(), QString("Chronolith - Donnees.ini -"));
    EXPECT_EQ(Value("Donnees.ini", "Temps g\u00e9ologiques", "Echelle"), QString("Autre.ini"));
    EXPECT_FALSE(form->Modified);

    // The event command on the same row shows the same box.
    form->EditerlefichierEvnement2->trigger();
    EXPECT_EQ(modal.shown.size(), 2u);
    EXPECT_EQ(form->EditMode, emData);
}

TEST_F(CommandsTest, NamesFromAnotherDriveOpenAnEmptyTable) {
    Show();
    grid->SetCurrentCell(0, 3);
    ASSERT_EQ(grid->Cells(0, 3), QString("Ailleurs"));
    form->EditerlefichierEchelle1->trigger();
    EXPECT_EQ(form->EditMode, emScale);
    EXPECT_EQ(form->windowTitle(), QString("Chronolith - F:\\Autre\\Echelle.ini -"));
    EXPECT_EQ(grid->RowCount(), 2);
    EXPECT_EQ(grid->Cells(0, 1), QString());
    EXPECT_TRUE(modal.shown.empty());
}

TEST_F(CommandsTest, ImagePickersStoreRelativePathsAndSaveTheRow) {
    ShowScale();
    grid->SetCurrentCell(3, 2);
    ASSERT_EQ(grid->Cells(0, 2), QString("4,5"));

    modal.files = {base + "Images/Hadeen.jpg", dir.path() + "/Autre/y.png", std::nullopt};
    form->Choisirimage1->trigger();
    form->ChoisirImagePalo2->trigger();
    form->ChoisirImage2->trigger(); // cancelled
    ASSERT_EQ(modal.runs.size(), 3u);
    EXPECT_EQ(modal.runs[0].dialog, QString("OpenPictureDialog1"));
    EXPECT_EQ(modal.runs[0].initialDir, base + "Images");
    EXPECT_EQ(modal.runs[0].title, QString("Image biosphère pour 4,5"));
    EXPECT_EQ(modal.runs[0].filter, form->OpenPictureDialog1->Filter());
    EXPECT_TRUE(modal.runs[0].filter.startsWith("Tout ("));
    EXPECT_EQ(modal.runs[1].title, QString("Image Paléo. pour 4,5"));
    EXPECT_EQ(modal.runs[2].title, QString("Image biosphère pour 4,5"));

    EXPECT_EQ(grid->Cells(8, 2), QString("Images\\Hadeen.jpg"));
    EXPECT_EQ(grid->Cells(11, 2), QString("..\\Autre\\y.png"));
    EXPECT_EQ(Value("Echelle.ini", "4,5", "imagebio"), QString("Images\\Hadeen.jpg"));
    EXPECT_EQ(Value("Echelle.ini", "4,5", "imagepaleo"), QString("..\\Autre\\y.png"));
    // The whole row is written, every key of the mode.
    EXPECT_EQ(Value("Echelle.ini", "4,5", "lienpaleo"), QString());
    EXPECT_EQ(Value("Echelle.ini", "4,5", "eon"), QString("Had\u00e9en"));
    EXPECT_EQ(grid->Row(), 2);
}

TEST_F(CommandsTest, LinkPickersNameTheRowWithoutASpace) {
    ShowScale();
    grid->SetCurrentCell(0, 2);
    modal.files = {base + "Html/Hadeen.htm", base + "html/Had.html", std::nullopt};
    form->ChoisirlienBiosphre2->trigger();
    form->ChoisirLienPalo1->trigger();
    form->ChoisirLienBiosphre1->trigger();
    ASSERT_EQ(modal.runs.size(), 3u);
    EXPECT_EQ(modal.runs[0].dialog, QString("OpenDialog1"));
    EXPECT_EQ(modal.runs[0].initialDir, base + "Html");
    EXPECT_EQ(modal.runs[0].title, QString("Lien pour image biosphère4,5"));
    EXPECT_EQ(modal.runs[0].filter, QString("Html|*.htm;*.html"));
    EXPECT_EQ(modal.runs[1].title, QString("Lien pour Image Paléo.4,5"));
    EXPECT_EQ(Value("Echelle.ini", "4,5", "lienbio"), QString("Html\\Hadeen.htm"));
    // Folder names keep the case of the chosen path: here it names another folder.
    EXPECT_EQ(Value("Echelle.ini", "4,5", "lienpaleo"), QString("html\\Had.html"));
    EXPECT_EQ(form->OpenDialog1->Options & ofFileMustExist, TOpenOptions(ofFileMustExist));
}

TEST_F(CommandsTest, FilePickersFillTheDataRow) {
    Show();
    grid->SetCurrentCell(2, 2);
    modal.files = {base + "Ere.ini", base + "Evts/Nouveaux.ini"};
    form->ChoisirFichierEchelle2->trigger();
    form->ChoisirFichierEvnement1->trigger();
    ASSERT_EQ(modal.runs.size(), 2u);
    EXPECT_EQ(modal.runs[0].dialog, QString("OpenDialog2"));
    EXPECT_EQ(modal.runs[0].initialDir, base);
    EXPECT_EQ(modal.runs[0].title, QString("Fichier Echelle pour Sans fichier"));
    EXPECT_EQ(modal.runs[0].filter, QString("Ini|*.ini"));
    EXPECT_EQ(modal.runs[1].title, QString("Fichier Evénement pour Sans fichier"));
    EXPECT_EQ(Value("Donnees.ini", "Sans fichier", "Echelle"), QString("Ere.ini"));
    EXPECT_EQ(Value("Donnees.ini", "Sans fichier", "Evenement"), QString("Evts\\Nouveaux.ini"));
    // A calendar file that does not exist yet may be chosen.
    EXPECT_EQ(form->OpenDialog2->Options & ofFileMustExist, 0u);

    // The stored name opens the file it names.
    form->EditerlefichierEvnement1->trigger();
    EXPECT_EQ(form->windowTitle(), QString("Chronolith - Evts\\Nouveaux.ini -"));
    EXPECT_EQ(form->EditMode, emEvent);
}

TEST_F(CommandsTest, ColourPickerReadsAndWritesPlatformColourValues) {
    ShowScale();
    // Row 1 (2,5) has no colour: the dialog opens on black; pure red is 255.
    grid->SetCurrentCell(0, 1);
    modal.colors = {QColor(255, 0, 0), QColor(0, 0, 255), std::nullopt};
    form->Choisircouleur1->trigger();
    EXPECT_EQ(modal.runs.back().color, QColor(Qt::black));
    EXPECT_EQ(grid->Cells(6, 1), QString("255"));
    EXPECT_EQ(Value("Echelle.ini", "2,5", "couleur"), QString("255"));
    // Pure blue is 16711680; the dialog opened on red.
    form->Choisircouleur2->trigger();
    EXPECT_EQ(modal.runs.back().color, QColor(255, 0, 0));
    EXPECT_EQ(Value("Echelle.ini", "2,5", "couleur"), QString("16711680"));

    // Row 3 (10) holds $FF, hexadecimal red; cancelling writes nothing.
    grid->SetCurrentCell(0, 3);
    form->Choisircouleur1->trigger();
    EXPECT_EQ(modal.runs.back().color, QColor(255, 0, 0));
    EXPECT_EQ(Value("Echelle.ini", "10", "couleur"), QString("$FF"));
    EXPECT_TRUE(modal.shown.empty());

    // Row 2 (4,5) holds no integer: the general error report, no dialog, nothing written.
    grid->SetCurrentCell(0, 2);
    const size_t runs = modal.runs.size();
    form->Choisircouleur1->trigger();
    EXPECT_EQ(modal.runs.size(), runs);
    ASSERT_EQ(modal.shown.size(), 1u);
    EXPECT_EQ(modal.shown[0].text, QString("'rouge' n'est pas une valeur entière correcte"));
    EXPECT_EQ(modal.shown[0].type, TMsgDlgType::mtError);
    EXPECT_EQ(Value("Echelle.ini", "4,5", "couleur"), QString("rouge"));
}

TEST_F(CommandsTest, PickerWithoutARowNameWritesNothing) {
    ShowScale();
    grid->SetCurrentCell(0, 1);
    form->Insreraprs1->trigger();
    grid->SetCurrentCell(0, 2);
    ASSERT_EQ(grid->Cells(0, 2), QString());
    const QByteArray before = ReadBytes(base + "Echelle.ini");
    modal.files = {base + "Images/a.jpg"};
    form->Choisirimage1->trigger();
    EXPECT_EQ(modal.runs.back().title, QString("Image biosphère pour "));
    EXPECT_EQ(grid->Cells(8, 2), QString("Images\\a.jpg"));
    EXPECT_EQ(ReadBytes(base + "Echelle.ini"), before);
}

TEST_F(CommandsTest, QuitSavesThePendingEdit) {
    Show();
    grid->SetCurrentCell(2, 1);
    QTest::keyClicks(grid->Editor(), "Ere.ini");
    ASSERT_TRUE(form->Modified);
    form->Quitter1->trigger();
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(Value("Donnees.ini", "Temps g\u00e9ologiques", "Evenement"), QString("Ere.ini"));
    EXPECT_FALSE(form->DataFile);
    EXPECT_TRUE(modal.shown.empty());
}

TEST_F(CommandsTest, FailedSaveKeepsTheWindowOpen) {
    Show();
    grid->SetCurrentCell(1, 1);
    QTest::keyClicks(grid->Editor(), "Ere.ini");
    ASSERT_EQ(::chmod(QFile::encodeName(base + "Donnees.ini").constData(), 0444), 0);
    OpenToAll(dir.path());
    OpenToAll(base);
    {
        const TUnprivileged user;
        modal.answers = {TModalResult::mrCancel};
        EXPECT_FALSE(form->close());
    }
    EXPECT_TRUE(form->isVisible());
    EXPECT_TRUE(form->Modified);
    EXPECT_TRUE(form->DataFile);
    // One box: the error, and the offer to close without the row, named; Annuler by default.
    ASSERT_EQ(modal.shown.size(), 1u);
    EXPECT_EQ(modal.shown[0].caption, QString("Erreur"));
    EXPECT_EQ(modal.shown[0].text, "Impossible d'écrire dans " + base +
                                       "Donnees.ini\n\nFermer sans enregistrer la ligne "
                                       "«\u00A0Temps géologiques\u00A0» ? Ce que vous y avez "
                                       "changé sera perdu.");
    EXPECT_EQ(modal.shown[0].type, TMsgDlgType::mtError);
    EXPECT_EQ(modal.shown[0].buttons, mbOK | mbCancel);
    EXPECT_EQ(modal.shown[0].defaultButton, mbCancel);

    // Once the file can be written the close goes through and saves the row.
    ASSERT_EQ(::chmod(QFile::encodeName(base + "Donnees.ini").constData(), 0644), 0);
    EXPECT_TRUE(form->close());
    EXPECT_EQ(Value("Donnees.ini", "Temps g\u00e9ologiques", "Echelle"), QString("Ere.ini"));

    // A save that keeps failing: "OK" closes without the row, which the file never gets.
    auto again = std::make_unique<TForm1>();
    again->BaseDir = base;
    again->show();
    again->StringGrid1->SetCurrentCell(1, 1);
    QTest::keyClicks(again->StringGrid1->Editor(), "Perdu.ini");
    ASSERT_EQ(::chmod(QFile::encodeName(base + "Donnees.ini").constData(), 0444), 0);
    const QByteArray before = ReadBytes(base + "Donnees.ini");
    {
        const TUnprivileged user;
        modal.answers = {TModalResult::mrOk};
        EXPECT_TRUE(again->close());
    }
    EXPECT_EQ(ReadBytes(base + "Donnees.ini"), before);
}

TEST_F(CommandsTest, WithoutDataFileTheTableIsEmpty) {
    QFile::remove(base + "Donnees.ini");
    Show();
    EXPECT_EQ(form->windowTitle(), QString("Chronolith - Donnees.ini -"));
    EXPECT_EQ(form->EditMode, emData);
    EXPECT_EQ(grid->RowCount(), 2);
    EXPECT_EQ(grid->Cells(0, 1), QString());
    EXPECT_FALSE(QFile::exists(base + "Donnees.ini"));
}

TEST(LibraryWarning, ShowsAWarningBox) {
    TScriptedModal modal;
    const TModalScope scope(modal);
    const TWarningHandler previous = SetWarningHandler(ShowLibraryWarning);
    ShowWarning("Premature end of JPEG data", "Warning");
    SetWarningHandler(previous);
    ASSERT_EQ(modal.shown.size(), 1u);
    EXPECT_EQ(modal.shown[0].caption, QString("Warning"));
    EXPECT_EQ(modal.shown[0].text, QString("Premature end of JPEG data"));
    EXPECT_EQ(modal.shown[0].type, TMsgDlgType::mtWarning);
    EXPECT_EQ(modal.shown[0].buttons, TMsgDlgButtons(mbOK));
}

} // namespace
