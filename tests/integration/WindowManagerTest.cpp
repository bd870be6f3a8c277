// The window manager against real X11 windows: a private Xvfb display managed by openbox,
// windows of another program (xclock) and a second process of this test, which finds
// windows and posts messages as a second start of the spooler does. On the same display
// with trayer as the notification area: the application's own window taking the main
// window out of the task bar, and tray icons that dock and are clicked.
#include "PrivateDisplay.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/XcbWindowManager.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>
#include <QWidget>
#include <QWindow>

#include <gtest/gtest.h>

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>

using namespace WindowMessages;

namespace {

// Processes events until the condition holds, at most timeoutMs.
template <typename Condition> bool waitFor(Condition condition, int timeoutMs = 5000)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.hasExpired(timeoutMs))
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return true;
}

// What xdotool answers; a window as a number.
WindowHandle xdotool(const QStringList& args)
{
    QProcess xdotool;
    xdotool.start(QStringLiteral("xdotool"), args);
    if (!xdotool.waitForFinished(5000))
        return 0;
    return xdotool.readAllStandardOutput().trimmed().toULongLong();
}

// The active window as a program of the desktop sees it.
WindowHandle xdotoolActiveWindow()
{
    return xdotool({QStringLiteral("getactivewindow")});
}

std::ptrdiff_t indexOf(const std::vector<WindowHandle>& windows, WindowHandle window)
{
    const auto it = std::find(windows.begin(), windows.end(), window);
    return it == windows.end() ? -1 : it - windows.begin();
}

// A window of this program docked in trayer's panel, 0 when none is: `xwininfo -tree`
// lists the panel's descendants indented below it.
WindowHandle dockedIcon()
{
    QProcess xwininfo;
    xwininfo.start(QStringLiteral("xwininfo"), {QStringLiteral("-root"), QStringLiteral("-tree")});
    if (!xwininfo.waitForFinished(5000))
        return 0;
    const QString ours = QStringLiteral("\"%1\")").arg(QCoreApplication::applicationName());
    const auto indent = [](const QString& line) { return line.indexOf(QRegularExpression(QStringLiteral("\\S"))); };
    int panel = -1;
    for (const QString& line : QString::fromLocal8Bit(xwininfo.readAllStandardOutput()).split(QLatin1Char('\n'))) {
        if (panel < 0) {
            if (line.contains(QLatin1String("(\"panel\" \"trayer\")")))
                panel = indent(line);
            continue;
        }
        if (indent(line) <= panel)
            break;
        if (line.contains(ours))
            return line.trimmed().section(QLatin1Char(' '), 0, 0).toULongLong(nullptr, 0);
    }
    return 0;
}

// A widget that keeps the program's own events it receives.
class EventRecorder : public QWidget
{
public:
    std::vector<int> events;

protected:
    void customEvent(QEvent* event) override { events.push_back(event->type()); }
};

} // namespace

