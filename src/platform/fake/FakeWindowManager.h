#pragma once

#include "../IWindowManager.h"

#include <QPointer>
#include <QWidget>

#include <map>
#include <memory>
#include <vector>

// An in-memory desktop of top-level windows (class, title, process, enabled, visible,
// maximised, minimised; the first is the topmost) that records every message, activation
// and change of state in order, so that call sequences can be asserted. Messages of
// WM_USER and above posted to a widget of this program reach it as events of type
// QEvent::User + (message - WM_USER), as on the desktop; a window's procedure gets what is
// sent or posted to it, and a widget's procedure WM_SHOWWINDOW when it is shown or hidden.
class FakeWindowManager : public IWindowManager
{
public:
    struct Window
    {
        QString className;
        QString title;
        std::int64_t processId = 0;
        bool enabled = true;
        bool visible = true;
        bool zoomed = false;
        bool minimized = false;
        WindowProc proc;
        QPointer<QWidget> widget;
    };
    // One thing done to a window: "send", "post" (with the message), "foreground", "top",
    // "show" (with the Show value as message), "focus".
    struct Call
    {
        QString what;
        WindowHandle window = 0;
        unsigned message = 0;
        std::uintptr_t wParam = 0;
        std::intptr_t lParam = 0;
        bool operator==(const Call&) const = default;
    };

    // Adds a window of another program on top of the others.
    WindowHandle addWindow(const QString& className, const QString& title, std::int64_t processId = 4242);
    Window& window(WindowHandle handle) { return m_windows.at(handle); }
    const std::vector<Call>& calls() const { return m_calls; }
    void clearCalls() { m_calls.clear(); }
    // How often findWindow asked the desktop.
    int finds() const { return m_finds; }
    // The most characters of a title read in one go.
    qsizetype longestTitleRead() const { return m_longestTitleRead; }

    WindowHandle findWindow(const std::optional<QString>& className, const std::optional<QString>& title) override;
    std::vector<WindowHandle> topLevelWindows() override { return m_order; }
    using IWindowManager::windowTitle;
    QString windowTitle(WindowHandle window, qsizetype maxLength) override;
    QString windowClass(WindowHandle window) override;
    std::int64_t windowProcessId(WindowHandle window) override;
    std::intptr_t sendMessage(WindowHandle window, unsigned message, std::uintptr_t wParam,
                              std::intptr_t lParam) override;
    bool postMessage(WindowHandle window, unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override;
    bool setForegroundWindow(WindowHandle window) override;
    WindowHandle foregroundWindow() override { return m_foreground; }
    void bringToTop(WindowHandle window) override;
    void showWindow(WindowHandle window, Show how) override;
    bool isWindowEnabled(WindowHandle window) override;
    bool isWindowVisible(WindowHandle window) override;
    bool isZoomed(WindowHandle window) override;
    void setFocus(WindowHandle window) override;
    QPoint cursorPos() override { return cursor; }
    bool isKeyDown(Key key) override { return keysDown.count(key) > 0; }
    WindowHandle handleOf(QWidget& widget) override;
    void setWindowClass(WindowHandle window, const QString& className) override;
    WindowHandle createUtilityWindow(WindowProc proc) override;
    void destroyUtilityWindow(WindowHandle window) override;
    WindowProc windowProc(WindowHandle window) override;
    WindowProc setWindowProc(WindowHandle window, WindowProc proc) override;
    std::intptr_t defWindowProc(WindowHandle window, unsigned message, std::uintptr_t wParam,
                                std::intptr_t lParam) override;

    FakeWindowManager();
    ~FakeWindowManager() override;

    QPoint cursor;
    std::map<Key, bool> keysDown;

private:
    class ShowFilter;
    Window* find(WindowHandle handle);
    WindowHandle add(Window window);
    std::intptr_t deliver(WindowHandle window, unsigned message, std::uintptr_t wParam, std::intptr_t lParam);

    std::map<WindowHandle, Window> m_windows;
    std::vector<WindowHandle> m_order; // topmost first
    std::vector<Call> m_calls;
    WindowHandle m_next = 0x1000;
    WindowHandle m_foreground = 0;
    int m_finds = 0;
    qsizetype m_longestTitleRead = 0;
    std::unique_ptr<ShowFilter> m_showFilter;
};
