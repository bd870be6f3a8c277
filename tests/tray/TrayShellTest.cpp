#include "ASTrayIcon.h"
#include "TrayShell.h"
#include "platform/fake/FakePlatform.h"

#include <QElapsedTimer>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

namespace {

using namespace WindowMessages;
using namespace NotifyIcon;
using Request = FakeNotifyArea::Request;
using Call = FakeWindowManager::Call;

QImage picture(QRgb colour)
{
    QImage image(16, 16, QImage::Format_ARGB32);
    image.fill(colour);
    return image;
}

// A tray icon on the fakes, with the events it raises written down in order.
struct Tray
{
    Tray()
    {
        fake.application.setTitle(QStringLiteral("Pagello"));
        icon = std::make_unique<TTrayIcon>(nullptr, platform());
        icon->OnMouseDown = [this](QObject&, TMouseButton b, TShiftState s, int x, int y) { note("down", b, s, x, y); };
        icon->OnMouseUp = [this](QObject&, TMouseButton b, TShiftState s, int x, int y) { note("up", b, s, x, y); };
        icon->OnClick = [this](QObject&, TMouseButton b, TShiftState s, int x, int y) { note("click", b, s, x, y); };
        icon->OnDblClick = [this](QObject&) { events.push_back(QStringLiteral("dblclick")); };
        icon->OnMouseMove = [this](QObject&, TShiftState s, int x, int y) {
            events.push_back(QStringLiteral("move %1 %2,%3").arg(s).arg(x).arg(y));
        };
    }
    TrayPlatform platform() { return TrayPlatform{fake.windows, fake.notifyArea, fake.application}; }
    void note(const char* what, TMouseButton button, TShiftState shift, int x, int y)
    {
        const char* buttons[] = {"left", "right", "middle"};
        events.push_back(QStringLiteral("%1 %2 %3 %4,%5")
                             .arg(QLatin1String(what), QLatin1String(buttons[int(button)]))
                             .arg(shift)
                             .arg(x)
                             .arg(y));
    }
    void show(QRgb colour = 0xff336699)
    {
        const TIcon source(picture(colour));
        icon->setIcon(&source);
    }
    // The events the mouse messages raise.
    QStringList mouse(std::initializer_list<std::intptr_t> messages)
    {
        events.clear();
        for (const std::intptr_t message : messages)
            EXPECT_EQ(fake.notifyArea.mouse(message), 0);
        return events;
    }

