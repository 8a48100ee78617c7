// The main window's menus and dialogs: the cell pickers, switching between the data file and
// the scale and event files it names, showing and closing the window.
#include "editor/EditU1.h"

#include "editor/Paths.h"
#include "platform/ui/Application.h"
#include "platform/ui/FileDialogs.h"
#include "platform/ui/OpenPictureDialog.h"
#include "platform/ui/StringGrid.h"

#include <QAction>
#include <QCloseEvent>
#include <QMenu>
#include <QMenuBar>
#include <QShortcut>
#include <QShowEvent>

namespace {

constexpr int kColorColumn = 6;

// Which mode shows a menu item.
enum class TShown { Always, Scale, Data };

// The commands of the pop-up menu and of the "Edition" menu, in the order both menus list them:
// each command's item in each menu (object name, caption, the window's field) and its handler.
struct TCommand {
    const char* popupName;
    const char* popupCaption;
    QAction* TForm1::*popupItem;
    const char* editName;
    const char* editCaption;
    QAction* TForm1::*editItem;
    void (TForm1::*handler)(QObject*);
    TShown shown;
};

constexpr TCommand kCommands[] = {
    {"Insreraprs1", "Insérer après", &TForm1::Insreraprs1, "Insreraprs2", "Insérer après",
     &TForm1::Insreraprs2, &TForm1::Insreraprs1Click, TShown::Always},
    {"Supprimer1", "Supprimer ligne", &TForm1::Supprimer1, "Supprimerligne1", "Supprimer ligne",
     &TForm1::Supprimerligne1, &TForm1::Supprimer1Click, TShown::Always},
    {"Choisircouleur2", "Choisir couleur", &TForm1::Choisircouleur2, "Choisircouleur1",
     "Choisir couleur", &TForm1::Choisircouleur1, &TForm1::Choisircouleur1Click, TShown::Scale},
    {"Choisirimage1", "Choisir image Biosphère", &TForm1::Choisirimage1, "ChoisirImage2",
     "Choisir Image Biosphère", &TForm1::ChoisirImage2, &TForm1::Choisirimage1Click, TShown::Scale},
    {"ChoisirlienBiosphre2", "Choisir lien Biosphère", &TForm1::ChoisirlienBiosphre2,
     "ChoisirLienBiosphre1", "Choisir Lien Biosphère", &TForm1::ChoisirLienBiosphre1,
     &TForm1::ChoisirLienBiosphre1Click, TShown::Scale},
    {"ChoisirImagePalo1", "Choisir Image Paléo.", &TForm1::ChoisirImagePalo1, "ChoisirImagePalo2",
     "Choisir Image Paléo.", &TForm1::ChoisirImagePalo2, &TForm1::Choisirimage1Click,
     TShown::Scale},
    {"ChoisirlienPalo2", "Choisir lien Paléo.", &TForm1::ChoisirlienPalo2, "ChoisirLienPalo1",
     "Choisir Lien Paléo.", &TForm1::ChoisirLienPalo1, &TForm1::ChoisirLienBiosphre1Click,
     TShown::Scale},
    {"ChoisirFichierEchelle2", "Choisir fichier Echelle", &TForm1::ChoisirFichierEchelle2,
     "ChoisirfichierEchelle1", "Choisir fichier Echelle", &TForm1::ChoisirfichierEchelle1,
     &TForm1::ChoisirfichierEchelle1Click, TShown::Data},
    {"ChoisirfichierEvnement2", "Choisir fichier Evénement", &TForm1::ChoisirfichierEvnement2,
     "ChoisirFichierEvnement1", "Choisir fichier Evénement", &TForm1::ChoisirFichierEvnement1,
     &TForm1::ChoisirfichierEchelle1Click, TShown::Data},
    {"EditerlefichierEchelle2", "Editer le fichier Echelle", &TForm1::EditerlefichierEchelle2,
     "EditerlefichierEchelle1", "Editer le fichier Echelle", &TForm1::EditerlefichierEchelle1,
     &TForm1::EditerlefichierEchelle1Click, TShown::Data},
    {"EditerlefichierEvnement2", "Editer le fichier Evénement", &TForm1::EditerlefichierEvnement2,
     "EditerlefichierEvnement1", "Editer le fichier Evénement", &TForm1::EditerlefichierEvnement1,
     &TForm1::EditerlefichierEvnement1Click, TShown::Data},
};

} // namespace

QAction* TForm1::AddItem(QMenu* menu, const QString& name, const QString& caption,
                         void (TForm1::*handler)(QObject*)) {
    QAction* item = menu->addAction(caption);
    item->setObjectName(name);
    connect(item, &QAction::triggered, this,
            [this, item, handler] { TApplication::Run([&] { (this->*handler)(item); }); });
    return item;
}

