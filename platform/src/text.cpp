// Wide text: UTF-8/UTF-16 conversion, coredll's 16-bit string routines and
// the kernel debug channel.
#include "internal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>

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

namespace {

// Appends one conversion of the debug format to OUT.
void FormatConversion(std::u16string &out, char16_t conversion, bool leftAlign, bool zeroPad, int width,
                      bool halfWord, va_list &args) {
    std::u16string body;
    char digits[32];
    switch (conversion) {
    case u'd':
    case u'i': {
        int value = va_arg(args, int);
        if (halfWord) value = short(value);
        std::snprintf(digits, sizeof digits, "%d", value);
        body = Utf8ToUtf16(digits);
        break;
    }
    case u'u':
    case u'x':
    case u'X': {
        // Device longs are 32 bits: 'l' changes nothing here.
        unsigned value = va_arg(args, unsigned);
        if (halfWord) value &= 0xFFFF;
        std::snprintf(digits, sizeof digits, conversion == u'u' ? "%u" : conversion == u'x' ? "%x" : "%X", value);
        body = Utf8ToUtf16(digits);
        break;
    }
    case u'p':
        std::snprintf(digits, sizeof digits, "%p", va_arg(args, void *));
        body = Utf8ToUtf16(digits);
        break;
    case u'c':
        body = char16_t(va_arg(args, int));
        break;
    case u's': {
        const WCHAR *text = va_arg(args, const WCHAR *);
        body = text ? FromWide(text) : u"(null)";
        break;
    }
    default:
        body = u'%';
        body += conversion;
        break;
    }
    std::u16string padding(body.size() < size_t(width) ? size_t(width) - body.size() : 0, zeroPad && !leftAlign ? u'0' : u' ');
    out += leftAlign ? body + padding : padding + body;
}

std::u16string FormatDebug(const WCHAR *format, va_list &args) {
    std::u16string out;
    for (const WCHAR *p = format; p && *p; ++p) {
        if (*p != u'%') {
            out += char16_t(*p);
            continue;
        }
        ++p;
        if (*p == u'%') {
            out += u'%';
            continue;
        }
        bool leftAlign = false, zeroPad = false, halfWord = false;
        for (; *p == u'-' || *p == u'0'; ++p) (*p == u'-' ? leftAlign : zeroPad) = true;
        int width = 0;
        for (; *p >= u'0' && *p <= u'9'; ++p) width = width * 10 + (*p - u'0');
        for (; *p == u'l' || *p == u'h'; ++p) halfWord = *p == u'h';
        if (!*p) break;
        FormatConversion(out, char16_t(*p), leftAlign, zeroPad, width, halfWord, args);
    }
    return out;
}

}  // namespace
}  // namespace simdevice

using namespace simdevice;
using namespace simdevice::internal;

extern "C" {

char16_t *simdevice_wcsstr(const char16_t *text, const char16_t *search) {
    if (!*search) return const_cast<char16_t *>(text);
    for (; *text; ++text) {
        size_t i = 0;
        while (search[i] && text[i] == search[i]) ++i;
        if (!search[i]) return const_cast<char16_t *>(text);
    }
    return nullptr;
}

char16_t *simdevice_wcsncpy(char16_t *destination, const char16_t *source, size_t count) {
    size_t i = 0;
    for (; i < count && source[i]; ++i) destination[i] = source[i];
    for (; i < count; ++i) destination[i] = 0;  // pads, as the C library does
    return destination;
}

void NKDbgPrintfW(LPCWSTR format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = Utf16ToUtf8(FormatDebug(format, args));
    va_end(args);
    int fd = open(DevicePath("debug").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        (void)!write(fd, text.data(), text.size());
        close(fd);
    }
    Log("debug", {{"text", text}});
}

}  // extern "C"
