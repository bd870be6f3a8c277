#include "QtNotifyArea.h"

#include "../IWindowManager.h"
#include "StatusNotifierItem.h"

#include <QAction>
#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>
#include <QIcon>
#include <QPixmap>
#include <QSystemTrayIcon>

#include <array>
#include <atomic>

using namespace WindowMessages;

namespace {

std::atomic<int> areaCount{0};

bool haveApplication()
{
    return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr;
}

} // namespace

QtNotifyArea::QtNotifyArea(IWindowManager& windows, const QString& busAddress)
    : m_windows(windows)
    , m_busAddress(busAddress)
    , m_connectionName(QStringLiteral("pagello-notify-area-%1").arg(++areaCount))
{}

QtNotifyArea::~QtNotifyArea()
{
    m_icons.clear();
    m_watcher.reset();
    if (m_bus) {
        m_bus.reset();
        QDBusConnection::disconnectFromBus(m_connectionName);
    }
}

bool QtNotifyArea::hasWatcher(const QDBusConnection& bus)
{
    const QDBusConnectionInterface* daemon = bus.isConnected() ? bus.interface() : nullptr;
    return daemon && daemon->isServiceRegistered(QString::fromLatin1(StatusNotifierItem::kWatcherService)).value();
}

bool QtNotifyArea::available()
{
    // The watcher first: asked while one is there, Qt would take its own D-Bus tray for good.
    return haveApplication() && (hasWatcher(QDBusConnection::sessionBus()) || QSystemTrayIcon::isSystemTrayAvailable());
}

QDBusConnection* QtNotifyArea::bus() const
{
    if (m_bus || !haveApplication())
        return m_bus.get();
    m_bus = std::make_unique<QDBusConnection>(
        m_busAddress.isEmpty() ? QDBusConnection::connectToBus(QDBusConnection::SessionBus, m_connectionName)
                               : QDBusConnection::connectToBus(m_busAddress, m_connectionName));
    if (m_bus->isConnected()) {
        // A watcher that comes up (a panel started late or restarted) gets every icon.
        m_watcher = std::make_unique<QDBusServiceWatcher>(QString::fromLatin1(StatusNotifierItem::kWatcherService),
                                                          *m_bus, QDBusServiceWatcher::WatchForOwnerChange);
        auto* self = const_cast<QtNotifyArea*>(this);
        QObject::connect(m_watcher.get(), &QDBusServiceWatcher::serviceOwnerChanged, m_watcher.get(),
                         [self](const QString&, const QString&, const QString& owner) { self->watcherChanged(owner); });
    }
    return m_bus.get();
}

bool QtNotifyArea::isAvailable() const
{
    if (!haveApplication())
        return false;
    const QDBusConnection* connection = bus();
    return (connection && hasWatcher(*connection)) || QSystemTrayIcon::isSystemTrayAvailable();
}

QSystemTrayIcon* QtNotifyArea::trayIcon(WindowHandle window, std::uint32_t id) const
{
    const auto it = m_icons.find({window, id});
    return it == m_icons.end() ? nullptr : it->second.tray.get();
}

StatusNotifierItem* QtNotifyArea::statusNotifierItem(WindowHandle window, std::uint32_t id) const
{
    const auto it = m_icons.find({window, id});
    return it == m_icons.end() ? nullptr : it->second.item.get();
}

void QtNotifyArea::setMenu(WindowHandle window, std::uint32_t id, const QList<QAction*>& entries)
{
    const Key key(window, id);
    if (entries.isEmpty()) {
        m_menus.erase(key);
    } else {
        QList<QPointer<QAction>>& menu = m_menus[key];
        menu.clear();
        for (QAction* action : entries)
            menu << QPointer<QAction>(action);
    }
    if (const auto it = m_icons.find(key); it != m_icons.end() && it->second.item)
        it->second.item->setMenu(entries);
}