class WindowManagerTest : public ::testing::Test
{
public:
    // The display and the application on it serve all tests of the process.
    static void SetUpTestSuite()
    {
        s_unavailable = PrivateDisplay::missingPrerequisite();
        if (!s_unavailable.isEmpty())
            return;
        s_display = new PrivateDisplay;
        if (!s_display->start()) {
            s_error = s_display->error();
            return;
        }
        setenv("DISPLAY", s_display->name().toLocal8Bit().constData(), 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        static int argc = 1;
        static char name[] = "pagello_window_tests";
        static char* argv[] = {name, nullptr};
        s_app = new QApplication(argc, argv);
    }

    static void TearDownTestSuite()
    {
        delete s_app;
        s_app = nullptr;
        delete s_display;
        s_display = nullptr;
    }

protected:
    void SetUp() override
    {
        if (!s_unavailable.isEmpty())
            GTEST_SKIP() << s_unavailable.toStdString();
        ASSERT_TRUE(s_error.isEmpty()) << s_error.toStdString();
        m_windows = std::make_unique<XcbWindowManager>();
        ASSERT_TRUE(m_windows->connected());
    }

    void TearDown() override
    {
        for (auto& program : m_programs) {
            program->kill();
            program->waitForFinished(5000);
        }
        m_windows.reset();
    }

    // What a program of the desktop reads of a window: whether it is mapped, the ICCCM
    // state its window manager gave it ("Normal", "Iconic"; empty for none), and whether
    // _NET_CLIENT_LIST, where task bars find their buttons, lists it.
    static bool mapped(WindowHandle window)
    {
        return !s_display->run(QStringLiteral("xwininfo"), {QStringLiteral("-id"), QString::number(window)})
                    .contains(QLatin1String("IsUnMapped"));
    }
    static std::string wmState(WindowHandle window)
    {
        return s_display
            ->run(QStringLiteral("xprop"), {QStringLiteral("-id"), QString::number(window), QStringLiteral("WM_STATE")})
            .section(QLatin1String("window state: "), 1)
            .section(QLatin1Char('\n'), 0, 0)
            .toStdString();
    }
    static bool inTaskBar(WindowHandle window)
    {
        return s_display->run(QStringLiteral("xprop"), {QStringLiteral("-root"), QStringLiteral("_NET_CLIENT_LIST")})
            .contains(QRegularExpression(QStringLiteral("\\b0x%1\\b").arg(window, 0, 16)));
    }

    // Starts trayer as the desktop's notification area and waits until Qt sees it; false
    // when it is not installed.
    bool startTray()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("trayer")).isEmpty())
            return false;
        auto& process = m_programs.emplace_back(std::make_unique<QProcess>());
        process->start(QStringLiteral("trayer"),
                       {QStringLiteral("--edge"), QStringLiteral("top"), QStringLiteral("--align"),
                        QStringLiteral("right"), QStringLiteral("--widthtype"), QStringLiteral("pixel"),
                        QStringLiteral("--width"), QStringLiteral("120")});
        return waitFor([] { return QtNotifyArea::available(); }, 15000);
    }

    // Starts xclock titled `title` and waits for its managed window.
    WindowHandle startClock(const QString& title, QProcess** started = nullptr)
    {
        auto& process = m_programs.emplace_back(std::make_unique<QProcess>());
        // With the input hint: openbox gives the focus only to windows that take it.
        process->start(QStringLiteral("xclock"),
                       {QStringLiteral("-title"), title, QStringLiteral("-xrm"), QStringLiteral("xclock.input: true")});
        if (started)
            *started = process.get();
        WindowHandle window = 0;
        waitFor(
            [&] {
                window = m_windows->findWindow(QStringLiteral("XClock"), title);
                return window && m_windows->isWindowVisible(window);
            },
            15000);
        return window;
    }

    // Runs a second process of this test that finds or addresses a window and posts to it;
    // this process handles its events meanwhile. Its output, or "failed".
    static QString runSecondInstance(const QStringList& args)
    {
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), args);
        if (!waitFor([&] { return child.state() == QProcess::NotRunning; }, 20000)) {
            child.kill();
            child.waitForFinished(5000);
            return QStringLiteral("timed out");
        }
        const QString output = QString::fromLocal8Bit(child.readAllStandardOutput()).trimmed();
        if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0)
            return QStringLiteral("failed: ") + output + QString::fromLocal8Bit(child.readAllStandardError());
        return output;
    }

    std::unique_ptr<XcbWindowManager> m_windows;
    std::vector<std::unique_ptr<QProcess>> m_programs;

    static inline QString s_unavailable;
    static inline QString s_error;
    static inline PrivateDisplay* s_display = nullptr;
    static inline QApplication* s_app = nullptr;
};

