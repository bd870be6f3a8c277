// The window manager without an X display (the offscreen platform): nothing of the desktop
// is found, while this program's own windows still get their messages in-process; and the
// application's own window on top of it.
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/XcbWindowManager.h"

#include <QCoreApplication>
#include <QWidget>

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

using namespace WindowMessages;

namespace {

struct Call
{
    WindowHandle window;
    unsigned message;
    std::uintptr_t wParam;
    std::intptr_t lParam;
    bool operator==(const Call&) const = default;
};

class EventRecorder : public QWidget
{
public:
    std::vector<int> events;

protected:
    void customEvent(QEvent* event) override { events.push_back(event->type()); }
};

// Writes what its own show and hide handling sees into a log shared with its procedure.
class ShowRecorder : public QWidget
{
public:
    explicit ShowRecorder(std::vector<QString>& log)
        : m_log(log)
    {}

protected:
    void showEvent(QShowEvent*) override { m_log.push_back(QStringLiteral("showEvent")); }
    void hideEvent(QHideEvent*) override { m_log.push_back(QStringLiteral("hideEvent")); }

private:
    std::vector<QString>& m_log;
};

} // namespace

TEST(XcbWindowManagerOffscreen, FindsNothingOfTheDesktopAndSendsNothingThere)
{
    XcbWindowManager windows;
    EXPECT_FALSE(windows.connected());
    QWidget widget;
    widget.setWindowTitle(QStringLiteral("Pagello "));
    const WindowHandle own = windows.handleOf(widget);
    windows.setWindowClass(own, QStringLiteral("TForm1"));
    EXPECT_TRUE(windows.topLevelWindows().empty());
    EXPECT_EQ(windows.findWindow(QStringLiteral("TForm1"), QStringLiteral("Pagello ")), 0u);
    EXPECT_EQ(windows.foregroundWindow(), 0u);
    // Our own widget still answers for itself.
    EXPECT_EQ(windows.windowTitle(own), QStringLiteral("Pagello "));
    // Up to a length: never half a character of two units.
    QWidget titled;
    const QString face = QString::fromUcs4(U"\U0001F600", 1);
    titled.setWindowTitle(QStringLiteral("Pagello ") + face + QLatin1Char('!'));
    EXPECT_EQ(windows.windowTitle(windows.handleOf(titled), 9), QStringLiteral("Pagello "));
    EXPECT_EQ(windows.windowTitle(windows.handleOf(titled), 10), QStringLiteral("Pagello ") + face);
    EXPECT_EQ(windows.windowClass(own), QStringLiteral("TForm1"));

    const WindowHandle stranger = 0x2a00007;
    EXPECT_FALSE(windows.postMessage(stranger, WM_USER + 101, 0, 0));
    EXPECT_EQ(windows.sendMessage(stranger, WM_SYSCOMMAND, SC_RESTORE, 0), 0);
    EXPECT_FALSE(windows.setForegroundWindow(stranger));
    windows.showWindow(stranger, IWindowManager::Show::Restore);
    windows.bringToTop(stranger);
    windows.setFocus(stranger);
    EXPECT_FALSE(windows.isWindowVisible(stranger));
    EXPECT_TRUE(windows.windowTitle(stranger).isEmpty());
    EXPECT_EQ(windows.windowProcessId(stranger), 0);
    EXPECT_FALSE(windows.windowProc(stranger));
}

TEST(XcbWindowManagerOffscreen, MessagesToOwnWindowsReachTheirProcedureInProcess)
{
    XcbWindowManager windows;
    std::vector<Call> calls;
    const WindowHandle utility =
        windows.createUtilityWindow([&](WindowHandle window, unsigned message, std::uintptr_t w, std::intptr_t l) {
            calls.push_back({window, message, w, l});
            return std::intptr_t(42);
        });
    ASSERT_NE(utility, 0u);

    // Sent: handled at once, with the procedure's result.
    EXPECT_EQ(windows.sendMessage(utility, WM_USER + 1, 0x123456789ABCull, -5), 42);
    EXPECT_EQ(calls, (std::vector<Call>{{utility, WM_USER + 1, 0x123456789ABCull, -5}}));

    // Posted: handled only when the event loop gets to it.
    calls.clear();
    EXPECT_TRUE(windows.postMessage(utility, WM_USER + 2, 7, 8));
    EXPECT_TRUE(calls.empty());
    QCoreApplication::processEvents();
    EXPECT_EQ(calls, (std::vector<Call>{{utility, WM_USER + 2, 7, 8}}));

    // A procedure put in front passes on what it does not handle to the one it replaced.
    calls.clear();
    IWindowManager::WindowProc previous;
    previous = windows.setWindowProc(
        utility, [&](WindowHandle window, unsigned message, std::uintptr_t w, std::intptr_t l) -> std::intptr_t {
            return message == WM_USER + 3 ? 3 : previous(window, message, w, l);
        });
    EXPECT_EQ(windows.sendMessage(utility, WM_USER + 3, 0, 0), 3);
    EXPECT_EQ(windows.sendMessage(utility, WM_USER + 4, 0, 0), 42);
    EXPECT_EQ(calls, (std::vector<Call>{{utility, WM_USER + 4, 0, 0}}));

    // A message posted to a window destroyed before it arrives is dropped.
    calls.clear();
    EXPECT_TRUE(windows.postMessage(utility, WM_USER + 5, 0, 0));
    windows.destroyUtilityWindow(utility);
    QCoreApplication::processEvents();
    EXPECT_TRUE(calls.empty());
    EXPECT_FALSE(windows.postMessage(utility, WM_USER + 6, 0, 0));
}

