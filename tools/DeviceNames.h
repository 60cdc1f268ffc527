// Names people type for keys, key messages and phone states, shared by the
// device tool and the client stand-in so that both understand the same words.
// Each parser throws std::invalid_argument saying what it accepts.
#pragma once

#include <windows.h>

#include "ArgumentValues.h"
#include "DeviceFacts.h"
#include "TimelineEvents.h"

#include <cctype>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

#include <fmt/format.h>

namespace device_names {

inline const char kKeyRule[] =
    "a key: F1 to F24, Enter, a letter or digit, or a virtual-key code 0 to 0xFF";
inline const char kKeyMessageRule[] = "a key message: down, up, sysdown or sysup";
inline const char kPhoneStatusRule[] =
    "a phone status: idle, talking, connecting, ringing, hold, none, or a DWORD (0 to 0xFFFFFFFF)";

inline std::string Lower(std::string text) {
    for (char &c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// F1..F24 (any case), Enter or Return, a single letter or digit (that key),
// or a virtual-key code.
inline DWORD KeyCode(const std::string &name) {
    const std::string lower = Lower(name);
    if (lower.size() >= 2 && lower[0] == 'f' && std::isdigit(static_cast<unsigned char>(lower[1]))) {
        const auto number = argument_values::WholeNumber(lower.substr(1), 24);
        if (!number || *number == 0) argument_values::Refuse(name, kKeyRule);
        return VK_F1 + DWORD(*number) - 1;
    }
    if (lower == "enter" || lower == "return") return VK_RETURN;
    if (name.size() == 1 && std::isalnum(static_cast<unsigned char>(name[0])))
        return DWORD(std::toupper(static_cast<unsigned char>(name[0])));
    const auto code = argument_values::WholeNumber(name, 0xFF);
    if (!code) argument_values::Refuse(name, kKeyRule);
    return DWORD(*code);
}

inline std::string KeyName(DWORD vk) {
    if (vk >= VK_F1 && vk <= VK_F1 + 23) return fmt::format("F{}", vk - VK_F1 + 1);
    if (vk == VK_RETURN) return "Enter";
    if ((vk >= '0' && vk <= '9') || (vk >= 'A' && vk <= 'Z')) return std::string(1, char(vk));
    return fmt::format("{:#04x}", vk);
}

inline const std::map<std::string, WPARAM> kKeyMessages = {
    {"down", WM_KEYDOWN}, {"up", WM_KEYUP}, {"sysdown", WM_SYSKEYDOWN}, {"sysup", WM_SYSKEYUP}};

inline WPARAM KeyMessage(const std::string &name) {
    const auto it = kKeyMessages.find(name);
    if (it == kKeyMessages.end()) argument_values::Refuse(name, kKeyMessageRule);
    return it->second;
}

inline std::string KeyMessageName(WPARAM message) {
    for (const auto &[name, value] : kKeyMessages)
        if (value == message) return name;
    return "?";
}

// Every event the device's timeline writes (TimelineEvents.h), as
// `simdevice wait` takes them.
inline std::string TimelineEventNames() {
    std::string names;
    for (const char *name : timeline::kNames) names += (names.empty() ? "" : " ") + std::string(name);
    return names;
}

inline std::string TimelineEvent(const std::string &name) {
    if (timeline::EventNamed(name)) return name;
    throw std::invalid_argument(
        fmt::format("'{}' is not an event the timeline writes (one of: {})", name, TimelineEventNames()));
}

// idle, talking, connecting, ringing, hold, or a DWORD; none (no value) is
// nothing.
inline std::optional<DWORD> PhoneStatus(const std::string &name) {
    static const std::map<std::string, DWORD> states = {
        {"idle", 0},
        {"talking", device_facts::kPhoneTalking},
        {"connecting", device_facts::kPhoneConnecting},
        {"ringing", device_facts::kPhoneRinging},
        {"hold", device_facts::kPhoneOnHold}};
    if (name == "none") return std::nullopt;
    if (const auto it = states.find(name); it != states.end()) return it->second;
    if (const auto value = argument_values::WholeNumber(name, argument_values::kMostDword)) return DWORD(*value);
    argument_values::Refuse(name, kPhoneStatusRule);
}

}  // namespace device_names