    FakeSpoolerPlatform fake;
    std::unique_ptr<TTrayIcon> icon;
    QStringList events;
};

// A menu that notes where it popped up instead of running its own loop.
struct NotingMenu : TPopupMenu
{
    void Popup(int x, int y) override { popups.append(QPoint(x, y)); }
    QList<QPoint> popups;
};

TEST(TrayIcon, IconComesAndGoesWithItsPictureAndActiveAndAFailedAddIsTriedAgain)
{
    Tray t;
    EXPECT_TRUE(t.fake.notifyArea.requests().empty()) << "nothing is sent on construction";
    t.show();
    ASSERT_EQ(t.fake.notifyArea.messages(), (std::vector<unsigned>{NIM_DELETE, NIM_ADD, NIM_MODIFY}));
    const NotifyIconData& added = t.fake.notifyArea.requests()[1].data;
    EXPECT_EQ(added.cbSize, 88u);
    EXPECT_EQ(added.hWnd, t.icon->WindowHandle());
    EXPECT_EQ(added.uID, 0u);
    EXPECT_EQ(added.uFlags, 7u);
    EXPECT_EQ(added.uCallbackMessage, 0xB040u);
    EXPECT_NE(added.hIcon, 0);
    EXPECT_EQ(t.fake.notifyArea.requests()[2].data, added) << "the modify after the add carries the same record";
    ASSERT_NE(t.fake.notifyArea.only(), nullptr);
    EXPECT_EQ(t.fake.notifyArea.only()->image, picture(0xff336699));
    EXPECT_TRUE(t.icon->Added());

    // An empty picture takes the icon away; a picture brings it back.
    t.fake.notifyArea.clearRequests();
    t.icon->setIcon(nullptr);
    EXPECT_EQ(t.fake.notifyArea.messages(), (std::vector<unsigned>{NIM_DELETE}));
    EXPECT_FALSE(t.icon->Added());
    t.show(0xffcc0000);
    EXPECT_EQ(t.fake.notifyArea.only()->image, picture(0xffcc0000));

    t.fake.notifyArea.clearRequests();
    t.icon->setActive(false);
    EXPECT_EQ(t.fake.notifyArea.messages(), (std::vector<unsigned>{NIM_DELETE}));
    t.icon->setActive(true);
    EXPECT_EQ(t.fake.notifyArea.messages(), (std::vector<unsigned>{NIM_DELETE, NIM_DELETE, NIM_ADD, NIM_MODIFY}));

    // The shell refuses the add: nothing is reported, and the next change tries again.
    t.icon->setActive(false);
    t.fake.notifyArea.refuseAdd = true;
    t.icon->setActive(true);
    EXPECT_FALSE(t.icon->Added());
    t.fake.notifyArea.refuseAdd = false;
    t.icon->setHint(QStringLiteral("Pagello"));
    EXPECT_TRUE(t.icon->Added());

    // Going, the icon leaves the area and gives up its hidden window.
    const WindowHandle hidden = t.icon->WindowHandle();
    t.icon.reset();
    EXPECT_EQ(t.fake.notifyArea.only(), nullptr);
    EXPECT_EQ(t.fake.windows.windowProc(hidden), nullptr);
}

TEST(TrayIcon, HintShowsItsShortPartAtMost63CharactersAndAnEqualHintSendsNothing)
{
    Tray t;
    t.icon->setHint(QStringLiteral("Tiskový manager|Pagello pro DOS"));
    EXPECT_EQ(t.fake.notifyArea.messages(), std::vector<unsigned>{NIM_DELETE}) << "no icon to add yet";
    t.fake.notifyArea.clearRequests();
    t.show();
    EXPECT_EQ(t.fake.notifyArea.messages(), (std::vector<unsigned>{NIM_DELETE, NIM_ADD}))
        << "with a tip the add is not followed by a modify";
    EXPECT_EQ(t.fake.notifyArea.only()->data.szTip, QStringLiteral("Tiskový manager"));

    t.fake.notifyArea.clearRequests();
    t.icon->setHint(QString(100, QLatin1Char('x')));
    ASSERT_EQ(t.fake.notifyArea.messages(), (std::vector<unsigned>{NIM_MODIFY}));
    EXPECT_EQ(t.fake.notifyArea.only()->data.szTip, QString(63, QLatin1Char('x')));
    t.icon->setHint(QString(100, QLatin1Char('x')));
    EXPECT_EQ(t.fake.notifyArea.requests().size(), 1u);
}

TEST(TrayIcon, MouseMessagesRaiseTheirEventsInOrderAtTheCursorWithTheKeysHeld)
{
    Tray t;
    t.show();
    t.fake.windows.cursor = QPoint(640, 470);
    EXPECT_EQ(t.mouse({WM_LBUTTONDOWN, WM_LBUTTONUP}),
              (QStringList{"down left 8 640,470", "click left 8 640,470", "up left 8 640,470"}));
    EXPECT_EQ(t.mouse({WM_LBUTTONUP}), QStringList{"up left 8 640,470"}) << "a release whose press was elsewhere";
    EXPECT_EQ(t.mouse({WM_RBUTTONDOWN, WM_RBUTTONUP}),
              (QStringList{"down right 16 640,470", "click right 16 640,470", "up right 16 640,470"}));
    // A double click: press, release, the double-click message, release.
    EXPECT_EQ(t.mouse({WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP}),
              (QStringList{"down left 8 640,470", "click left 8 640,470", "up left 8 640,470", "dblclick",
                           "down left 64 640,470", "up left 8 640,470"}));
    // The middle button never clicks.
    t.fake.windows.keysDown[IWindowManager::Key::Shift] = true;
    t.fake.windows.keysDown[IWindowManager::Key::Control] = true;
    EXPECT_EQ(t.mouse({WM_MBUTTONDOWN, WM_MBUTTONUP, WM_MOUSEMOVE}),
              (QStringList{"down middle 37 640,470", "up middle 37 640,470", "move 5 640,470"}));
    // A press counts only until the icon is shown anew.
    t.mouse({WM_RBUTTONDOWN});
    t.icon->setActive(false);
    t.icon->setActive(true);
    EXPECT_EQ(t.mouse({WM_RBUTTONUP}), QStringList{"up right 21 640,470"});

    // A handler's failure shows in the error box; the window goes on.
    t.icon->OnMouseDown = [](QObject&, TMouseButton, TShiftState, int, int) { throw EPrinterError("Tiskárna chybí"); };
    EXPECT_EQ(t.mouse({WM_LBUTTONDOWN}), QStringList{});
    EXPECT_EQ(t.fake.application.errors(), std::vector<QString>{QStringLiteral("Tiskárna chybí")});
    EXPECT_EQ(t.mouse({WM_LBUTTONUP}), QStringList{"up left 13 640,470"}) << "the failed press did not count";
}

TEST(TrayIcon, RightClickPopsUpTheMenuThatDoesByItselfAndDoubleClickRunsItsDefaultItem)
{
    Tray t;
    t.show();
    t.fake.windows.cursor = QPoint(10, 20);
    auto* menu = new NotingMenu;
    QAction* open = menu->addAction(QStringLiteral("Otevřít"));
    int opened = 0;
    QObject::connect(open, &QAction::triggered, [&] { ++opened; });
    t.icon->setPopupMenu(menu);

    t.fake.windows.clearCalls();
    EXPECT_EQ(t.mouse({WM_RBUTTONDOWN, WM_RBUTTONUP}), (QStringList{"down right 16 10,20", "up right 16 10,20"}));
    EXPECT_EQ(menu->popups, QList<QPoint>{QPoint(10, 20)});
    EXPECT_EQ(menu->PopupComponent, t.icon.get());
    int foregrounds = 0;
    for (const Call& call : t.fake.windows.calls())
        foregrounds += call.what == QLatin1String("foreground") && call.window == t.icon->WindowHandle();
    EXPECT_EQ(foregrounds, 2) << "the hidden window is the foreground before and after the menu";

    menu->AutoPopup = false;
    EXPECT_EQ((t.mouse({WM_RBUTTONDOWN, WM_RBUTTONUP})).size(), 3) << "click raised";

    // A double click runs the enabled default item instead of OnDblClick.
    menu->setDefaultAction(open);
    EXPECT_EQ(t.mouse({WM_LBUTTONDBLCLK}), QStringList{"down left 64 10,20"});
    EXPECT_EQ(opened, 1);
    open->setEnabled(false);
    EXPECT_EQ(t.mouse({WM_LBUTTONDBLCLK}), (QStringList{"dblclick", "down left 64 10,20"}));

    delete menu;
    EXPECT_EQ(t.icon->PopupMenu(), nullptr);
    EXPECT_EQ((t.mouse({WM_RBUTTONDOWN, WM_RBUTTONUP})).size(), 3);
}

// The menu a desktop shows by itself goes to the area for the icon's window, stays over the
// icon being shown anew, and leaves the right click to the icon where no desktop shows it;
// it goes with the icon.
TEST(TrayIcon, ShellMenuGoesToTheAreaAndTheRightClickStaysAClick)
{
    Tray t;
    t.show();
    QAction show(QStringLiteral("Pagello"));
    QAction close(QStringLiteral("&Zavřít"));
    t.icon->setShellMenu({&show, &close});
    const WindowHandle window = t.icon->WindowHandle();
    EXPECT_EQ(t.fake.notifyArea.menu(window), (QList<QAction*>{&show, &close}));
    EXPECT_EQ(t.fake.notifyArea.menuTexts(window), (QStringList{"Pagello", "Zavřít"}));
    t.icon->setActive(false);
    t.icon->setActive(true);
    EXPECT_EQ(t.fake.notifyArea.menu(window).size(), 2);
    EXPECT_EQ(t.mouse({WM_RBUTTONDOWN, WM_RBUTTONUP}),
              (QStringList{"down right 16 0,0", "click right 16 0,0", "up right 16 0,0"}));
    int closed = 0;
    QObject::connect(&close, &QAction::triggered, [&] { ++closed; });
    EXPECT_TRUE(t.fake.notifyArea.chooseMenuEntry(window, QStringLiteral("Zavřít")));
    EXPECT_EQ(closed, 1);
    t.icon.reset();
    EXPECT_TRUE(t.fake.notifyArea.menu(window).isEmpty());
}

TEST(TrayIcon, AnimationShowsTheFramesInTurnPausesWhileHiddenAndEndsWithTheList)
{
    Tray t;
    t.show();
    t.icon->setAnimated(true);
    EXPECT_FALSE(t.icon->Animated()) << "no frames, no animation";
    EXPECT_EQ(t.icon->TimerThread(), nullptr);

    const QRgb colours[] = {0xff000010, 0xff000020, 0xff000030};
    TIconList frames;
    for (const QRgb colour : colours) {
        const TIcon frame(picture(colour));
        frames.Add(&frame);
    }
    t.icon->setIcons(&frames);
    t.fake.notifyArea.clearRequests();
    t.icon->setAnimated(true);
    ASSERT_TRUE(t.icon->Animated());
    EXPECT_EQ(t.icon->Interval(), 150);

    // Each modify shows one frame: 0 at once, then one more every 150 ms.
    QList<int> shown;
    QList<qint64> at;
    QElapsedTimer clock;
    clock.start();
    const auto frameShown = [&] {
        const auto& requests = t.fake.notifyArea.requests();
        for (std::size_t i = shown.size(); i < requests.size(); ++i) {
            const QImage image = IconHandles::image(requests[i].data.hIcon);
            shown.append(
                int(std::find(std::begin(colours), std::end(colours), image.pixel(0, 0)) - std::begin(colours)));
            at.append(clock.elapsed());
        }
        return shown.size() >= 5;
    };
    EXPECT_TRUE(QTest::qWaitFor(frameShown, 10000));
    EXPECT_EQ(shown.mid(0, 5), (QList<int>{0, 1, 2, 0, 1}));
    EXPECT_GE(at[4] - at[0], 4 * 150 - 20) << "no step before a full interval";

    // Hidden, the worker is suspended; shown again, it runs on.
    t.icon->setActive(false);
    EXPECT_TRUE(t.icon->TimerThread()->Suspended());
    const int steps = t.icon->TimerThread()->steps();
    QTest::qWait(400);
    EXPECT_EQ(t.icon->TimerThread()->steps(), steps);
    t.icon->setActive(true);
    EXPECT_FALSE(t.icon->TimerThread()->Suspended());
    EXPECT_TRUE(QTest::qWaitFor([&] { return t.icon->TimerThread()->steps() > steps; }, 10000));

    // Emptying the list ends the animation and shows Icon again.
    t.icon->Icons().Clear();
    EXPECT_FALSE(t.icon->Animated());
    EXPECT_EQ(t.icon->TimerThread(), nullptr);
    EXPECT_EQ(t.fake.notifyArea.only()->image, picture(0xff336699));
}

// A form whose own window procedure notes what reaches it.
struct Form
{
    explicit Form(Tray& t)
        : tray(t)
    {
        window = t.fake.windows.handleOf(widget);
        t.fake.windows.setWindowProc(
            window, [this](WindowHandle, unsigned message, std::uintptr_t wParam, std::intptr_t) -> std::intptr_t {
                messages.append(QStringLiteral("%1:%2 after %3 shows").arg(message).arg(wParam).arg(shows()));
                return 42;
            });
    }
    int shows() const
    {
        return int(std::count_if(tray.fake.windows.calls().begin(), tray.fake.windows.calls().end(),
                                 [](const Call& c) { return c.what == QLatin1String("show"); }));
    }
    Tray& tray;
    QStringList messages; // outlives the widget, which is hidden as it goes
    QWidget widget;
    WindowHandle window = 0;
};

TEST(TaskBarHiding, HideFormHidesAndShowsTheApplicationsWindowOnChangesOnly)
{
    Tray t;
    Form form(t);
    const WindowHandle application = t.fake.application.handle();
    // An error box bears the application's title too; it is left alone.
    t.fake.windows.addWindow(QStringLiteral("QMessageBox"), QStringLiteral("Pagello"));
    TASTrayIcon icon(&form.widget, t.platform());
    EXPECT_TRUE(icon.HideForm());
    icon.setHideForm(true);
    EXPECT_EQ(form.shows(), 0) << "the first True after construction does nothing";
    icon.setHideForm(false);
    icon.setHideForm(false);
    icon.setHideForm(true);
    using Show = IWindowManager::Show;
    EXPECT_EQ(t.fake.windows.calls(),
              (std::vector<Call>{Call{QStringLiteral("show"), application, unsigned(Show::Restore)},
                                 Call{QStringLiteral("show"), application, unsigned(Show::Hide)}}));
}

TEST(TaskBarHiding, ShowingTheFormReappliesTheHidingBeforeTheFormAndEveryMessageReachesIt)
{
    Tray t;
    Form form(t);
    t.fake.application.handle();
    auto icon = std::make_unique<TASTrayIcon>(&form.widget, t.platform());
    EXPECT_EQ(t.fake.windows.sendMessage(form.window, WM_USER + 7, 1, 2), 42);
    EXPECT_EQ(t.fake.windows.sendMessage(form.window, WM_SHOWWINDOW, 0, 0), 42);
    form.widget.show();
    form.widget.hide();
    EXPECT_EQ(form.messages,
              (QStringList{"1031:1 after 0 shows", "24:0 after 0 shows", "24:1 after 1 shows", "24:0 after 1 shows"}));
    // Gone, the icon gives the form its own procedure back.
    icon.reset();
    form.messages.clear();
    form.widget.show();
    EXPECT_EQ(form.messages, QStringList{"24:1 after 1 shows"});
}

TEST(TaskBarHiding, OwnerMustBeAFormOfOneSuchIcon)
{
    Tray t;
    QObject notAForm;
    EXPECT_THROW(TASTrayIcon(&notAForm, t.platform()), EInvalidCast);
    try {
        TASTrayIcon designed(&notAForm, t.platform(), true);
        ADD_FAILURE();
    } catch (const TFormNotOwner& e) {
        EXPECT_STREQ(e.what(), "The owner of TASTrayIcon Component is not a TForm");
    }
    QWidget form;
    TASTrayIcon first(&form, t.platform(), true);
    try {
        TASTrayIcon second(&form, t.platform(), true);
        ADD_FAILURE();
    } catch (const TDuplicateComponent& e) {
        EXPECT_STREQ(e.what(), "There is already a TASTrayIcon component on this Form");
    }
    // Without an owner nothing is hooked, and the hiding still works.
    t.fake.application.handle();
    TASTrayIcon free(nullptr, t.platform());
    free.setHideForm(false);
    EXPECT_EQ(t.fake.windows.calls().size(), 1u);
}

} // namespace
