// The device's records and pointer-sized types as the including translation
// unit lays them out: one list, measured both by device code (C++98, 16-bit
// wchar_t, the device's processor) and by host code, which must agree.
#ifndef RECORD_LAYOUT_H
#define RECORD_LAYOUT_H

#include <windows.h>
#include <msgqueue.h>
#include <pm.h>
#include <shellapi.h>
// Each side measures the hook record it uses: device code its own
// declaration, host code the stand-in's.
#ifdef SIMDEVICE_DEVICE_CODE
#include "LowLevelKeyboardHook.h"
#else
#include <pwinuser.h>
#endif

#include <stddef.h>

struct LayoutEntry {
    const char *quantity;  // e.g. "offsetof SHELLEXECUTEINFO.hwnd"
    unsigned long value;
};

// A member's offset after one char is the type's alignment.
template <typename T>
struct AlignmentProbe {
    char before;
    T member;
};

// (T)-1 is the largest value of an unsigned T and below 1 only when T is signed.
template <typename T>
struct Signedness {
    static const bool isSigned = T(-1) < T(1);
};

#define LAYOUT_SIZE(type) {"sizeof " #type, sizeof(type)}
#define LAYOUT_ALIGNMENT(type) {"alignof " #type, offsetof(AlignmentProbe<type>, member)}
#define LAYOUT_SIGNED(type) {"signed " #type, Signedness<type>::isSigned ? 1ul : 0ul}
#define LAYOUT_RECORD(record) LAYOUT_SIZE(record), LAYOUT_ALIGNMENT(record)
#define LAYOUT_FIELD(record, field)                                  \
    {"offsetof " #record "." #field, offsetof(record, field)},      \
    {"sizeof " #record "." #field, sizeof(static_cast<record *>(0)->field)}

#define RECORD_LAYOUT_ENTRIES                                                                           \
    LAYOUT_SIZE(void *), LAYOUT_SIZE(HANDLE), LAYOUT_SIZE(HWND), LAYOUT_SIZE(HINSTANCE), LAYOUT_SIZE(HKEY), \
    LAYOUT_SIZE(HHOOK), LAYOUT_SIZE(WPARAM), LAYOUT_SIZE(LPARAM), LAYOUT_SIZE(LRESULT),                 \
    LAYOUT_SIZE(ULONG_PTR), LAYOUT_SIZE(LONG_PTR), LAYOUT_SIZE(DWORD), LAYOUT_SIZE(LONG),               \
    LAYOUT_SIZE(BOOL), LAYOUT_SIZE(WORD), LAYOUT_SIZE(BYTE), LAYOUT_SIZE(WCHAR),                        \
    LAYOUT_SIGNED(WPARAM), LAYOUT_SIGNED(LPARAM), LAYOUT_SIGNED(LRESULT), LAYOUT_SIGNED(DWORD),         \
    LAYOUT_SIGNED(LONG), LAYOUT_SIGNED(WCHAR),                                                          \
    LAYOUT_RECORD(SHELLEXECUTEINFO), LAYOUT_FIELD(SHELLEXECUTEINFO, cbSize),                            \
    LAYOUT_FIELD(SHELLEXECUTEINFO, fMask), LAYOUT_FIELD(SHELLEXECUTEINFO, hwnd),                        \
    LAYOUT_FIELD(SHELLEXECUTEINFO, lpVerb), LAYOUT_FIELD(SHELLEXECUTEINFO, lpFile),                     \
    LAYOUT_FIELD(SHELLEXECUTEINFO, lpParameters), LAYOUT_FIELD(SHELLEXECUTEINFO, lpDirectory),          \
    LAYOUT_FIELD(SHELLEXECUTEINFO, nShow), LAYOUT_FIELD(SHELLEXECUTEINFO, hInstApp),                    \
    LAYOUT_FIELD(SHELLEXECUTEINFO, lpIDList), LAYOUT_FIELD(SHELLEXECUTEINFO, lpClass),                  \
    LAYOUT_FIELD(SHELLEXECUTEINFO, hkeyClass), LAYOUT_FIELD(SHELLEXECUTEINFO, dwHotKey),                \
    LAYOUT_FIELD(SHELLEXECUTEINFO, hIcon), LAYOUT_FIELD(SHELLEXECUTEINFO, hProcess),                    \
    LAYOUT_RECORD(MSGQUEUEOPTIONS), LAYOUT_FIELD(MSGQUEUEOPTIONS, dwSize),                              \
    LAYOUT_FIELD(MSGQUEUEOPTIONS, dwFlags), LAYOUT_FIELD(MSGQUEUEOPTIONS, dwMaxMessages),               \
    LAYOUT_FIELD(MSGQUEUEOPTIONS, cbMaxMessage), LAYOUT_FIELD(MSGQUEUEOPTIONS, bReadAccess),            \
    LAYOUT_RECORD(KBDLLHOOKSTRUCT), LAYOUT_FIELD(KBDLLHOOKSTRUCT, vkCode),                              \
    LAYOUT_FIELD(KBDLLHOOKSTRUCT, scanCode), LAYOUT_FIELD(KBDLLHOOKSTRUCT, flags),                      \
    LAYOUT_FIELD(KBDLLHOOKSTRUCT, time), LAYOUT_FIELD(KBDLLHOOKSTRUCT, dwExtraInfo),                    \
    LAYOUT_RECORD(POWER_BROADCAST), LAYOUT_FIELD(POWER_BROADCAST, Message),                             \
    LAYOUT_FIELD(POWER_BROADCAST, Flags), LAYOUT_FIELD(POWER_BROADCAST, Length),                        \
    LAYOUT_FIELD(POWER_BROADCAST, SystemPowerState)

// The list as device code measured it.
extern "C" const LayoutEntry *DeviceCodeLayout(size_t *count);

#endif
