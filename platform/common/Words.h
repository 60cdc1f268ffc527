// Text as words, and words as the argument or environment list a program is
// started with: one way for the stand-in, the tools and the tests. No
// streams, so that the small Wine programs stay small.
#pragma once

#include <string>
#include <vector>

namespace words {

// TEXT's words, separated by blanks (spaces, tabs, line ends).
inline std::vector<std::string> Split(const std::string &text) {
    std::vector<std::string> found;
    const char *blanks = " \t\r\n";
    for (size_t start = text.find_first_not_of(blanks); start != std::string::npos;) {
        const size_t end = text.find_first_of(blanks, start);
        found.push_back(text.substr(start, end - start));
        start = end == std::string::npos ? end : text.find_first_not_of(blanks, end);
    }
    return found;
}

// STRINGS as the null-terminated list exec and spawn take; it points into
// STRINGS, which must outlive it unchanged.
inline std::vector<char *> Pointers(std::vector<std::string> &strings) {
    std::vector<char *> pointers;
    for (std::string &s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace words
