// The notification area through QSystemTrayIcon on the offscreen platform: what it refuses,
// and the picture and tip its icons show. Docking in a real tray and the clicks on it are
// tested on a private X display (WindowManagerTest). On a D-Bus bus of the test's own with a
// StatusNotifierWatcher of the test's own: the item, its registration and its menu.
#include "platform/linux/QtNotifyArea.h"
#include "platform/linux/StatusNotifierItem.h"
#include "platform/linux/XcbWindowManager.h"

#include <QAction>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusReply>
#include <QProcess>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTest>

#include <gtest/gtest.h>

#include <sys/prctl.h>

#include <csignal>

using namespace NotifyIcon;
using namespace WindowMessages;

namespace {

constexpr unsigned kCallback = 0xB040;

NotifyIconData record(WindowHandle window, std::uint32_t id, IconHandle icon, const QString& tip,
                      std::uint32_t flags = NIF_MESSAGE | NIF_ICON | NIF_TIP)
{
    return NotifyIconData{kRecordSize, window, id, flags, kCallback, icon, tip};
}

QImage filled(QColor colour)
{
    QImage image(16, 16, QImage::Format_ARGB32);
    image.fill(colour);
    return image;
}

QColor shownColour(const QSystemTrayIcon& tray)
{
    return tray.icon().pixmap(16, 16).toImage().pixelColor(8, 8);
}

// A StatusNotifierWatcher that notes the items registered with it, in order.
class FakeWatcher : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")

public:
    QStringList registered;

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString& service) { registered << service; }
};

// A session bus of the test's own, ended with the test, and a connection of the test to it.
struct PrivateBus
{
    PrivateBus()
    {
        daemon.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
        daemon.start(QStringLiteral("dbus-daemon"),
                     {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
        if (daemon.waitForReadyRead(10000))
            address = QString::fromUtf8(daemon.readLine()).trimmed();
    }
    ~PrivateBus()
    {
        QDBusConnection::disconnectFromBus(QStringLiteral("test-watcher"));
        daemon.kill();
        daemon.waitForFinished(5000);
    }
    QDBusConnection connection() const
    {
        return QDBusConnection::connectToBus(address, QStringLiteral("test-watcher"));
    }
    // The watcher comes up, or goes.
    bool startWatcher(FakeWatcher& watcher) const
    {
        QDBusConnection bus = connection();
        return bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), &watcher,
                                  QDBusConnection::ExportAllSlots) &&
               bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"));
    }
    void stopWatcher() const
    {
        QDBusConnection bus = connection();
        bus.unregisterService(QStringLiteral("org.kde.StatusNotifierWatcher"));
        bus.unregisterObject(QStringLiteral("/StatusNotifierWatcher"));
    }
    // Calls the item's method as a host does and returns the answer. The item lives in this
    // thread: the answer is waited for with the event loop running.
    QDBusMessage call(const QString& service, const QString& path, const QString& interface, const QString& method,
                      const QVariantList& arguments = {}) const
    {
        QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
        message.setArguments(arguments);
        QDBusPendingCall pending = connection().asyncCall(message);
        [[maybe_unused]] const bool answered = QTest::qWaitFor([&] { return pending.isFinished(); }, 10000);
        return pending.reply();
    }
    QVariant property(const QString& service, const QString& name) const
    {
        const QDBusMessage reply =
            call(service, QStringLiteral("/StatusNotifierItem"), QStringLiteral("org.freedesktop.DBus.Properties"),
                 QStringLiteral("Get"), {QStringLiteral("org.kde.StatusNotifierItem"), name});
        return reply.arguments().isEmpty() ? QVariant() : reply.arguments().first().value<QDBusVariant>().variant();
    }

    QProcess daemon;
    QString address;
};

} // namespace

