#pragma once

#include <QString>

#include <exception>
#include <functional>
#include <utility>

class QDialog;

// The application object: its hint (the help text of the control under the mouse, with
// one handler told of every change), its standard error box and the modal loop of its
// dialogs. Main thread only.
class IApplication
{
public:
    using HintHandler = std::function<void()>;

    virtual ~IApplication() = default;

    virtual QString hint() const = 0;
    // The handler raised after each change of the hint; the previous one is returned so
    // that a window can put it back when it closes.
    virtual HintHandler onHint() const = 0;
    virtual void setOnHint(HintHandler handler) = 0;

    // The standard error box with the failure's message.
    virtual void showException(const std::exception& error) = 0;
    // Shows the dialog modally and returns its result (QDialog::Accepted or Rejected).
    virtual int execModal(QDialog& dialog) = 0;
};

// Runs an entry from the event loop: a failure is shown in the standard error box
// instead of crossing the event loop.
template <typename F> void guarded(IApplication& application, F&& action)
{
    try {
        std::forward<F>(action)();
    } catch (const std::exception& e) {
        application.showException(e);
    }
}