TEST_F(WindowManagerTest, FindsAnotherProgramsWindowByTitleAndClassWithItsProcess)
{
    QProcess* clock = nullptr;
    const QString title = QStringLiteral("Pagello probe \u00e9");
    const WindowHandle window = startClock(title, &clock);
    ASSERT_NE(window, 0u);

    // The client itself, as other programs name it, not openbox's frame around it.
    EXPECT_EQ(window, xdotool({QStringLiteral("search"), QStringLiteral("--name"), title}));
    EXPECT_EQ(m_windows->windowTitle(window), title);
    EXPECT_EQ(m_windows->windowClass(window), QStringLiteral("XClock"));
    EXPECT_EQ(m_windows->windowProcessId(window), clock->processId());
    EXPECT_GE(indexOf(m_windows->topLevelWindows(), window), 0);

    EXPECT_EQ(m_windows->findWindow(std::nullopt, title), window);
    EXPECT_EQ(m_windows->findWindow(QStringLiteral("XClock"), std::nullopt), window);
    EXPECT_EQ(m_windows->findWindow(QStringLiteral("XClock"), QStringLiteral("Pagello probe")), 0u);
    EXPECT_EQ(m_windows->findWindow(QStringLiteral("xclock"), title), 0u);
    EXPECT_TRUE(m_windows->isWindowVisible(window));
    EXPECT_TRUE(m_windows->isWindowEnabled(window));
    EXPECT_FALSE(m_windows->isZoomed(window));
}

// Another program may give its window a title of megabytes: read up to a length, only the
// start of it comes from the server, whole, from _NET_WM_NAME and from the WM_NAME of a
// window without one.
TEST_F(WindowManagerTest, TitleReadUpToALengthIsTheStartOfAHugeTitle)
{
    // A program of its own to the server: a connection apart from the window manager's.
    xcb_connection_t* c = xcb_connect(s_display->name().toLocal8Bit().constData(), nullptr);
    ASSERT_FALSE(xcb_connection_has_error(c));
    const auto atom = [c](const char* name) {
        xcb_intern_atom_reply_t* reply =
            xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, std::uint16_t(std::strlen(name)), name), nullptr);
        const xcb_atom_t value = reply ? reply->atom : xcb_atom_t(XCB_NONE);
        std::free(reply);
        return value;
    };
    const xcb_atom_t netWmName = atom("_NET_WM_NAME");
    const xcb_atom_t utf8String = atom("UTF8_STRING");
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;

    // Four-byte characters after nine bytes: the bytes asked for end inside one. Then a
    // title of single-byte characters, where WM_NAME holds it as Latin-1.
    const QString face = QString::fromUcs4(U"\U0001F600", 1);
    const QString wide = QStringLiteral("Pagello: ") + face.repeated(1 << 20);
    const QString latin = QStringLiteral("Pagello \u00e9 ") + QString(3 << 20, QLatin1Char('x'));
    const struct
    {
        xcb_atom_t property;
        xcb_atom_t type;
        QString title;
        QByteArray bytes;
    } cases[] = {
        {netWmName, utf8String, wide, wide.toUtf8()},
        {XCB_ATOM_WM_NAME, XCB_ATOM_STRING, latin, latin.toLatin1()},
        {XCB_ATOM_WM_NAME, utf8String, wide, wide.toUtf8()},
    };
    for (const auto& t : cases) {
        SCOPED_TRACE(t.property == netWmName ? "_NET_WM_NAME" : "WM_NAME");
        const xcb_window_t window = xcb_generate_id(c);
        xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 10, 10, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                          screen->root_visual, 0, nullptr);
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, t.property, t.type, 8, std::uint32_t(t.bytes.size()),
                            t.bytes.constData());
        std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));

        const QString start = m_windows->windowTitle(window, 511);
        EXPECT_GE(start.size(), 510);
        EXPECT_LE(start.size(), 511);
        EXPECT_TRUE(t.title.startsWith(start)) << start.left(40).toStdString();
        // Never half a character of two units.
        EXPECT_EQ(m_windows->windowTitle(window, 40), t.title.left(t.title.at(39).isHighSurrogate() ? 39 : 40));
        EXPECT_EQ(m_windows->windowTitle(window, 0), QString());
        EXPECT_EQ(m_windows->windowTitle(window).size(), t.title.size());
        xcb_destroy_window(c, window);
    }
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    xcb_disconnect(c);
}

