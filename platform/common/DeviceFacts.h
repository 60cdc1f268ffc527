// Facts of the device platform that host-side code (the stand-ins, tools,
// tests, benchmarks, fuzzers, on Linux and on desktop Windows) needs beyond
// the platform headers, defined once. Device code defines what it uses
// itself: it must build with the device SDK alone.
#pragma once

#include <cstdint>

namespace device_facts {

// Power-state flags the CE 5.0 SDK's pm.h lacks (later copies have them).
constexpr uint32_t kPowerStateUnattended = 0x00400000;
constexpr uint32_t kPowerStateUserIdle = 0x01000000;
constexpr uint32_t kPowerStateBacklightOn = 0x02000000;

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

// A low-level key event's flags for a key release, as desktop Win32's
// LLKHF_UP gives it. The device documents the field as unused and no device
// header names a flag; the stand-ins set it so that a key-up can be told apart.
constexpr uint32_t kKeyEventUpFlag = 0x80;

// The hook type device code asks for; desktop Win32's low-level keyboard hook is 13.
constexpr int kDeviceKeyboardLowLevel = 20;
constexpr int kDesktopKeyboardLowLevel = 13;

}  // namespace device_facts
