// A field of a record line, as the device's log and the Wine programs'
// timelines write them: fields are separated by tabs and records by line
// ends, so those and the backslash are escaped within a field.
#pragma once

#include <string>

namespace record_fields {

inline std::string Escape(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c == '\t') out += "\\t";
        else if (c == '\n') out += "\\n";
        else if (c == '\\') out += "\\\\";
        else out += c;
    }
    return out;
}

// A backslash at the very end stands for itself.
inline std::string Unescape(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            const char c = text[++i];
            out += c == 't' ? '\t' : c == 'n' ? '\n' : c;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace record_fields