TEST_F(WindowManagerTest, ActivatesAndRaisesAnotherProgramsWindows)
{
    const WindowHandle first = startClock(QStringLiteral("First clock"));
    const WindowHandle second = startClock(QStringLiteral("Second clock"));
    ASSERT_NE(first, 0u);
    ASSERT_NE(second, 0u);
    EXPECT_TRUE(m_windows->setForegroundWindow(second));
    ASSERT_TRUE(waitFor([&] { return xdotoolActiveWindow() == second; }));

    EXPECT_TRUE(m_windows->setForegroundWindow(first));
    EXPECT_TRUE(waitFor([&] { return xdotoolActiveWindow() == first; }));
    EXPECT_EQ(m_windows->foregroundWindow(), first);
    // Activating raises: topmost first.
    EXPECT_TRUE(waitFor([&] {
        const auto windows = m_windows->topLevelWindows();
        return indexOf(windows, first) < indexOf(windows, second);
    }));

    // Raised without being activated.
    m_windows->bringToTop(second);
    EXPECT_TRUE(waitFor([&] {
        const auto windows = m_windows->topLevelWindows();
        return indexOf(windows, second) < indexOf(windows, first);
    }));
    EXPECT_EQ(xdotoolActiveWindow(), first);

    m_windows->sendMessage(second, WM_SYSCOMMAND, SC_HOTKEY, 0);
    EXPECT_TRUE(waitFor([&] { return xdotoolActiveWindow() == second; }));
}

TEST_F(WindowManagerTest, MinimisesHidesRestoresAndClosesAnotherProgramsWindow)
{
    QProcess* clock = nullptr;
    const QString title = QStringLiteral("Minimised clock");
    const WindowHandle window = startClock(title, &clock);
    ASSERT_NE(window, 0u);

    m_windows->showWindow(window, IWindowManager::Show::Minimize);
    EXPECT_TRUE(waitFor([&] { return !m_windows->isWindowVisible(window); }));
    EXPECT_EQ(m_windows->findWindow(QStringLiteral("XClock"), title), window);
    // Restored as the spooler's start-up hands the focus back.
    EXPECT_TRUE(m_windows->postMessage(window, WM_SYSCOMMAND, SC_RESTORE, 0));
    EXPECT_TRUE(waitFor([&] { return m_windows->isWindowVisible(window) && xdotoolActiveWindow() == window; }));

    // Withdrawn: openbox lets it go back to the root, where it is still found.
    m_windows->showWindow(window, IWindowManager::Show::Hide);
    EXPECT_TRUE(waitFor([&] { return !m_windows->isWindowVisible(window); }));
    EXPECT_TRUE(waitFor([&] { return m_windows->findWindow(QStringLiteral("XClock"), title) == window; }));
    m_windows->showWindow(window, IWindowManager::Show::Show);
    EXPECT_TRUE(waitFor([&] { return m_windows->isWindowVisible(window); }));

    // Messages it cannot understand go nowhere; a close request ends it.
    EXPECT_TRUE(m_windows->postMessage(window, WM_USER + 101, 0, 0));
    EXPECT_EQ(clock->state(), QProcess::Running);
    m_windows->sendMessage(window, WM_CLOSE, 0, 0);
    EXPECT_TRUE(clock->waitForFinished(5000));
    EXPECT_TRUE(waitFor([&] { return m_windows->findWindow(std::nullopt, title) == 0; }));
    EXPECT_FALSE(m_windows->postMessage(window, WM_SYSCOMMAND, SC_RESTORE, 0));
}