TEST(QtNotifyAreaTest, IconsShowACopyOfTheirPictureAndTipAndWhatIsNotThereIsRefused)
{
    XcbWindowManager windows;
    QtNotifyArea area(windows);
    const WindowHandle window = windows.createUtilityWindow({});
    const IconHandle red = IconHandles::make(filled(Qt::red));
    EXPECT_FALSE(area.shellNotifyIcon(NIM_ADD, record(0, 0, red, QStringLiteral("Pagello"))));
    ASSERT_TRUE(area.shellNotifyIcon(NIM_ADD, record(window, 0, red, QStringLiteral("Pagello"))));
    EXPECT_FALSE(area.shellNotifyIcon(NIM_ADD, record(window, 0, red, QStringLiteral("again"))));
    // The handle may go as soon as the request returns.
    IconHandles::release(red);
    QSystemTrayIcon* tray = area.trayIcon(window, 0);
    ASSERT_NE(tray, nullptr);
    EXPECT_TRUE(tray->isVisible());
    EXPECT_EQ(shownColour(*tray), QColor(Qt::red));
    EXPECT_EQ(tray->toolTip(), QStringLiteral("Pagello"));

    // Modified: what its flags name; a tip is cut where the record ends; no picture for
    // the invalid handle.
    EXPECT_TRUE(area.shellNotifyIcon(NIM_MODIFY, record(window, 0, 0, QStringLiteral("ignored"), NIF_MESSAGE)));
    EXPECT_EQ(shownColour(*tray), QColor(Qt::red));
    EXPECT_EQ(tray->toolTip(), QStringLiteral("Pagello"));
    EXPECT_TRUE(
        area.shellNotifyIcon(NIM_MODIFY, record(window, 0, kInvalidIconHandle, QString(100, QLatin1Char('x')))));
    EXPECT_TRUE(tray->icon().isNull());
    EXPECT_EQ(tray->toolTip(), QString(kTipLength, QLatin1Char('x')));

    EXPECT_FALSE(area.shellNotifyIcon(NIM_MODIFY, record(window, 1, 0, QString())));
    EXPECT_FALSE(area.shellNotifyIcon(NIM_DELETE, record(window, 1, 0, QString())));
    EXPECT_TRUE(area.shellNotifyIcon(NIM_DELETE, record(window, 0, 0, QString())));
    EXPECT_EQ(area.trayIcon(window, 0), nullptr);
    EXPECT_FALSE(area.shellNotifyIcon(NIM_MODIFY, record(window, 0, 0, QString())));
}

// The watcher comes after the icon was added, goes and comes back (a panel restarted): each
// time the icon is registered with it, as an item of its own, and no XEmbed icon is kept
// beside it; the area counts as there while the watcher is.
TEST(QtNotifyAreaTest, IconIsRegisteredWithEveryWatcherThatComesUp)
{
    if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty())
        GTEST_SKIP() << "dbus-daemon is not installed";
    PrivateBus bus;
    ASSERT_FALSE(bus.address.isEmpty());
    XcbWindowManager windows;
    QtNotifyArea area(windows, bus.address);
    const WindowHandle window = windows.createUtilityWindow({});
    const IconHandle red = IconHandles::make(filled(Qt::red));
    ASSERT_TRUE(area.shellNotifyIcon(NIM_ADD, record(window, 0, red, QStringLiteral("Pagello"))));
    IconHandles::release(red);
    EXPECT_FALSE(area.isAvailable());
    EXPECT_NE(area.trayIcon(window, 0), nullptr);

    FakeWatcher watcher;
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(bus.startWatcher(watcher));
        EXPECT_TRUE(QTest::qWaitFor([&] { return watcher.registered.size() == round; }, 5000));
        const StatusNotifierItem* item = area.statusNotifierItem(window, 0);
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(watcher.registered.value(round - 1), item->serviceName());
        EXPECT_EQ(area.trayIcon(window, 0), nullptr);
        EXPECT_TRUE(area.isAvailable());
        bus.stopWatcher();
        EXPECT_TRUE(QTest::qWaitFor([&] { return area.trayIcon(window, 0) != nullptr; }, 5000));
    }
}

