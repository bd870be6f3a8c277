// The notification area through QSystemTrayIcon on the offscreen platform: what it refuses,
// and the picture and tip its icons show. Docking in a real tray and the clicks on it are
// tested on a private X display (WindowManagerTest).
#include "platform/linux/QtNotifyArea.h"
#include "platform/linux/XcbWindowManager.h"

#include <QSystemTrayIcon>

#include <gtest/gtest.h>

using namespace NotifyIcon;

namespace {

constexpr unsigned kCallback = 0xB040;

NotifyIconData record(WindowHandle window, std::uint32_t id, IconHandle icon, const QString& tip,
                      std::uint32_t flags = NIF_MESSAGE | NIF_ICON | NIF_TIP)
{
    return NotifyIconData{kRecordSize, window, id, flags, kCallback, icon, tip};
}

QImage filled(QColor colour)
{
    QImage image(16, 16, QImage::Format_ARGB32);
    image.fill(colour);
    return image;
}

QColor shownColour(const QSystemTrayIcon& tray)
{
    return tray.icon().pixmap(16, 16).toImage().pixelColor(8, 8);
}

} // namespace

TEST(QtNotifyAreaTest, IconsShowACopyOfTheirPictureAndTipAndWhatIsNotThereIsRefused)
{
    XcbWindowManager windows;
    QtNotifyArea area(windows);
    const WindowHandle window = windows.createUtilityWindow({});
    const IconHandle red = IconHandles::make(filled(Qt::red));
    EXPECT_FALSE(area.shellNotifyIcon(NIM_ADD, record(0, 0, red, QStringLiteral("Pagello"))));
    ASSERT_TRUE(area.shellNotifyIcon(NIM_ADD, record(window, 0, red, QStringLiteral("Pagello"))));
    EXPECT_FALSE(area.shellNotifyIcon(NIM_ADD, record(window, 0, red, QStringLiteral("again"))));
    // The handle may go as soon as the request returns.
    IconHandles::release(red);
    QSystemTrayIcon* tray = area.trayIcon(window, 0);
    ASSERT_NE(tray, nullptr);
    EXPECT_TRUE(tray->isVisible());
    EXPECT_EQ(shownColour(*tray), QColor(Qt::red));
    EXPECT_EQ(tray->toolTip(), QStringLiteral("Pagello"));

    // Modified: what its flags name; a tip is cut where the record ends; no picture for
    // the invalid handle.
    EXPECT_TRUE(area.shellNotifyIcon(NIM_MODIFY, record(window, 0, 0, QStringLiteral("ignored"), NIF_MESSAGE)));
    EXPECT_EQ(shownColour(*tray), QColor(Qt::red));
    EXPECT_EQ(tray->toolTip(), QStringLiteral("Pagello"));
    EXPECT_TRUE(
        area.shellNotifyIcon(NIM_MODIFY, record(window, 0, kInvalidIconHandle, QString(100, QLatin1Char('x')))));
    EXPECT_TRUE(tray->icon().isNull());
    EXPECT_EQ(tray->toolTip(), QString(kTipLength, QLatin1Char('x')));

    EXPECT_FALSE(area.shellNotifyIcon(NIM_MODIFY, record(window, 1, 0, QString())));
    EXPECT_FALSE(area.shellNotifyIcon(NIM_DELETE, record(window, 1, 0, QString())));
    EXPECT_TRUE(area.shellNotifyIcon(NIM_DELETE, record(window, 0, 0, QString())));
    EXPECT_EQ(area.trayIcon(window, 0), nullptr);
    EXPECT_FALSE(area.shellNotifyIcon(NIM_MODIFY, record(window, 0, 0, QString())));
}
