#include "WindowHelpers.h"
#include "platform/fake/FakeWindowManager.h"

#include <gtest/gtest.h>

namespace {

using Call = FakeWindowManager::Call;
using namespace WindowMessages;

TEST(WindowHelpers, FindWindowByNameMatchesWhatIsGivenAndNothingWhenNothingIs)
{
    FakeWindowManager windows;
    const WindowHandle other = windows.addWindow(QStringLiteral("Editor"), QStringLiteral("Pagello "));
    const WindowHandle spooler = windows.addWindow(QStringLiteral("TForm1"), QStringLiteral("Pagello "));
    EXPECT_EQ(FindWindowByName(windows, QString(), QString()), 0u);
    EXPECT_EQ(windows.finds(), 0) << "two empty strings do not ask the window manager";
    EXPECT_EQ(FindWindowByName(windows, QStringLiteral("TForm1"), QStringLiteral("Pagello ")), spooler);
    EXPECT_EQ(FindWindowByName(windows, QStringLiteral("TForm1"), QStringLiteral("Pagello")), 0u);
    EXPECT_EQ(FindWindowByName(windows, QStringLiteral("Editor"), QString()), other);
    EXPECT_EQ(FindWindowByName(windows, QString(), QStringLiteral("Pagello ")), spooler) << "the topmost one";
}

TEST(WindowHelpers, SwitchToWindowLeavesADisabledWindowAndAMaximisedOneUnrestored)
{
    FakeWindowManager windows;
    const WindowHandle window = windows.addWindow(QStringLiteral("Dos"), QStringLiteral("EDIT"));
    windows.window(window).enabled = false;
    SwitchToWindow(windows, window, true);
    EXPECT_TRUE(windows.calls().empty());

    windows.window(window).enabled = true;
    SwitchToWindow(windows, window, false);
    EXPECT_EQ(windows.calls(), (std::vector<Call>{Call{QStringLiteral("foreground"), window}}));

    windows.clearCalls();
    SwitchToWindow(windows, window, true);
    const std::vector<Call> restored = {Call{QStringLiteral("foreground"), window},
                                        Call{QStringLiteral("send"), window, WM_SYSCOMMAND, SC_RESTORE, 0},
                                        Call{QStringLiteral("focus"), window}};
    EXPECT_EQ(windows.calls(), restored);

    windows.clearCalls();
    windows.window(window).zoomed = true;
    SwitchToWindow(windows, window, true);
    const std::vector<Call> focused = {Call{QStringLiteral("foreground"), window},
                                       Call{QStringLiteral("focus"), window}};
    EXPECT_EQ(windows.calls(), focused);
}

} // namespace
