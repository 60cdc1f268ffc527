// WatchPowerNotifications over arbitrary streams of power broadcasts, with
// faults planned on the platform calls it makes. A model written here from
// the input alone (queue depth, mask, message size, which faults end what)
// says how many launches and refreshes must follow, what the debug channel
// shows, and what is released; the run must agree, and leave nothing behind.
//
// The broadcasts come in bursts. Before each of the watcher's waits, bursts
// are posted until the queue holds something: time passes only while the
// watcher sleeps, so a burst larger than the queue loses what does not fit.
// A queue that reads keep failing on gets a few waits before time passes
// anyway. When every burst is out and the queue is empty (or stuck), that
// wait fails and the watcher ends.
//
// Input: a fault count byte (% 9), three bytes per fault (function % 13,
// call number % 6 with 0 for every call, outcome), then bursts: a count byte
// (% 12), and per broadcast a selector byte (Message: bits 0-2, Flags: bits
// 3-4, length: bits 5-7) and the bytes the selector asks for.
#include "DeviceFacts.h"
#include "FuzzSupport.h"

#include <vespertin.h>

#include <msgqueue.h>
#include <pm.h>

#include <dlfcn.h>

#include <cstring>
#include <deque>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr DWORD kSubscribedKinds = PBT_TRANSITION | PBT_RESUME | PBT_POWERINFOCHANGE;
constexpr size_t kQueueDepth = 4;
constexpr DWORD kMessageBytes = 536;
constexpr DWORD kUnattended = device_facts::kPowerStateUnattended;
constexpr int kWaitsForAStuckQueue = 3;
constexpr DWORD kNoTimeLimit = 0xFFFFFFFF;
// The real wait is bounded so that a queue the model thinks full but is
// empty shows as a wrong count, not as a hang.
constexpr DWORD kRealWaitMilliseconds = 2000;

enum Function {
    kCreateMsgQueue, kRequestPowerNotifications, kWait, kLocalAlloc, kReadMsgQueue, kLocalFree,
    kStopPowerNotifications, kCloseMsgQueue, kGetModuleHandle, kGetModuleFileName, kShellExecute, kFindWindow,
    kUpdateWindow, kFunctionCount
};
using simdevice::Call;
const Call kCalls[kFunctionCount] = {
    Call::CreateMsgQueue, Call::RequestPowerNotifications, Call::WaitForMultipleObjects, Call::LocalAlloc,
    Call::ReadMsgQueue, Call::LocalFree, Call::StopPowerNotifications, Call::CloseMsgQueue, Call::GetModuleHandleW,
    Call::GetModuleFileNameW, Call::ShellExecuteEx, Call::FindWindowW, Call::UpdateWindow};
const char *Name(Function f) { return platform_calls::Name(kCalls[f]); }

struct Fault {
    Function function;
    unsigned call;  // 1-based among this run's calls; 0: every call
    bool forceReturn;
    DWORD value;  // the error, or the value returned
};

struct Broadcast {
    DWORD message;
    DWORD flags;
    std::string bytes;  // as posted; Message and Flags are its first 8 bytes when it has them
};

struct Scenario {
    std::vector<Fault> faults;
    std::vector<std::vector<Broadcast>> bursts;
};

// ---- input ----------------------------------------------------------------

Fault DecodeFault(fuzz_support::Reader &in) {
    static const DWORD kErrors[] = {ERROR_NOT_ENOUGH_MEMORY, ERROR_INVALID_HANDLE, 0, 0xdead,
                                    0xFFFFFFFF, ERROR_INVALID_PARAMETER, ERROR_ACCESS_DENIED, ERROR_TIMEOUT};
    static const DWORD kWaitResults[] = {0, 1, 0x80, 0x102, 0xFFFFFFFF, 0, 2, 0x7FFFFFFF};
    static const DWORD kPathCounts[] = {0, 1, 13, 200, 254, 255, 256, 300};
    Fault fault{};
    fault.function = Function(in.Byte() % kFunctionCount);
    fault.call = in.Byte() % 6;
    const uint8_t outcome = in.Byte();
    // Only these two calls have a result other than failure to force.
    fault.forceReturn = (outcome & 8) && (fault.function == kWait || fault.function == kGetModuleFileName);
    if (fault.forceReturn) {
        fault.value = fault.function == kWait ? kWaitResults[outcome & 7] : kPathCounts[outcome & 7];
    } else {
        fault.value = kErrors[outcome & 7];
    }
    return fault;
}

