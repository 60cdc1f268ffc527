// LaunchLockApp over arbitrary module paths: ASan watches the 256-character
// buffer, and the file handed to ShellExecuteEx must be the one an oracle
// written here (not the launcher's code) derives from the path.
//
// Input: one byte of plan, then the path as a list of pieces.
//   plan & 3:  0, 1  the query reports the path (ForceModulePath)
//              2     the query fails
//              3     the query returns a count (next two bytes, mod 300) and writes nothing
//   plan & 4:  GetModuleHandleW fails as well
//   pieces (byte % 8): 0 "vespertin.exe", 1 '/', 2 '\\', 3 a run of one character
//   (count byte, character byte), 4 one raw UTF-16 unit (two bytes, NUL included),
//   5 a near miss of the daemon's name, 6 a surrogate pair, 7 "Harrowcastle.exe".
#include "FuzzSupport.h"

#include <vespertin.h>

#include <shellapi.h>

#include <string>

namespace {

const std::u16string kDaemonName = u"vespertin.exe";
const std::u16string kLockAppName = u"Harrowcastle.exe";
constexpr size_t kBufferChars = 256;
constexpr size_t kQueryChars = 255;
constexpr size_t kLongestPath = 400;  // well past the buffer

// What ShellExecuteEx was handed, copied while the launcher's buffer lives.
struct Launch {
    int calls = 0;
    SHELLEXECUTEINFO record{};
    std::u16string file, verb, parameters, directory;
    bool fileNull = false, verbNull = false, parametersNull = false, directoryNull = false;
};
Launch g_launch;

std::u16string Copy(const WCHAR *text, bool *isNull) {
    *isNull = text == nullptr;
    return text ? std::u16string(text) : std::u16string();
}

}  // namespace

// Takes the stand-in's place: nothing is started, the request is what counts.
extern "C" BOOL WINAPI ShellExecuteEx(LPSHELLEXECUTEINFO info) {
    ++g_launch.calls;
    g_launch.record = *info;
    g_launch.file = Copy(info->lpFile, &g_launch.fileNull);
    g_launch.verb = Copy(info->lpVerb, &g_launch.verbNull);
    g_launch.parameters = Copy(info->lpParameters, &g_launch.parametersNull);
    g_launch.directory = Copy(info->lpDirectory, &g_launch.directoryNull);
    return TRUE;
}

