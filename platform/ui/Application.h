// The application-wide services of the user interface: the modal interaction in use and the
// general error report.
#pragma once

#include "platform/ui/Modal.h"

#include <QString>

#include <exception>

// Ends an action silently: the handler stops there and nothing is reported (the user was asked
// already, or chose to stop).
class EAbort : public std::exception {
public:
    const char* what() const noexcept override { return "EAbort"; }
};

class TApplication {
public:
    // The modal interaction in use: Qt's message boxes unless another one was set.
    static TModalUI& Modal();
    // Uses `modal` (owned by the caller, kept alive while set) for every modal interaction;
    // nullptr goes back to Qt's message boxes.
    static void SetModal(TModalUI* modal);

    // The general error report: one modal box captioned "Erreur" with the error's text and the
    // error icon.
    static void ShowException(const std::exception& error);

    // Runs an event handler. An exception it raises goes to the general error report, and the
    // program goes on with the next event; answers whether the handler ran through. Qt must not
    // see exceptions, so every handler that Qt calls runs through here.
    template <class Handler> static bool Run(Handler&& handler) {
        try {
            handler();
            return true;
        } catch (const EAbort&) {
            return false;
        } catch (const std::exception& error) {
            ShowException(error);
            return false;
        }
    }
};

// Sets a modal interaction for the lifetime of the guard (tests script their answers this way).
class TModalScope {
public:
    explicit TModalScope(TModalUI& modal) { TApplication::SetModal(&modal); }
    ~TModalScope() { TApplication::SetModal(nullptr); }
    TModalScope(const TModalScope&) = delete;
    TModalScope& operator=(const TModalScope&) = delete;
};
