#pragma once

#include "../INotifyArea.h"

#include <QImage>
#include <QPointer>

#include <map>
#include <memory>
#include <utility>

class IWindowManager;
class QDBusConnection;
class QDBusServiceWatcher;
class QSystemTrayIcon;
class StatusNotifierItem;

// The notification area of the desktop, with a copy of each icon's (hWnd, uID) picture and
// tip. While a StatusNotifierWatcher is on the D-Bus session bus the icon is a
// StatusNotifierItem of our own, with the menu set for it, registered again each time a
// watcher comes up (a panel started late or restarted); otherwise it is a QSystemTrayIcon
// that Qt docks in an XEmbed tray. Qt is never asked about its own D-Bus tray while a
// watcher is there: it would decide once for the whole process and never dock an icon in a
// tray that comes later. Activations are posted to hWnd as the callback message with the
// mouse messages of the click; no mouse moves are sent. Needs the QApplication; main
// thread only.
class QtNotifyArea : public INotifyArea
{
public:
    // On the session bus, or (tests) on the bus at busAddress.
    explicit QtNotifyArea(IWindowManager& windows, const QString& busAddress = QString());
    ~QtNotifyArea() override;
    QtNotifyArea(const QtNotifyArea&) = delete;
    QtNotifyArea& operator=(const QtNotifyArea&) = delete;

    bool shellNotifyIcon(unsigned message, const NotifyIconData& data) override;
    bool isAvailable() const override;
    void setMenu(WindowHandle window, std::uint32_t id, const QList<QAction*>& entries) override;

    // Whether the desktop has a notification area now: a StatusNotifierWatcher on the
    // session bus or an XEmbed tray.
    static bool available();
    // The tray icon that shows the icon of (window, id); null while there is none.
    QSystemTrayIcon* trayIcon(WindowHandle window, std::uint32_t id) const;
    // The StatusNotifierItem that shows it; null while there is none.
    StatusNotifierItem* statusNotifierItem(WindowHandle window, std::uint32_t id) const;

private:
    using Key = std::pair<WindowHandle, std::uint32_t>;
    struct Icon
    {
        std::unique_ptr<QSystemTrayIcon> tray;
        std::unique_ptr<StatusNotifierItem> item;
        unsigned callbackMessage = 0; // 0: the window is told nothing
        QImage image;
        QString tip;
    };
    static bool hasWatcher(const QDBusConnection& bus);
    // The connection that looks for the watcher, made once the application is there.
    QDBusConnection* bus() const;
    // Shows the icon where the desktop has its area now.
    void place(const Key& key, Icon& icon, bool watcher);
    void watcherChanged(const QString& owner);
    void update(Icon& icon, const NotifyIconData& data);
    void activated(const Key& key, int reason);

    IWindowManager& m_windows;
    QString m_busAddress;
    QString m_connectionName;
    mutable std::unique_ptr<QDBusConnection> m_bus;
    mutable std::unique_ptr<QDBusServiceWatcher> m_watcher;
    std::map<Key, Icon> m_icons;
    std::map<Key, QList<QPointer<QAction>>> m_menus;
};
