// The debug channel's formatting, as the daemon's two messages use it.
#include "Cases.h"

#include <functional>

namespace {

using namespace conformance;

void FormatsLikeTheDevice() {
    struct Case {
        const char *expected;
        std::function<void()> print;
    } cases[] = {
        {"dead", [] { NKDbgPrintfW(TEXT("%x"), 0xdeadu); }},
        {"DEAD", [] { NKDbgPrintfW(TEXT("%X"), 0xdeadu); }},
        {"ffffffff", [] { NKDbgPrintfW(TEXT("%x"), 0xFFFFFFFFu); }},
        {"12345678", [] { NKDbgPrintfW(TEXT("%lx"), 0x12345678u); }},
        {"-42", [] { NKDbgPrintfW(TEXT("%d"), -42); }},
        {"4294967295", [] { NKDbgPrintfW(TEXT("%u"), 0xFFFFFFFFu); }},
        {"wide \xe6\x97\xa5\xe6\x9c\xac \xc3\xa9", [] { NKDbgPrintfW(TEXT("%s"), TEXT("wide \u65e5\u672c \u00e9")); }},
        {"0000beef", [] { NKDbgPrintfW(TEXT("%08x"), 0xbeefu); }},
        {"   42|", [] { NKDbgPrintfW(TEXT("%5d|"), 42); }},
        {"42   |", [] { NKDbgPrintfW(TEXT("%-5d|"), 42); }},
        {"A", [] { NKDbgPrintfW(TEXT("%c"), 'A'); }},
        {"(null)", [] { NKDbgPrintfW(TEXT("%s"), static_cast<const WCHAR *>(NULL)); }},
        {"100%", [] { NKDbgPrintfW(TEXT("100%%")); }},
        {"CreateMsgQueue failed: 57\n", [] { NKDbgPrintfW(TEXT("CreateMsgQueue failed: %x\n"), 87u); }},
        {"RequestPowerNotifications failed: 5aa\n",
         [] { NKDbgPrintfW(TEXT("RequestPowerNotifications failed: %x\n"), 1450u); }},
    };
    std::string before = device::DebugText();
    for (const Case &c : cases) {
        c.print();
        const std::string all = device::DebugText();
        const std::string text = all.size() >= before.size() ? all.substr(before.size()) : all;
        ok(text == c.expected, "printed '%s', expected '%s'", text.c_str(), c.expected);
        before = all;
    }
}

}  // namespace

void conformance::DebugCases() { FormatsLikeTheDevice(); }
