// TForm1: the editor's main window. It shows one calendar file at a time in the calendar table
// StringGrid1 and writes each row back to its file when the user leaves it.
#pragma once

#include "editor/CalendarTable.h"
#include "editor/IniFile.h"
#include "editor/Paths.h"

#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <deque>
#include <map>
#include <memory>
#include <vector>

class QAction;
class QCloseEvent;
class QMenu;
class QShowEvent;
class TColorDialog;
class TOpenDialog;
class TOpenPictureDialog;
class TPanel;
class TStringGrid;

class TForm1 : public QMainWindow {
public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    // Components (owned by the window).
    TPanel* Panel1 = nullptr;
    TStringGrid* StringGrid1 = nullptr;
    // The section list of the file being loaded, where the names are sorted; never shown.
    QStringList ListBox1;

    // The open calendar files, one per kind; LoadTable takes its mode from the field that holds
    // the file it is given.
    std::unique_ptr<TIniFile> ScaleFile;
    std::unique_ptr<TIniFile> EventFile;
    std::unique_ptr<TIniFile> DataFile;

    // Which kind of file the table shows; set only by LoadTable.
    TEditMode EditMode = emScale;
    // A key went down in the grid since the last save that wrote something.
    bool Modified = false;
    // The row that a pending save writes (see StringGrid1KeyDown).
    int EditRow = 0;
    // The section the current row was loaded from or last saved as, taken when the row is
    // entered and after each save of it; empty for a row never saved.
    QString SelectedKey;

    // What each table row holds in the file, by row number (row 0, the headings, holds nothing):
    // whether it stands for a section of the file, the section it was loaded from or last saved
    // as, and the texts of its columns 1 and up then. A save writes only what changed since; a
    // delete removes that section. `id` names the table row across reloads, which may move it.
    struct TStoredRow {
        bool inFile = false;
        QString section;
        QStringList cells;
        int id = 0;
    };
    std::vector<TStoredRow> StoredRows;
    // The stored state of a row; an empty one outside the table.
    const TStoredRow& StoredRow(int row) const;
    // The row of the table whose id is `id`, or -1.
    int RowOfId(int id) const;
    // Whether a row's cells differ from what it holds in the file (always for a row never
    // saved that has a name).
    bool RowEdited(int row) const;

    // The file as the table was last read from it or written by the editor: whether it existed,
    // and its bytes. A save first checks that the file is still that one.
    bool TableFileExists = false;
    QByteArray TableFileBytes;
    // Counts the loads and reloads of the table (row numbers change with them).
    int TableGeneration = 0;

    // Undo: the rows written, newest last, per file (by full path); each step holds the file
    // before and after it and every section it changed. Ctrl+Z takes back one step.
    static constexpr size_t kUndoDepth = 100;
    struct TUndoStep {
        QByteArray fileBefore, fileAfter;
        std::vector<std::pair<TIniFile::TSectionState, TIniFile::TSectionState>> sections;
    };
    std::map<QString, std::deque<TUndoStep>> UndoSteps;

    // Widths that show the longest key (column 0) and the longest colour with its swatch
    // (scale column 6) of the table whole, taken at each load; the layout gives these columns
    // at least that.
    int KeyFitWidth = 0;
    int ColourFitWidth = 0;

    // Window handlers.
    void FormCreate();
    // Lays out the columns for the mode from the grid's width.
    void FormResize();

    // Fills the table from `file` (ScaleFile, EventFile or DataFile): headings of its mode, one
    // row per section in the order of SortSections, then the column layout and SelectedKey.
    void LoadTable(TIniFile* file);
    // Reads the file of the current mode again into the table, keeping what the user typed:
    // rows whose section is still there show the file's values with the user's unsaved changes
    // over them; rows never saved, and changed rows whose section went, stay after the row they
    // followed. The row `dropId` keeps no change (and goes when its section went). A file that
    // was deleted meanwhile is not read (the table is then the only copy).
    void ReloadTable(int dropId = 0);
    // Writes row `row` to the file of the current mode under its column 0 name: renames the
    // row's own section (StoredRows) and writes the columns that changed since it was loaded or
    // saved, and the keys the section lacks. A row whose cells are as stored writes nothing; a
    // row never saved and without a name is not written and leaves Modified as it is. Raises an
    // Exception with a French message when the file refuses the row (a name that is empty,
    // only spaces or another section's, a character the file's encoding cannot hold, a write
    // the disk refuses); the file is then unchanged and Modified stays true.
    void SaveRow(int row);
    // The file of the current mode, or nullptr when none is open.
    TIniFile* CurrentFile() const;

    // Grid handlers.
    void StringGrid1KeyDown(int key, Qt::KeyboardModifiers shift);
    void StringGrid1KeyPress(QChar& key);
    void StringGrid1SetEditText(int col, int row, const QString& value);
    void StringGrid1SelectCell(int col, int row, bool& canSelect);

    // "Insérer après": an empty row below the current one, in the table only.
    void Insreraprs1Click(QObject* sender);
    // "Supprimer ligne": after a confirmation, removes the current row's own section (the one
    // it was loaded from or last saved as, whatever its key cell holds now) from the file and
    // reads the file again (ReloadTable). A row never saved takes nothing from the file.
    void Supprimer1Click(QObject* sender);

    // Ctrl+Z: puts back the current row's unsaved changes, or else takes back the last step of
    // the file's undo history (the rows as they stood in the file before), written as a save is.
    void Undo();
    // Ctrl+V with a block: the block's rows go into the table's rows from the current cell on
    // (rows are added at the end as needed), and each changed row is saved.
    void PasteBlock(const QString& block);

