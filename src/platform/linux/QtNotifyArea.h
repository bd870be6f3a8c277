#pragma once

#include "../INotifyArea.h"

class IWindowManager;

// The notification area through QSystemTrayIcon.
class QtNotifyArea : public INotifyArea
{
public:
    explicit QtNotifyArea(IWindowManager& windows);
    ~QtNotifyArea() override;
    bool shellNotifyIcon(unsigned message, const NotifyIconData& data) override;

private:
    IWindowManager& m_windows;
};
