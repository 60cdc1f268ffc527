// Wide text: UTF-8 and UTF-16, and numbers typed as text.
#include "Text.h"

#include <simdevice/device.h>


namespace simdevice {
using namespace internal;

std::u16string Utf8ToUtf16(const std::string &text) {
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        char32_t code;
        int extra;
        if (c < 0x80) { code = c; extra = 0; }
        else if ((c & 0xE0) == 0xC0) { code = c & 0x1F; extra = 1; }
        else if ((c & 0xF0) == 0xE0) { code = c & 0x0F; extra = 2; }
        else if ((c & 0xF8) == 0xF0) { code = c & 0x07; extra = 3; }
        else { out += u'\uFFFD'; ++i; continue; }
        if (i + size_t(extra) >= text.size() + (extra == 0)) { out += u'\uFFFD'; break; }
        for (int k = 1; k <= extra; ++k) code = (code << 6) | (static_cast<unsigned char>(text[i + size_t(k)]) & 0x3F);
        i += size_t(extra) + 1;
        if (code >= 0x10000) {
            code -= 0x10000;
            out += char16_t(0xD800 + (code >> 10));
            out += char16_t(0xDC00 + (code & 0x3FF));
        } else {
            out += char16_t(code);
        }
    }
    return out;
}

std::string Utf16ToUtf8(const std::u16string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t code = text[i];
        if (code >= 0xD800 && code < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
        }
        if (code < 0x80) {
            out += char(code);
        } else if (code < 0x800) {
            out += char(0xC0 | (code >> 6));
            out += char(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += char(0xE0 | (code >> 12));
            out += char(0x80 | ((code >> 6) & 0x3F));
            out += char(0x80 | (code & 0x3F));
        } else {
            out += char(0xF0 | (code >> 18));
            out += char(0x80 | ((code >> 12) & 0x3F));
            out += char(0x80 | ((code >> 6) & 0x3F));
            out += char(0x80 | (code & 0x3F));
        }
    }
    return out;
}

std::string Utf16ToUtf8(const WCHAR *text) { return Utf16ToUtf8(FromWide(text)); }

namespace internal {

std::u16string FromWide(const WCHAR *text) { return text ? std::u16string(text) : std::u16string(); }

std::string Narrow(const WCHAR *text) { return Utf16ToUtf8(FromWide(text)); }

std::u16string FoldCase(std::u16string text) {
    for (auto &c : text)
        if (c >= u'A' && c <= u'Z') c = char16_t(c - u'A' + u'a');
    return text;
}

}  // namespace internal

}  // namespace simdevice
