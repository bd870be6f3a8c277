#pragma once

#include "Icon.h"
#include "IWindowManager.h"

#include <QList>
#include <QString>

#include <cstdint>

class QAction;

// The notify-icon record of every notify-area request, and the requests and flags.
namespace NotifyIcon {
constexpr unsigned NIM_ADD = 0;
constexpr unsigned NIM_MODIFY = 1;
constexpr unsigned NIM_DELETE = 2;
constexpr std::uint32_t NIF_MESSAGE = 1;
constexpr std::uint32_t NIF_ICON = 2;
constexpr std::uint32_t NIF_TIP = 4;
// The size of the first and shortest form of the record.
constexpr std::uint32_t kRecordSize = 88;
// The most characters of a tip (the record holds one more, its terminating zero).
constexpr int kTipLength = 63;
} // namespace NotifyIcon

struct NotifyIconData
{
    std::uint32_t cbSize = 0;
    WindowHandle hWnd = 0;    // receives the callback message
    std::uint32_t uID = 0;    // the icon among those of hWnd
    std::uint32_t uFlags = 0; // which of the fields below count
    std::uint32_t uCallbackMessage = 0;
    IconHandle hIcon = 0;
    QString szTip;
    bool operator==(const NotifyIconData&) const = default;
};

// The notification area of the desktop's task bar. An icon is known by (hWnd, uID); it is
// added, modified and deleted with the record. While it is there, what the mouse does
// over it comes back to hWnd as the callback message, with uID as wParam and the mouse
// message as lParam (WM_LBUTTONDOWN, WM_LBUTTONUP, ... of WindowMessages): a click as the
// press and then the release, a double click as press, release, double-click message,
// release. The area copies the icon's picture when it is asked: the handle may be released
// afterwards. Main thread only.
class INotifyArea
{
public:
    virtual ~INotifyArea() = default;
    // NIM_ADD, NIM_MODIFY or NIM_DELETE; whether the shell did it.
    virtual bool shellNotifyIcon(unsigned message, const NotifyIconData& data) = 0;
    // Whether the desktop has a notification area now. Without one an icon that was added
    // is seen nowhere; an icon added again once an area has come up shows there.
    virtual bool isAvailable() const = 0;
    // The menu of the icon of (window, id), where the desktop shows one of its own (a
    // StatusNotifierItem host opens it on a right click); choosing an entry triggers its
    // action. Kept while the icon is deleted and added again; an empty list takes it away.
    // Areas that show no menu of their own ignore it: the right click comes to the window.
    virtual void setMenu(WindowHandle window, std::uint32_t id, const QList<QAction*>& entries) = 0;
};