TEST(XcbWindowManagerOffscreen, DefaultProcedurePostsProgramMessagesAsEventsRestoresAndCloses)
{
    XcbWindowManager windows;
    EventRecorder widget;
    const WindowHandle window = windows.handleOf(widget);
    ASSERT_TRUE(windows.windowProc(window));

    windows.sendMessage(window, WM_USER + 101, 0, 0);
    EXPECT_TRUE(windows.postMessage(window, WM_USER, 0, 0));
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(widget.events, (std::vector<int>{QEvent::User + 101, QEvent::User}));

    widget.showMinimized();
    EXPECT_FALSE(windows.isWindowVisible(window));
    windows.sendMessage(window, WM_SYSCOMMAND, SC_RESTORE, 0);
    EXPECT_FALSE(widget.isMinimized());
    EXPECT_TRUE(windows.isWindowVisible(window));

    // A procedure of its own sees the message first; without one the default closes.
    int seen = 0;
    const auto previous = windows.setWindowProc(
        window, [&](WindowHandle, unsigned message, std::uintptr_t, std::intptr_t) -> std::intptr_t {
            seen = static_cast<int>(message);
            return 0;
        });
    windows.sendMessage(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(seen, static_cast<int>(WM_CLOSE));
    EXPECT_TRUE(widget.isVisible());
    windows.setWindowProc(window, previous);
    windows.sendMessage(window, WM_CLOSE, 0, 0);
    EXPECT_FALSE(widget.isVisible());
}

TEST(XcbWindowManagerOffscreen, ReplacedProcedureHearsOfShowAndHideBeforeTheWidget)
{
    XcbWindowManager windows;
    std::vector<QString> log;
    ShowRecorder widget(log);
    const WindowHandle window = windows.handleOf(widget);
    windows.setWindowProc(window, [&](WindowHandle, unsigned message, std::uintptr_t wParam, std::intptr_t) {
        if (message == WM_SHOWWINDOW)
            log.push_back(QStringLiteral("WM_SHOWWINDOW %1").arg(wParam));
        return std::intptr_t(0);
    });
    widget.show();
    widget.hide();
    EXPECT_EQ(log, (std::vector<QString>{QStringLiteral("WM_SHOWWINDOW 1"), QStringLiteral("showEvent"),
                                         QStringLiteral("WM_SHOWWINDOW 0"), QStringLiteral("hideEvent")}));

    // A procedure that fails keeps nothing from happening, and its failure goes no further.
    windows.setWindowProc(window, [](WindowHandle, unsigned, std::uintptr_t, std::intptr_t) -> std::intptr_t {
        throw std::runtime_error("hook failed");
    });
    EXPECT_NO_THROW(widget.show());
    EXPECT_TRUE(widget.isVisible());
}

TEST(XcbWindowManagerOffscreen, ApplicationWindowRestoresTheApplicationAndWithoutATrayHidesNothing)
{
    XcbWindowManager windows;
    QtApplication application(&windows);
    const WindowHandle proxy = application.handle();
    EXPECT_EQ(windows.windowClass(proxy), QStringLiteral("TApplication"));
    QWidget mainWindow;
    application.setMainWindow(&mainWindow);
    const WindowHandle form = windows.handleOf(mainWindow);

    // Restored by the program, a main window never shown stays so; by what a click on the
    // tray icon sends, it shows.
    application.minimize();
    application.restore();
    EXPECT_FALSE(mainWindow.isVisible());
    application.minimize();
    windows.sendMessage(proxy, WM_SYSCOMMAND, SC_RESTORE, 0);
    EXPECT_TRUE(windows.isWindowVisible(form));

    // No notification area here: the minimised main window keeps its button.
    application.minimize();
    windows.showWindow(proxy, IWindowManager::Show::Hide);
    QCoreApplication::processEvents();
    EXPECT_TRUE(mainWindow.isVisible());
    // Closing the application closes the main window. Its own window is never shown.
    windows.sendMessage(proxy, WM_CLOSE, 0, 0);
    EXPECT_FALSE(mainWindow.isVisible());
    EXPECT_FALSE(windows.isWindowVisible(proxy));
}
