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

void TApplication::ShowException(const std::exception& error) {
    Modal().MessageBox(QStringLiteral("Erreur"), QString::fromUtf8(error.what()),
                       TMsgDlgType::mtError, mbOK, mbOK);
}
