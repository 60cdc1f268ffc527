// Numbers as people and plans write them: decimal or 0x-hexadecimal, with
// no sign, no spaces and nothing after them (no octal: "010" is ten). One
// rule for fault plans and for every tool.
#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>

namespace numbers {

// TEXT as a whole number no greater than MOST, or nothing.
inline std::optional<uint64_t> WholeNumber(const std::string &text, uint64_t most) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char *first = text.data() + (hex ? 2 : 0);
    const char *last = text.data() + text.size();
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(first, last, value, hex ? 16 : 10);
    if (first == last || error != std::errc() || end != last || value > most) return std::nullopt;
    return value;
}

}  // namespace numbers
