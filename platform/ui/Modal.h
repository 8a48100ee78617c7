// Modal interaction of the user interface: every message box (and, as they come, every dialog) is
// run through one TModalUI, so that the program can be driven by a script instead of a user.
#pragma once

#include <QString>

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
};

// The real thing: Qt's modal message boxes, over the active window.
class TQtModalUI : public TModalUI {
public:
    TModalResult MessageBox(const QString& caption, const QString& text, TMsgDlgType type,
                            TMsgDlgButtons buttons, TMsgDlgBtn defaultButton) override;
};
