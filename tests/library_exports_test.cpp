// The library exports what its definition file names and nothing else, under
// the ordinals it gives: clients bind by name or by ordinal, and anything
// more would be reachable by them too.
#include "KeyboardLockTest.h"

#include "tallowbeck.h"

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

using namespace keyboard_lock;

namespace {

// Names after the EXPORTS line of the definition file, with their ordinals.
std::map<std::string, int> DefinitionExports(const std::string &path) {
    std::ifstream file(path);
    EXPECT_TRUE(file) << path;
    std::map<std::string, int> exports;
    bool inExports = false;
    for (std::string line; std::getline(file, line);) {
        std::istringstream words(line);
        std::string first, ordinal;
        if (!(words >> first) || first[0] == ';') continue;
        if (first == "EXPORTS") inExports = true;
        else if (inExports) exports[first] = (words >> ordinal) && ordinal[0] == '@' ? std::stoi(ordinal.substr(1)) : 0;
    }
    return exports;
}

// Symbols the shared object's dynamic table defines, with their addresses.
std::map<std::string, std::string> DefinedDynamicSymbols(const std::string &path) {
    std::map<std::string, std::string> symbols;
    FILE *pipe = popen(("nm -D --defined-only '" + path + "'").c_str(), "r");
    EXPECT_NE(pipe, nullptr);
    if (!pipe) return symbols;
    char line[512];
    while (std::fgets(line, sizeof line, pipe)) {
        std::istringstream words(line);
        std::string address, type, name;
        if (words >> address >> type >> name) symbols[name] = address;
    }
    EXPECT_EQ(pclose(pipe), 0);
    return symbols;
}

TEST(LibraryExports, DefinitionFileAndHeaderAgreeOnTheOrdinals) {
    EXPECT_EQ(DefinitionExports(TALLOWBECK_DEF_FILE),
              (std::map<std::string, int>{{"ActivateKBHook", TALLOWBECK_ACTIVATE_ORDINAL},
                                          {"DeactivateKBHook", TALLOWBECK_DEACTIVATE_ORDINAL}}));
}

// Each export once by name, and once as the alias "#N" of its ordinal at the
// same address, which is how the stand-in serves ordinals.
TEST(LibraryExports, DynamicSymbolsAreTheDefinitionFileExportsAndTheirOrdinals) {
    std::map<std::string, std::string> symbols = DefinedDynamicSymbols(testing_support::BinaryPath("tallowbeck.dll"));
    for (const auto &[name, ordinal] : DefinitionExports(TALLOWBECK_DEF_FILE)) {
        SCOPED_TRACE(name);
        const std::string alias = "#" + std::to_string(ordinal);
        ASSERT_EQ(symbols.count(name), 1u);
        ASSERT_EQ(symbols.count(alias), 1u);
        EXPECT_EQ(symbols[alias], symbols[name]);
        symbols.erase(name);
        symbols.erase(alias);
    }
    EXPECT_TRUE(symbols.empty()) << symbols.begin()->first;
}

TEST_F(KeyboardLockTest, OnlyTheExportsBindByName) {
    const char16_t *const unexported[] = {
        u"KeyboardHookProc", u"IsPhoneCallActive", u"g_hookState", u"DllMain", u"CurrentMode",
        u"activatekbhook",  // names are exact
        u"#1", u"#2",       // ordinals bind only as ordinals
        u"LoadLibraryW",    // a library the module depends on exports it, not the module
        u""};
    for (const char16_t *name : unexported) {
        SCOPED_TRACE(simdevice::Utf16ToUtf8(name));
        SetLastError(0);
        EXPECT_EQ(GetProcAddressW(library_, name), nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));
    }
}

TEST_F(KeyboardLockTest, OrdinalsBindTheExportsTheyName) {
    const struct {
        WORD ordinal;
        const char16_t *name;  // null: nothing under this ordinal
    } rows[] = {
        {TALLOWBECK_ACTIVATE_ORDINAL, u"ActivateKBHook"},
        {TALLOWBECK_DEACTIVATE_ORDINAL, u"DeactivateKBHook"},
        {0, nullptr},
        {3, nullptr},
        {0xFFFF, nullptr},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.ordinal);
        SetLastError(0);
        FARPROC byOrdinal = GetProcAddressW(library_, MAKEINTRESOURCEW(row.ordinal));
        if (row.name) {
            EXPECT_NE(byOrdinal, nullptr);
            EXPECT_EQ(byOrdinal, GetProcAddressW(library_, row.name));
        } else {
            EXPECT_EQ(byOrdinal, nullptr);
            EXPECT_EQ(GetLastError(), DWORD(ERROR_PROC_NOT_FOUND));
        }
    }
}

// A fault planned for an ordinal hits that ordinal's binding, not the name's.
TEST_F(KeyboardLockTest, FaultsNameTheOrdinalTheyHit) {
    simdevice::FailCall("GetProcAddressW:#1", ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_NE(GetProcAddressW(library_, u"ActivateKBHook"), nullptr);
    EXPECT_NE(GetProcAddressW(library_, MAKEINTRESOURCEW(2)), nullptr);
    EXPECT_EQ(GetProcAddressW(library_, MAKEINTRESOURCEW(1)), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_NE(GetProcAddressW(library_, MAKEINTRESOURCEW(1)), nullptr);
}

}  // namespace
