#include "platform/ui/Application.h"

namespace {

TModalUI* injected = nullptr;

} // namespace

TModalUI& TApplication::Modal() {
    static TQtModalUI platform;
    return injected != nullptr ? *injected : platform;
}

void TApplication::SetModal(TModalUI* modal) {
    injected = modal;
}

QString TApplication::Title() {
    return QStringLiteral("Chronolith");
}

void TApplication::ShowException(const std::exception& error) {
    Modal().MessageBox(Title(), QString::fromUtf8(error.what()), TMsgDlgType::mtError, mbOK, mbOK);
}
