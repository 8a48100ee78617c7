#include "editor/Startup.h"

#include "platform/ui/Application.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>

void UseFrenchLocale() {
    // LANGUAGE, when set, would override the language of LC_ALL.
    qputenv("LC_ALL", "fr_FR.UTF-8");
    qputenv("LANGUAGE", "fr_FR:fr");
}

std::unique_ptr<QTranslator> InstallQtFrench() {
    QLocale::setDefault(QLocale(QLocale::French, QLocale::France));
    auto translator = std::make_unique<QTranslator>();
    if (!translator->load(QLocale(QLocale::French, QLocale::France), QStringLiteral("qtbase"),
                          QStringLiteral("_"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath)) ||
        !QCoreApplication::installTranslator(translator.get())) {
        return nullptr;
    }
    return translator;
}

void ShowLibraryWarning(const std::string& message, const std::string& caption) {
    try {
        TApplication::Modal().MessageBox(QString::fromStdString(caption),
                                         QString::fromStdString(message), TMsgDlgType::mtWarning,
                                         mbOK, mbOK);
    } catch (...) {
        // A warning that cannot be shown is dropped: the load it came from goes on.
    }
}
