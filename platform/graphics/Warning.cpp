#include "platform/graphics/Warning.h"

#include <cstdio>
#include <utility>

namespace {

void PrintWarning(const std::string& message, const std::string& caption) {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), message.c_str());
}

TWarningHandler& CurrentHandler() {
    static TWarningHandler handler = PrintWarning;
    return handler;
}

} // namespace

TWarningHandler SetWarningHandler(TWarningHandler handler) {
    if (!handler) handler = PrintWarning;
    return std::exchange(CurrentHandler(), std::move(handler));
}

void ShowWarning(const std::string& message, const std::string& caption) {
    try {
        CurrentHandler()(message, caption);
    } catch (...) {
        // A warning never interrupts the work that raised it.
    }
}
