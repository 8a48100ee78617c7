#include "EditorTestSupport.h"

#include <QFile>

#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

QByteArray ReadBytes(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.readAll();
}

void WriteBytes(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        throw std::runtime_error("cannot write test file");
    }
}

TModalResult TScriptedModal::MessageBox(const QString& caption, const QString& text,
                                        TMsgDlgType type, TMsgDlgButtons buttons,
                                        TMsgDlgBtn defaultButton) {
    shown.push_back({caption, text, type, buttons, defaultButton, {}});
    if (answers.empty()) return TModalResult::mrOk;
    const TModalResult answer = answers.front();
    answers.pop_front();
    return answer;
}

int TScriptedModal::Choose(const QString& caption, const QString& text, TMsgDlgType type,
                           const QStringList& buttons, int defaultButton, int) {
    shown.push_back({caption, text, type, 0, mbOK, buttons});
    if (choices.empty()) return defaultButton;
    const int choice = choices.front();
    choices.pop_front();
    return choice;
}

TUnprivileged::TUnprivileged() {
    if (geteuid() != 0) return;
    constexpr uid_t kNobody = 65534;
    if (setegid(kNobody) != 0 || seteuid(kNobody) != 0) {
        throw std::runtime_error("cannot act as an ordinary user");
    }
    dropped_ = true;
}

TUnprivileged::~TUnprivileged() {
    if (!dropped_) return;
    if (seteuid(0) != 0 || setegid(0) != 0) std::terminate();
}

void OpenToAll(const QString& folder) {
    ::chmod(QFile::encodeName(folder).constData(), 0755);
}
