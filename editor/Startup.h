// What the editor's program entry sets up around the main window: Qt's own dialog texts in
// French and the image library's warnings shown as message boxes.
#pragma once

#include <QTranslator>

#include <memory>
#include <string>

// Loads Qt's French texts (buttons and labels of its file, colour and message dialogs) from
// Qt's translation folder and installs them in the running application. Answers the installed
// translator, which must outlive its use, or nullptr when the translation is not installed.
std::unique_ptr<QTranslator> InstallQtFrench();

// Shows a warning of the image library as a modal message box with the warning icon, through
// TApplication::Modal(). Never raises.
void ShowLibraryWarning(const std::string& message, const std::string& caption);
