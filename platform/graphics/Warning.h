// Warnings the image library shows without stopping: the program decides how they reach the
// user. The editor shows a message box captioned with the caption; the default handler, used
// by the command-line tool and the tests, prints them to the error output.
#pragma once

#include <functional>
#include <string>

// Shows one warning; it must not raise.
using TWarningHandler = std::function<void(const std::string& message, const std::string& caption)>;

// Installs `handler` (an empty one restores the default) and answers the previous handler.
TWarningHandler SetWarningHandler(TWarningHandler handler);

// Passes a warning to the current handler. A handler that raises is ignored.
void ShowWarning(const std::string& message, const std::string& caption);
