// Refreshing the lock application's window after a resume or a power
// information change, with and without the window.
#include "TestSupport.h"

#include <vespertin.h>

#include <string>

namespace {

using namespace testing_support;

class RefreshTest : public DeviceTest {};

TEST_F(RefreshTest, RequestReachesTheWindowTitledHarrowcastleOnly) {
    struct Case {
        const char16_t *title;  // null: no window at all
        bool requested;
    } cases[] = {
        {nullptr, false},
        {u"Harrowcastle Settings", false},
        {u"Harrowcastle", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.title ? simdevice::Utf16ToUtf8(c.title) : "no window");
        HWND window = c.title ? simdevice::CreateTopLevelWindow(c.title) : nullptr;
        RefreshLockAppWindow();
        auto refresh = Records(timeline::Event::UpdateWindow).back();
        if (c.requested) {
            EXPECT_EQ(refresh.Field("result"), "requested");
            EXPECT_EQ(refresh.Field("window"), std::to_string(reinterpret_cast<uintptr_t>(window)));
            EXPECT_TRUE(simdevice::WaitForRepaintRequest(window, kLogTimeout));
        } else {
            EXPECT_EQ(refresh.Field("window"), "null");
            EXPECT_EQ(refresh.Field("result"), "no window");
        }
        if (window) simdevice::DestroyTopLevelWindow(window);
    }
}

TEST_F(RefreshTest, RunningDaemonRepaintsTheLockAppItStarted) {
    pid_t daemon = StartWatchingDaemon(BinaryPath("vespertin.exe"));
    simdevice::PostPowerBroadcast(PBT_TRANSITION, device_facts::kPowerStateUnattended);
    ASSERT_TRUE(WaitForEvents(timeline::Event::LockAppStarted));
    simdevice::PostPowerBroadcast(PBT_RESUME, 0);
    ASSERT_TRUE(WaitForEvents(timeline::Event::LockAppRepainted, 1));
    simdevice::PostPowerBroadcast(PBT_POWERINFOCHANGE, 0);
    ASSERT_TRUE(WaitForEvents(timeline::Event::LockAppRepainted, 2));
    // The request reaches the window before the daemon's record of it is written.
    ASSERT_TRUE(WaitForEvents(timeline::Event::UpdateWindow, 2, daemon));
    auto refreshes = Records(timeline::Event::UpdateWindow, daemon);
    ASSERT_EQ(refreshes.size(), 2u);
    for (const auto &r : refreshes) EXPECT_EQ(r.Field("result"), "requested");
}

TEST_F(RefreshTest, RunningDaemonCarriesOnWithoutTheWindow) {
    pid_t daemon = StartWatchingDaemon(BinaryPath("vespertin.exe"));
    simdevice::PostPowerBroadcast(PBT_RESUME, 0);
    ASSERT_TRUE(WaitForEvents(timeline::Event::UpdateWindow, 1, daemon));
    EXPECT_EQ(Records(timeline::Event::UpdateWindow, daemon)[0].Field("window"), "null");
    simdevice::PostPowerBroadcast(PBT_TRANSITION, device_facts::kPowerStateUnattended);
    EXPECT_TRUE(WaitForEvents(timeline::Event::LockAppStarted));
    EXPECT_EQ(simdevice::DebugOutput(), "");
}

}  // namespace
