// The editor's plain dialogs: a file-open dialog and a colour chooser. Each keeps the settings
// the program gives it before Execute and the user's choice after it; Execute runs the dialog
// itself (the program goes through TApplication::Modal(), which scripts can replace).
#pragma once

#include <QColor>
#include <QColorDialog>
#include <QFileDialog>
#include <QString>

// Options of a file-open dialog; combine with |.
enum TOpenOption : unsigned {
    ofHideReadOnly = 1u << 0,       // no read-only choice is offered (this dialog has none)
    ofPathMustExist = 1u << 1,      // the chosen file's folder must exist
    ofFileMustExist = 1u << 2,      // the chosen file must exist
    ofExtensionDifferent = 1u << 3, // set by Execute when the chosen file's extension is not
                                    // one of the filter's masks
    ofEnableSizing = 1u << 4,       // the dialog can be resized (a size grip is shown)
};
using TOpenOptions = unsigned;

// A registry-style filter ("Html|*.htm;*.html|Ini|*.ini") as Qt's name filters
// ("Html (*.htm *.html)").
QStringList NameFiltersOf(const QString& filter);

// Makes one of Qt's file dialogs readable in French: the types that Qt's French translation
// leaves in English ("Folder") are French, and the columns of its detailed list and its side
// bar are as wide as what they show, each time a folder is listed.
void MakeFileDialogReadable(QFileDialog& dialog);
// Opens a file dialog on `folder` with `title`, `fileName` selected (the name box empty when
// there is none).
void StartFileDialog(QFileDialog& dialog, const QString& folder, const QString& title,
                     const QString& fileName);

class TOpenDialog : public QFileDialog {
public:
    explicit TOpenDialog(QWidget* parent = nullptr);

    // Set before Execute; FileName (a full path) and the ofExtensionDifferent bit of Options
    // are read after it.
    QString InitialDir;
    QString Title;
    QString FileName;
    QString Filter;
    TOpenOptions Options = ofHideReadOnly | ofEnableSizing;

    // Runs the dialog modally; true when the user chose a file.
    bool Execute();

protected:
    void accept() override;
};

class TColorDialog : public QColorDialog {
public:
    explicit TColorDialog(QWidget* parent = nullptr);

    // Set before Execute, read after it.
    QColor Color = Qt::black;

    // Runs the dialog modally; true when the user chose a colour, which is then in Color.
    bool Execute();
};
