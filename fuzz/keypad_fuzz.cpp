// The keypad lock library, loaded as a client loads it, fed arbitrary
// sequences of activations, deactivations, phone status values of any type
// and size, faults on the platform calls it makes, and key events. A model
// kept here from the input alone says what each export returns and what
// happens to each key:
//  - with no hook of the library installed every key passes;
//  - with it installed a key passes only as the decision table
//    (tests/KeypadRule.h) gives it for the status value read as a
//    little-endian word zero-extended from up to 4 bytes, and the mode.
// After a last, fault-free deactivation nothing may be left: no hook, no
// module reference, no open registry key.
//
// Faults are planned for one operation at a time, on every call of the
// chosen functions, and lifted afterwards. When the platform refuses to
// remove the hook or release a module, the library keeps what it holds (the
// keypad stays locked) and releases it on a later deactivation.
//
// Input: a list of operations (byte % 5): 0 activate (mode byte, raw 32-bit
// for 4), 1 deactivate, 2 set the status value (kind byte, then its data),
// 3 a key event (key, message and code bytes), 4 fault the next operation
// (count byte, then one byte per fault: function, and error or result).
#include "DeviceFacts.h"
#include "FuzzSupport.h"
#include "KeypadOracle.h"

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace {

using ActivateProc = BOOL(WINAPI *)(DWORD);
using DeactivateProc = BOOL(WINAPI *)();

const std::u16string kPhoneKey = u"" DEVICE_PHONE_KEY;
const std::u16string kStatusValue = u"" DEVICE_PHONE_STATUS_VALUE;
constexpr DWORD kCallBits = device_facts::kCallStateMask;
constexpr LRESULT kSwallowed = -1;
constexpr size_t kMostOperations = 64;

enum Function {
    kLoadLibrary, kBindAny, kBindSetHook, kBindCallNext, kBindUnhook, kSetHook, kModulePath, kUnhook,
    kFreeLibrary, kRegOpen, kRegQuery, kRegClose, kCallNext, kFunctionCount
};
const char *const kFunctionNames[kFunctionCount] = {
    "LoadLibraryW", "GetProcAddressW", "GetProcAddressW:SetWindowsHookExW", "GetProcAddressW:CallNextHookEx",
    "GetProcAddressW:UnhookWindowsHookEx", "SetWindowsHookExW", "GetModuleFileNameW", "UnhookWindowsHookEx",
    "FreeLibrary", "RegOpenKeyExW", "RegQueryValueExW", "RegCloseKey", "CallNextHookEx"};

struct Fault {
    bool planned = false;
    bool forceReturn = false;  // CallNextHookEx only
    DWORD value = 0;
};
using Faults = std::array<Fault, kFunctionCount>;

// The phone status as stored in the registry.
struct Status {
    bool keyExists = false;
    bool valueExists = false;
    DWORD type = REG_DWORD;
    std::string bytes;
};

// ---- the library, loaded once --------------------------------------------

HMODULE g_library = nullptr;
ActivateProc g_activate = nullptr;
DeactivateProc g_deactivate = nullptr;

// A hook below the library's: an event passed on arrives here.
int g_belowCalls = 0;
LRESULT g_belowResult = 0;
LRESULT CALLBACK BelowHook(int, WPARAM, LPARAM) {
    ++g_belowCalls;
    return g_belowResult;
}

// Keys the library closed in this operation, from the call record. With a
// fault planned the platform may have kept them open (even while reporting
// success); the target closes them then.
std::vector<HKEY> ClosedKeys() {
    std::vector<HKEY> keys;
    for (const auto &arguments : simdevice::RecordedArguments(simdevice::Call::RegCloseKey))
        keys.push_back(reinterpret_cast<HKEY>(arguments[0]));
    return keys;
}

}  // namespace

