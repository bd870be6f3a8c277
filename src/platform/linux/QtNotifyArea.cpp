#include "QtNotifyArea.h"

QtNotifyArea::QtNotifyArea(IWindowManager& windows)
    : m_windows(windows)
{}

QtNotifyArea::~QtNotifyArea() = default;

bool QtNotifyArea::shellNotifyIcon(unsigned, const NotifyIconData&)
{
    return false;
}