Broadcast DecodeBroadcast(fuzz_support::Reader &in) {
    static const DWORD kMessages[] = {PBT_TRANSITION, PBT_TRANSITION, PBT_RESUME, PBT_POWERINFOCHANGE,
                                      PBT_POWERSTATUSCHANGE, PBT_SUSPENDKEYPRESSED, PBT_TRANSITION | PBT_RESUME, 0};
    static const DWORD kFlags[] = {kUnattended, POWER_STATE_ON, 0, 0};
    const uint8_t selector = in.Byte();
    Broadcast b{};
    b.message = (selector & 7) == 7 ? in.Word() : kMessages[selector & 7];
    b.flags = ((selector >> 3) & 3) == 3 ? in.Word() : kFlags[(selector >> 3) & 3];
    size_t nameUnits = 0;
    size_t length = 0;
    switch (selector >> 5) {
    case 0: length = 14; break;                                     // empty state name
    case 1: nameUnits = in.Byte(); length = 14 + 2 * nameUnits; break;  // up to 524 bytes
    case 2: length = in.Byte() % 12; break;                         // shorter than the header
    case 3: length = kMessageBytes; break;                          // just fits
    case 4: length = kMessageBytes + 1 + in.Byte(); break;          // past the limit
    case 5: length = 8; break;                                      // Message and Flags only
    case 6: length = kMessageBytes - 1; break;
    case 7: nameUnits = in.Byte(); length = 14 + 2 * nameUnits + 256; break;  // either side of the limit
    }
    const DWORD nameBytes = DWORD(2 * (nameUnits + 1));
    std::string record(12, '\0');
    std::memcpy(&record[0], &b.message, 4);
    std::memcpy(&record[4], &b.flags, 4);
    std::memcpy(&record[8], &nameBytes, 4);
    for (size_t i = 0; i < nameUnits; ++i) record += std::string("S\0", 2);
    record.resize(length, '\0');
    b.bytes = record;
    return b;
}

Scenario Decode(const uint8_t *data, size_t size) {
    fuzz_support::Reader in(data, size);
    Scenario s;
    for (int n = in.Byte() % 9; n > 0; --n) s.faults.push_back(DecodeFault(in));
    while (!in.Done()) {
        std::vector<Broadcast> burst;
        for (int n = in.Byte() % 12; n > 0; --n) burst.push_back(DecodeBroadcast(in));
        s.bursts.push_back(std::move(burst));
    }
    return s;
}

// ---- the model ------------------------------------------------------------

struct PostResult {
    int delivered = 0;
    int dropped = 0;
};

struct Expected {
    std::string debug;
    bool queueMade = false;
    bool subscribed = false;
    int launches = 0;
    int refreshes = 0;
    // Bursts (by index) posted before each wait; the run ends at the last
    // wait, through a planned fault or, when this is set, as its time is up.
    std::vector<std::vector<size_t>> postsBeforeWait;
    bool timeUp = false;
    std::vector<std::vector<PostResult>> postResults;  // per burst, per broadcast
    unsigned calls[kFunctionCount] = {};
    int blocksLeft = 0;  // buffers the platform refused to free
    bool stopRefused = false;
    bool closeRefused = false;
};

// The platform's rule for planned faults: the first one planned for the
// function that names this call (or every call) applies.
const Fault *FaultFor(const Scenario &s, Function function, unsigned call) {
    for (const Fault &f : s.faults)
        if (f.function == function && (f.call == 0 || f.call == call)) return &f;
    return nullptr;
}

std::string Hex(DWORD value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", value);
    return text;
}

