#pragma once

#include "../INotifyArea.h"

#include <QAction>
#include <QImage>
#include <QPointer>

#include <map>
#include <utility>
#include <vector>

class IWindowManager;

// An in-memory notification area: it records every request with a copy of its record,
// keeps the icons that are there with a copy of their pictures, can refuse adds, and lets
// a test deliver any callback message to an icon's window as the shell would (sent, so
// that it is handled when deliver returns).
class FakeNotifyArea : public INotifyArea
{
public:
    struct Request
    {
        unsigned message = 0;
        NotifyIconData data;
        bool operator==(const Request&) const = default;
    };
    struct Icon
    {
        NotifyIconData data;
        QImage image;
    };

    explicit FakeNotifyArea(IWindowManager& windows)
        : m_windows(windows)
    {}

    bool shellNotifyIcon(unsigned message, const NotifyIconData& data) override;
    bool isAvailable() const override { return available; }
    void setMenu(WindowHandle window, std::uint32_t id, const QList<QAction*>& entries) override;

    const std::vector<Request>& requests() const { return m_requests; }
    void clearRequests() { m_requests.clear(); }
    // The messages of the requests, in order.
    std::vector<unsigned> messages() const;
    // Adds are refused while this is set (the shell is not running).
    bool refuseAdd = false;
    // Whether the desktop has a notification area (a panel with one is running); icons are
    // kept either way.
    bool available = true;
    // The icon of the window with that id, or null while none is there.
    const Icon* icon(WindowHandle window, std::uint32_t id = 0) const;
    // The one icon that is there, or null.
    const Icon* only() const;
    // Sends the window its callback message, wParam the icon's id and lParam the mouse
    // message; 0 when the icon is not there.
    std::intptr_t deliver(WindowHandle window, std::uint32_t id, std::intptr_t mouseMessage);
    // The same to the one icon that is there.
    std::intptr_t mouse(std::intptr_t mouseMessage);
    // The menu set for the icon of (window, id), its actions that still exist; empty when
    // none is set.
    QList<QAction*> menu(WindowHandle window, std::uint32_t id = 0) const;
    // The menu's entries as a host shows them: the actions' texts without their mnemonics.
    QStringList menuTexts(WindowHandle window, std::uint32_t id = 0) const;
    // Chooses the entry of that text in the menu, as a host does; false when there is none.
    bool chooseMenuEntry(WindowHandle window, const QString& text, std::uint32_t id = 0);

private:
    IWindowManager& m_windows;
    std::vector<Request> m_requests;
    std::map<std::pair<WindowHandle, std::uint32_t>, Icon> m_icons;
    std::map<std::pair<WindowHandle, std::uint32_t>, QList<QPointer<QAction>>> m_menus;
};
