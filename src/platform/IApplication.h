#pragma once

#include "IWindowManager.h"

#include <QString>

#include <exception>
#include <functional>
#include <utility>

class QDialog;
class QWidget;

// The window class of the application's own window (IApplication::handle).
constexpr char kApplicationWindowClass[] = "TApplication";

// The application object: its title, its main window's minimising and restoring with
// their events, the processing of pending window messages, its hint (the help text of
// the control under the mouse, with one handler told of every change), its standard
// error box, message boxes and the modal loop of its dialogs. Main thread only.
class IApplication
{
public:
    using HintHandler = std::function<void()>;
    using Event = std::function<void()>;
    enum class MessageIcon
    {
        Information,
        Warning,
        Error
    };

    virtual ~IApplication() = default;

    virtual QString title() const = 0;
    virtual void setTitle(const QString& title) = 0;
    // The window that stands for the application: minimising it minimises the
    // application. None until the program sets one.
    virtual void setMainWindow(QWidget* window) = 0;
    virtual QWidget* mainWindow() const = 0;
    // The application's own window, titled with its title. It is never shown itself: it
    // stands for the application in the task bar. Hiding it (IWindowManager::showWindow)
    // takes the main window's button out of the task bar, a minimised main window being
    // unmapped; showing or restoring it brings the button back. WM_SYSCOMMAND SC_RESTORE
    // sent to it restores the application. 0 where there are no windows.
    virtual WindowHandle handle() = 0;
    virtual void minimize() = 0;
    virtual void restore() = 0;
    // Raised after the application was minimised or restored, however it happened.
    Event OnMinimize;
    Event OnRestore;
    // Handles the window messages (events) that are waiting, then returns.
    virtual void processMessages() = 0;
    // Handles what the window system asks of the windows (painting, being asked whether
    // the program still answers) and the messages posted to them, but not the user's
    // input: a long job calls it between its batches.
    virtual void processSystemMessages() = 0;
    // A message box with an OK button, owned by no window.
    virtual void messageBox(const QString& text, const QString& caption, MessageIcon icon) = 0;

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