Expected Model(const Scenario &s) {
    Expected e;
    e.postResults.resize(s.bursts.size());
    auto call = [&](Function f) { return FaultFor(s, f, ++e.calls[f]); };
    if (const Fault *f = call(kCreateMsgQueue)) {
        e.debug = "CreateMsgQueue failed: " + Hex(f->value) + "\n";
        return e;
    }
    e.queueMade = true;
    if (const Fault *f = call(kRequestPowerNotifications)) {
        e.debug = "RequestPowerNotifications failed: " + Hex(f->value) + "\n";
    } else {
        e.subscribed = true;
        std::deque<Broadcast> queue;
        size_t next = 0;
        int waitsSincePost = 0;
        auto post = [&](size_t burst) {
            for (const Broadcast &b : s.bursts[burst]) {
                PostResult r;
                if ((b.message & kSubscribedKinds) == 0) {
                    // not the watcher's kind: not even offered to its queue
                } else if (queue.size() >= kQueueDepth || b.bytes.size() > kMessageBytes) {
                    r.dropped = 1;
                } else {
                    queue.push_back(b);
                    r.delivered = 1;
                }
                e.postResults[burst].push_back(r);
            }
        };
        for (;;) {
            // Time passes while the watcher sleeps on an empty queue, or
            // after a few waits on a queue it cannot empty.
            std::vector<size_t> posted;
            const bool stuck = !queue.empty() && waitsSincePost >= kWaitsForAStuckQueue;
            if (stuck && next < s.bursts.size()) post(next), posted.push_back(next++);
            while (queue.empty() && next < s.bursts.size()) post(next), posted.push_back(next++);
            if (!posted.empty()) waitsSincePost = 0;
            e.postsBeforeWait.push_back(posted);
            if (next == s.bursts.size() && (queue.empty() || stuck)) {
                e.timeUp = true;
                break;
            }
            ++waitsSincePost;
            const Fault *waitFault = call(kWait);
            if (waitFault && !(waitFault->forceReturn && waitFault->value == 0)) break;  // only WAIT_OBJECT_0 goes on
            const bool heap = call(kLocalAlloc) == nullptr;
            // Reads until one fails: an empty queue, or a planned failure that leaves the message queued.
            while (call(kReadMsgQueue) == nullptr && !queue.empty()) {
                const Broadcast b = queue.front();
                queue.pop_front();
                if (b.bytes.size() < 8) continue;  // Message and Flags unknown: nothing to act on
                if (b.message != PBT_TRANSITION) {
                    ++e.refreshes;
                } else if (b.flags & kUnattended) {
                    ++e.launches;
                }
            }
            if (heap && call(kLocalFree)) ++e.blocksLeft;
        }
        e.stopRefused = call(kStopPowerNotifications) != nullptr;
    }
    e.closeRefused = call(kCloseMsgQueue) != nullptr;
    return e;
}

// ---- the run ----------------------------------------------------------------

// What the watcher did, as noted by the definitions below.
struct Observed {
    const Scenario *scenario = nullptr;
    const Expected *expected = nullptr;
    HANDLE queue = nullptr;
    HANDLE notification = nullptr;
    std::string cleanup;  // Stop and Close calls, in order
    unsigned waits = 0;
    std::set<void *> blocks;  // live LocalAlloc blocks
};
Observed g_run;

template <typename Function>
Function Real(const char *name) {
    static_assert(sizeof(Function) == sizeof(void *));
    void *symbol = dlsym(RTLD_NEXT, name);
    if (!symbol) fuzz_support::Fail(__FILE__, __LINE__, std::string("no ") + name + " in the stand-in");
    return reinterpret_cast<Function>(symbol);
}

}  // namespace

// These take the stand-in's place for the watcher, note what it asked for,
// and pass each call on, so that planned faults still apply.

extern "C" HANDLE WINAPI CreateMsgQueue(LPCWSTR name, LPMSGQUEUEOPTIONS options) {
    static auto real = Real<HANDLE (*)(LPCWSTR, LPMSGQUEUEOPTIONS)>("CreateMsgQueue");
    FUZZ_EXPECT(name == nullptr && options != nullptr && options->dwSize == sizeof(MSGQUEUEOPTIONS) &&
                    options->dwFlags == MSGQUEUE_NOPRECOMMIT && options->dwMaxMessages == kQueueDepth &&
                    options->cbMaxMessage == kMessageBytes && options->bReadAccess == TRUE,
                "the watcher's queue options");
    HANDLE queue = real(name, options);
    if (queue) g_run.queue = queue;
    return queue;
}

