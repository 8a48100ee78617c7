#include "platform/ui/FileDialogs.h"

#include <QDir>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QRegularExpression>
#include <QSplitter>
#include <QTreeView>

namespace {

// The type column's texts that Qt's French translation does not cover.
class TFrenchIconProvider : public QFileIconProvider {
public:
    QString type(const QFileInfo& info) const override {
        if (info.isRoot()) return QStringLiteral("Lecteur");
        if (info.isDir()) return QStringLiteral("Dossier");
        if (info.isSymLink()) return QStringLiteral("Raccourci");
        return QFileIconProvider::type(info);
    }
};

// Owns the provider for as long as the dialog lives (a child, deleted after the dialog's model).
class TProviderHolder : public QObject {
public:
    explicit TProviderHolder(QObject* parent) : QObject(parent) {}
    TFrenchIconProvider provider;
};

void FitColumns(QFileDialog& dialog) {
    if (auto* tree = dialog.findChild<QTreeView*>(QStringLiteral("treeView"))) {
        for (int col = 0; col < tree->header()->count(); ++col) tree->resizeColumnToContents(col);
    }
    auto* sidebar = dialog.findChild<QListView*>(QStringLiteral("sidebar"));
    auto* splitter = dialog.findChild<QSplitter*>(QStringLiteral("splitter"));
    if (sidebar != nullptr && splitter != nullptr && splitter->count() == 2) {
        const int wanted = sidebar->sizeHintForColumn(0) + 2 * sidebar->frameWidth() + 8;
        const QList<int> sizes = splitter->sizes();
        const int total = sizes.value(0) + sizes.value(1);
        if (sizes.value(0) < wanted && total > 2 * wanted)
            splitter->setSizes({wanted, total - wanted});
    }
}

} // namespace

void MakeFileDialogReadable(QFileDialog& dialog) {
    auto* holder = new TProviderHolder(&dialog);
    dialog.setIconProvider(&holder->provider);
    if (auto* model = dialog.findChild<QFileSystemModel*>()) {
        QObject::connect(model, &QFileSystemModel::directoryLoaded, &dialog,
                         [&dialog] { FitColumns(dialog); });
    }
}

QStringList NameFiltersOf(const QString& filter) {
    const QStringList parts = filter.split(u'|');
    QStringList result;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        result += parts[i] + QStringLiteral(" (") +
                  parts[i + 1].split(u';', Qt::SkipEmptyParts).join(u' ') + u')';
    }
    return result;
}

void StartFileDialog(QFileDialog& dialog, const QString& folder, const QString& title,
                     const QString& fileName) {
    dialog.setDirectory(folder);
    dialog.setWindowTitle(title);
    if (fileName.isEmpty()) {
        if (auto* edit = dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
            edit->clear();
    } else {
        dialog.selectFile(fileName);
    }
}

TOpenDialog::TOpenDialog(QWidget* parent) : QFileDialog(parent) {
    setOption(QFileDialog::DontUseNativeDialog);
    setAcceptMode(QFileDialog::AcceptOpen);
    MakeFileDialogReadable(*this);
    resize(760, 440);
}

bool TOpenDialog::Execute() {
    setFileMode((Options & ofFileMustExist) != 0 ? QFileDialog::ExistingFile
                                                 : QFileDialog::AnyFile);
    setSizeGripEnabled((Options & ofEnableSizing) != 0);
    setNameFilters(NameFiltersOf(Filter));
    StartFileDialog(*this, InitialDir, Title, FileName);
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
