// TForm1: the editor's main window. It shows one calendar file at a time in the calendar table
// StringGrid1 and writes each row back to its file when the user leaves it.
#pragma once

#include "editor/CalendarTable.h"
#include "editor/IniFile.h"

#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <memory>

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
    // Column 0 of the current row as it was when the row was entered: the section that a save
    // of the row replaces.
    QString SelectedKey;

    // Window handlers.
    void FormCreate();
    // Lays out the columns for the mode from the grid's width.
    void FormResize();

    // Fills the table from `file` (ScaleFile, EventFile or DataFile): headings of its mode, one
    // row per section in the order of SortSections, then the column layout and SelectedKey.
    void LoadTable(TIniFile* file);
    // Writes row `row` to the file of the current mode, under its column 0 name, replacing the
    // section SelectedKey. A row without a name is not written and leaves Modified as it is.
    // Raises Exception("Impossible d'écrire dans ...") when the file refuses the write; the
    // file is then unchanged and Modified stays true.
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
    // "Supprimer ligne": after a confirmation, removes the current row's section from the file
    // and loads the file again.
    void Supprimer1Click(QObject* sender);

protected:
    void resizeEvent(QResizeEvent* event) override;
};
