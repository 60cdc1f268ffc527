// The values people type to the tools, each with the range of its kind, so
// that the device tool, the client stand-in and the power-manager tool under
// Wine accept and refuse the same words. Plain C++17 with no platform
// headers: it is built by the host compiler and by mingw-w64.
//
// Numbers are decimal or 0x-hexadecimal (no octal: "010" is ten), with no
// sign, no spaces and nothing after them.
#pragma once

#include <chrono>
#include <charconv>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "Numbers.h"

namespace argument_values {

// What each kind accepts, in the words the help and the errors use.
inline const char kDwordRule[] = "a DWORD: 0 to 0xFFFFFFFF, decimal or 0x-hexadecimal";
inline const char kCountRule[] = "a count: a whole number from 1 to 2147483647";
inline const char kSecondsRule[] = "a number of seconds from 0.001 to 86400, e.g. 2 or 0.5";

constexpr uint64_t kMostDword = 0xFFFFFFFFu;
constexpr uint64_t kMostCount = 0x7FFFFFFFu;
constexpr std::chrono::milliseconds kShortestWait{1};
constexpr std::chrono::milliseconds kLongestWait{86400 * 1000};

using numbers::WholeNumber;

// The error every rule gives: "'TEXT' is not RULE".
[[noreturn]] inline void Refuse(const std::string &text, const std::string &rule) {
    throw std::invalid_argument("'" + text + "' is not " + rule);
}

inline uint32_t Dword(const std::string &text) {
    const auto value = WholeNumber(text, kMostDword);
    if (!value) Refuse(text, kDwordRule);
    return uint32_t(*value);
}

inline int Count(const std::string &text) {
    const auto value = WholeNumber(text, kMostCount);
    if (!value || *value == 0) Refuse(text, kCountRule);
    return int(*value);
}

// Digits with an optional fraction; "inf", "nan", signs and exponents are
// not seconds anyone means.
inline std::chrono::milliseconds Seconds(const std::string &text) {
    const size_t point = text.find('.');
    const std::string whole = text.substr(0, point);
    const std::string fraction = point == std::string::npos ? "" : text.substr(point + 1);
    const auto digits = [](const std::string &part) {
        return part.find_first_not_of("0123456789") == std::string::npos;
    };
    if (whole.empty() || !digits(whole) || !digits(fraction) || (point != std::string::npos && fraction.empty()))
        Refuse(text, kSecondsRule);
    double seconds = 0;
    std::from_chars(text.data(), text.data() + text.size(), seconds);
    const std::chrono::milliseconds wait{static_cast<long long>(seconds * 1000 + 0.5)};
    if (wait < kShortestWait || wait > kLongestWait) Refuse(text, kSecondsRule);
    return wait;
}

}  // namespace argument_values
