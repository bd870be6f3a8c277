#include "TrayShell.h"

#include "WindowHelpers.h"

#include <QApplication>
#include <QCoreApplication>
#include <QWidget>

#include <algorithm>
#include <chrono>

using namespace WindowMessages;

void TPopupMenu::Popup(int x, int y)
{
    if (OnPopup)
        OnPopup(*this);
    exec(QPoint(x, y));
}

TTimerThread::TTimerThread(TTrayIcon& owner, int interval, bool suspended)
    : OwnerIcon(&owner)
    , m_suspended(suspended ? 1 : 0)
    , m_interval(interval)
{
    setObjectName(QStringLiteral("TTimerThread"));
}

TTimerThread::~TTimerThread()
{
    ReleaseOwner();
    Terminate();
    wait();
}

void TTimerThread::Suspend()
{
    const std::lock_guard guard(m_lock);
    ++m_suspended;
    m_wake.notify_all();
}

void TTimerThread::Resume()
{
    const std::lock_guard guard(m_lock);
    if (m_suspended > 0)
        --m_suspended;
    m_wake.notify_all();
}

bool TTimerThread::Suspended() const
{
    const std::lock_guard guard(m_lock);
    return m_suspended > 0;
}

void TTimerThread::Terminate()
{
    const std::lock_guard guard(m_lock);
    m_terminated = true;
    m_wake.notify_all();
}

bool TTimerThread::Terminated() const
{
    const std::lock_guard guard(m_lock);
    return m_terminated;
}

void TTimerThread::setInterval(int milliseconds)
{
    const std::lock_guard guard(m_lock);
    m_interval = milliseconds;
}

void TTimerThread::ReleaseOwner()
{
    const std::lock_guard guard(m_lock);
    OwnerIcon = nullptr;
    m_wake.notify_all();
}

bool TTimerThread::stopCondition() const
{
    return m_terminated || QCoreApplication::closingDown() || !OwnerIcon;
}

void TTimerThread::run()
{
    std::unique_lock lock(m_lock);
    while (!m_terminated) {
        // A suspended thread, or one whose owner let it go, waits to be woken.
        if (m_suspended > 0 || stopCondition()) {
            m_wake.wait(lock);
            continue;
        }
        TTrayIcon* const owner = OwnerIcon;
        // A step follows only a full sleep: a suspension, the end or the owner letting go
        // cut it short, and the next pass sleeps anew.
        const bool cut = m_wake.wait_for(lock, std::chrono::milliseconds(m_interval),
                                         [&] { return m_terminated || m_suspended > 0 || OwnerIcon != owner; });
        if (cut || stopCondition())
            continue;
        // The owner lives while it is OwnerIcon, and lets go under this lock before it goes;
        // a step still queued then is dropped with it.
        QMetaObject::invokeMethod(
            owner, [owner] { owner->AnimateStep(); }, Qt::QueuedConnection);
        ++m_steps;
    }
}

TTrayIcon::TTrayIcon(QObject* owner, const TrayPlatform& platform, bool designing)
    : QObject(owner)
    , m_platform(platform)
    , m_designing(designing)
{
    m_window = m_platform.windows.createUtilityWindow(
        [this](::WindowHandle window, unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
            return WndProc(window, message, wParam, lParam);
        });
    m_icon = std::make_unique<TIcon>();
    m_icon->OnChange = [this] { IconChanged(); };
    m_icons = std::make_unique<TIconList>();
    m_icons->OnChange = [this](TIconList&) { IconChanged(); };
    m_iconIndex = -1;
    m_interval = 150;
    m_active = true;
}

TTrayIcon::~TTrayIcon()
{
    m_destroying = true;
    m_icons->OnChange = nullptr;
    m_icon->OnChange = nullptr;
    setAnimated(false);
    HideIcon();
    if (!m_shellMenu.isEmpty())
        m_platform.notifyArea.setMenu(m_window, 0, {});
    m_platform.windows.destroyUtilityWindow(m_window);
    m_icon.reset();
    m_icons.reset();
}

QString TTrayIcon::ShortHint(const QString& hint)
{
    const qsizetype bar = hint.indexOf(QLatin1Char('|'));
    return bar < 0 ? hint : hint.left(bar);
}

void TTrayIcon::setActive(bool active)
{
    if (active == m_active)
        return;
    m_active = active;
    if (m_designing)
        return;
    if (active)
        ShowIcon();
    else
        HideIcon();
}

void TTrayIcon::setInterval(int milliseconds)
{
    m_interval = milliseconds;
    if (m_timerThread)
        m_timerThread->setInterval(milliseconds);
}

void TTrayIcon::setIcon(const TIcon* icon)
{
    m_icon->Assign(icon);
}

void TTrayIcon::setIcons(const TIconList* icons)
{
    m_icons->Assign(icons);
}

