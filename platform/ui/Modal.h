// Modal interaction of the user interface: every message box and every dialog is run through one
// TModalUI, so that the program can be driven by a script instead of a user.
#pragma once

#include <QString>
#include <QStringList>

class TColorDialog;
class TOpenDialog;
class TOpenPictureDialog;

// Kind of a message box, which sets its icon.
enum class TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation };

// Buttons of a message box; combine with |.
enum TMsgDlgBtn : unsigned { mbOK = 1, mbCancel = 2 };
using TMsgDlgButtons = unsigned;

// What the user chose.
enum class TModalResult { mrNone, mrOk, mrCancel };

class TModalUI {
public:
    virtual ~TModalUI() = default;
    // Shows a modal message box with the caption, the kind's icon, the text (a "\n" breaks the
    // line) and the buttons ("OK", "Annuler"); the default button answers Enter. Escape and
    // closing the box answer "Annuler" when it is offered, "OK" otherwise.
    virtual TModalResult MessageBox(const QString& caption, const QString& text, TMsgDlgType type,
                                    TMsgDlgButtons buttons, TMsgDlgBtn defaultButton) = 0;
    // Shows a modal question whose buttons are named by `buttons`, left to right, and answers
    // the index of the one chosen. `defaultButton` answers Enter; Escape and closing the box
    // answer `escapeButton`.
    virtual int Choose(const QString& caption, const QString& text, TMsgDlgType type,
                       const QStringList& buttons, int defaultButton, int escapeButton) = 0;

    // Run a dialog modally and answer whether the user confirmed it. A replacement reads the
    // dialog's settings (InitialDir, Title, Filter, Color...) and writes the answer where the
    // dialog would (FileName, Color). By default the dialog itself runs.
    virtual bool Execute(TOpenDialog& dialog);
    virtual bool Execute(TOpenPictureDialog& dialog);
    virtual bool Execute(TColorDialog& dialog);
};

// The real thing: Qt's modal message boxes, over the active window.
class TQtModalUI : public TModalUI {
public:
    TModalResult MessageBox(const QString& caption, const QString& text, TMsgDlgType type,
                            TMsgDlgButtons buttons, TMsgDlgBtn defaultButton) override;
    int Choose(const QString& caption, const QString& text, TMsgDlgType type,
               const QStringList& buttons, int defaultButton, int escapeButton) override;
};
