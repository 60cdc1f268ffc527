// The registry: opening keys, reading values, and what a read reports when
// the value does not fit or is not there.
#include "Cases.h"

#include <cstring>
#include <exception>
#include <string>

namespace {

using namespace conformance;

const WCHAR *const kKey = TEXT("Software\\Conformance\\Phone \u00e9");

void KeysOpenOnlyWhenTheyExist() {
    HKEY key = NULL;
    struct Case {
        const char *what;
        const WCHAR *subKey;
        DWORD options;
        LONG result;
    } cases[] = {
        {"an existing key", kKey, 0, ERROR_SUCCESS},
        {"in other case", TEXT("SOFTWARE\\conformance\\PHONE \u00e9"), 0, ERROR_SUCCESS},
        {"a missing key", TEXT("Software\\Conformance\\Missing"), 0, ERROR_FILE_NOT_FOUND},
        {"options the device reserves", kKey, 1, ERROR_INVALID_PARAMETER},
    };
    for (const Case &c : cases) {
        key = NULL;
        const LONG result = RegOpenKeyExW(HKEY_LOCAL_MACHINE, c.subKey, c.options, KEY_READ, &key);
        ok(result == c.result, "%s: %ld, expected %ld", c.what, (long)result, (long)c.result);
        ok((key != NULL) == (c.result == ERROR_SUCCESS), "%s: a key only on success", c.what);
        if (key != NULL) ok(RegCloseKey(key) == ERROR_SUCCESS, "%s: closes", c.what);
    }
    differs_on(Side::Wine, "Wine's registry records nothing for the tests")
        ok(device::LastArgument(platform_calls::Call::RegOpenKeyExW, 3) == uintptr_t(KEY_READ),
           "the access a caller asks for is recorded");
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key);
    ok(RegCloseKey(key) == ERROR_SUCCESS && RegCloseKey(key) == ERROR_INVALID_HANDLE, "a key closes once");
}

void ValuesReadAsTheyWereWritten() {
    HKEY key = NULL;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key);
    struct Case {
        const char *what;
        const WCHAR *value;
        DWORD size;
        bool data;
        LONG result;
        DWORD type, reported;
    } cases[] = {
        {"a word into a word", TEXT("Status"), 4, true, ERROR_SUCCESS, REG_DWORD, 4},
        {"the name in other case", TEXT("STATUS"), 4, true, ERROR_SUCCESS, REG_DWORD, 4},
        {"a word into two bytes", TEXT("Status"), 2, true, ERROR_MORE_DATA, REG_DWORD, 4},
        {"only the size", TEXT("Status"), 0, false, ERROR_SUCCESS, REG_DWORD, 4},
        {"two bytes into a word", TEXT("Short"), 4, true, ERROR_SUCCESS, REG_BINARY, 2},
        {"a missing value", TEXT("Missing"), 4, true, ERROR_FILE_NOT_FOUND, 0, 4},
    };
    for (const Case &c : cases) {
        DWORD type = 0, size = c.size;
        unsigned char data[8] = {0};
        const LONG result = RegQueryValueExW(key, c.value, NULL, &type, c.data ? data : NULL, &size);
        ok(result == c.result, "%s: %ld, expected %ld", c.what, (long)result, (long)c.result);
        if (c.result == ERROR_FILE_NOT_FOUND) continue;
        ok(type == c.type && size == c.reported, "%s: type %lu, size %lu", c.what, (unsigned long)type,
           (unsigned long)size);
        if (c.result == ERROR_SUCCESS && c.data && c.type == REG_DWORD) {
            DWORD word;
            std::memcpy(&word, data, 4);
            ok(word == 0x20000000, "%s: 0x%08lx", c.what, (unsigned long)word);
        }
    }
    DWORD reserved = 0, word = 0, size = 4;
    ok(RegQueryValueExW(key, TEXT("Status"), &reserved, NULL, reinterpret_cast<LPBYTE>(&word), &size) ==
           ERROR_INVALID_PARAMETER,
       "the reserved argument must be null");
    RegCloseKey(key);
}

// The device's part in the tests writes as the platform would, and a write
// the registry refuses (a key name part of 300 characters; the device allows
// 255, Wine 256) is reported, never taken for done.
void RefusedWritesAreReported() {
    const std::basic_string<WCHAR> tooLong = TEXT("Software\\Conformance\\") + std::basic_string<WCHAR>(300, WCHAR('k'));
    bool reported = false;
    try {
        device::SetDword(tooLong.c_str(), TEXT("Status"), 1);
    } catch (const std::exception &) {
        reported = true;
    }
    ok(reported, "a refused registry write is reported");
}

}  // namespace

void conformance::RegistryCases() {
    device::SetDword(kKey, TEXT("Status"), 0x20000000);
    device::SetBinary(kKey, TEXT("Short"), std::string("\x40\x00", 2));
    KeysOpenOnlyWhenTheyExist();
    ValuesReadAsTheyWereWritten();
    RefusedWritesAreReported();
    device::DeleteKey(TEXT("Software\\Conformance"));
    differs_on(Side::Wine, "Wine keeps no accounting") ok(device::LiveHandles() == 0, "every key closed");
}