TEST_F(WindowManagerTest, OwnWidgetIsFoundUnderItsClassShownMinimisedAndHidden)
{
    const QString title = QStringLiteral("Pagello ");
    QWidget widget;
    widget.setWindowTitle(title);
    const WindowHandle window = m_windows->handleOf(widget);
    m_windows->setWindowClass(window, QStringLiteral("TForm1"));
    const auto found = [&] { return m_windows->findWindow(QStringLiteral("TForm1"), title); };

    // Before it is ever shown.
    EXPECT_EQ(found(), window);
    EXPECT_EQ(m_windows->windowProcessId(window), getpid());
    EXPECT_EQ(m_windows->findWindow(QStringLiteral("TForm1"), QStringLiteral("Pagello")), 0u);

    widget.show();
    // Activated once openbox manages it.
    ASSERT_TRUE(waitFor([&] { return widget.windowHandle()->isExposed() && found() == window; }));
    EXPECT_TRUE(m_windows->setForegroundWindow(window));
    EXPECT_TRUE(waitFor([&] { return m_windows->foregroundWindow() == window; }));

    m_windows->showWindow(window, IWindowManager::Show::Minimize);
    EXPECT_TRUE(widget.isMinimized());
    EXPECT_FALSE(m_windows->isWindowVisible(window));
    EXPECT_TRUE(waitFor([&] { return found() == window; }));
    m_windows->showWindow(window, IWindowManager::Show::Restore);
    EXPECT_TRUE(waitFor([&] { return !widget.isMinimized() && widget.isVisible(); }));

    // Hidden to the tray: withdrawn, back on the root.
    widget.hide();
    EXPECT_TRUE(waitFor([&] { return found() == window; }));
    EXPECT_FALSE(m_windows->isWindowVisible(window));
}

TEST_F(WindowManagerTest, MessagePostedFromAnotherProcessReachesTheUtilityWindowsProcedure)
{
    struct Call
    {
        WindowHandle window;
        unsigned message;
        std::uintptr_t wParam;
        std::intptr_t lParam;
    };
    std::vector<Call> calls;
    const WindowHandle utility = m_windows->createUtilityWindow(
        [&](WindowHandle window, unsigned message, std::uintptr_t wParam, std::intptr_t lParam) -> std::intptr_t {
            calls.push_back({window, message, wParam, lParam});
            return 0;
        });
    ASSERT_NE(utility, 0u);

    const std::uintptr_t wParam = 0x123456789ABCull;
    const std::intptr_t lParam = -0x7EDCBA9876LL;
    const QString posted =
        runSecondInstance({QStringLiteral("--post-to"), QString::number(utility), QString::number(WM_USER + 7),
                           QString::number(wParam), QString::number(lParam)});
    EXPECT_EQ(posted, QStringLiteral("posted"));
    ASSERT_TRUE(waitFor([&] { return !calls.empty(); }));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].window, utility);
    EXPECT_EQ(calls[0].message, WM_USER + 7);
    EXPECT_EQ(calls[0].wParam, wParam);
    EXPECT_EQ(calls[0].lParam, lParam);

    // Gone with its window: the other process is told it no longer exists.
    m_windows->destroyUtilityWindow(utility);
    EXPECT_NE(runSecondInstance({QStringLiteral("--post-to"), QString::number(utility), QString::number(WM_USER),
                                 QStringLiteral("0"), QStringLiteral("0")}),
              QStringLiteral("posted"));
}

TEST_F(WindowManagerTest, SecondStartFindsTheHiddenMainWindowAndItsQuitRequestArrivesAsAnEvent)
{
    EventRecorder mainWindow;
    mainWindow.setWindowTitle(QStringLiteral("Pagello "));
    const WindowHandle window = m_windows->handleOf(mainWindow);
    m_windows->setWindowClass(window, QStringLiteral("TForm1"));
    mainWindow.show();
    ASSERT_TRUE(waitFor([&] { return m_windows->isWindowVisible(window); }));
    mainWindow.hide();

    const QString found = runSecondInstance({QStringLiteral("--find-and-post"), QStringLiteral("TForm1"),
                                             QStringLiteral("Pagello "), QString::number(WM_USER + 101)});
    EXPECT_EQ(found, QString::number(window));
    ASSERT_TRUE(waitFor([&] { return !mainWindow.events.empty(); }));
    EXPECT_EQ(mainWindow.events, std::vector<int>{QEvent::User + 101});
}