void TTrayIcon::setHint(const QString& hint)
{
    if (hint == m_hint)
        return;
    m_hint = hint;
    UpdateIcon();
}

bool TTrayIcon::ShowDesign() const
{
    return m_designing && m_added;
}

void TTrayIcon::setShowDesign(bool show)
{
    if (!m_designing)
        return;
    m_showDesign = show;
    if (show)
        ShowIcon();
    else
        HideIcon();
}

void TTrayIcon::setPopupMenu(TPopupMenu* menu)
{
    m_popupMenu = menu;
}

void TTrayIcon::setShellMenu(const QList<QAction*>& entries)
{
    m_shellMenu = entries;
    m_platform.notifyArea.setMenu(m_window, 0, entries);
}

void TTrayIcon::Loaded()
{
    if (m_active && !m_designing)
        ShowIcon();
}

void TTrayIcon::IconChanged()
{
    UpdateIcon();
}

TIcon* TTrayIcon::GetActiveIcon() const
{
    if (m_icons && m_icons->Count() > 0 && m_animated)
        return m_icons->Items(std::max(std::min(m_iconIndex, m_icons->Count() - 1), 0));
    return m_icon.get();
}

void TTrayIcon::UpdateNotifyData()
{
    using namespace NotifyIcon;
    m_iconData.cbSize = kRecordSize;
    m_iconData.hWnd = m_window;
    m_iconData.uID = 0;
    m_iconData.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    m_iconData.uCallbackMessage = TrayIconMessage;
    TIcon* icon = GetActiveIcon();
    m_iconData.hIcon = icon ? icon->Handle() : kInvalidIconHandle;
    m_iconData.szTip = ShortHint(m_hint).left(kTipLength);
}

void TTrayIcon::ShowIcon()
{
    HideIcon();
    const TIcon* icon = GetActiveIcon();
    if (!icon || icon->Empty())
        return;
    m_clicked = 0;
    UpdateNotifyData();
    m_added = m_platform.notifyArea.shellNotifyIcon(NotifyIcon::NIM_ADD, m_iconData);
    if (ShortHint(m_hint).isEmpty() && m_added)
        m_platform.notifyArea.shellNotifyIcon(NotifyIcon::NIM_MODIFY, m_iconData);
    if (m_animated) {
        while (m_timerThread->Suspended())
            m_timerThread->Resume();
    }
}

void TTrayIcon::HideIcon()
{
    m_platform.notifyArea.shellNotifyIcon(NotifyIcon::NIM_DELETE, m_iconData);
    m_added = false;
    m_clicked = 0;
    if (m_animated && !m_timerThread->Suspended())
        m_timerThread->Suspend();
}

void TTrayIcon::UpdateIcon()
{
    if (!m_icons || m_icons->Count() == 0)
        setAnimated(false);
    if (m_added) {
        const TIcon* icon = GetActiveIcon();
        if (!icon || icon->Empty()) {
            HideIcon();
        } else {
            UpdateNotifyData();
            m_platform.notifyArea.shellNotifyIcon(NotifyIcon::NIM_MODIFY, m_iconData);
        }
    } else if (m_designing ? m_showDesign : m_active) {
        ShowIcon();
    }
}

void TTrayIcon::setAnimated(bool animated)
{
    const bool effective = animated && m_icons && m_icons->Count() > 0;
    if (effective == m_animated)
        return;
    if (effective) {
        m_timerThread = std::make_unique<TTimerThread>(*this, m_interval, !m_added);
        m_timerThread->start();
        m_animated = true;
    } else {
        m_animated = false;
        stopAnimation();
    }
    m_iconIndex = 0;
    UpdateIcon();
}

void TTrayIcon::stopAnimation()
{
    // The thread lets go of this icon before it is woken, so it hands over no more
    // steps; it ends at once.
    m_timerThread->ReleaseOwner();
    while (m_timerThread->Suspended())
        m_timerThread->Resume();
    m_timerThread->Terminate();
    m_timerThread.reset();
}

void TTrayIcon::AnimateStep()
{
    if (m_destroying || !m_animated)
        return;
    ++m_iconIndex;
    if (!m_icons || m_iconIndex >= m_icons->Count())
        m_iconIndex = 0;
    UpdateIcon();
}

TShiftState TTrayIcon::GetShiftState() const
{
    IWindowManager& windows = m_platform.windows;
    TShiftState shift = 0;
    if (windows.isKeyDown(IWindowManager::Key::Shift))
        shift |= ssShift;
    if (windows.isKeyDown(IWindowManager::Key::Control))
        shift |= ssCtrl;
    if (windows.isKeyDown(IWindowManager::Key::Alt))
        shift |= ssAlt;
    return shift;
}

