// The device's records, at run time, as the device code and the stand-in lay
// them out. On a 32-bit target (the device's word size) every row must hold
// the device's value; on the 64-bit host each row names the host's own, so
// that the differences are explicit and neither build can drift unnoticed.
#include "RecordLayout.h"
#include "TestSupport.h"

#include <map>
#include <string>

namespace {

using testing_support::kDeviceWordSize;

struct Expected {
    const char *quantity;
    unsigned long device;  // 32-bit ARM (ARMV4I)
    unsigned long host;    // 64-bit Linux (LP64)
};

const Expected kExpected[] = {
    // Handles and the message parameters are pointer-sized: 32 bits on the device.
    {"sizeof void *", 4, 8},
    {"sizeof HANDLE", 4, 8},
    {"sizeof HWND", 4, 8},
    {"sizeof HINSTANCE", 4, 8},
    {"sizeof HKEY", 4, 8},
    {"sizeof HHOOK", 4, 8},
    {"sizeof WPARAM", 4, 8},
    {"sizeof LPARAM", 4, 8},
    {"sizeof LRESULT", 4, 8},
    {"sizeof ULONG_PTR", 4, 8},
    {"sizeof LONG_PTR", 4, 8},
    {"sizeof DWORD", 4, 4},
    {"sizeof LONG", 4, 4},
    {"sizeof BOOL", 4, 4},
    {"sizeof WORD", 2, 2},
    {"sizeof BYTE", 1, 1},
    {"sizeof WCHAR", 2, 2},
    {"signed WPARAM", 0, 0},
    {"signed LPARAM", 1, 1},
    {"signed LRESULT", 1, 1},
    {"signed DWORD", 0, 0},
    {"signed LONG", 1, 1},
    {"signed WCHAR", 0, 0},
    // The launch record: 15 four-byte fields on the device.
    {"sizeof SHELLEXECUTEINFO", 60, 112},
    {"alignof SHELLEXECUTEINFO", 4, 8},
    {"offsetof SHELLEXECUTEINFO.cbSize", 0, 0},
    {"sizeof SHELLEXECUTEINFO.cbSize", 4, 4},
    {"offsetof SHELLEXECUTEINFO.fMask", 4, 4},
    {"sizeof SHELLEXECUTEINFO.fMask", 4, 4},
    {"offsetof SHELLEXECUTEINFO.hwnd", 8, 8},
    {"sizeof SHELLEXECUTEINFO.hwnd", 4, 8},
    {"offsetof SHELLEXECUTEINFO.lpVerb", 12, 16},
    {"sizeof SHELLEXECUTEINFO.lpVerb", 4, 8},
    {"offsetof SHELLEXECUTEINFO.lpFile", 16, 24},
    {"sizeof SHELLEXECUTEINFO.lpFile", 4, 8},
    {"offsetof SHELLEXECUTEINFO.lpParameters", 20, 32},
    {"sizeof SHELLEXECUTEINFO.lpParameters", 4, 8},
    {"offsetof SHELLEXECUTEINFO.lpDirectory", 24, 40},
    {"sizeof SHELLEXECUTEINFO.lpDirectory", 4, 8},
    {"offsetof SHELLEXECUTEINFO.nShow", 28, 48},
    {"sizeof SHELLEXECUTEINFO.nShow", 4, 4},
    {"offsetof SHELLEXECUTEINFO.hInstApp", 32, 56},  // the host pads 4 bytes before it
    {"sizeof SHELLEXECUTEINFO.hInstApp", 4, 8},
    {"offsetof SHELLEXECUTEINFO.lpIDList", 36, 64},
    {"sizeof SHELLEXECUTEINFO.lpIDList", 4, 8},
    {"offsetof SHELLEXECUTEINFO.lpClass", 40, 72},
    {"sizeof SHELLEXECUTEINFO.lpClass", 4, 8},
    {"offsetof SHELLEXECUTEINFO.hkeyClass", 44, 80},
    {"sizeof SHELLEXECUTEINFO.hkeyClass", 4, 8},
    {"offsetof SHELLEXECUTEINFO.dwHotKey", 48, 88},
    {"sizeof SHELLEXECUTEINFO.dwHotKey", 4, 4},
    {"offsetof SHELLEXECUTEINFO.hIcon", 52, 96},  // and 4 before this one
    {"sizeof SHELLEXECUTEINFO.hIcon", 4, 8},
    {"offsetof SHELLEXECUTEINFO.hProcess", 56, 104},
    {"sizeof SHELLEXECUTEINFO.hProcess", 4, 8},
    // The queue options: five 4-byte fields everywhere.
    {"sizeof MSGQUEUEOPTIONS", 20, 20},
    {"alignof MSGQUEUEOPTIONS", 4, 4},
    {"offsetof MSGQUEUEOPTIONS.dwSize", 0, 0},
    {"sizeof MSGQUEUEOPTIONS.dwSize", 4, 4},
    {"offsetof MSGQUEUEOPTIONS.dwFlags", 4, 4},
    {"sizeof MSGQUEUEOPTIONS.dwFlags", 4, 4},
    {"offsetof MSGQUEUEOPTIONS.dwMaxMessages", 8, 8},
    {"sizeof MSGQUEUEOPTIONS.dwMaxMessages", 4, 4},
    {"offsetof MSGQUEUEOPTIONS.cbMaxMessage", 12, 12},
    {"sizeof MSGQUEUEOPTIONS.cbMaxMessage", 4, 4},
    {"offsetof MSGQUEUEOPTIONS.bReadAccess", 16, 16},
    {"sizeof MSGQUEUEOPTIONS.bReadAccess", 4, 4},
    // The key event record: five DWORDs on the device; the host's extra info is pointer-sized.
    {"sizeof KBDLLHOOKSTRUCT", 20, 24},
    {"alignof KBDLLHOOKSTRUCT", 4, 8},
    {"offsetof KBDLLHOOKSTRUCT.vkCode", 0, 0},
    {"sizeof KBDLLHOOKSTRUCT.vkCode", 4, 4},
    {"offsetof KBDLLHOOKSTRUCT.scanCode", 4, 4},
    {"sizeof KBDLLHOOKSTRUCT.scanCode", 4, 4},
    {"offsetof KBDLLHOOKSTRUCT.flags", 8, 8},
    {"sizeof KBDLLHOOKSTRUCT.flags", 4, 4},
    {"offsetof KBDLLHOOKSTRUCT.time", 12, 12},
    {"sizeof KBDLLHOOKSTRUCT.time", 4, 4},
    {"offsetof KBDLLHOOKSTRUCT.dwExtraInfo", 16, 16},
    {"sizeof KBDLLHOOKSTRUCT.dwExtraInfo", 4, 8},
    // The broadcast: a 12-byte header, then the state name's UTF-16 units.
    {"sizeof POWER_BROADCAST", 16, 16},
    {"alignof POWER_BROADCAST", 4, 4},
    {"offsetof POWER_BROADCAST.Message", 0, 0},
    {"sizeof POWER_BROADCAST.Message", 4, 4},
    {"offsetof POWER_BROADCAST.Flags", 4, 4},
    {"sizeof POWER_BROADCAST.Flags", 4, 4},
    {"offsetof POWER_BROADCAST.Length", 8, 8},
    {"sizeof POWER_BROADCAST.Length", 4, 4},
    {"offsetof POWER_BROADCAST.SystemPowerState", 12, 12},
    {"sizeof POWER_BROADCAST.SystemPowerState", 2, 2},
};

const LayoutEntry kHostCodeLayout[] = {RECORD_LAYOUT_ENTRIES};

std::map<std::string, unsigned long> Measured(const LayoutEntry *entries, size_t count) {
    std::map<std::string, unsigned long> measured;
    for (size_t i = 0; i < count; ++i) measured[entries[i].quantity] = entries[i].value;
    return measured;
}

struct View {
    const char *name;
    std::map<std::string, unsigned long> (*measure)();
};

const View kViews[] = {
    {"DeviceCode",
     [] {
         size_t count = 0;
         const LayoutEntry *entries = DeviceCodeLayout(&count);
         return Measured(entries, count);
     }},
    {"HostCode", [] { return Measured(kHostCodeLayout, std::size(kHostCodeLayout)); }},
};

void PrintTo(const View &view, std::ostream *out) { *out << view.name; }

class RecordLayout : public ::testing::TestWithParam<View> {};

TEST_P(RecordLayout, EveryQuantityHasThisWordSizesValue) {
    auto measured = GetParam().measure();
    EXPECT_EQ(measured.size(), std::size(kExpected)) << "every measured quantity has exactly one row";
    for (const Expected &row : kExpected) {
        SCOPED_TRACE(row.quantity);
        auto found = measured.find(row.quantity);
        ASSERT_NE(found, measured.end()) << "not measured";
        EXPECT_EQ(found->second, kDeviceWordSize ? row.device : row.host);
    }
}

INSTANTIATE_TEST_SUITE_P(View, RecordLayout, ::testing::ValuesIn(kViews),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
