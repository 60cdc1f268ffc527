// The platform's conformance suite as a PE program under Wine, against the
// desktop coredll.dll with Wine's own DLLs behind it: the same cases the
// simulated device passes (tests/conformance).
#include "WineDevice.h"

using namespace wine_test;

namespace {

class ConformanceUnderWine : public WineTest {};

TEST_F(ConformanceUnderWine, EveryCasePassesOrIsAMarkedDifference) {
    const fs::path built = WindowsBinDir().parent_path() / "tests";
    for (const char *file : {"platform_conformance.exe", "refuses_attach.dll"})
        fs::copy_file(built / file, Program(file), fs::copy_options::overwrite_existing);
    const fs::path debugOutput = Dir() / "debug.txt";
    auto output = RunToEnd(Wine("platform_conformance.exe"), {{"COREDLL_DEBUG_OUTPUT", WindowsPath(debugOutput)}});
    EXPECT_EQ(output.status, 0) << output.text;
    EXPECT_NE(output.text.find("Wine: "), std::string::npos) << output.text;
    EXPECT_NE(output.text.find(" 0 failed"), std::string::npos) << output.text;
    std::printf("%s", output.text.c_str());
}

}  // namespace
