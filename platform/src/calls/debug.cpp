// The kernel debug channel: NKDbgPrintfW's formatting, to the device's
// debug file and log.
#include <simdevice/device.h>

#include "../host/Files.h"
#include "../host/Layout.h"
#include "../host/Text.h"

#include <cstdarg>
#include <cstdio>

namespace simdevice {
using namespace internal;

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

void NKDbgPrintfW(LPCWSTR format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = Utf16ToUtf8(FormatDebug(format, args));
    va_end(args);
    AppendToFile(DevicePath("debug"), text);
    Log(timeline::Event::Debug, {{"text", text}});
}

}  // extern "C"