    // ---- Menus, dialogs, pickers, file switching, showing and closing ----

    // The folder every calendar file is opened in and every stored path is relative to
    // (ending with "/"): BaseFolder() unless set otherwise before the window is shown.
    QString BaseDir = BaseFolder();

    // Main menu MainMenu1: "Fichier" and "Edition" (opened by Alt with their underlined letter,
    // or F10).
    QMenu* Fichier1 = nullptr;
    QAction* OuvrirDonnes1 = nullptr;
    QAction* Quitter1 = nullptr;
    QMenu* Ed1 = nullptr;
    QAction* Insreraprs2 = nullptr;
    QAction* Supprimerligne1 = nullptr;
    QAction* Choisircouleur1 = nullptr;
    QAction* ChoisirImage2 = nullptr;
    QAction* ChoisirLienBiosphre1 = nullptr;
    QAction* ChoisirImagePalo2 = nullptr;
    QAction* ChoisirLienPalo1 = nullptr;
    QAction* ChoisirfichierEchelle1 = nullptr;
    QAction* ChoisirFichierEvnement1 = nullptr;
    QAction* EditerlefichierEchelle1 = nullptr;
    QAction* EditerlefichierEvnement1 = nullptr;
    // The table's pop-up menu.
    QMenu* PopupMenu1 = nullptr;
    QAction* Insreraprs1 = nullptr;
    QAction* Supprimer1 = nullptr;
    QAction* Choisircouleur2 = nullptr;
    QAction* Choisirimage1 = nullptr;
    QAction* ChoisirlienBiosphre2 = nullptr;
    QAction* ChoisirImagePalo1 = nullptr;
    QAction* ChoisirlienPalo2 = nullptr;
    QAction* ChoisirFichierEchelle2 = nullptr;
    QAction* ChoisirfichierEvnement2 = nullptr;
    QAction* EditerlefichierEchelle2 = nullptr;
    QAction* EditerlefichierEvnement2 = nullptr;

    // Dialogs, run through TApplication::Modal().
    TOpenPictureDialog* OpenPictureDialog1 = nullptr;
    TOpenDialog* OpenDialog1 = nullptr; // HTML pages
    TOpenDialog* OpenDialog2 = nullptr; // calendar files
    TColorDialog* ColorDialog1 = nullptr;

    // Focuses the table and opens Donnees.ini.
    void FormShow();
    // Saves a pending row, then frees the three files. Raises when the save fails; the files
    // then stay open and the window with them.
    void FormClose();

    // Open a calendar file by its stored name (relative to BaseDir, backslashes allowed): the
    // title names it, the file object of its kind is replaced, the table loads it and the menus
    // follow its mode.
    void OpenDataFile(const QString& name);
    void OpenScaleFile(const QString& name);
    void OpenEventFile(const QString& name);
    // Shows the pickers of the current mode and hides the others.
    void UpdateMenus();

    // Pickers: a file (image, link, scale or event file) or a colour for the current row,
    // saved at once. Items that share a handler are told apart by the sender.
    void Choisirimage1Click(QObject* sender);
    void ChoisirLienBiosphre1Click(QObject* sender);
    void ChoisirfichierEchelle1Click(QObject* sender);
    void Choisircouleur1Click(QObject* sender);
    // Switching between the data file and the files its rows name.
    void OuvrirDonnes1Click(QObject* sender);
    void EditerlefichierEchelle1Click(QObject* sender);
    void EditerlefichierEvnement1Click(QObject* sender);
    // "Quitter": asks the window to close.
    void Quitter1Click(QObject* sender);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    TStoredRow NewRow() { return TStoredRow{false, {}, {}, NextRowId++}; }
    // Before a save: answers true when the row may be written. When another program changed
    // the file, the table is read again (`row` follows its row) and, if that program changed
    // the row's own section, the user chooses whose text to keep; false when it is theirs.
    bool CheckFileBeforeSave(int& row);
    // When the file was deleted since the table was read: asks, then writes the whole table
    // back (true) or raises EAbort.
    bool RewriteDeletedFile();
    void WriteWholeTable();
    // Asks before rows that hold text but no name are dropped; raises EAbort when the user
    // keeps them.
    void ConfirmAbandonUnnamedRows();
    void RecordUndo(const QByteArray& fileBefore, const TIniFile::TSectionState& before,
                    const TIniFile::TSectionState& after);
    void FillTable(const std::vector<TStoredRow>& rows, const std::vector<QStringList>& cells,
                   int currentId, int currentCol);
    // Saves each row of `ids` (a paste); on a failure the rows from it on get `previous` back.
    void SaveRowsOf(const std::vector<int>& ids, const std::map<int, QStringList>& previous);

    int NextRowId = 1;
    bool Reloading = false;
    // The room the columns were last laid out for (TStringGrid::ClientWidth).
    int LaidOutWidth = 0;
    // While set, the writes of SaveRow join this step (a paste is one step).
    TUndoStep* OpenStep = nullptr;

    void MeasureFitWidths();
    // The colour swatch of a cell: scale colour cells holding a colour value.
    bool CellColour(int col, int row, QColor& colour) const;
    void CreateMenus();
    void CreateDialogs();
    QAction* AddItem(QMenu* menu, const QString& name, const QString& caption,
                     void (TForm1::*handler)(QObject*));
    void OpenFile(std::unique_ptr<TIniFile>& field, const QString& name);
    template <class Dialog>
    void PickFile(Dialog& dialog, const QString& folder, const QString& titlePrefix, int column);
    void EditNamedFile(int column, void (TForm1::*open)(const QString&));
};
