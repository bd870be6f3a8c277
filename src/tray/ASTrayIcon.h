#pragma once

#include "TrayShell.h"
#include "platform/Errors.h"

// Thrown in a form designer only: the tray icon's owner is not a form, or the form already
// has one.
class TFormNotOwner : public PagelloError
{
public:
    using PagelloError::PagelloError;
};
class TDuplicateComponent : public PagelloError
{
public:
    using PagelloError::PagelloError;
};

// The tray icon that, while HideForm is set, keeps the application out of the task bar,
// so that a running program shows only as its icon in the notification area; without a
// notification area the task bar is the only way back, and the button stays. It hooks
// its owner form's window procedure: whenever the form is about to be shown, the hiding
// (or showing) of the task-bar button is applied again before the form handles it.
class TASTrayIcon : public TTrayIcon
{
public:
    // The owner must be a form (a top-level widget) or null.
    TASTrayIcon(QObject* owner, const TrayPlatform& platform, bool designing = false);
    ~TASTrayIcon() override;

    bool HideForm() const { return m_hideForm; }
    void setHideForm(bool hide);
    void Loaded() override;
    // Hides or shows the application's window, found anew by its title: hidden only while
    // the desktop has a notification area.
    void ApplyHideForm();

private:
    void HookWndProc();
    void UnhookWndProc();
    std::intptr_t HookedWndProc(::WindowHandle window, unsigned message, std::uintptr_t wParam, std::intptr_t lParam);

    bool m_hideForm = true;
    QPointer<QWidget> m_form;
    ::WindowHandle m_formWindow = 0;
    IWindowManager::WindowProc OldWndProc;
    bool m_hooked = false; // NewWndProc is installed
};
