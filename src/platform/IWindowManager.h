#pragma once

#include <QPoint>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

class QWidget;

// A top-level window of the desktop, of this program or another; 0 is none.
using WindowHandle = std::uint64_t;

// Window messages as the program knows them. Messages from WM_USER on are the program's
// own; between two processes of the program they travel as X11 client messages.
namespace WindowMessages {
constexpr unsigned WM_CLOSE = 0x0010;
constexpr unsigned WM_SHOWWINDOW = 0x0018;
constexpr unsigned WM_ACTIVATEAPP = 0x001C;
constexpr unsigned WM_SYSCOMMAND = 0x0112;
constexpr unsigned WM_MOUSEMOVE = 0x0200;
constexpr unsigned WM_LBUTTONDOWN = 0x0201;
constexpr unsigned WM_LBUTTONUP = 0x0202;
constexpr unsigned WM_LBUTTONDBLCLK = 0x0203;
constexpr unsigned WM_RBUTTONDOWN = 0x0204;
constexpr unsigned WM_RBUTTONUP = 0x0205;
constexpr unsigned WM_RBUTTONDBLCLK = 0x0206;
constexpr unsigned WM_MBUTTONDOWN = 0x0207;
constexpr unsigned WM_MBUTTONUP = 0x0208;
constexpr unsigned WM_MBUTTONDBLCLK = 0x0209;
constexpr unsigned WM_USER = 0x0400;
constexpr std::uintptr_t SC_RESTORE = 0xF120;
constexpr std::uintptr_t SC_HOTKEY = 0xF150;
} // namespace WindowMessages

// The first `maxLength` UTF-16 units of a text (all of it when negative), shorter by one
// where the cut would split a character of two units.
inline QString leftCharacters(const QString& text, qsizetype maxLength)
{
    if (maxLength < 0 || text.size() <= maxLength)
        return text;
    const bool split = maxLength > 0 && text.at(maxLength - 1).isHighSurrogate();
    return text.left(split ? maxLength - 1 : maxLength);
}

// The window manager: finding and enumerating the top-level windows of the desktop (those
// of other programs too), their titles and processes, messages to them, activation,
// showing and hiding, their state, focus, the pointer and the modifier keys, and hidden
// utility windows of this program that receive messages through a window procedure.
// Main thread only.
//
// A message to a window of another program is what the window system can make of it:
// WM_SYSCOMMAND SC_RESTORE restores and SC_HOTKEY activates the window, WM_CLOSE asks it
// to close; anything else reaches only windows of this program (in this process or
// another), whose window procedure or widget receives it.
class IWindowManager
{
public:
    using WindowProc = std::function<std::intptr_t(WindowHandle, unsigned, std::uintptr_t, std::intptr_t)>;
    enum class Show
    {
        Hide,
        Show,
        Minimize,
        Restore
    };
    enum class Key
    {
        Shift,
        Control,
        Alt
    };

    virtual ~IWindowManager() = default;

    // The first top-level window (in enumeration order) whose class name and title are
    // exactly those given; nothing given matches any. 0 when none does.
    virtual WindowHandle findWindow(const std::optional<QString>& className, const std::optional<QString>& title) = 0;
    // The top-level windows, hidden and minimised ones too, topmost first.
    virtual std::vector<WindowHandle> topLevelWindows() = 0;
    // The window's title; with a maximum length, only the start of it: no more than that many
    // characters are read from the window system, as another program's title may be megabytes
    // long. Negative: the whole title.
    virtual QString windowTitle(WindowHandle window, qsizetype maxLength) = 0;
    QString windowTitle(WindowHandle window) { return windowTitle(window, -1); }
    virtual QString windowClass(WindowHandle window) = 0;
    // The process that owns the window, 0 when unknown.
    virtual std::int64_t windowProcessId(WindowHandle window) = 0;

    // Delivers the message and waits until it is handled (a window of another program:
    // until the window system has it); the window procedure's result, else 0.
    virtual std::intptr_t sendMessage(WindowHandle window, unsigned message, std::uintptr_t wParam,
                                      std::intptr_t lParam) = 0;
    // Queues the message and returns; false when the window does not exist.
    virtual bool postMessage(WindowHandle window, unsigned message, std::uintptr_t wParam, std::intptr_t lParam) = 0;

    virtual bool setForegroundWindow(WindowHandle window) = 0;
    virtual WindowHandle foregroundWindow() = 0;
    // Moves the window to the top of the stacking order without activating it.
    virtual void bringToTop(WindowHandle window) = 0;
    virtual void showWindow(WindowHandle window, Show how) = 0;
    virtual bool isWindowEnabled(WindowHandle window) = 0;
    virtual bool isWindowVisible(WindowHandle window) = 0;
    virtual bool isZoomed(WindowHandle window) = 0;
    virtual void setFocus(WindowHandle window) = 0;
    virtual QPoint cursorPos() = 0;
    virtual bool isKeyDown(Key key) = 0;

    // The handle of one of this program's widgets (made native when it is not), and the
    // window class it is found under.
    virtual WindowHandle handleOf(QWidget& widget) = 0;
    virtual void setWindowClass(WindowHandle window, const QString& className) = 0;

    // A hidden window of this program that receives messages through `proc`.
    virtual WindowHandle createUtilityWindow(WindowProc proc) = 0;
    virtual void destroyUtilityWindow(WindowHandle window) = 0;
    // The window procedure of a window of this program: read, replaced (the previous one
    // is returned, to be called for what the new one does not handle), and the default
    // one, which handles what no procedure does. A widget whose procedure was replaced
    // also gets WM_SHOWWINDOW through it: wParam 1 just before it is shown (before the
    // widget's own show handling runs), 0 when it is hidden.
    virtual WindowProc windowProc(WindowHandle window) = 0;
    virtual WindowProc setWindowProc(WindowHandle window, WindowProc proc) = 0;
    virtual std::intptr_t defWindowProc(WindowHandle window, unsigned message, std::uintptr_t wParam,
                                        std::intptr_t lParam) = 0;
};
