// What the editor's program entry sets up around the main window: Qt's own dialog texts in
// French and the image library's warnings shown as message boxes.
#pragma once

#include <QTranslator>

#include <memory>
#include <string>

// Makes Qt format dates, sizes and numbers in French whatever the user's locale: the dialogs'
// file lists show "8 déc. 2024" and "1,05 Kio". Qt reads the system locale from the environment
// when the application object starts, so this runs before it; the C library's own locale is
// not used by the program. The default locale becomes French as well (see InstallQtFrench).
void UseFrenchLocale();

// Loads Qt's French texts (buttons and labels of its file, colour and message dialogs) from
// Qt's translation folder and installs them in the running application. Answers the installed
// translator, which must outlive its use, or nullptr when the translation is not installed.
// Also makes French the default locale of the application (number formats of spin boxes,
// descriptions of file types).
std::unique_ptr<QTranslator> InstallQtFrench();

// Shows a warning of the image library as a modal message box with the warning icon, through
// TApplication::Modal(). Never raises.
void ShowLibraryWarning(const std::string& message, const std::string& caption);
