#include "QtNotifyArea.h"

#include "../IWindowManager.h"

#include <QApplication>
#include <QIcon>
#include <QPixmap>
#include <QSystemTrayIcon>

#include <array>

using namespace WindowMessages;

QtNotifyArea::QtNotifyArea(IWindowManager& windows)
    : m_windows(windows)
{}

QtNotifyArea::~QtNotifyArea() = default;

bool QtNotifyArea::available()
{
    return qobject_cast<QApplication*>(QCoreApplication::instance()) && QSystemTrayIcon::isSystemTrayAvailable();
}

QSystemTrayIcon* QtNotifyArea::trayIcon(WindowHandle window, std::uint32_t id) const
{
    const auto it = m_icons.find({window, id});
    return it == m_icons.end() ? nullptr : it->second.tray.get();
}

bool QtNotifyArea::shellNotifyIcon(unsigned message, const NotifyIconData& data)
{
    using namespace NotifyIcon;
    const Key key(data.hWnd, data.uID);
    const auto it = m_icons.find(key);
    switch (message) {
    case NIM_ADD: {
        // Tray icons are widgets of the QApplication.
        if (!data.hWnd || it != m_icons.end() || !qobject_cast<QApplication*>(QCoreApplication::instance()))
            return false;
        auto tray = std::make_unique<QSystemTrayIcon>();
        QObject::connect(tray.get(), &QSystemTrayIcon::activated, tray.get(),
                         [this, key](QSystemTrayIcon::ActivationReason reason) { activated(key, reason); });
        Icon& icon = m_icons.emplace(key, Icon{std::move(tray)}).first->second;
        update(icon, data);
        icon.tray->show();
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

void QtNotifyArea::update(Icon& icon, const NotifyIconData& data)
{
    using namespace NotifyIcon;
    if (data.uFlags & NIF_MESSAGE)
        icon.callbackMessage = data.uCallbackMessage;
    // A copy taken now: the handle may be released as soon as the request returns.
    if (data.uFlags & NIF_ICON) {
        const QImage image = IconHandles::image(data.hIcon);
        icon.tray->setIcon(image.isNull() ? QIcon() : QIcon(QPixmap::fromImage(image)));
    }
    if (data.uFlags & NIF_TIP)
        icon.tray->setToolTip(data.szTip.left(kTipLength));
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
