#pragma once

#include "../INotifyArea.h"

#include <map>
#include <memory>
#include <utility>

class IWindowManager;
class QSystemTrayIcon;

// The notification area through QSystemTrayIcon: one per icon (hWnd, uID), with a copy of
// the icon's picture and its tip. Qt docks it in the desktop's tray (XEmbed or
// StatusNotifier) once there is one, also when the tray appears only later. Activations
// are posted to hWnd as the callback message with the mouse messages of the click; Qt
// reports no mouse moves, so none are sent. Needs the QApplication; main thread only.
class QtNotifyArea : public INotifyArea
{
public:
    explicit QtNotifyArea(IWindowManager& windows);
    ~QtNotifyArea() override;
    QtNotifyArea(const QtNotifyArea&) = delete;
    QtNotifyArea& operator=(const QtNotifyArea&) = delete;

    bool shellNotifyIcon(unsigned message, const NotifyIconData& data) override;
    bool isAvailable() const override { return available(); }

    // Whether the desktop has a notification area now.
    static bool available();
    // The tray icon that shows the icon of (window, id); null while there is none.
    QSystemTrayIcon* trayIcon(WindowHandle window, std::uint32_t id) const;

private:
    using Key = std::pair<WindowHandle, std::uint32_t>;
    struct Icon
    {
        std::unique_ptr<QSystemTrayIcon> tray;
        unsigned callbackMessage = 0; // 0: the window is told nothing
    };
    static void update(Icon& icon, const NotifyIconData& data);
    void activated(const Key& key, int reason);

    IWindowManager& m_windows;
    std::map<Key, Icon> m_icons;
};
