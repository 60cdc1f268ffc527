// The exports called on one thread while key events run the hook on
// another, as the platform's input thread does. A change that has returned
// must decide the next event; events that overlap a change may go either way.
#include "KeyboardLockTest.h"
#include "KeypadOracle.h"

#include <atomic>
#include <sstream>
#include <thread>
#include <vector>

using namespace keyboard_lock;

namespace {

enum class Op { Activate, Deactivate };

struct Change {
    Op op;
    DWORD mode;
};

class ConcurrentChanges : public KeyboardLockTest {
protected:
    // Starting from INITIAL (the state already set up, the phone's STATUS
    // set), applies CHANGES in turn, ROUNDS times over, while another thread
    // delivers keys. Before each change a version counter turns odd, after
    // it even; an event is judged only if the version was even and the same
    // before and after it. Each change waits until at least one event has
    // been judged under it, so no change goes unchecked.
    void Run(DWORD status, const Change &initial, const std::vector<Change> &changes, int rounds) {
        std::atomic<unsigned> version{0};
        std::atomic<unsigned> judgedVersion{0};
        std::atomic<bool> done{false};
        std::vector<const Change *> applied{&initial};  // by version / 2; written before the version turns even
        applied.reserve(changes.size() * rounds + 1);
        long judged = 0;
        std::ostringstream mismatches;
        int mismatchCount = 0;

        std::thread input([&] {
            static const DWORD kKeys[] = {VK_F3, 'A', VK_F6, VK_F4, 0x20, VK_F5};
            for (unsigned i = 0; !done.load() || judgedVersion.load() != version.load(); ++i) {
                const DWORD vk = kKeys[i % 6];
                const unsigned before = version.load();
                const int belowBefore = g_below.calls;
                const simdevice::KeyFate fate = simdevice::DeliverKeyEvent(MakeEvent(vk, WM_KEYDOWN + (i & 1)));
                const bool passed = g_below.calls == belowBefore + 1;
                if (before % 2 != 0 || version.load() != before) continue;
                const Change *change = applied[before / 2];
                const bool expected =
                    keypad_oracle::ShouldPass(change->op == Op::Activate, status, change->mode, vk);
                const bool resultRight = passed ? fate.result == g_belowResult : fate.result == kSwallowed;
                if ((passed != expected || !resultRight) && ++mismatchCount <= 5)
                    mismatches << "version " << before << " vk 0x" << std::hex << vk << std::dec << " result "
                               << fate.result << (passed ? " passed" : " swallowed") << "\n";
                ++judged;
                judgedVersion.store(before);
            }
        });

        for (int round = 0; round < rounds; ++round) {
            for (const Change &change : changes) {
                const unsigned next = version.load() + 2;
                applied.push_back(&change);  // not read until the version says so
                version.store(next - 1);
                const BOOL result = change.op == Op::Activate ? activate_(change.mode) : deactivate_();
                EXPECT_EQ(result, TRUE);
                version.store(next);
                while (judgedVersion.load() != next) std::this_thread::yield();
            }
        }
        done.store(true);
        input.join();
        EXPECT_EQ(mismatchCount, 0) << mismatches.str();
        EXPECT_GE(judged, long(changes.size()) * rounds);
    }
};

TEST_F(ConcurrentChanges, ModeChangeDecidesTheNextEvent) {
    SetStatus(kTalking);
    ASSERT_EQ(activate_(1), TRUE);
    const std::vector<Change> changes = {{Op::Activate, 0}, {Op::Activate, 1}};
    Run(kTalking, {Op::Activate, 1}, changes, 200);
    EXPECT_EQ(simdevice::HookCount(), 2);
    EXPECT_EQ(simdevice::CallCount(simdevice::Call::SetWindowsHookExW), 2u);  // the hook below and one of the library's
}

// Installing and removing the hook while events flow: no event may meet a
// half-made hook, and the keypad follows each change once it has returned.
TEST_F(ConcurrentChanges, ActivationAndDeactivationWhileEventsFlow) {
    SetStatus(kRinging);
    const std::vector<Change> changes = {
        {Op::Activate, 1}, {Op::Activate, 0}, {Op::Deactivate, 0}, {Op::Activate, 0}, {Op::Deactivate, 0},
    };
    Run(kRinging, {Op::Deactivate, 0}, changes, 60);
    EXPECT_EQ(simdevice::HookCount(), 1);
    EXPECT_EQ(simdevice::LiveResources().moduleReferences, 1);
}

}  // namespace
