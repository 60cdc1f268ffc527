// The simulated device's libcoredll.so exports exactly the listed platform
// calls and the control interface: a call that device code could reach but
// the device lacks would let a test pass that the device would fail.
#include <platform_calls.h>

#include <gtest/gtest.h>

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <sstream>
#include <string>

namespace {

using platform_calls::kListed;

// C runtime routines: the host's C library serves the byte ones; the 16-bit
// wide-text ones are the stand-in's, under a name of their own.
const std::set<std::string> kHostLibraryCalls = {"memset"};
const std::set<std::string> kWideTextCalls = {"wcsstr", "wcsncpy"};
// The control interface's only C function.
const char kControlFunction[] = "SetLastError";

std::set<std::string> DefinedDynamicSymbols(const std::string &path) {
    std::set<std::string> names;
    FILE *pipe = popen(("nm -D --defined-only '" + path + "'").c_str(), "r");
    EXPECT_NE(pipe, nullptr);
    if (!pipe) return names;
    char line[4096];
    while (std::fgets(line, sizeof line, pipe)) {
        std::istringstream words(line);
        std::string address, type, name;
        if (words >> address >> type >> name) names.insert(name);
    }
    EXPECT_EQ(pclose(pipe), 0);
    return names;
}

std::string Demangled(const std::string &symbol) {
    int status = 0;
    std::unique_ptr<char, void (*)(void *)> text(abi::__cxa_demangle(symbol.c_str(), nullptr, nullptr, &status), std::free);
    return status == 0 ? text.get() : symbol;
}

TEST(PlatformExports, AreTheListedCallsAndTheControlInterface) {
    std::set<std::string> expected = {kControlFunction};
    for (const auto &call : kListed) {
        if (kHostLibraryCalls.count(call.name)) continue;
        expected.insert(kWideTextCalls.count(call.name) ? std::string("simdevice_") + call.name : call.name);
    }
    std::set<std::string> plain;
    for (const std::string &symbol : DefinedDynamicSymbols(SIMDEVICE_CORE_LIBRARY)) {
        if (symbol.rfind("_Z", 0) != 0) {
            plain.insert(symbol);
            continue;
        }
        // C++: the control interface, and nothing of the stand-in's insides.
        const std::string name = Demangled(symbol);
        EXPECT_TRUE(name.rfind("simdevice::", 0) == 0 && std::isupper(static_cast<unsigned char>(name[11])))
            << name;
    }
    EXPECT_EQ(plain, expected);
}

TEST(PlatformExports, HostLibraryAndWideTextCallsAreListedAsSuch) {
    std::set<std::string> listed;
    for (const auto &call : kListed) listed.insert(call.name);
    for (const auto &name : kHostLibraryCalls) EXPECT_TRUE(listed.count(name)) << name;
    for (const auto &name : kWideTextCalls) EXPECT_TRUE(listed.count(name)) << name;
}

}  // namespace
