#include "ASTrayIcon.h"

#include <QWidget>

TASTrayIcon::TASTrayIcon(QObject* owner, const TrayPlatform& platform, bool designing)
    : TTrayIcon(owner, platform, designing)
{
    m_hideForm = true;
    if (designing) {
        const auto* form = qobject_cast<QWidget*>(owner);
        if (!form || !form->isWindow())
            throw TFormNotOwner("The owner of TASTrayIcon Component is not a TForm");
        const auto mine = owner->findChildren<TASTrayIcon*>(Qt::FindDirectChildrenOnly);
        if (mine.size() > 1)
            throw TDuplicateComponent("There is already a TASTrayIcon component on this Form");
    }
    HookWndProc();
}

TASTrayIcon::~TASTrayIcon()
{
    UnhookWndProc();
}

void TASTrayIcon::setHideForm(bool hide)
{
    if (hide == m_hideForm)
        return;
    m_hideForm = hide;
    ApplyHideForm();
}

void TASTrayIcon::Loaded()
{
    TTrayIcon::Loaded();
    if (!Designing())
        ApplyHideForm();
}

void TASTrayIcon::ApplyHideForm()
{
    // Looked up anew every time: the window may have been made again. Its class is part of
    // the search: an error box of the program bears the application's title too, and
    // hiding it would leave its question unanswerable.
    IWindowManager& windows = m_platform.windows;
    const ::WindowHandle application =
        windows.findWindow(QString::fromLatin1(kApplicationWindowClass), m_platform.application.title().left(255));
    const bool hide = m_hideForm && m_platform.notifyArea.isAvailable();
    if (application)
        windows.showWindow(application, hide ? IWindowManager::Show::Hide : IWindowManager::Show::Restore);
}

void TASTrayIcon::HookWndProc()
{
    QObject* const owner = parent();
    if (!owner)
        return;
    auto* form = qobject_cast<QWidget*>(owner);
    if (!form || !form->isWindow())
        throw EInvalidCast();
    IWindowManager& windows = m_platform.windows;
    m_form = form;
    m_formWindow = windows.handleOf(*form);
    OldWndProc = windows.windowProc(m_formWindow);
    windows.setWindowProc(m_formWindow,
                          [this](::WindowHandle window, unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
                              return HookedWndProc(window, message, wParam, lParam);
                          });
    m_hooked = true;
}

void TASTrayIcon::UnhookWndProc()
{
    if (m_hooked && m_form && OldWndProc)
        m_platform.windows.setWindowProc(m_formWindow, OldWndProc);
    OldWndProc = nullptr;
    m_hooked = false;
    m_form = nullptr;
}

std::intptr_t TASTrayIcon::HookedWndProc(::WindowHandle, unsigned message, std::uintptr_t wParam, std::intptr_t lParam)
{
    // The hiding is applied before the form itself handles its showing.
    if (message == WindowMessages::WM_SHOWWINDOW && wParam != 0)
        ApplyHideForm();
    if (OldWndProc)
        return OldWndProc(m_formWindow, message, wParam, lParam);
    return m_platform.windows.defWindowProc(m_formWindow, message, wParam, lParam);
}
