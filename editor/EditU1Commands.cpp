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
#include <QShowEvent>

namespace {

constexpr int kColorColumn = 6;

} // namespace

QAction* TForm1::AddItem(QMenu* menu, const char* name, const QString& caption,
                         void (TForm1::*handler)(QObject*)) {
    QAction* item = menu->addAction(caption);
    item->setObjectName(QString::fromLatin1(name));
    connect(item, &QAction::triggered, this,
            [this, item, handler] { TApplication::Run([&] { (this->*handler)(item); }); });
    return item;
}

void TForm1::CreateMenus() {
    QMenuBar* MainMenu1 = menuBar();
    MainMenu1->setObjectName(QStringLiteral("MainMenu1"));
    Fichier1 = MainMenu1->addMenu(QStringLiteral("Fichier"));
    Fichier1->setObjectName(QStringLiteral("Fichier1"));
    OuvrirDonnes1 = AddItem(Fichier1, "OuvrirDonnes1", QStringLiteral("Ouvrir Données"),
                            &TForm1::OuvrirDonnes1Click);
    Quitter1 = AddItem(Fichier1, "Quitter1", QStringLiteral("Quitter"), &TForm1::Quitter1Click);

    Ed1 = MainMenu1->addMenu(QStringLiteral("Edition"));
    Ed1->setObjectName(QStringLiteral("Ed1"));
    Insreraprs2 =
        AddItem(Ed1, "Insreraprs2", QStringLiteral("Insérer après"), &TForm1::Insreraprs1Click);
    Supprimerligne1 = AddItem(Ed1, "Supprimerligne1", QStringLiteral("Supprimer ligne"),
                              &TForm1::Supprimer1Click);
    Choisircouleur1 = AddItem(Ed1, "Choisircouleur1", QStringLiteral("Choisir couleur"),
                              &TForm1::Choisircouleur1Click);
    ChoisirImage2 = AddItem(Ed1, "ChoisirImage2", QStringLiteral("Choisir Image Biosphère"),
                            &TForm1::Choisirimage1Click);
    ChoisirLienBiosphre1 =
        AddItem(Ed1, "ChoisirLienBiosphre1", QStringLiteral("Choisir Lien Biosphère"),
                &TForm1::ChoisirLienBiosphre1Click);
    ChoisirImagePalo2 = AddItem(Ed1, "ChoisirImagePalo2", QStringLiteral("Choisir Image Paléo."),
                                &TForm1::Choisirimage1Click);
    ChoisirLienPalo1 = AddItem(Ed1, "ChoisirLienPalo1", QStringLiteral("Choisir Lien Paléo."),
                               &TForm1::ChoisirLienBiosphre1Click);
    ChoisirfichierEchelle1 =
        AddItem(Ed1, "ChoisirfichierEchelle1", QStringLiteral("Choisir fichier Echelle"),
                &TForm1::ChoisirfichierEchelle1Click);
    ChoisirFichierEvnement1 =
        AddItem(Ed1, "ChoisirFichierEvnement1", QStringLiteral("Choisir fichier Evénement"),
                &TForm1::ChoisirfichierEchelle1Click);
    EditerlefichierEchelle1 =
        AddItem(Ed1, "EditerlefichierEchelle1", QStringLiteral("Editer le fichier Echelle"),
                &TForm1::EditerlefichierEchelle1Click);
    EditerlefichierEvnement1 =
        AddItem(Ed1, "EditerlefichierEvnement1", QStringLiteral("Editer le fichier Evénement"),
                &TForm1::EditerlefichierEvnement1Click);

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    Insreraprs1 = AddItem(PopupMenu1, "Insreraprs1", QStringLiteral("Insérer après"),
                          &TForm1::Insreraprs1Click);
    Supprimer1 = AddItem(PopupMenu1, "Supprimer1", QStringLiteral("Supprimer ligne"),
                         &TForm1::Supprimer1Click);
    Choisircouleur2 = AddItem(PopupMenu1, "Choisircouleur2", QStringLiteral("Choisir couleur"),
                              &TForm1::Choisircouleur1Click);
    Choisirimage1 = AddItem(PopupMenu1, "Choisirimage1", QStringLiteral("Choisir image Biosphère"),
                            &TForm1::Choisirimage1Click);
    ChoisirlienBiosphre2 =
        AddItem(PopupMenu1, "ChoisirlienBiosphre2", QStringLiteral("Choisir lien Biosphère"),
                &TForm1::ChoisirLienBiosphre1Click);
    ChoisirImagePalo1 =
        AddItem(PopupMenu1, "ChoisirImagePalo1", QStringLiteral("Choisir Image Paléo."),
                &TForm1::Choisirimage1Click);
    ChoisirlienPalo2 =
        AddItem(PopupMenu1, "ChoisirlienPalo2", QStringLiteral("Choisir lien Paléo."),
                &TForm1::ChoisirLienBiosphre1Click);
    ChoisirFichierEchelle2 =
        AddItem(PopupMenu1, "ChoisirFichierEchelle2", QStringLiteral("Choisir fichier Echelle"),
                &TForm1::ChoisirfichierEchelle1Click);
    ChoisirfichierEvnement2 =
        AddItem(PopupMenu1, "ChoisirfichierEvnement2", QStringLiteral("Choisir fichier Evénement"),
                &TForm1::ChoisirfichierEchelle1Click);
    EditerlefichierEchelle2 =
        AddItem(PopupMenu1, "EditerlefichierEchelle2", QStringLiteral("Editer le fichier Echelle"),
                &TForm1::EditerlefichierEchelle1Click);
    EditerlefichierEvnement2 = AddItem(PopupMenu1, "EditerlefichierEvnement2",
                                       QStringLiteral("Editer le fichier Evénement"),
                                       &TForm1::EditerlefichierEvnement1Click);
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
    OpenDataFile(QStringLiteral("Donnees.ini"));
}

void TForm1::closeEvent(QCloseEvent* event) {
    if (TApplication::Run([this] { FormClose(); })) {
        event->accept();
    } else {
        event->ignore();
    }
}

void TForm1::FormClose() {
    if (Modified) SaveRow(EditRow);
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
    const bool scale = EditMode == emScale;
    for (QAction* item : {Choisircouleur1, Choisircouleur2, Choisirimage1, ChoisirImage2,
                          ChoisirImagePalo1, ChoisirImagePalo2, ChoisirLienBiosphre1,
                          ChoisirlienBiosphre2, ChoisirLienPalo1, ChoisirlienPalo2})
        item->setVisible(scale);
    const bool data = EditMode == emData;
    for (QAction* item : {ChoisirfichierEchelle1, ChoisirFichierEchelle2, ChoisirFichierEvnement1,
                          ChoisirfichierEvnement2, EditerlefichierEchelle1, EditerlefichierEchelle2,
                          EditerlefichierEvnement1, EditerlefichierEvnement2})
        item->setVisible(data);
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
    (this->*open)(name);
}

void TForm1::EditerlefichierEchelle1Click(QObject*) {
    EditNamedFile(1, &TForm1::OpenScaleFile);
}

void TForm1::EditerlefichierEvnement1Click(QObject*) {
    EditNamedFile(2, &TForm1::OpenEventFile);
}