namespace {

enum class Query { kPath, kFail, kCount };

struct Input {
    Query query = Query::kPath;
    bool moduleHandleFails = false;
    DWORD count = 0;
    std::u16string path;
};

Input Decode(const uint8_t *data, size_t size) {
    fuzz_support::Reader in(data, size);
    Input input;
    const uint8_t plan = in.Byte();
    input.query = (plan & 3) == 2 ? Query::kFail : (plan & 3) == 3 ? Query::kCount : Query::kPath;
    input.moduleHandleFails = (plan & 4) != 0;
    if (input.query == Query::kCount) input.count = in.Unit() % 300;
    static const char16_t kRunCharacters[] = {u'a', u'd', u'.', u' ', u'\u00e9', u'\u65e5', u'\xd800', u'\xdfff',
                                              u'\xfffe', u'/', u'\\', u'V', u'v', u'e', u'x', u'\x7f'};
    static const std::u16string kNearMisses[] = {u"VESPERTIN.EXE", u"Vespertin.exe", u"vespertin.ex",
                                                  u"espertin.exe", u"vespertin.exe.bak", u"vespertin", u".exe",
                                                  u"vespertin\u00e9.exe"};
    while (!in.Done() && input.path.size() < kLongestPath) {
        switch (in.Byte() % 8) {
        case 0: input.path += kDaemonName; break;
        case 1: input.path += u'/'; break;
        case 2: input.path += u'\\'; break;
        case 3: {
            size_t count = in.Byte();
            input.path.append(count, kRunCharacters[in.Byte() % 16]);
            break;
        }
        case 4: input.path += char16_t(in.Unit()); break;
        case 5: input.path += kNearMisses[in.Byte() % 8]; break;
        case 6: input.path += u"\U0001F600"; break;
        case 7: input.path += kLockAppName; break;
        }
    }
    if (input.path.size() > kLongestPath) input.path.resize(kLongestPath);
    return input;
}

// The oracle. The query fills a zeroed 256-character buffer with at most
// 255 characters (terminated only when the path is shorter) and reports a
// count; the launcher then decides:
//  - a count of 0, or of 254 and more (the path may be cut: a platform may
//    cut it and still terminate it within the capacity), gives the bare
//    name, which the shell looks for in the system folder;
//  - otherwise, in the text up to the first NUL, the first "vespertin.exe"
//    that starts at index 239 or lower is replaced, with the rest cut off;
//  - failing that, the lock application's name goes in place of the file
//    name (after the last '/' or '\'), if that starts at 239 or lower;
//  - failing that, the bare name.
std::u16string ExpectedFile(const Input &input) {
    std::u16string buffer(kBufferChars, u'\0');
    DWORD reported = 0;
    switch (input.query) {
    case Query::kFail: reported = 0; break;
    case Query::kCount: reported = input.count; break;
    case Query::kPath:
        if (input.path.size() < kQueryChars) {
            buffer.replace(0, input.path.size(), input.path);
            reported = DWORD(input.path.size());
        } else {
            buffer.replace(0, kQueryChars, input.path.substr(0, kQueryChars));
            reported = DWORD(kQueryChars);
        }
        break;
    }
    if (reported == 0 || reported >= kQueryChars - 1) return kLockAppName;
    const std::u16string text = buffer.substr(0, buffer.find(u'\0'));
    const size_t lastIndex = kBufferChars - (kLockAppName.size() + 1);  // 239
    const size_t match = text.find(kDaemonName);
    if (match != std::u16string::npos && match <= lastIndex) return text.substr(0, match) + kLockAppName;
    const size_t separator = text.find_last_of(u"/\\");
    const size_t fileName = separator == std::u16string::npos ? 0 : separator + 1;
    if (fileName <= lastIndex) return text.substr(0, fileName) + kLockAppName;
    return kLockAppName;
}

std::string Show(const std::u16string &text) {
    std::string out;
    for (char16_t c : text) {
        if (c >= 0x20 && c < 0x7f) {
            out += char(c);
        } else {
            char escaped[12];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned(c));
            out += escaped;
        }
    }
    return "\"" + out + "\" (" + std::to_string(text.size()) + " units)";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_support::UseScratchDevice("launcher-fuzz");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const Input input = Decode(data, size);
    simdevice::ClearFaults();
    switch (input.query) {
    case Query::kPath: simdevice::ForceModulePath(input.path); break;
    case Query::kFail: simdevice::FailCall("GetModuleFileNameW", ERROR_INSUFFICIENT_BUFFER); break;
    case Query::kCount: simdevice::ForceReturn("GetModuleFileNameW", input.count); break;
    }
    if (input.moduleHandleFails) simdevice::FailCall("GetModuleHandleW", ERROR_MOD_NOT_FOUND);
    g_launch = Launch{};
    const unsigned long queries = simdevice::CallCount(simdevice::Call::GetModuleFileNameW);

    LaunchLockApp();

    FUZZ_EXPECT(g_launch.calls == 1, g_launch.calls << " launch requests");
    FUZZ_EXPECT(simdevice::CallCount(simdevice::Call::GetModuleFileNameW) == queries + 1, "the module path was not queried once");
    const std::u16string expected = ExpectedFile(input);
    FUZZ_EXPECT(!g_launch.fileNull && g_launch.file == expected,
                "module path " << Show(input.path) << ": started " << Show(g_launch.file) << ", expected "
                               << Show(expected));
    const SHELLEXECUTEINFO &record = g_launch.record;
    FUZZ_EXPECT(record.cbSize == sizeof(SHELLEXECUTEINFO) && record.fMask == 0 && record.hwnd == nullptr &&
                    record.nShow == SW_HIDE && record.hInstApp == nullptr && record.lpIDList == nullptr &&
                    record.lpClass == nullptr && record.hkeyClass == nullptr && record.dwHotKey == 0 &&
                    record.hIcon == nullptr && record.hProcess == nullptr,
                "the launch record is not zero-filled apart from its strings");
    FUZZ_EXPECT(!g_launch.verbNull && g_launch.verb == u"open", "verb " << Show(g_launch.verb));
    FUZZ_EXPECT(!g_launch.parametersNull && g_launch.parameters.empty() && !g_launch.directoryNull &&
                    g_launch.directory.empty(),
                "parameters and directory must be empty strings");
    return 0;
}
