// A conformance suite of the platform's semantics, in the style of Wine's
// conformance tests: written once against the platform headers and run
// unchanged on both stand-ins, the simulated device (libcoredll.so) and
// Wine (coredll.dll with Wine's own DLLs behind it).
//
//   ok(condition, "what was expected, %d", value);
//   differs_on(Side::Wine, "why") ok(...);   // a known difference, marked
//
// A check inside differs_on is expected to fail on that side: it still
// runs, its failure is counted as a known difference with its reason, and
// a pass there fails the run, so a mark cannot outlive its difference.
#pragma once

#include <cstdio>
#include <string>

namespace conformance {

enum class Side { SimulatedDevice, Wine };
// The side this program was built for.
Side ThisSide();
const char *SideName(Side side);

void Check(bool passed, const char *file, int line, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

// Sets the expectation for the checks of one statement.
class KnownDifference {
public:
    KnownDifference(Side side, const char *reason);
    ~KnownDifference();
    bool Once() { return first_ && !(first_ = false); }

private:
    bool first_ = true;
};

// An area's name, for the report; runs it.
void RunArea(const char *name, void (*area)());
// Prints the totals; the number of unexpected results.
int Summary();

}  // namespace conformance

#define ok(condition, ...) ::conformance::Check(bool(condition), __FILE__, __LINE__, __VA_ARGS__)
#define differs_on(side, reason) for (::conformance::KnownDifference known_(side, reason); known_.Once();)