extern "C" HANDLE WINAPI RequestPowerNotifications(HANDLE queue, DWORD mask) {
    static auto real = Real<HANDLE (*)(HANDLE, DWORD)>("RequestPowerNotifications");
    FUZZ_EXPECT(queue == g_run.queue && mask == kSubscribedKinds, "subscription of mask 0x" << Hex(mask));
    HANDLE notification = real(queue, mask);
    if (notification) g_run.notification = notification;
    return notification;
}

extern "C" DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL waitAll, DWORD ms) {
    static auto real = Real<DWORD (*)(DWORD, const HANDLE *, BOOL, DWORD)>("WaitForMultipleObjects");
    FUZZ_EXPECT(count == 1 && handles && handles[0] == g_run.queue && !waitAll && ms == kNoTimeLimit,
                "the watcher waits on its queue alone, without time limit");
    const Expected &e = *g_run.expected;
    const size_t wait = g_run.waits++;
    FUZZ_EXPECT(wait < e.postsBeforeWait.size(), "wait " << wait + 1 << " after the run should have ended");
    for (size_t burst : e.postsBeforeWait[wait]) {
        const auto &broadcasts = g_run.scenario->bursts[burst];
        for (size_t i = 0; i < broadcasts.size(); ++i) {
            const Broadcast &b = broadcasts[i];
            simdevice::BroadcastResult r = simdevice::PostRawPowerMessage(b.message, b.bytes);
            const PostResult &want = e.postResults[burst][i];
            FUZZ_EXPECT(r.delivered == want.delivered && r.dropped == want.dropped,
                        "broadcast " << i << " of burst " << burst << " (Message 0x" << Hex(b.message) << ", "
                                     << b.bytes.size() << " bytes): delivered " << r.delivered << " dropped "
                                     << r.dropped << ", expected " << want.delivered << " and " << want.dropped);
        }
    }
    if (wait + 1 == e.postsBeforeWait.size() && e.timeUp) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return real(count, handles, waitAll, kRealWaitMilliseconds);
}

extern "C" BOOL WINAPI ReadMsgQueue(HANDLE queue, LPVOID buffer, DWORD size, LPDWORD bytes, DWORD ms, DWORD *flags) {
    static auto real = Real<BOOL (*)(HANDLE, LPVOID, DWORD, LPDWORD, DWORD, DWORD *)>("ReadMsgQueue");
    FUZZ_EXPECT(queue == g_run.queue && buffer && size == kMessageBytes && bytes && flags && ms == 0,
                "reads of the watcher's queue never wait, into a buffer of 536 bytes");
    return real(queue, buffer, size, bytes, ms, flags);
}

extern "C" HLOCAL WINAPI LocalAlloc(UINT flags, UINT bytes) {
    static auto real = Real<HLOCAL (*)(UINT, UINT)>("LocalAlloc");
    HLOCAL block = real(flags, bytes);
    if (block) g_run.blocks.insert(block);
    return block;
}

extern "C" HLOCAL WINAPI LocalFree(HLOCAL block) {
    static auto real = Real<HLOCAL (*)(HLOCAL)>("LocalFree");
    HLOCAL left = real(block);
    if (!left) g_run.blocks.erase(block);
    return left;
}

extern "C" DWORD WINAPI StopPowerNotifications(HANDLE notification) {
    static auto real = Real<DWORD (*)(HANDLE)>("StopPowerNotifications");
    FUZZ_EXPECT(notification == g_run.notification, "stopped a subscription that is not the watcher's");
    g_run.cleanup += "Stop ";
    return real(notification);
}

