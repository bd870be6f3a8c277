#pragma once

#include "../IWindowManager.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>

#include <memory>
#include <unordered_map>

// The window manager of an X11 desktop (native or XWayland) through its own xcb connection,
// EWMH and ICCCM.
//
// The top-level windows are the root's children, topmost first; a child without WM_CLASS
// and WM_STATE is a window manager's frame and stands for the client window it holds.
// Windows hidden with hide() (withdrawn, back on the root) and minimised ones are among them.
//
// Windows of this process are the native widgets of its QApplication; their messages go to
// their window procedure, or else to the default one, which posts WM_USER + n to the widget
// as the event QEvent::User + n, closes it on WM_CLOSE and restores or activates it on
// WM_SYSCOMMAND. A window of this program carries the property _PAGELLO_WINDOW_MESSAGE
// once it has a class, a procedure or a handle from this class; messages to such a window
// in another process travel as client messages of that atom and reach its procedure there.
// Other programs' windows get only what the window system can do (see IWindowManager).
//
// Without an X display (none set, or Qt on the offscreen platform) no window is found and
// messages to other processes go nowhere; this process's own widgets still work.
// One per process, made after the QApplication and destroyed before it. Main thread only.
class XcbWindowManager : public IWindowManager
{
public:
    XcbWindowManager();
    ~XcbWindowManager() override;
    XcbWindowManager(const XcbWindowManager&) = delete;
    XcbWindowManager& operator=(const XcbWindowManager&) = delete;

    // Whether an X display answers.
    bool connected() const;

    WindowHandle findWindow(const std::optional<QString>& className, const std::optional<QString>& title) override;
    std::vector<WindowHandle> topLevelWindows() override;
    using IWindowManager::windowTitle;
    QString windowTitle(WindowHandle window, qsizetype maxLength) override;
    QString windowClass(WindowHandle window) override;
    std::int64_t windowProcessId(WindowHandle window) override;

    std::intptr_t sendMessage(WindowHandle window, unsigned message, std::uintptr_t wParam,
                              std::intptr_t lParam) override;
    bool postMessage(WindowHandle window, unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override;

    bool setForegroundWindow(WindowHandle window) override;
    WindowHandle foregroundWindow() override;
    void bringToTop(WindowHandle window) override;
    void showWindow(WindowHandle window, Show how) override;
    bool isWindowEnabled(WindowHandle window) override;
    bool isWindowVisible(WindowHandle window) override;
    bool isZoomed(WindowHandle window) override;
    void setFocus(WindowHandle window) override;
    QPoint cursorPos() override;
    bool isKeyDown(Key key) override;

    WindowHandle handleOf(QWidget& widget) override;
    void setWindowClass(WindowHandle window, const QString& className) override;

    WindowHandle createUtilityWindow(WindowProc proc) override;
    void destroyUtilityWindow(WindowHandle window) override;
    WindowProc windowProc(WindowHandle window) override;
    WindowProc setWindowProc(WindowHandle window, WindowProc proc) override;
    std::intptr_t defWindowProc(WindowHandle window, unsigned message, std::uintptr_t wParam,
                                std::intptr_t lParam) override;

private:
    class Connection;
    class MessageFilter;
    class ShowFilter;

    QWidget* ownWidget(WindowHandle window) const;
    // Tells the widget's procedure when the widget is shown or hidden; forgets its
    // procedure and class when it is destroyed.
    void watch(QWidget& widget);
    // Gives our widget's X window its class, no name while it has no title, and the
    // property that marks it as ours.
    void label(QWidget& widget);
    // Lets the X server see what Qt's own connection has asked of it so far.
    void syncQt() const;
    // Whether the window's answers come from the X server, not from its widget.
    bool onX(WindowHandle window) const;
    std::intptr_t dispatch(WindowHandle window, unsigned message, std::uintptr_t wParam, std::intptr_t lParam);
    // What the window system can do with a message to another program's window.
    void systemAction(WindowHandle window, unsigned message, std::uintptr_t wParam);
    // Hands a message to a window on the X server: as a client message to one of this
    // program's, as what the window system can do to another program's; false when there
    // is no such window.
    bool deliverOnX(WindowHandle window, unsigned message, std::uintptr_t wParam, std::intptr_t lParam);

    std::unique_ptr<Connection> m_x;
    bool m_ownOnX = false; // our widgets are windows of m_x's display
    std::unique_ptr<MessageFilter> m_filter;
    std::unique_ptr<ShowFilter> m_showFilter;
    // Context of the queued calls and widget connections, which end with this object.
    QObject m_context;
    QHash<QWidget*, WindowProc> m_procs;
    QHash<QWidget*, QString> m_classes;
    QSet<QWidget*> m_watched;
    std::unordered_map<WindowHandle, std::unique_ptr<QWidget>> m_utilityWindows;
};