void TForm1::CreateMenus() {
    QMenuBar* MainMenu1 = menuBar();
    MainMenu1->setObjectName(QStringLiteral("MainMenu1"));
    // Alt with the underlined letter opens a menu, as F10 opens the first.
    Fichier1 = MainMenu1->addMenu(QStringLiteral("&Fichier"));
    Fichier1->setObjectName(QStringLiteral("Fichier1"));
    OuvrirDonnes1 = AddItem(Fichier1, QStringLiteral("OuvrirDonnes1"),
                            QStringLiteral("Ouvrir Données"), &TForm1::OuvrirDonnes1Click);
    Quitter1 = AddItem(Fichier1, QStringLiteral("Quitter1"), QStringLiteral("Quitter"),
                       &TForm1::Quitter1Click);
    Ed1 = MainMenu1->addMenu(QStringLiteral("&Edition"));
    Ed1->setObjectName(QStringLiteral("Ed1"));
    auto* f10 = new QShortcut(QKeySequence(Qt::Key_F10), this);
    connect(f10, &QShortcut::activated, this,
            [this] { menuBar()->setActiveAction(Fichier1->menuAction()); });

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    for (const TCommand& command : kCommands) {
        this->*command.popupItem =
            AddItem(PopupMenu1, QString::fromUtf8(command.popupName),
                    QString::fromUtf8(command.popupCaption), command.handler);
        this->*command.editItem = AddItem(Ed1, QString::fromUtf8(command.editName),
                                          QString::fromUtf8(command.editCaption), command.handler);
    }
    StringGrid1->SetPopupMenu(PopupMenu1);
}

void TForm1::CreateDialogs() {
    // The picture dialog's filter comes from the picture registry as it stands now, after the
    // image library's start-up.
    OpenPictureDialog1 = new TOpenPictureDialog(this);
    OpenPictureDialog1->setObjectName(QStringLiteral("OpenPictureDialog1"));
    OpenPictureDialog1->setSizeGripEnabled(true);

    OpenDialog1 = new TOpenDialog(this);
    OpenDialog1->setObjectName(QStringLiteral("OpenDialog1"));
    OpenDialog1->Filter = QStringLiteral("Html|*.htm;*.html");
    OpenDialog1->Options =
        ofExtensionDifferent | ofEnableSizing | ofFileMustExist | ofHideReadOnly | ofPathMustExist;

    // A calendar file that does not exist yet may be named: its first save creates it.
    OpenDialog2 = new TOpenDialog(this);
    OpenDialog2->setObjectName(QStringLiteral("OpenDialog2"));
    OpenDialog2->Filter = QStringLiteral("Ini|*.ini");
    OpenDialog2->Options = ofHideReadOnly | ofPathMustExist | ofExtensionDifferent | ofEnableSizing;

    ColorDialog1 = new TColorDialog(this);
    ColorDialog1->setObjectName(QStringLiteral("ColorDialog1"));
}

void TForm1::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    // Shown by the program, not restored by the window system.
    if (!event->spontaneous()) TApplication::Run([this] { FormShow(); });
}

void TForm1::FormShow() {
    StringGrid1->setFocus();
    if (BaseDir == BaseFolder() && !BaseFolderProblem().isEmpty()) {
        TApplication::Modal().MessageBox(QStringLiteral("Erreur"), BaseFolderProblem(),
                                         TMsgDlgType::mtError, mbOK, mbOK);
    }
    OpenDataFile(QStringLiteral("Donnees.ini"));
}

void TForm1::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    // Back in the window: what another program changed meanwhile shows at once.
    if (event->type() != QEvent::ActivationChange || !isActiveWindow()) return;
    TIniFile* file = CurrentFile();
    if (file != nullptr && file->Exists() && file->Content() != TableFileBytes)
        TApplication::Run([this] { ReloadTable(); });
}

void TForm1::closeEvent(QCloseEvent* event) {
    if (TApplication::Run([this] { FormClose(); })) {
        event->accept();
    } else {
        event->ignore();
    }
}

void TForm1::FormClose() {
    if (Modified) {
        try {
            SaveRow(EditRow);
        } catch (const std::exception& error) {
            // A save that keeps failing must not hold the window open for ever.
            const QString name = StringGrid1->Cells(0, EditRow);
            const QString row = name.isEmpty() ? QStringLiteral("%1 du tableau").arg(EditRow)
                                               : QStringLiteral("«\u00A0%1\u00A0»").arg(name);
            QString text = QStringLiteral("Fermer sans enregistrer la ligne %1 ? Ce que vous y "
                                          "avez changé sera perdu.")
                               .arg(row);
            if (dynamic_cast<const EAbort*>(&error) == nullptr)
                text = QString::fromUtf8(error.what()) + QStringLiteral("\n\n") + text;
            if (TApplication::Modal().MessageBox(QStringLiteral("Erreur"), text,
                                                 TMsgDlgType::mtError, mbOK | mbCancel,
                                                 mbCancel) != TModalResult::mrOk) {
                throw EAbort();
            }
            Modified = false;
        }
    }
    ConfirmAbandonUnnamedRows();
    ScaleFile.reset();
    EventFile.reset();
    DataFile.reset();
}