TEST_F(WindowManagerTest, HiddenApplicationWindowLeavesOnlyTheTrayIconUntilTheApplicationIsRestored)
{
    if (!startTray())
        GTEST_SKIP() << "trayer is not installed (package trayer)";
    QtApplication application(m_windows.get());
    const WindowHandle proxy = application.handle();
    // Titled as the program: the name Qt gives our windows without a title, such as the
    // tray icon's hidden one made after it.
    application.setTitle(QCoreApplication::applicationName());
    const WindowHandle utility = m_windows->createUtilityWindow({});
    ASSERT_EQ(m_windows->findWindow(std::nullopt, application.title()), proxy);
    QWidget mainWindow;
    const WindowHandle form = m_windows->handleOf(mainWindow);
    application.setMainWindow(&mainWindow);

    // The spooler's tray icon as it binds itself: the application's window hidden while
    // minimised, restored with the application, and that applied again whenever the main
    // window is about to be shown.
    bool hideForm = true;
    int restored = 0;
    const auto apply = [&] {
        m_windows->showWindow(m_windows->findWindow(std::nullopt, application.title()),
                              hideForm ? IWindowManager::Show::Hide : IWindowManager::Show::Restore);
    };
    const auto setHideForm = [&](bool hide) {
        if (hide != hideForm) {
            hideForm = hide;
            apply();
        }
    };
    application.OnMinimize = [&] { setHideForm(true); };
    application.OnRestore = [&] {
        ++restored;
        setHideForm(false);
    };
    IWindowManager::WindowProc previous;
    previous = m_windows->setWindowProc(
        form, [&](WindowHandle window, unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
            if (message == WM_SHOWWINDOW && wParam)
                apply();
            return previous(window, message, wParam, lParam);
        });

    // The start-up: minimised, restored and minimised again before it is shown, without
    // reaching the screen; then shown, it is mapped minimised (the window manager says so
    // before the event loop runs) and leaves for the tray at once.
    application.minimize();
    application.restore();
    application.minimize();
    EXPECT_FALSE(waitFor([&] { return mapped(form) || inTaskBar(form); }, 500));
    mainWindow.show();
    QElapsedTimer managed;
    managed.start();
    while (wmState(form).empty() && !managed.hasExpired(5000))
        QThread::msleep(20);
    EXPECT_EQ(wmState(form), "Iconic");
    EXPECT_TRUE(waitFor([&] { return mainWindow.isHidden() && !inTaskBar(form); }));

    // A click on the tray icon: the application's window raised, restored, activated.
    m_windows->bringToTop(proxy);
    m_windows->sendMessage(proxy, WM_SYSCOMMAND, SC_RESTORE, 0);
    m_windows->setForegroundWindow(proxy);
    EXPECT_TRUE(waitFor([&] { return wmState(form) == "Normal" && xdotoolActiveWindow() == form; }));

    // Minimised by the user, it leaves for the tray; its button back while it stays
    // minimised, it is there minimised. The application's window is never seen.
    m_windows->showWindow(form, IWindowManager::Show::Minimize);
    EXPECT_TRUE(waitFor([&] { return mainWindow.isHidden() && !inTaskBar(form); }));
    setHideForm(false);
    EXPECT_TRUE(waitFor([&] { return inTaskBar(form) && wmState(form) == "Iconic"; }));
    EXPECT_EQ(restored, 2);
    EXPECT_FALSE(mapped(proxy));
    EXPECT_EQ(wmState(proxy), "");
    m_windows->destroyUtilityWindow(utility);
}

