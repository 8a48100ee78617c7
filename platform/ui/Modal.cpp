#include "platform/ui/Modal.h"

#include "platform/ui/FileDialogs.h"
#include "platform/ui/OpenPictureDialog.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

TModalResult TQtModalUI::MessageBox(const QString& caption, const QString& text, TMsgDlgType type,
                                    TMsgDlgButtons buttons, TMsgDlgBtn defaultButton) {
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    switch (type) {
    case TMsgDlgType::mtWarning:
        icon = QMessageBox::Warning;
        break;
    case TMsgDlgType::mtError:
        icon = QMessageBox::Critical;
        break;
    case TMsgDlgType::mtInformation:
        icon = QMessageBox::Information;
        break;
    case TMsgDlgType::mtConfirmation:
        icon = QMessageBox::Question;
        break;
    }
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(u'\r', u'\n');
    QMessageBox box(icon, caption, shown, QMessageBox::NoButton, QApplication::activeWindow());
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

bool TModalUI::Execute(TOpenDialog& dialog) {
    return dialog.Execute();
}

bool TModalUI::Execute(TOpenPictureDialog& dialog) {
    return dialog.Execute();
}

bool TModalUI::Execute(TColorDialog& dialog) {
    return dialog.Execute();
}