void TForm1::Quitter1Click(QObject*) {
    close();
}

void TForm1::OpenFile(std::unique_ptr<TIniFile>& field, const QString& name) {
    setWindowTitle(QStringLiteral("Chronolith - ") + name + QStringLiteral(" -"));
    field.reset();
    field = std::make_unique<TIniFile>(NativePath(BaseDir, name));
    LoadTable(field.get());
    UpdateMenus();
}

void TForm1::OpenDataFile(const QString& name) {
    OpenFile(DataFile, name);
}

void TForm1::OpenScaleFile(const QString& name) {
    OpenFile(ScaleFile, name);
}

void TForm1::OpenEventFile(const QString& name) {
    OpenFile(EventFile, name);
}

void TForm1::UpdateMenus() {
    for (const TCommand& command : kCommands) {
        const bool visible = command.shown == TShown::Always ||
                             (command.shown == TShown::Scale && EditMode == emScale) ||
                             (command.shown == TShown::Data && EditMode == emData);
        (this->*command.popupItem)->setVisible(visible);
        (this->*command.editItem)->setVisible(visible);
    }
}

template <class Dialog>
void TForm1::PickFile(Dialog& dialog, const QString& folder, const QString& titlePrefix,
                      int column) {
    const int row = StringGrid1->Row();
    dialog.InitialDir = folder;
    dialog.FileName.clear();
    dialog.Title = titlePrefix + StringGrid1->Cells(0, row);
    if (!TApplication::Modal().Execute(dialog)) return;
    StringGrid1->SetCells(column, row, StoredPath(BaseDir, dialog.FileName));
    // Pending until saved: a refused save is tried again when the row is left.
    Modified = true;
    EditRow = row;
    SaveRow(row);
}

void TForm1::Choisirimage1Click(QObject* sender) {
    const QString images = NativePath(BaseDir, QStringLiteral("Images"));
    if (sender == Choisirimage1 || sender == ChoisirImage2) {
        PickFile(*OpenPictureDialog1, images, QStringLiteral("Image biosphère pour "), 8);
    } else {
        PickFile(*OpenPictureDialog1, images, QStringLiteral("Image Paléo. pour "), 11);
    }
}

void TForm1::ChoisirLienBiosphre1Click(QObject* sender) {
    const QString pages = NativePath(BaseDir, QStringLiteral("Html"));
    if (sender == ChoisirLienBiosphre1 || sender == ChoisirlienBiosphre2) {
        PickFile(*OpenDialog1, pages, QStringLiteral("Lien pour image biosphère"), 9);
    } else {
        PickFile(*OpenDialog1, pages, QStringLiteral("Lien pour Image Paléo."), 12);
    }
}

void TForm1::ChoisirfichierEchelle1Click(QObject* sender) {
    if (sender == ChoisirfichierEchelle1 || sender == ChoisirFichierEchelle2) {
        PickFile(*OpenDialog2, BaseDir, QStringLiteral("Fichier Echelle pour "), 1);
    } else {
        PickFile(*OpenDialog2, BaseDir, QStringLiteral("Fichier Evénement pour "), 2);
    }
}

void TForm1::Choisircouleur1Click(QObject*) {
    const int row = StringGrid1->Row();
    ColorDialog1->Color = ToQColor(ColorCellValue(StringGrid1->Cells(kColorColumn, row)));
    if (!TApplication::Modal().Execute(*ColorDialog1)) return;
    StringGrid1->SetCells(kColorColumn, row, ColorCellText(FromQColor(ColorDialog1->Color)));
    Modified = true;
    EditRow = row;
    SaveRow(row);
}

void TForm1::OuvrirDonnes1Click(QObject*) {
    if (Modified) SaveRow(EditRow);
    ConfirmAbandonUnnamedRows();
    OpenDataFile(QStringLiteral("Donnees.ini"));
}

void TForm1::EditNamedFile(int column, void (TForm1::*open)(const QString&)) {
    if (Modified) SaveRow(EditRow);
    const QString name = StringGrid1->Cells(column, StringGrid1->Row());
    if (name.isEmpty()) {
        TApplication::Modal().MessageBox(QStringLiteral("Erreur"),
                                         QStringLiteral("Le nom du fichier n'est pas défini !"),
                                         TMsgDlgType::mtError, mbOK, mbOK);
        return;
    }
    ConfirmAbandonUnnamedRows();
    (this->*open)(name);
}

void TForm1::EditerlefichierEchelle1Click(QObject*) {
    EditNamedFile(1, &TForm1::OpenScaleFile);
}

void TForm1::EditerlefichierEvnement1Click(QObject*) {
    EditNamedFile(2, &TForm1::OpenEventFile);
}