namespace {

// ---- the model ------------------------------------------------------------

struct Model {
    bool hooked = false;      // the library's hook is installed
    bool coreHeld = false;    // a core library reference is recorded
    DWORD mode = 1;
    Status status;

    bool Activate(DWORD newMode, const Faults &f) {
        mode = newMode;
        if (hooked) return true;
        if (!coreHeld) {
            if (f[kLoadLibrary].planned) return false;
            coreHeld = true;  // kept for the next try
        }
        if (f[kBindAny].planned || f[kBindSetHook].planned || f[kBindCallNext].planned || f[kBindUnhook].planned ||
            f[kSetHook].planned)
            return false;
        hooked = true;
        return true;
    }

    void Deactivate(const Faults &f) {
        if (hooked && f[kUnhook].planned) return;  // still installed, still locking
        hooked = false;
        if (coreHeld && !f[kFreeLibrary].planned) coreHeld = false;
    }

    // The word the probe reads, if any, and whether it opened a key.
    std::optional<DWORD> StatusWord(const Faults &f, bool *opened) const {
        *opened = false;
        if (f[kRegOpen].planned) return std::nullopt;  // even a claimed success gives no key
        if (!status.keyExists) return std::nullopt;
        *opened = true;
        if (f[kRegQuery].planned) return f[kRegQuery].value == ERROR_SUCCESS ? std::optional<DWORD>(0) : std::nullopt;
        if (!status.valueExists || status.bytes.size() > 4) return std::nullopt;
        DWORD word = 0;
        for (size_t i = 0; i < status.bytes.size(); ++i) word |= DWORD(uint8_t(status.bytes[i])) << (8 * i);
        return word;
    }
};

// ---- input ----------------------------------------------------------------

DWORD DecodeMode(fuzz_support::Reader &in) {
    static const DWORD kModes[] = {1, 0, 2, 0xFFFFFFFF};
    const uint8_t b = in.Byte() % 5;
    return b == 4 ? in.Word() : kModes[b];
}

void DecodeFaults(fuzz_support::Reader &in, Faults &f) {
    static const DWORD kErrors[] = {ERROR_NOT_ENOUGH_MEMORY, ERROR_INVALID_HANDLE, ERROR_SUCCESS, ERROR_MORE_DATA,
                                    ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_MOD_NOT_FOUND, 0xFFFFFFFF};
    static const DWORD kResults[] = {0, 1, 0xFFFFFFFF, 0x5A5A};
    for (int n = in.Byte() % 4 + 1; n > 0; --n) {
        const uint8_t b = in.Byte();
        Fault &fault = f[(b & 0x0F) % kFunctionCount];
        fault.planned = true;
        fault.forceReturn = (b & 0x10) && &fault == &f[kCallNext];
        fault.value = fault.forceReturn ? kResults[(b >> 5) & 3] : kErrors[b >> 5];
    }
}

Status DecodeStatus(fuzz_support::Reader &in) {
    using namespace device_facts;
    static const DWORD kWords[] = {kPhoneTalking, kPhoneConnecting, kPhoneRinging, kPhoneOnHold, 0,
                                   kPhoneConference, 0x10000000, 0x40000000, 0x00002000, 0x00001000,
                                   0xDFFCBFFF, 0xFFFFFFFF, 0x20034000, 0x00034000, 0x80000000, 0x00000001};
    Status s;
    s.keyExists = true;
    s.valueExists = true;
    const uint8_t kind = in.Byte();
    switch (kind % 6) {
    case 0: {
        const DWORD word = kWords[(kind >> 3) % 16];
        s.bytes.assign(reinterpret_cast<const char *>(&word), 4);
        break;
    }
    case 1: {
        const DWORD word = DWORD(1) << (kind >> 3);
        s.bytes.assign(reinterpret_cast<const char *>(&word), 4);
        break;
    }
    case 2: s.bytes = in.Bytes(4); break;
    case 3:  // any type and size
        s.type = in.Byte() % 12;
        s.bytes = in.Bytes(in.Byte() % 9);
        break;
    case 4:  // the value goes, the key stays
        s.valueExists = false;
        break;
    case 5:
        s = Status{};
        break;
    }
    return s;
}

void Store(const Status &s) {
    if (!s.keyExists) {
        simdevice::DeleteRegistryKey(kPhoneKey);
    } else if (!s.valueExists) {
        simdevice::SetRegistryDword(kPhoneKey, u"Other", kCallBits);
        simdevice::DeleteRegistryValue(kPhoneKey, kStatusValue);
    } else {
        simdevice::SetRegistryValue(kPhoneKey, kStatusValue, s.type, s.bytes);
    }
}

void Plan(const Faults &f) {
    for (int i = 0; i < kFunctionCount; ++i) {
        if (!f[i].planned) continue;
        if (f[i].forceReturn) simdevice::ForceReturn(kFunctionNames[i], f[i].value, 0);
        else simdevice::FailCall(kFunctionNames[i], f[i].value, 0);
    }
}

std::string Hex(unsigned long value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%lx", value);
    return text;
}

void PressKey(fuzz_support::Reader &in, const Model &model, const Faults &f, long eventNumber) {
    static const DWORD kKeys[] = {VK_F3, VK_F4, VK_F5, VK_F6, VK_F2, VK_F7, 'A', VK_RETURN};
    static const WPARAM kMessages[] = {WM_KEYDOWN, WM_KEYUP, WM_SYSKEYDOWN, WM_SYSKEYUP};
    static const int kCodes[] = {HC_ACTION, -1, 1, 3};
    const uint8_t k = in.Byte();
    const DWORD vk = k < 0x80 ? kKeys[k % 8] : k < 0xF0 ? DWORD(k) : in.Word();
    const uint8_t how = in.Byte();
    simdevice::KeyEvent event;
    event.record.vkCode = vk;
    event.record.scanCode = how;
    event.message = kMessages[how & 3];
    const int code = kCodes[(how >> 2) & 3];

    bool opened = false;
    const std::optional<DWORD> word = model.StatusWord(f, &opened);
    const bool passesLock = keypad_oracle::ShouldPass(model.hooked, word, model.mode, vk);
    const bool passOnFaulted = model.hooked && f[kCallNext].planned;
    g_belowResult = 0x5A5A0000 + eventNumber;  // a new value each time: the result must be the next hook's
    LRESULT expected = kSwallowed;
    if (passesLock) expected = !passOnFaulted ? g_belowResult : f[kCallNext].forceReturn ? LRESULT(f[kCallNext].value) : 0;

    const int belowBefore = g_belowCalls;
    const unsigned long passesBefore = simdevice::CallCount(simdevice::Call::CallNextHookEx);
    const unsigned long opensBefore = simdevice::CallCount(simdevice::Call::RegOpenKeyExW);
    const simdevice::KeyFate fate = simdevice::DeliverKeyEvent(event, code);
    const bool passedOn = simdevice::CallCount(simdevice::Call::CallNextHookEx) > passesBefore;
    const bool reachedBelow = g_belowCalls > belowBefore;

    const std::string what = "key " + Hex(vk) + " message " + Hex(event.message) + " code " +
                             std::to_string(code) + " mode " + Hex(model.mode) + " hooked " +
                             std::to_string(model.hooked) + " status " +
                             (word ? Hex(*word) : std::string("unreadable"));
    FUZZ_EXPECT(fate.result == expected, what << ": result " << fate.result << ", expected " << expected);
    FUZZ_EXPECT(passedOn == (model.hooked && passesLock), what << ": passed on by the library " << passedOn);
    FUZZ_EXPECT(reachedBelow == (passesLock && !passOnFaulted),
                what << ": reached the next hook " << reachedBelow);
    // The probe runs for every event the library sees, and only then.
    FUZZ_EXPECT(simdevice::CallCount(simdevice::Call::RegOpenKeyExW) - opensBefore == (model.hooked ? 1u : 0u),
                what << ": registry opens " << simdevice::CallCount(simdevice::Call::RegOpenKeyExW) - opensBefore);
    // A key that was opened is closed, once; one that was not, never.
    const size_t closes = model.hooked && opened ? 1 : 0;
    const std::vector<HKEY> closed = ClosedKeys();
    FUZZ_EXPECT(closed.size() == closes && (closes == 0 || closed[0] != nullptr),
                what << ": " << closed.size() << " registry keys closed, expected " << closes);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_support::UseScratchDevice("keypad-fuzz");
    if (!SetWindowsHookExW(WH_KEYBOARD_LL, BelowHook, nullptr, 0)) std::abort();
    // Loaded once and never unloaded, so libFuzzer's counters for it stay mapped.
    g_library = LoadLibraryW(simdevice::Utf8ToUtf16(TALLOWBECK_PATH).c_str());
    if (!g_library) std::abort();
    g_activate = reinterpret_cast<ActivateProc>(reinterpret_cast<void (*)()>(GetProcAddressW(g_library, u"ActivateKBHook")));
    g_deactivate =
        reinterpret_cast<DeactivateProc>(reinterpret_cast<void (*)()>(GetProcAddressW(g_library, u"DeactivateKBHook")));
    if (!g_activate || !g_deactivate) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_support::Reader in(data, size);
    fuzz_support::ForgetDeviceHistory();
    simdevice::ClearFaults();
    Model model;
    Store(model.status);  // no key: no call
    const simdevice::Resources baseline = simdevice::LiveResources();
    FUZZ_EXPECT(simdevice::HookCount() == 1, "an earlier input left a hook");

    Faults faults = {};
    long events = 0;
    for (size_t op = 0; op < kMostOperations && !in.Done(); ++op) {
        const uint8_t kind = in.Byte() % 5;
        if (kind == 4) {
            DecodeFaults(in, faults);
            continue;
        }
        Plan(faults);
        simdevice::StartRecording();
        switch (kind) {
        case 0: {
            const DWORD mode = DecodeMode(in);
            const bool want = model.Activate(mode, faults);
            const BOOL got = g_activate(mode);
            FUZZ_EXPECT(got == (want ? TRUE : FALSE), "ActivateKBHook(" << Hex(mode) << ") gave " << got);
            break;
        }
        case 1:
            FUZZ_EXPECT(g_deactivate() == TRUE, "DeactivateKBHook gave FALSE");
            model.Deactivate(faults);
            break;
        case 2:
            model.status = DecodeStatus(in);
            Store(model.status);
            break;
        case 3:
            PressKey(in, model, faults, events++);
            break;
        }
        FUZZ_EXPECT(simdevice::HookCount() == (model.hooked ? 2 : 1),
                    "after operation " << op << ": " << simdevice::HookCount() << " hooks, expected "
                                       << (model.hooked ? 2 : 1));
        simdevice::ClearFaults();
        if (faults[kRegClose].planned)
            for (HKEY key : ClosedKeys()) RegCloseKey(key);
        FUZZ_EXPECT(simdevice::LiveResources().registryKeys == baseline.registryKeys,
                    "after operation " << op << ": registry keys left open");
        faults = Faults{};
    }

    FUZZ_EXPECT(g_deactivate() == TRUE, "the last DeactivateKBHook gave FALSE");
    const simdevice::Resources left = simdevice::LiveResources();
    FUZZ_EXPECT(simdevice::HookCount() == 1 && left.hooks == baseline.hooks &&
                    left.registryKeys == baseline.registryKeys &&
                    left.moduleReferences == baseline.moduleReferences,
                "after the last deactivation: " << simdevice::Describe(left) << ", expected "
                                                << simdevice::Describe(baseline));
    return 0;
}