// What a host reads of the item and what its clicks and the menu's entries do: the picture
// as ARGB in network byte order, the tip, the menu's labels with their mnemonics, and the
// mouse messages of a shell's clicks.
TEST(QtNotifyAreaTest, ItemShowsItsPictureTipAndMenuAndPassesTheClicksOn)
{
    if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty())
        GTEST_SKIP() << "dbus-daemon is not installed";
    PrivateBus bus;
    ASSERT_FALSE(bus.address.isEmpty());
    FakeWatcher watcher;
    ASSERT_TRUE(bus.startWatcher(watcher));
    XcbWindowManager windows;
    QtNotifyArea area(windows, bus.address);
    std::vector<std::intptr_t> mouse;
    const WindowHandle window =
        windows.createUtilityWindow([&](WindowHandle, unsigned message, std::uintptr_t, std::intptr_t lParam) {
            if (message == kCallback)
                mouse.push_back(lParam);
            return std::intptr_t(0);
        });
    QAction show(QStringLiteral("Pagello"));
    QAction close(QStringLiteral("&Zavřít"));
    int closed = 0;
    QObject::connect(&close, &QAction::triggered, [&] { ++closed; });
    area.setMenu(window, 0, {&show, &close});
    const IconHandle icon = IconHandles::make(filled(QColor(0x12, 0x34, 0x56)));
    ASSERT_TRUE(area.shellNotifyIcon(NIM_ADD, record(window, 0, icon, QStringLiteral("Pagello: 2 dokumenty"))));
    IconHandles::release(icon);
    ASSERT_TRUE(QTest::qWaitFor([&] { return watcher.registered.size() == 1; }, 5000));
    const QString service = watcher.registered.first();

    const auto pixmaps = qdbus_cast<SniPixmaps>(bus.property(service, QStringLiteral("IconPixmap")));
    ASSERT_EQ(pixmaps.size(), 1);
    EXPECT_EQ(pixmaps[0].width, 16);
    EXPECT_EQ(pixmaps[0].height, 16);
    ASSERT_EQ(pixmaps[0].pixels.size(), 16 * 16 * 4);
    EXPECT_EQ(pixmaps[0].pixels.left(4), QByteArray("\xff\x12\x34\x56"));
    EXPECT_EQ(qdbus_cast<SniToolTip>(bus.property(service, QStringLiteral("ToolTip"))).title,
              QStringLiteral("Pagello: 2 dokumenty"));
    ASSERT_TRUE(area.shellNotifyIcon(NIM_MODIFY, record(window, 0, 0, QStringLiteral("Pagello"), NIF_TIP)));
    EXPECT_EQ(qdbus_cast<SniToolTip>(bus.property(service, QStringLiteral("ToolTip"))).title,
              QStringLiteral("Pagello"));
    EXPECT_EQ(bus.property(service, QStringLiteral("Menu")).value<QDBusObjectPath>().path(),
              QStringLiteral("/MenuBar"));

    const QDBusMessage layout = bus.call(service, QStringLiteral("/MenuBar"), QStringLiteral("com.canonical.dbusmenu"),
                                         QStringLiteral("GetLayout"), {0, -1, QStringList()});
    ASSERT_EQ(layout.arguments().size(), 2) << layout.errorMessage().toStdString();
    const auto root = qdbus_cast<DBusMenuLayout>(layout.arguments()[1]);
    QStringList labels;
    for (const QVariant& child : root.children)
        labels << qdbus_cast<DBusMenuLayout>(child).properties.value(QStringLiteral("label")).toString();
    EXPECT_EQ(labels, (QStringList{QStringLiteral("Pagello"), QStringLiteral("_Zavřít")}));
    bus.call(service, QStringLiteral("/MenuBar"), QStringLiteral("com.canonical.dbusmenu"), QStringLiteral("Event"),
             {2, QStringLiteral("clicked"), QVariant::fromValue(QDBusVariant(QString())), 0u});
    EXPECT_TRUE(QTest::qWaitFor([&] { return closed == 1; }, 5000));

    for (const auto& [method, press, release] : {std::tuple("Activate", WM_LBUTTONDOWN, WM_LBUTTONUP),
                                                 std::tuple("SecondaryActivate", WM_MBUTTONDOWN, WM_MBUTTONUP),
                                                 std::tuple("ContextMenu", WM_RBUTTONDOWN, WM_RBUTTONUP)}) {
        SCOPED_TRACE(method);
        mouse.clear();
        bus.call(service, QStringLiteral("/StatusNotifierItem"), QStringLiteral("org.kde.StatusNotifierItem"),
                 QString::fromLatin1(method), {10, 20});
        EXPECT_TRUE(QTest::qWaitFor([&] { return mouse.size() == 2; }, 5000));
        EXPECT_EQ(mouse, (std::vector<std::intptr_t>{std::intptr_t(press), std::intptr_t(release)}));
    }
}

#include "QtNotifyAreaTest.moc"
