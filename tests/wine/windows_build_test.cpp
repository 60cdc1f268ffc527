// The Windows build's files as a loader sees them: what each imports, and
// what the keypad library exports under which ordinal.
#include "WineDevice.h"

#include <regex>
#include <set>

using namespace wine_test;

namespace {

const char kObjdump[] = "x86_64-w64-mingw32-objdump";

std::string Headers(const std::string &file) {
    auto output = RunToEnd({kObjdump, "-p", (WindowsBinDir() / file).string()});
    EXPECT_EQ(output.status, 0) << file;
    return output.text;
}

std::set<std::string> Imports(const std::string &file) {
    std::set<std::string> dlls;
    const std::string text = Headers(file);
    const std::regex line(R"(DLL Name: (\S+))");
    for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it) dlls.insert((*it)[1]);
    return dlls;
}

// Exported names with their ordinals.
std::map<std::string, int> Exports(const std::string &file) {
    const std::string text = Headers(file);
    std::map<std::string, int> exports;
    std::smatch base;
    if (!std::regex_search(text, base, std::regex(R"(Ordinal Base\s+(\d+))"))) return exports;
    const size_t table = text.find("[Ordinal/Name Pointer] Table");
    if (table == std::string::npos) return exports;
    const std::string names = text.substr(table, text.find("\n\n", table) - table);
    const std::regex entry(R"(\[\s*(\d+)\] (\S+))");
    for (std::sregex_iterator it(names.begin(), names.end(), entry), end; it != end; ++it)
        exports[(*it)[2]] = std::stoi((*it)[1]) + std::stoi(base[1]);
    return exports;
}

class WindowsBuild : public testing::Test {
protected:
    void SetUp() override {
        std::optional<std::string> missing;
        if (RunToEnd({kObjdump, "--version"}).status != 0)
            missing = std::string("missing ") + kObjdump + ": install the Debian package binutils-mingw-w64-x86-64";
        else if (!fs::exists(WindowsBinDir() / "vespertin.exe"))
            missing = "missing the Windows build in " + WindowsBinDir().string() +
                      ": install g++-mingw-w64-x86-64, then cmake --preset windows && cmake --build --preset windows";
        if (missing && RunningUnderCi()) FAIL() << *missing;
        if (missing) GTEST_SKIP() << *missing;
    }
};

// Only system DLLs and our coredll.dll: no compiler runtime DLL to ship.
TEST_F(WindowsBuild, DeliverablesImportOnlySystemDllsAndCoredll) {
    const std::set<std::string> allowed = {"KERNEL32.dll", "USER32.dll", "ADVAPI32.dll", "SHELL32.dll",
                                           "msvcrt.dll", "coredll.dll"};
    for (const char *file : {"vespertin.exe", "tallowbeck.dll", "coredll.dll"}) {
        const auto imports = Imports(file);
        EXPECT_FALSE(imports.empty()) << file;
        for (const auto &dll : imports) EXPECT_TRUE(allowed.count(dll)) << file << " imports " << dll;
    }
    EXPECT_TRUE(Imports("vespertin.exe").count("coredll.dll"));
}

TEST_F(WindowsBuild, KeypadLibraryExportsExactlyItsTwoFunctionsByOrdinal) {
    EXPECT_EQ(Exports("tallowbeck.dll"), (std::map<std::string, int>{{"ActivateKBHook", 1}, {"DeactivateKBHook", 2}}));
}

// The names the keypad library binds at run time, and the device calls the
// daemon imports, are all there.
TEST_F(WindowsBuild, CoredllExportsWhatTheDeliverablesCall) {
    const auto exports = Exports("coredll.dll");
    for (const char *name : {"CreateMsgQueue", "ReadMsgQueue", "CloseMsgQueue", "RequestPowerNotifications",
                             "StopPowerNotifications", "NKDbgPrintfW", "GetProcAddressW", "SetWindowsHookExW",
                             "CallNextHookEx", "UnhookWindowsHookEx"})
        EXPECT_TRUE(exports.count(name)) << name;
}

}  // namespace
