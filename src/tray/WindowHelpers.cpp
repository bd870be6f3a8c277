#include "WindowHelpers.h"

WindowHandle FindWindowByName(IWindowManager& windows, const QString& className, const QString& caption)
{
    if (className.isEmpty() && caption.isEmpty())
        return 0;
    const auto given = [](const QString& text) { return text.isEmpty() ? std::nullopt : std::optional<QString>(text); };
    return windows.findWindow(given(className), given(caption));
}

void SwitchToWindow(IWindowManager& windows, WindowHandle window, bool restore)
{
    if (!windows.isWindowEnabled(window))
        return;
    windows.setForegroundWindow(window);
    if (restore && windows.isWindowVisible(window)) {
        if (!windows.isZoomed(window))
            windows.sendMessage(window, WindowMessages::WM_SYSCOMMAND, WindowMessages::SC_RESTORE, 0);
        windows.setFocus(window);
    }
}
