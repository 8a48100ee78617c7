#include "platform/ui/FileDialogs.h"

#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QRegularExpression>

QStringList NameFiltersOf(const QString& filter) {
    const QStringList parts = filter.split(u'|');
    QStringList result;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        result += parts[i] + QStringLiteral(" (") +
                  parts[i + 1].split(u';', Qt::SkipEmptyParts).join(u' ') + u')';
    }
    return result;
}

TOpenDialog::TOpenDialog(QWidget* parent) : QFileDialog(parent) {
    setOption(QFileDialog::DontUseNativeDialog);
    setAcceptMode(QFileDialog::AcceptOpen);
}

bool TOpenDialog::Execute() {
    setFileMode((Options & ofFileMustExist) != 0 ? QFileDialog::ExistingFile
                                                 : QFileDialog::AnyFile);
    setSizeGripEnabled((Options & ofEnableSizing) != 0);
    setNameFilters(NameFiltersOf(Filter));
    setDirectory(InitialDir);
    setWindowTitle(Title);
    if (FileName.isEmpty()) {
        if (auto* edit = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) edit->clear();
    } else {
        selectFile(FileName);
    }
    Options &= ~TOpenOptions(ofExtensionDifferent);
    if (exec() != QDialog::Accepted || selectedFiles().isEmpty()) return false;
    FileName = QDir::cleanPath(selectedFiles().first());

    bool knownExtension = false;
    const QStringList parts = Filter.split(u'|');
    for (qsizetype i = 1; i < parts.size() && !knownExtension; i += 2) {
        for (const QString& mask : parts[i].split(u';', Qt::SkipEmptyParts)) {
            const QRegularExpression pattern(QRegularExpression::wildcardToRegularExpression(mask),
                                             QRegularExpression::CaseInsensitiveOption);
            if (pattern.match(QFileInfo(FileName).fileName()).hasMatch()) knownExtension = true;
        }
    }
    if (!knownExtension) Options |= ofExtensionDifferent;
    return true;
}

void TOpenDialog::accept() {
    const QStringList files = selectedFiles();
    if ((Options & ofPathMustExist) != 0 && !files.isEmpty()) {
        const QFileInfo file(files.first());
        if (!file.isDir() && !QFileInfo(file.absolutePath()).isDir()) {
            QMessageBox::warning(this, windowTitle(),
                                 QStringLiteral("Le dossier « %1 » n'existe pas.")
                                     .arg(QDir::toNativeSeparators(file.absolutePath())));
            return;
        }
    }
    QFileDialog::accept();
}

TColorDialog::TColorDialog(QWidget* parent) : QColorDialog(parent) {
    setOption(QColorDialog::DontUseNativeDialog);
}

bool TColorDialog::Execute() {
    setCurrentColor(Color);
    if (exec() != QDialog::Accepted) return false;
    Color = selectedColor();
    return true;
}