extern "C" BOOL WINAPI CloseMsgQueue(HANDLE queue) {
    static auto real = Real<BOOL (*)(HANDLE)>("CloseMsgQueue");
    FUZZ_EXPECT(queue == g_run.queue, "closed a queue that is not the watcher's");
    g_run.cleanup += "Close ";
    return real(queue);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_support::UseScratchDevice("power-watcher-fuzz");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const Scenario scenario = Decode(data, size);
    const Expected expected = Model(scenario);

    fuzz_support::ForgetDeviceHistory();
    simdevice::ClearFaults();
    for (const Fault &f : scenario.faults) {
        if (f.forceReturn) simdevice::ForceReturn(Name(f.function), f.value, int(f.call));
        else simdevice::FailCall(Name(f.function), f.value, int(f.call));
    }
    // Launches go where there is no lock application: the request is what counts.
    simdevice::ForceModulePath(u"/nonexistent/vespertin.exe", 0);
    unsigned long before[kFunctionCount];
    for (int f = 0; f < kFunctionCount; ++f) before[f] = simdevice::CallCount(kCalls[f]);
    const simdevice::Resources baseline = simdevice::LiveResources();
    g_run = Observed{};
    g_run.scenario = &scenario;
    g_run.expected = &expected;

    WatchPowerNotifications();

    auto made = [&](Function f) { return simdevice::CallCount(kCalls[f]) - before[f]; };
    FUZZ_EXPECT(made(kShellExecute) == unsigned(expected.launches),
                made(kShellExecute) << " launches, expected " << expected.launches);
    FUZZ_EXPECT(made(kUpdateWindow) == unsigned(expected.refreshes),
                made(kUpdateWindow) << " refreshes, expected " << expected.refreshes);
    FUZZ_EXPECT(made(kGetModuleFileName) == unsigned(expected.launches) &&
                    made(kFindWindow) == unsigned(expected.refreshes),
                "each launch and refresh looks up its path or window once");
    for (Function f : {kCreateMsgQueue, kRequestPowerNotifications, kWait, kLocalAlloc, kReadMsgQueue, kLocalFree,
                       kStopPowerNotifications, kCloseMsgQueue}) {
        FUZZ_EXPECT(made(f) == expected.calls[f],
                    Name(f) << " called " << made(f) << " times, expected " << expected.calls[f]);
    }
    FUZZ_EXPECT(g_run.waits == expected.postsBeforeWait.size(),
                g_run.waits << " waits, expected " << expected.postsBeforeWait.size());
    FUZZ_EXPECT(simdevice::DebugOutput() == expected.debug,
                "debug output \"" << simdevice::DebugOutput() << "\", expected \"" << expected.debug << "\"");
    const std::string cleanup =
        std::string(expected.subscribed ? "Stop " : "") + (expected.queueMade ? "Close " : "");
    FUZZ_EXPECT(g_run.cleanup == cleanup, "clean-up \"" << g_run.cleanup << "\", expected \"" << cleanup << "\"");

    // Left over: only what the platform refused to release.
    simdevice::Resources left = simdevice::LiveResources();
    FUZZ_EXPECT(left.handles - baseline.handles == int(expected.stopRefused) + int(expected.closeRefused) &&
                    left.subscriptions - baseline.subscriptions == int(expected.stopRefused) &&
                    left.allocations - baseline.allocations == expected.blocksLeft &&
                    g_run.blocks.size() == size_t(expected.blocksLeft),
                "left over: " << simdevice::Describe(left) << ", expected " << expected.blocksLeft
                              << " buffers, stop refused " << expected.stopRefused << ", close refused "
                              << expected.closeRefused);
    simdevice::ClearFaults();
    if (expected.stopRefused) Real<DWORD (*)(HANDLE)>("StopPowerNotifications")(g_run.notification);
    if (expected.closeRefused) Real<BOOL (*)(HANDLE)>("CloseMsgQueue")(g_run.queue);
    for (void *block : g_run.blocks) Real<HLOCAL (*)(HLOCAL)>("LocalFree")(block);
    left = simdevice::LiveResources();
    FUZZ_EXPECT(left.handles == baseline.handles && left.subscriptions == baseline.subscriptions &&
                    left.allocations == baseline.allocations && simdevice::LivePowerSubscriptions() == 0,
                "still held after releasing what the platform refused: " << simdevice::Describe(left));
    g_run = Observed{};
    return 0;
}
