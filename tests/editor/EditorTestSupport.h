// Helpers shared by the editor tests: files, a scripted modal interaction, Qt start-up and
// a way to make read-only files read-only even for root.
#pragma once

#include "platform/ui/Modal.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <deque>
#include <vector>

QByteArray ReadBytes(const QString& path);
void WriteBytes(const QString& path, const QByteArray& bytes);

// One message box that was shown.
struct TShownBox {
    QString caption;
    QString text;
    TMsgDlgType type;
    TMsgDlgButtons buttons;
    TMsgDlgBtn defaultButton;
    QStringList named; // the buttons of a Choose box
};

// Answers message boxes from a script (OK when the script is empty), Choose boxes from another
// (the default button when it is empty), and records them.
class TScriptedModal : public TModalUI {
public:
    TModalResult MessageBox(const QString& caption, const QString& text, TMsgDlgType type,
                            TMsgDlgButtons buttons, TMsgDlgBtn defaultButton) override;
    int Choose(const QString& caption, const QString& text, TMsgDlgType type,
               const QStringList& buttons, int defaultButton, int escapeButton) override;

    std::deque<TModalResult> answers;
    std::deque<int> choices;
    std::vector<TShownBox> shown;
};

// Root writes into read-only files; while this lives, the process acts as an ordinary user
// (when it runs as root), so that file permissions count. Files it needs must be readable by
// others (see OpenToAll).
class TUnprivileged {
public:
    TUnprivileged();
    ~TUnprivileged();
    TUnprivileged(const TUnprivileged&) = delete;
    TUnprivileged& operator=(const TUnprivileged&) = delete;

private:
    bool dropped_ = false;
};

// Makes a folder readable and enterable by everyone.
void OpenToAll(const QString& folder);