TEST_F(WindowManagerTest, TrayIconDocksInTheNotificationAreaAndItsClicksReachTheWindow)
{
    if (!startTray())
        GTEST_SKIP() << "trayer is not installed (package trayer)";
    QtNotifyArea area(*m_windows);
    std::vector<std::intptr_t> mouse;
    const WindowHandle window = m_windows->createUtilityWindow(
        [&](WindowHandle, unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
            if (message == 0xB040 && wParam == 0)
                mouse.push_back(lParam);
            return std::intptr_t(0);
        });
    QImage picture(16, 16, QImage::Format_ARGB32);
    picture.fill(Qt::red);
    const IconHandle icon = IconHandles::make(picture);
    using namespace NotifyIcon;
    const NotifyIconData data{
        kRecordSize, window, 0, NIF_MESSAGE | NIF_ICON | NIF_TIP, 0xB040, icon, QStringLiteral("Pagello")};
    ASSERT_TRUE(area.shellNotifyIcon(NIM_ADD, data));
    IconHandles::release(icon);

    // Qt docks its icon anew when it hears of the tray only after the first docking: the
    // window to click is the one that stays.
    WindowHandle docked = 0;
    QElapsedTimer unchanged;
    ASSERT_TRUE(waitFor(
        [&] {
            const WindowHandle now = dockedIcon();
            if (now != docked) {
                docked = now;
                unchanged.start();
            }
            return docked && unchanged.hasExpired(300);
        },
        10000));
    const struct
    {
        QString how;
        std::vector<std::intptr_t> mouse;
    } clicks[] = {
        {QStringLiteral("1"), {WM_LBUTTONDOWN, WM_LBUTTONUP}},
        {QStringLiteral("3"), {WM_RBUTTONDOWN, WM_RBUTTONUP}},
        {QStringLiteral("2"), {WM_MBUTTONDOWN, WM_MBUTTONUP}},
        {QStringLiteral("--repeat 2 --delay 60 1"), {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP}},
    };
    for (const auto& c : clicks) {
        SCOPED_TRACE(c.how.toStdString());
        mouse.clear();
        xdotool(QStringLiteral("mousemove --window %1 8 8 click %2").arg(docked).arg(c.how).split(QLatin1Char(' ')));
        EXPECT_TRUE(waitFor([&] { return mouse.size() >= c.mouse.size(); }));
        EXPECT_EQ(mouse, c.mouse);
    }

    EXPECT_TRUE(area.shellNotifyIcon(NIM_DELETE, data));
    EXPECT_TRUE(waitFor([] { return dockedIcon() == 0; }));
    m_windows->destroyUtilityWindow(window);
}

namespace {

// The second process: `--post-to HANDLE MESSAGE WPARAM LPARAM` or
// `--find-and-post CLASS TITLE MESSAGE`. Prints "posted" or the window it found.
int secondInstance(int argc, char** argv)
{
    QApplication app(argc, argv);
    XcbWindowManager windows;
    const QStringList args = QCoreApplication::arguments();
    if (args.size() == 6 && args[1] == QLatin1String("--post-to")) {
        if (!windows.postMessage(args[2].toULongLong(), args[3].toUInt(), args[4].toULongLong(), args[5].toLongLong()))
            return 1;
        std::cout << "posted" << std::endl;
        return 0;
    }
    if (args.size() == 5 && args[1] == QLatin1String("--find-and-post")) {
        const WindowHandle window = windows.findWindow(args[2], args[3]);
        if (!window || !windows.postMessage(window, args[4].toUInt(), 0, 0))
            return 1;
        std::cout << window << std::endl;
        return 0;
    }
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::strncmp(argv[1], "--", 2) == 0 &&
        (std::strcmp(argv[1], "--post-to") == 0 || std::strcmp(argv[1], "--find-and-post") == 0))
        return secondInstance(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
