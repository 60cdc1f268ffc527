// The keypad lock's decision table as an oracle, written from the table and
// not from the library: whether a key event goes on, for the phone status as
// the registry holds it, the mode and the key. With it, the phone statuses
// the registry can hold, each stored as the radio stack would. Shared by the
// filter's tests and the soaks (on the simulated device and under Wine), so
// that every key they play is judged by the same table.
#pragma once

#include <windows.h>

#include "DeviceFacts.h"
#include "KeypadRule.h"

#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace keypad_oracle {

// How the phone status is stored for one case.
struct StatusCase {
    const char *name;
    enum Kind { kDword, kRaw, kMissingKey, kMissingValue } kind;
    DWORD word = 0;      // kDword
    DWORD type = 0;      // kRaw
    std::string bytes;   // kRaw
};

inline StatusCase Dword(const char *name, DWORD word) { return {name, StatusCase::kDword, word, 0, {}}; }
inline StatusCase Missing(const char *name, StatusCase::Kind kind) { return {name, kind, 0, 0, {}}; }
inline StatusCase Raw(const char *name, DWORD type, std::string bytes) {
    return {name, StatusCase::kRaw, 0, type, std::move(bytes)};
}

inline std::vector<StatusCase> StatusCases() {
    using namespace device_facts;
    static const char *const kBitNames[32] = {
        "Bit00", "Bit01", "Bit02", "Bit03", "Bit04", "Bit05", "Bit06", "Bit07", "Bit08", "Bit09", "Bit10",
        "Bit11", "Bit12", "Bit13", "Bit14", "Bit15", "Bit16", "Bit17", "Bit18", "Bit19", "Bit20", "Bit21",
        "Bit22", "Bit23", "Bit24", "Bit25", "Bit26", "Bit27", "Bit28", "Bit29", "Bit30", "Bit31"};
    // Every single bit: the four call bits and all their neighbours.
    std::vector<StatusCase> cases;
    for (int bit = 0; bit < 32; ++bit) cases.push_back(Dword(kBitNames[bit], DWORD(1) << bit));
    cases.push_back(Dword("Idle", 0));
    cases.push_back(Dword("AllBits", 0xFFFFFFFF));
    cases.push_back(Dword("AllButCallBits", ~kCallStateMask));
    cases.push_back(Dword("TalkingWithNeighbours", kPhoneTalking | 0x8000 | 0x10000000 | 0x40000000 | 0x2000 | 0x1000));
    cases.push_back(Missing("MissingKey", StatusCase::kMissingKey));
    cases.push_back(Missing("MissingValue", StatusCase::kMissingValue));
    // The type is not examined: whatever fits in the word is the word.
    cases.push_back(Raw("Binary2BytesOnHold", REG_BINARY, std::string("\x00\x40", 2)));
    cases.push_back(Raw("Binary2BytesZero", REG_BINARY, std::string("\x00\x00", 2)));
    cases.push_back(Raw("Binary1Byte", REG_BINARY, std::string("\xFF", 1)));
    cases.push_back(Raw("Binary3BytesRinging", REG_BINARY, std::string("\x00\x00\x01", 3)));
    cases.push_back(Raw("String4BytesOnHold", REG_SZ, std::string("\x00\x40\x00\x00", 4)));
    cases.push_back(Raw("String4BytesText", REG_SZ, std::string("1\0" "2\0", 4)));
    cases.push_back(Raw("StringLongTalking", REG_SZ, std::string("\x00\x00\x00\x20\x00\x00", 6)));
    cases.push_back(Raw("EmptyBinary", REG_BINARY, std::string()));
    return cases;
}

// The word the probe can read: a value of up to four bytes, zero-extended
// (little-endian); nothing when the key or value is missing or too large.
inline std::optional<DWORD> ReadableWord(const StatusCase &status) {
    switch (status.kind) {
    case StatusCase::kDword:
        return status.word;
    case StatusCase::kRaw: {
        if (status.bytes.size() > 4) return std::nullopt;
        DWORD word = 0;
        for (size_t i = 0; i < status.bytes.size(); ++i) word |= DWORD(static_cast<unsigned char>(status.bytes[i])) << (8 * i);
        return word;
    }
    default:
        return std::nullopt;
    }
}

// The table (KeypadRule.h), for a status word the probe could read or none.
inline bool ShouldPass(std::optional<DWORD> word, DWORD mode, DWORD vk) {
    return word && KEYPAD_RULE_PASSES(*word, mode, vk);
}
// With the lock active or not: a key passes whenever no lock hook runs.
inline bool ShouldPass(bool active, std::optional<DWORD> word, DWORD mode, DWORD vk) {
    return !active || ShouldPass(word, mode, vk);
}

// Stores STATUS as the radio stack would, through REGISTRY's three calls on
// the phone's key: Set(value name, type, bytes), DeleteValue(name) and
// DeleteKey(). The value names are ASCII.
template <typename Registry>
void Store(const StatusCase &status, Registry &&registry) {
    const auto word = [](DWORD value) { return std::string(reinterpret_cast<const char *>(&value), sizeof value); };
    switch (status.kind) {
    case StatusCase::kDword:
        registry.Set(DEVICE_PHONE_STATUS_VALUE, REG_DWORD, word(status.word));
        break;
    case StatusCase::kRaw:
        registry.Set(DEVICE_PHONE_STATUS_VALUE, status.type, status.bytes);
        break;
    case StatusCase::kMissingKey:
        registry.DeleteKey();
        break;
    case StatusCase::kMissingValue:
        registry.Set("OtherValue", REG_DWORD, word(device_facts::kPhoneTalking));
        registry.DeleteValue(DEVICE_PHONE_STATUS_VALUE);
        break;
    }
}

}  // namespace keypad_oracle

#if __has_include(<simdevice/device.h>)
#include <simdevice/device.h>

namespace keypad_oracle {

// The phone's key in the simulated device's registry.
struct DeviceRegistry {
    const std::u16string key = u"" DEVICE_PHONE_KEY;
    void Set(const char *name, DWORD type, const std::string &bytes) const {
        simdevice::SetRegistryValue(key, simdevice::Utf8ToUtf16(name), type, bytes);
    }
    void DeleteValue(const char *name) const { simdevice::DeleteRegistryValue(key, simdevice::Utf8ToUtf16(name)); }
    void DeleteKey() const { simdevice::DeleteRegistryKey(key); }
};

inline void StoreOnDevice(const StatusCase &status) { Store(status, DeviceRegistry{}); }

}  // namespace keypad_oracle
#endif
