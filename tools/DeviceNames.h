// Names people type for keys, key messages and phone states, shared by the
// device tool and the client stand-in so that both understand the same words.
#pragma once

#include <simdevice/device.h>

#include <cctype>
#include <cstdio>
#include <map>
#include <stdexcept>
#include <string>

namespace device_names {

inline const std::u16string kPhoneKey = u"System\\State\\Phone";
inline const std::u16string kPhoneStatusValue = u"Status";

using simdevice::ParseNumber;

// F1..F24, Enter, a letter or digit, or a number.
inline DWORD KeyCode(const std::string &name) {
    if (name.size() >= 2 && (name[0] == 'F' || name[0] == 'f') && std::isdigit(static_cast<unsigned char>(name[1])))
        return VK_F1 + ParseNumber(name.substr(1)) - 1;
    if (name == "Enter" || name == "ENTER" || name == "enter" || name == "RETURN") return VK_RETURN;
    if (name.size() == 1 && std::isalnum(static_cast<unsigned char>(name[0])))
        return DWORD(std::toupper(static_cast<unsigned char>(name[0])));
    return ParseNumber(name);
}

inline std::string KeyName(DWORD vk) {
    if (vk >= VK_F1 && vk <= VK_F1 + 23) return "F" + std::to_string(vk - VK_F1 + 1);
    if (vk == VK_RETURN) return "Enter";
    if ((vk >= '0' && vk <= '9') || (vk >= 'A' && vk <= 'Z')) return std::string(1, char(vk));
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%02x", vk);
    return hex;
}

inline const std::map<std::string, WPARAM> kKeyMessages = {
    {"down", WM_KEYDOWN}, {"up", WM_KEYUP}, {"sysdown", WM_SYSKEYDOWN}, {"sysup", WM_SYSKEYUP}};

inline std::string KeyMessageName(WPARAM message) {
    for (const auto &[name, value] : kKeyMessages)
        if (value == message) return name;
    return "?";
}

// One key event; key-up messages carry the up flag, as the platform's do.
inline simdevice::KeyEvent MakeKeyEvent(const std::string &key, const std::string &direction) {
    auto it = kKeyMessages.find(direction);
    if (it == kKeyMessages.end()) throw std::invalid_argument("key direction: down, up, sysdown or sysup");
    simdevice::KeyEvent event;
    event.record.vkCode = KeyCode(key);
    event.message = it->second;
    if (event.message == WM_KEYUP || event.message == WM_SYSKEYUP) event.record.flags = LLKHF_UP;
    return event;
}

// idle, talking, connecting, ringing, hold, or a number.
inline DWORD PhoneStatus(const std::string &name) {
    static const std::map<std::string, DWORD> states = {
        {"idle", 0}, {"talking", 0x20000000}, {"connecting", 0x00020000}, {"ringing", 0x00010000}, {"hold", 0x00004000}};
    auto it = states.find(name);
    return it != states.end() ? it->second : ParseNumber(name);
}

}  // namespace device_names
