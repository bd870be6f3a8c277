#pragma once

#include "platform/IWindowManager.h"

#include <QString>

// The first top-level window of the class with the caption, or 0. An empty string matches
// any class or any caption, but two empty strings find nothing: the window manager is not
// even asked.
WindowHandle FindWindowByName(IWindowManager& windows, const QString& className, const QString& caption);

// Makes the window the foreground window unless it is disabled; with `restore`, a visible
// window is also restored (unless it is maximised) and given the focus.
void SwitchToWindow(IWindowManager& windows, WindowHandle window, bool restore);
