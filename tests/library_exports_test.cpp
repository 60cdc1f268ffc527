// The library exports what its definition file names and nothing else:
// clients bind by name, and anything more would be reachable by them too.
#include "KeyboardLockTest.h"

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

using namespace keyboard_lock;

namespace {

// Names after the EXPORTS line of the definition file.
std::set<std::string> DefinitionExports(const std::string &path) {
    std::ifstream file(path);
    EXPECT_TRUE(file) << path;
    std::set<std::string> names;
    bool inExports = false;
    for (std::string line; std::getline(file, line);) {
        std::istringstream words(line);
        std::string first;
        if (!(words >> first) || first[0] == ';') continue;
        if (first == "EXPORTS") inExports = true;
        else if (inExports) names.insert(first);
    }
    return names;
}

// Symbols the shared object's dynamic table defines.
std::set<std::string> DefinedDynamicSymbols(const std::string &path) {
    std::set<std::string> names;
    FILE *pipe = popen(("nm -D --defined-only '" + path + "'").c_str(), "r");
    EXPECT_NE(pipe, nullptr);
    if (!pipe) return names;
    char line[512];
    while (std::fgets(line, sizeof line, pipe)) {
        std::istringstream words(line);
        std::string address, type, name;
        if (words >> address >> type >> name) names.insert(name);
    }
    EXPECT_EQ(pclose(pipe), 0);
    return names;
}

TEST(LibraryExports, DynamicSymbolsAreExactlyTheDefinitionFileExports) {
    const std::set<std::string> expected = DefinitionExports(TALLOWBECK_DEF_FILE);
    EXPECT_EQ(expected, (std::set<std::string>{"ActivateKBHook", "DeactivateKBHook"}));
    EXPECT_EQ(DefinedDynamicSymbols(testing_support::BinaryPath("tallowbeck.dll")), expected);
}

TEST_F(KeyboardLockTest, OnlyTheExportsBindByName) {
    const char16_t *const internals[] = {u"KeyboardHookProc", u"IsPhoneCallActive", u"g_hookState", u"DllMain",
                                         u"CurrentMode", u"activatekbhook"};
    for (const char16_t *name : internals) {
        SCOPED_TRACE(simdevice::Utf16ToUtf8(name));
        SetLastError(0);
        EXPECT_EQ(GetProcAddressW(library_, name), nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));
    }
}

}  // namespace
