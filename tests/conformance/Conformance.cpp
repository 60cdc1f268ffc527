#include "Conformance.h"

#include <cstdarg>

namespace conformance {

namespace {

struct Expectation {
    bool differs = false;  // a failure on this side is the known difference
    const char *reason = "";
};
Expectation g_expectation;
const char *g_area = "";
int g_checks = 0, g_failures = 0, g_differences = 0;

void Report(const char *verdict, const char *file, int line, const char *format, va_list arguments) {
    const char *base = file;
    for (const char *p = file; *p; ++p)
        if (*p == '/' || *p == '\\') base = p + 1;
    std::printf("%s:%d: %s: %s: ", base, line, g_area, verdict);
    std::vprintf(format, arguments);
    std::printf("\n");
}

}  // namespace

#ifdef _WIN32
Side ThisSide() { return Side::Wine; }
#else
Side ThisSide() { return Side::SimulatedDevice; }
#endif

const char *SideName(Side side) { return side == Side::Wine ? "Wine" : "simulated device"; }

void Check(bool passed, const char *file, int line, const char *format, ...) {
    ++g_checks;
    va_list arguments;
    va_start(arguments, format);
    if (g_expectation.differs && !passed) {
        ++g_differences;
        Report((std::string("known difference (") + g_expectation.reason + ")").c_str(), file, line, format, arguments);
    } else if (g_expectation.differs) {
        ++g_failures;
        Report((std::string("passed, but marked as a known difference (") + g_expectation.reason + "): remove the mark")
                   .c_str(),
               file, line, format, arguments);
    } else if (!passed) {
        ++g_failures;
        Report("FAILED", file, line, format, arguments);
    }
    va_end(arguments);
}

KnownDifference::KnownDifference(Side side, const char *reason) {
    g_expectation.differs = side == ThisSide();
    g_expectation.reason = reason;
}

KnownDifference::~KnownDifference() { g_expectation = Expectation(); }

void RunArea(const char *name, void (*area)()) {
    g_area = name;
    const int failuresBefore = g_failures;
    area();
    std::printf("%-28s %s\n", name, g_failures == failuresBefore ? "ok" : "FAILED");
}

int Summary() {
    std::printf("%s: %d checks, %d failed, %d known differences\n", SideName(ThisSide()), g_checks, g_failures,
                g_differences);
    return g_failures;
}

}  // namespace conformance
