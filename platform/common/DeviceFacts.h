// Facts of the device platform that host-side code (the stand-ins, tools,
// tests, benchmarks, fuzzers, on Linux and on desktop Windows) needs beyond
// the platform headers, defined once. Device code defines what it uses
// itself: it must build with the device SDK alone.
#pragma once

#include <cstdint>

namespace device_facts {

// Not in the device SDK's pm.h.
constexpr uint32_t kPowerStateUnattended = 0x00400000;

// HKEY_LOCAL_MACHINE\System\State\Phone, value "Status": the call-state bits.
// Prefix the key and value names with u"" or L"" for wide text.
#define DEVICE_PHONE_KEY "System\\State\\Phone"
#define DEVICE_PHONE_STATUS_VALUE "Status"
constexpr uint32_t kPhoneTalking = 0x20000000;
constexpr uint32_t kPhoneConnecting = 0x00020000;  // outgoing call
constexpr uint32_t kPhoneRinging = 0x00010000;     // incoming call
constexpr uint32_t kPhoneOnHold = 0x00004000;
constexpr uint32_t kCallStateMask = kPhoneTalking | kPhoneConnecting | kPhoneRinging | kPhoneOnHold;
// Neighbouring bits that are not a call of their own.
constexpr uint32_t kPhoneConference = 0x00008000;

// The platform's pseudo-handle for the calling process (desktop Win32's is -1).
constexpr uintptr_t kCurrentProcessHandle = 0x42;

// The hook type device code asks for; desktop Win32's low-level keyboard hook is 13.
constexpr int kDeviceKeyboardLowLevel = 20;
constexpr int kDesktopKeyboardLowLevel = 13;

}  // namespace device_facts
