// The device registry: one directory per key, one file per value holding
// its type and data. Names are folded to lower case (key and value names
// ignore case) and escaped into file names, so that no name, whatever it
// holds ('.', '..', '/'), reaches outside the registry's folder. Writers
// replace a value file atomically, so a reader in another process sees
// either the old or the new value, never a mixture.
#include <simdevice/device.h>

#include "Served.h"

#include "../host/Faults.h"
#include "../host/Files.h"
#include "../host/Handles.h"
#include "../host/Layout.h"
#include "../host/Names.h"
#include "../host/Text.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <vector>

using namespace simdevice;
using namespace simdevice::internal;
namespace fs = std::filesystem;

namespace {

// The folder of HKEY_LOCAL_MACHINE, the one root the device serves.
std::string RegistryRoot() { return DevicePath("registry/HKLM"); }

// The folder of an open key, or of the root.
std::optional<std::string> KeyFolder(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE) return RegistryRoot();
    std::optional<std::string> folder;
    WithObject<RegistryKeyObject>(key, [&](const RegistryKeyObject &k) { folder = k.folder; });
    return folder;
}

// The platform's limits on a key name's parts and on a value's name.
constexpr size_t kLongestKeyName = 255;
constexpr size_t kLongestValueName = 16383;

// The parts of a key path: '\\' separates them, and empty parts (a leading,
// doubled or trailing separator) name nothing.
std::vector<std::u16string> KeyParts(const std::u16string &subKey) {
    std::vector<std::u16string> parts;
    std::u16string part;
    for (char16_t c : FoldCase(subKey) + u'\\') {
        if (c != u'\\') {
            part += c;
        } else if (!part.empty()) {
            parts.push_back(part);
            part.clear();
        }
    }
    return parts;
}

std::string KeyDirectory(const std::string &root, const std::u16string &subKey) {
    std::string path = root;
    for (const auto &part : KeyParts(subKey)) path += "/" + ObjectFileName("k", part);
    return path;
}

std::string ValueFile(const std::string &keyDirectory, const std::u16string &name) {
    return keyDirectory + "/" + ObjectFileName("v", FoldCase(name));
}

// Refuses, as the platform does, names longer than it allows.
void CheckNames(const std::u16string &key, const std::u16string &value) {
    for (const auto &part : KeyParts(key))
        if (part.size() > kLongestKeyName) throw std::invalid_argument("a key name part is longer than 255 characters");
    if (value.size() > kLongestValueName) throw std::invalid_argument("a value name is longer than 16383 characters");
}

}  // namespace

namespace simdevice {

void SetRegistryValue(const std::u16string &key, const std::u16string &name, DWORD type, const std::string &data) {
    CheckNames(key, name);
    std::string directory = KeyDirectory(RegistryRoot(), key);
    std::error_code ignored;
    fs::create_directories(directory, ignored);
    std::string contents(4, '\0');
    std::memcpy(&contents[0], &type, 4);
    WriteFileAtomically(ValueFile(directory, name), contents + data);
    std::string shown;
    if (type == REG_DWORD && data.size() == 4) {
        DWORD value = 0;
        std::memcpy(&value, data.data(), 4);
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%08x", value);
        shown = hex;
    } else {
        shown = std::to_string(data.size()) + " bytes";
    }
    Log(timeline::Event::RegistrySet, {{"key", Utf16ToUtf8(key)}, {"value", Utf16ToUtf8(name)}, {"type", std::to_string(type)}, {"data", shown}});
}

void SetRegistryDword(const std::u16string &key, const std::u16string &name, DWORD value) {
    SetRegistryValue(key, name, REG_DWORD, std::string(reinterpret_cast<const char *>(&value), 4));
}

void DeleteRegistryValue(const std::u16string &key, const std::u16string &name) {
    CheckNames(key, name);
    unlink(ValueFile(KeyDirectory(RegistryRoot(), key), name).c_str());
    Log(timeline::Event::RegistryDeleted, {{"key", Utf16ToUtf8(key)}, {"value", Utf16ToUtf8(name)}});
}

void DeleteRegistryKey(const std::u16string &key) {
    std::error_code ignored;
    CheckNames(key, u"");
    if (KeyParts(key).empty()) throw std::invalid_argument("HKEY_LOCAL_MACHINE itself cannot be deleted");
    fs::remove_all(KeyDirectory(RegistryRoot(), key), ignored);
    Log(timeline::Event::RegistryDeleted, {{"key", Utf16ToUtf8(key)}});
}

}  // namespace simdevice

// The device's options are reserved (0); the access mask is recorded, since
// the device grants any.
LONG WINAPI served::RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM /*access*/, PHKEY result) {
    if (!result || options != 0) return ERROR_INVALID_PARAMETER;
    auto root = KeyFolder(key);
    if (!root) return ERROR_INVALID_HANDLE;
    RegistryKeyObject object{KeyDirectory(*root, FromWide(subKey))};
    struct stat info{};
    if (stat(object.folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return ERROR_FILE_NOT_FOUND;
    *result = static_cast<HKEY>(AddHandle(object));
    return ERROR_SUCCESS;
}

LONG WINAPI served::RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                             LPDWORD dataSize) {
    if (reserved || (data && !dataSize)) return ERROR_INVALID_PARAMETER;
    auto directory = KeyFolder(key);
    if (!directory || key == HKEY_LOCAL_MACHINE) return ERROR_INVALID_HANDLE;
    auto contents = ReadWholeFile(ValueFile(*directory, FromWide(valueName)));
    if (!contents || contents->size() < 4) return ERROR_FILE_NOT_FOUND;
    DWORD storedType = 0;
    std::memcpy(&storedType, contents->data(), 4);
    DWORD size = DWORD(contents->size() - 4);
    if (type) *type = storedType;
    if (!data) {
        if (dataSize) *dataSize = size;
        return ERROR_SUCCESS;
    }
    if (*dataSize < size) {
        // The buffer is left as it was: its contents are undefined to the caller.
        *dataSize = size;
        return ERROR_MORE_DATA;
    }
    std::memcpy(data, contents->data() + 4, size);
    *dataSize = size;
    return ERROR_SUCCESS;
}

LONG WINAPI served::RegCloseKey(HKEY key) {
    if (!RemoveHandle<RegistryKeyObject>(key)) return ERROR_INVALID_HANDLE;
    return ERROR_SUCCESS;
}
