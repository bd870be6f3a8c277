#pragma once

#include "IconList.h"
#include "platform/IApplication.h"
#include "platform/INotifyArea.h"
#include "platform/IWindowManager.h"

#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

class TTrayIcon;

// What the tray icon needs of the desktop.
struct TrayPlatform
{
    IWindowManager& windows;
    INotifyArea& notifyArea;
    IApplication& application;
};

enum class TMouseButton
{
    mbLeft,
    mbRight,
    mbMiddle
};

// Keys held and the button concerned, and whether it was a double click.
enum TShiftStateFlag
{
    ssShift = 0x01,
    ssAlt = 0x02,
    ssCtrl = 0x04,
    ssLeft = 0x08,
    ssRight = 0x10,
    ssMiddle = 0x20,
    ssDouble = 0x40
};
using TShiftState = unsigned;

using TMouseEvent = std::function<void(QObject& sender, TMouseButton button, TShiftState shift, int x, int y)>;
using TMouseMoveEvent = std::function<void(QObject& sender, TShiftState shift, int x, int y)>;
using TNotifyEvent = std::function<void(QObject& sender)>;

// A popup menu that may pop up by itself on a right click (AutoPopup), and remembers the
// component it was last popped up for.
class TPopupMenu : public QMenu
{
public:
    using QMenu::QMenu;
    bool AutoPopup = true;
    QPointer<QObject> PopupComponent;
    // Raised just before the menu shows.
    std::function<void(TPopupMenu&)> OnPopup;
    // Shows the menu at the point (screen pixels) and returns when it is closed.
    virtual void Popup(int x, int y);
};

// The worker of the tray icon's animation: once every Interval of a full sleep it hands
// one step to the icon on the main thread, while the icon is shown. It never touches the
// icon itself: the step is a queued call the icon runs. It stops when it is asked to,
// when the application is closing down, or when its owner lets it go.
class TTimerThread : public QThread
{
public:
    explicit TTimerThread(TTrayIcon& owner, int interval, bool suspended);
    ~TTimerThread() override;

    // Suspensions nest; Resume undoes one and reports whether one is still in force.
    void Suspend();
    void Resume();
    bool Suspended() const;
    void Terminate();
    bool Terminated() const;
    void setInterval(int milliseconds);
    // Lets go of the owner: no step is handed to it after this returns.
    void ReleaseOwner();
    // Steps handed over so far.
    int steps() const { return m_steps.load(); }

protected:
    void run() override;

private:
    bool stopCondition() const; // with m_lock held

    mutable std::mutex m_lock;
    std::condition_variable m_wake;
    TTrayIcon* OwnerIcon = nullptr;
    int m_suspended = 0;
    bool m_terminated = false;
    int m_interval = 150;
    std::atomic<int> m_steps{0};
};

// An icon in the notification area of the task bar, kept in step with its Icon, Hint and
// animation (the frames of Icons shown in turn), that turns what the mouse does over it
// into events. Owned by its owner (a QObject, usually the main window). Main thread only.
class TTrayIcon : public QObject
{
public:
    // The callback message the shell sends to the hidden window.
    static constexpr unsigned TrayIconMessage = 0xB040;

    TTrayIcon(QObject* owner, const TrayPlatform& platform, bool designing = false);
    ~TTrayIcon() override;

    ::WindowHandle WindowHandle() const { return m_window; }
    bool Active() const { return m_active; }
    void setActive(bool active);
    bool Added() const { return m_added; }
    bool Animated() const { return m_animated; }
    void setAnimated(bool animated);
    int IconIndex() const { return m_iconIndex; }
    int Interval() const { return m_interval; }
    void setInterval(int milliseconds);
    const NotifyIconData& IconData() const { return m_iconData; }
    TIcon& Icon() { return *m_icon; }
    void setIcon(const TIcon* icon);
    TIconList& Icons() { return *m_icons; }
    void setIcons(const TIconList* icons);
    QString Hint() const { return m_hint; }
    void setHint(const QString& hint);
    bool ShowDesign() const;
    void setShowDesign(bool show);
    TPopupMenu* PopupMenu() const { return m_popupMenu; }
    void setPopupMenu(TPopupMenu* menu);
    // The entries of the menu a desktop shows by itself for the icon (a StatusNotifierItem
    // host on a right click); where the desktop shows none, the right click comes as before.
    QList<QAction*> shellMenu() const { return m_shellMenu; }
    void setShellMenu(const QList<QAction*>& entries);
    bool Designing() const { return m_designing; }
    // The animation's worker while Animated.
    TTimerThread* TimerThread() const { return m_timerThread.get(); }

    TMouseEvent OnClick;
    TNotifyEvent OnDblClick;
    TMouseMoveEvent OnMouseMove;
    TMouseEvent OnMouseDown;
    TMouseEvent OnMouseUp;

    // After the component was read from a form description: shows the icon when Active.
    virtual void Loaded();
    virtual void UpdateNotifyData();
    void ShowIcon();
    void HideIcon();
    void UpdateIcon();
    // The icon to show now: the current frame while animated, else Icon. May be null.
    TIcon* GetActiveIcon() const;
    TShiftState GetShiftState() const;
    bool ShowPopup(int x, int y);
    bool ClickDefaultItem();
    void CancelModes();
    void AnimateStep();
    std::intptr_t WndProc(::WindowHandle window, unsigned message, std::uintptr_t wParam, std::intptr_t lParam);

    // The text before the first "|" of a hint.
    static QString ShortHint(const QString& hint);

protected:
    virtual void DblClick();
    virtual void DoClick(TMouseButton button, TShiftState shift, int x, int y);
    virtual void MouseDown(TMouseButton button, TShiftState shift, int x, int y);
    virtual void MouseMove(TShiftState shift, int x, int y);
    virtual void MouseUp(TMouseButton button, TShiftState shift, int x, int y);

    const TrayPlatform m_platform;

private:
    void IconChanged();
    void dispatchMouse(std::intptr_t mouseMessage);
    void stopAnimation();

    ::WindowHandle m_window = 0;
    bool m_active = true;
    bool m_added = false;
    bool m_animated = false;
    unsigned m_clicked = 0; // ssLeft / ssRight pressed over the icon and not yet released
    int m_iconIndex = -1;
    int m_interval = 150;
    NotifyIconData m_iconData;
    std::unique_ptr<TIcon> m_icon;
    std::unique_ptr<TIconList> m_icons;
    std::unique_ptr<TTimerThread> m_timerThread;
    bool m_destroying = false;
    QString m_hint;
    bool m_showDesign = false;
    QPointer<TPopupMenu> m_popupMenu; // null once the menu is gone
    QList<QAction*> m_shellMenu;
    bool m_designing = false;
};