std::intptr_t TTrayIcon::WndProc(::WindowHandle window, unsigned message, std::uintptr_t wParam, std::intptr_t lParam)
{
    try {
        if (message == TrayIconMessage) {
            dispatchMouse(lParam);
            return 0;
        }
        return m_platform.windows.defWindowProc(window, message, wParam, lParam);
    } catch (const std::exception& error) {
        m_platform.application.showException(error);
    }
    return 0;
}

void TTrayIcon::dispatchMouse(std::intptr_t mouseMessage)
{
    const QPoint at = m_platform.windows.cursorPos();
    const int x = at.x();
    const int y = at.y();
    const TShiftState shift = GetShiftState();
    // A release counts as a click only when its press happened over the icon.
    const auto release = [&](TMouseButton button, unsigned flag) {
        if (m_clicked & flag) {
            m_clicked &= ~flag;
            DoClick(button, shift | flag, x, y);
        }
        MouseUp(button, shift | flag, x, y);
    };
    switch (mouseMessage) {
    case WM_MOUSEMOVE:
        MouseMove(shift, x, y);
        break;
    case WM_LBUTTONDOWN:
        MouseDown(TMouseButton::mbLeft, shift | ssLeft, x, y);
        m_clicked |= ssLeft;
        break;
    case WM_LBUTTONUP:
        release(TMouseButton::mbLeft, ssLeft);
        break;
    case WM_LBUTTONDBLCLK:
        DblClick();
        MouseDown(TMouseButton::mbLeft, shift | ssDouble, x, y);
        break;
    case WM_RBUTTONDOWN:
        MouseDown(TMouseButton::mbRight, shift | ssRight, x, y);
        m_clicked |= ssRight;
        break;
    case WM_RBUTTONUP:
        release(TMouseButton::mbRight, ssRight);
        break;
    case WM_RBUTTONDBLCLK:
        MouseDown(TMouseButton::mbRight, shift | ssDouble, x, y);
        break;
    case WM_MBUTTONDOWN:
        MouseDown(TMouseButton::mbMiddle, shift | ssMiddle, x, y);
        break;
    case WM_MBUTTONUP:
        MouseUp(TMouseButton::mbMiddle, shift | ssMiddle, x, y);
        break;
    case WM_MBUTTONDBLCLK:
        MouseDown(TMouseButton::mbMiddle, shift | ssDouble, x, y);
        break;
    default:
        break;
    }
}

void TTrayIcon::MouseDown(TMouseButton button, TShiftState shift, int x, int y)
{
    if (OnMouseDown)
        OnMouseDown(*this, button, shift, x, y);
}

void TTrayIcon::MouseMove(TShiftState shift, int x, int y)
{
    if (OnMouseMove)
        OnMouseMove(*this, shift, x, y);
}

void TTrayIcon::MouseUp(TMouseButton button, TShiftState shift, int x, int y)
{
    if (OnMouseUp)
        OnMouseUp(*this, button, shift, x, y);
}

void TTrayIcon::DoClick(TMouseButton button, TShiftState shift, int x, int y)
{
    if (button == TMouseButton::mbRight && ShowPopup(x, y))
        return;
    if (OnClick)
        OnClick(*this, button, shift, x, y);
}

void TTrayIcon::DblClick()
{
    if (!ClickDefaultItem() && OnDblClick)
        OnDblClick(*this);
}

bool TTrayIcon::ShowPopup(int x, int y)
{
    if (m_designing || !m_active || !m_popupMenu || !m_popupMenu->AutoPopup)
        return false;
    m_popupMenu->PopupComponent = this;
    CancelModes();
    // The menu closes when the user clicks elsewhere only if its window is the foreground.
    SwitchToWindow(m_platform.windows, m_window, false);
    m_platform.application.processMessages();
    try {
        if (m_popupMenu)
            m_popupMenu->Popup(x, y);
    } catch (...) {
        SwitchToWindow(m_platform.windows, m_window, false);
        throw;
    }
    SwitchToWindow(m_platform.windows, m_window, false);
    return true;
}

bool TTrayIcon::ClickDefaultItem()
{
    if (m_designing || !m_active || !m_popupMenu)
        return false;
    QAction* const defaultItem = m_popupMenu->defaultAction();
    for (QAction* item : m_popupMenu->actions()) {
        if (item == defaultItem && item->isEnabled()) {
            item->trigger();
            return true;
        }
    }
    return false;
}

void TTrayIcon::CancelModes()
{
    if (m_destroying)
        return;
    QWidget* form = QApplication::activeWindow();
    if (!form)
        form = m_platform.application.mainWindow();
    if (!form)
        return;
    // The form's mouse capture and tracking end: a control of it that grabbed the mouse
    // or the keyboard lets go.
    if (QWidget* grabber = QWidget::mouseGrabber(); grabber && grabber->window() == form)
        grabber->releaseMouse();
    if (QWidget* grabber = QWidget::keyboardGrabber(); grabber && grabber->window() == form)
        grabber->releaseKeyboard();
}
