#include "platform/ui/Modal.h"

#include "platform/ui/FileDialogs.h"
#include "platform/ui/OpenPictureDialog.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

namespace {

QMessageBox::Icon IconOf(TMsgDlgType type) {
    switch (type) {
    case TMsgDlgType::mtWarning:
        return QMessageBox::Warning;
    case TMsgDlgType::mtError:
        return QMessageBox::Critical;
    case TMsgDlgType::mtInformation:
        return QMessageBox::Information;
    case TMsgDlgType::mtConfirmation:
        return QMessageBox::Question;
    }
    return QMessageBox::NoIcon;
}

QString ShownText(const QString& text) {
    QString shown = text;
    return shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(u'\r', u'\n');
}

} // namespace

TModalResult TQtModalUI::MessageBox(const QString& caption, const QString& text, TMsgDlgType type,
                                    TMsgDlgButtons buttons, TMsgDlgBtn defaultButton) {
    QMessageBox box(IconOf(type), caption, ShownText(text), QMessageBox::NoButton,
                    QApplication::activeWindow());
    QPushButton* ok = nullptr;
    QPushButton* cancel = nullptr;
    if ((buttons & mbOK) != 0 || (buttons & mbCancel) == 0) {
        ok = box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    }
    if ((buttons & mbCancel) != 0) {
        cancel = box.addButton(QStringLiteral("Annuler"), QMessageBox::RejectRole);
    }
    box.setDefaultButton(defaultButton == mbCancel && cancel != nullptr ? cancel : ok);
    box.setEscapeButton(cancel != nullptr ? cancel : ok);
    box.exec();
    if (box.clickedButton() == ok && ok != nullptr) return TModalResult::mrOk;
    return cancel != nullptr ? TModalResult::mrCancel : TModalResult::mrOk;
}

int TQtModalUI::Choose(const QString& caption, const QString& text, TMsgDlgType type,
                       const QStringList& buttons, int defaultButton, int escapeButton) {
    QMessageBox box(IconOf(type), caption, ShownText(text), QMessageBox::NoButton,
                    QApplication::activeWindow());
    QList<QPushButton*> pushed;
    for (const QString& name : buttons) pushed.append(box.addButton(name, QMessageBox::ActionRole));
    if (defaultButton >= 0 && defaultButton < pushed.size())
        box.setDefaultButton(pushed[defaultButton]);
    if (escapeButton >= 0 && escapeButton < pushed.size())
        box.setEscapeButton(pushed[escapeButton]);
    box.exec();
    const auto chosen = pushed.indexOf(static_cast<QPushButton*>(box.clickedButton()));
    return chosen >= 0 ? static_cast<int>(chosen) : escapeButton;
}

bool TModalUI::Execute(TOpenDialog& dialog) {
    return dialog.Execute();
}

bool TModalUI::Execute(TOpenPictureDialog& dialog) {
    return dialog.Execute();
}

bool TModalUI::Execute(TColorDialog& dialog) {
    return dialog.Execute();
}