bool QtNotifyArea::shellNotifyIcon(unsigned message, const NotifyIconData& data)
{
    using namespace NotifyIcon;
    const Key key(data.hWnd, data.uID);
    const auto it = m_icons.find(key);
    switch (message) {
    case NIM_ADD: {
        // Tray icons are widgets of the QApplication.
        if (!data.hWnd || it != m_icons.end() || !haveApplication())
            return false;
        Icon& icon = m_icons.emplace(key, Icon{}).first->second;
        update(icon, data);
        const QDBusConnection* connection = bus();
        place(key, icon, connection && hasWatcher(*connection));
        return true;
    }
    case NIM_MODIFY:
        if (it == m_icons.end())
            return false;
        update(it->second, data);
        return true;
    case NIM_DELETE:
        if (it == m_icons.end())
            return false;
        m_icons.erase(it);
        return true;
    }
    return false;
}

void QtNotifyArea::place(const Key& key, Icon& icon, bool watcher)
{
    if (watcher) {
        icon.tray.reset();
        if (!icon.item) {
            icon.item =
                std::make_unique<StatusNotifierItem>(m_busAddress, [this, key](int reason) { activated(key, reason); });
            icon.item->setImage(icon.image);
            icon.item->setToolTip(icon.tip);
            if (const auto menu = m_menus.find(key); menu != m_menus.end()) {
                QList<QAction*> entries;
                for (const QPointer<QAction>& action : menu->second) {
                    if (action)
                        entries << action.data();
                }
                icon.item->setMenu(entries);
            }
        }
        icon.item->registerWithWatcher();
        return;
    }
    // The item stays on the bus for a watcher that comes back; an XEmbed tray meanwhile
    // shows the icon through Qt.
    if (icon.tray)
        return;
    icon.tray = std::make_unique<QSystemTrayIcon>();
    QObject::connect(icon.tray.get(), &QSystemTrayIcon::activated, icon.tray.get(),
                     [this, key](QSystemTrayIcon::ActivationReason reason) { activated(key, reason); });
    icon.tray->setIcon(icon.image.isNull() ? QIcon() : QIcon(QPixmap::fromImage(icon.image)));
    icon.tray->setToolTip(icon.tip);
    icon.tray->show();
}

void QtNotifyArea::watcherChanged(const QString& owner)
{
    for (auto& [key, icon] : m_icons)
        place(key, icon, !owner.isEmpty());
}

void QtNotifyArea::update(Icon& icon, const NotifyIconData& data)
{
    using namespace NotifyIcon;
    if (data.uFlags & NIF_MESSAGE)
        icon.callbackMessage = data.uCallbackMessage;
    // A copy taken now: the handle may be released as soon as the request returns.
    if (data.uFlags & NIF_ICON) {
        icon.image = IconHandles::image(data.hIcon);
        if (icon.tray)
            icon.tray->setIcon(icon.image.isNull() ? QIcon() : QIcon(QPixmap::fromImage(icon.image)));
        if (icon.item)
            icon.item->setImage(icon.image);
    }
    if (data.uFlags & NIF_TIP) {
        icon.tip = data.szTip.left(kTipLength);
        if (icon.tray)
            icon.tray->setToolTip(icon.tip);
        if (icon.item)
            icon.item->setToolTip(icon.tip);
    }
}

void QtNotifyArea::activated(const Key& key, int reason)
{
    const auto it = m_icons.find(key);
    if (it == m_icons.end() || !it->second.callbackMessage)
        return;
    // A shell's mouse messages for the click; the press and release of the first click of
    // a double click came as a Trigger before.
    std::array<std::intptr_t, 2> mouse{};
    switch (reason) {
    case QSystemTrayIcon::Trigger:
        mouse = {WM_LBUTTONDOWN, WM_LBUTTONUP};
        break;
    case QSystemTrayIcon::Context:
        mouse = {WM_RBUTTONDOWN, WM_RBUTTONUP};
        break;
    case QSystemTrayIcon::MiddleClick:
        mouse = {WM_MBUTTONDOWN, WM_MBUTTONUP};
        break;
    case QSystemTrayIcon::DoubleClick:
        mouse = {WM_LBUTTONDBLCLK, WM_LBUTTONUP};
        break;
    default:
        return;
    }
    for (const std::intptr_t m : mouse)
        m_windows.postMessage(key.first, it->second.callbackMessage, key.second, m);
}
