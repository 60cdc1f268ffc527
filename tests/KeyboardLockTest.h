// Shared by the keypad lock tests: the library loaded in-process the way a
// client loads it, with a recording hook below it (so "passed on" shows as
// the next hook's value and arguments arriving unchanged) and, on request, a
// recording hook above it (to see exactly what the library was handed).
#pragma once

#include "DeviceTest.h"

#include "DeviceFacts.h"

#include <string>

namespace keyboard_lock {

using ActivateProc = BOOL(WINAPI *)(DWORD);
using DeactivateProc = BOOL(WINAPI *)();

inline const std::u16string kPhoneKey = u"" DEVICE_PHONE_KEY;
inline const std::u16string kStatusValue = u"" DEVICE_PHONE_STATUS_VALUE;

// Phone status bits that mean a call is in progress.
constexpr DWORD kTalking = device_facts::kPhoneTalking;
constexpr DWORD kConnecting = device_facts::kPhoneConnecting;
constexpr DWORD kRinging = device_facts::kPhoneRinging;
constexpr DWORD kOnHold = device_facts::kPhoneOnHold;

constexpr LRESULT kSwallowed = -1;

// What a recording hook saw of the last event that reached it.
struct Seen {
    int calls = 0;
    int code = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    KBDLLHOOKSTRUCT record{};
};

// Hook procedures are plain functions, so their state is global. Only the
// delivering thread touches it while events flow.
inline Seen g_below;
inline LRESULT g_belowResult = 0x5A5A;
inline bool g_belowPassesOn = false;  // ends the chain instead, so the key can reach the window
inline Seen g_above;
inline bool g_aboveNullsRecord = false;

inline void Record(Seen &seen, int code, WPARAM wParam, LPARAM lParam) {
    ++seen.calls;
    seen.code = code;
    seen.wParam = wParam;
    seen.lParam = lParam;
    seen.record = lParam ? *reinterpret_cast<const KBDLLHOOKSTRUCT *>(lParam) : KBDLLHOOKSTRUCT{};
}

inline LRESULT CALLBACK BelowHook(int code, WPARAM wParam, LPARAM lParam) {
    Record(g_below, code, wParam, lParam);
    return g_belowPassesOn ? CallNextHookEx(nullptr, code, wParam, lParam) : g_belowResult;
}

inline LRESULT CALLBACK AboveHook(int code, WPARAM wParam, LPARAM lParam) {
    Record(g_above, code, wParam, lParam);
    return CallNextHookEx(nullptr, code, wParam, g_aboveNullsRecord ? 0 : lParam);
}

inline simdevice::KeyEvent MakeEvent(DWORD vk, WPARAM message = WM_KEYDOWN) {
    simdevice::KeyEvent event;
    event.record.vkCode = vk;
    event.record.scanCode = 0x3D + (vk & 0xFF);
    event.record.flags = message == WM_KEYUP || message == WM_SYSKEYUP ? device_facts::kKeyEventUpFlag : 0;
    event.record.time = 0x1234;
    event.record.dwExtraInfo = 0xC0FFEE;
    event.message = message;
    return event;
}

inline bool SameRecord(const KBDLLHOOKSTRUCT &a, const KBDLLHOOKSTRUCT &b) {
    return a.vkCode == b.vkCode && a.scanCode == b.scanCode && a.flags == b.flags && a.time == b.time &&
           a.dwExtraInfo == b.dwExtraInfo;
}

inline void SetStatus(DWORD status) { simdevice::SetRegistryDword(kPhoneKey, kStatusValue, status); }

class KeyboardLockTest : public testing_support::DeviceTest {
protected:
    void SetUp() override {
        DeviceTest::SetUp();
        g_below = Seen{};
        g_above = Seen{};
        g_belowResult = 0x5A5A;
        g_belowPassesOn = false;
        g_aboveNullsRecord = false;
        below_ = SetWindowsHookExW(WH_KEYBOARD_LL, BelowHook, nullptr, 0);
        ASSERT_NE(below_, nullptr);
        Load();
    }

    void TearDown() override {
        if (library_) {
            deactivate_();
            Unload();
        }
        if (above_) UnhookWindowsHookEx(above_);
        if (below_) UnhookWindowsHookEx(below_);
        simdevice::Resources left = simdevice::LiveResources();
        EXPECT_EQ(left.hooks, 0) << simdevice::Describe(left);
        EXPECT_EQ(left.moduleReferences, 0) << simdevice::Describe(left);
        EXPECT_EQ(left.registryKeys, 0) << simdevice::Describe(left);
        DeviceTest::TearDown();
    }

    void Load() {
        library_ = LoadLibraryW(simdevice::Utf8ToUtf16(testing_support::BinaryPath("tallowbeck.dll")).c_str());
        ASSERT_NE(library_, nullptr) << "error " << GetLastError();
        activate_ = Bind<ActivateProc>(u"ActivateKBHook");
        deactivate_ = Bind<DeactivateProc>(u"DeactivateKBHook");
        ASSERT_NE(activate_, nullptr);
        ASSERT_NE(deactivate_, nullptr);
    }

    template <typename Export>
    Export Bind(const char16_t *name) {
        return reinterpret_cast<Export>(reinterpret_cast<void (*)()>(GetProcAddressW(library_, name)));
    }

    void Unload() {
        ASSERT_TRUE(FreeLibrary(library_));
        library_ = nullptr;
        activate_ = nullptr;
        deactivate_ = nullptr;
    }

    // Puts a recording hook above the library's; call after activating.
    void HookAbove() {
        above_ = SetWindowsHookExW(WH_KEYBOARD_LL, AboveHook, nullptr, 0);
        ASSERT_NE(above_, nullptr);
    }

    simdevice::KeyFate Press(DWORD vk, WPARAM message = WM_KEYDOWN, int code = HC_ACTION) {
        return simdevice::DeliverKeyEvent(MakeEvent(vk, message), code);
    }

    // Whether the key went through the library to the hook below, which
    // returned its value as the result.
    bool PassedOn(DWORD vk, WPARAM message = WM_KEYDOWN) {
        int before = g_below.calls;
        simdevice::KeyFate fate = Press(vk, message);
        bool reached = g_below.calls == before + 1;
        if (reached) EXPECT_EQ(fate.result, g_belowResult);
        else EXPECT_EQ(fate.result, kSwallowed);
        return reached;
    }

    HMODULE library_ = nullptr;
    ActivateProc activate_ = nullptr;
    DeactivateProc deactivate_ = nullptr;
    HHOOK below_ = nullptr;
    HHOOK above_ = nullptr;
};

}  // namespace keyboard_lock
