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

#include <cstring>
#include <deque>
#include <functional>
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

using simdevice::Call;
// The calls the daemon makes that a fault may hit, in the order an input's
// byte picks them.
const Call kCalls[] = {
    Call::CreateMsgQueue, Call::RequestPowerNotifications, Call::WaitForMultipleObjects, Call::LocalAlloc,
    Call::ReadMsgQueue, Call::LocalFree, Call::StopPowerNotifications, Call::CloseMsgQueue, Call::GetModuleHandleW,
    Call::GetModuleFileNameW, Call::ShellExecuteEx, Call::FindWindowW, Call::UpdateWindow};

struct Fault {
    Call function;
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
    fault.function = kCalls[in.Byte() % std::size(kCalls)];
    fault.call = in.Byte() % 6;
    const uint8_t outcome = in.Byte();
    // Only these two calls have a result other than failure to force.
    fault.forceReturn = (outcome & 8) && (fault.function == Call::WaitForMultipleObjects || fault.function == Call::GetModuleFileNameW);
    if (fault.forceReturn) {
        fault.value = fault.function == Call::WaitForMultipleObjects ? kWaitResults[outcome & 7] : kPathCounts[outcome & 7];
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

struct Wait {
    std::vector<size_t> bursts;  // posted before it, by index
    size_t queued = 0;           // what the queue holds then
};

struct Expected {
    std::string debug;
    bool queueMade = false;
    bool subscribed = false;
    int launches = 0;
    int refreshes = 0;
    // The run ends at the last wait, through a planned fault or, when this
    // names it (1-based among the waits), as its time is up.
    std::vector<Wait> waits;
    unsigned timeUpWait = 0;
    std::vector<std::vector<PostResult>> postResults;  // per burst, per broadcast
    unsigned calls[platform_calls::kCount] = {};
    int blocksLeft = 0;  // buffers the platform refused to free
    bool stopRefused = false;
    bool closeRefused = false;
};

// The platform's rule for planned faults: the first one planned for the
// function that names this call (or every call) applies.
const Fault *FaultFor(const Scenario &s, Call function, unsigned call) {
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
    auto call = [&](Call f) { return FaultFor(s, f, ++e.calls[int(f)]); };
    if (const Fault *f = call(Call::CreateMsgQueue)) {
        e.debug = "CreateMsgQueue failed: " + Hex(f->value) + "\n";
        return e;
    }
    e.queueMade = true;
    if (const Fault *f = call(Call::RequestPowerNotifications)) {
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
            e.waits.push_back({posted, queue.size()});
            if (next == s.bursts.size() && (queue.empty() || stuck)) {
                e.timeUpWait = ++e.calls[int(Call::WaitForMultipleObjects)];
                break;
            }
            ++waitsSincePost;
            const Fault *waitFault = call(Call::WaitForMultipleObjects);
            if (waitFault && !(waitFault->forceReturn && waitFault->value == 0)) break;  // only WAIT_OBJECT_0 goes on
            const bool heap = call(Call::LocalAlloc) == nullptr;
            // Reads until one fails: an empty queue, or a planned failure that leaves the message queued.
            while (call(Call::ReadMsgQueue) == nullptr && !queue.empty()) {
                const Broadcast b = queue.front();
                queue.pop_front();
                if (b.bytes.size() < 8) continue;  // Message and Flags unknown: nothing to act on
                if (b.message != PBT_TRANSITION) {
                    ++e.refreshes;
                } else if (b.flags & kUnattended) {
                    ++e.launches;
                }
            }
            if (heap && call(Call::LocalFree)) ++e.blocksLeft;
        }
        e.stopRefused = call(Call::StopPowerNotifications) != nullptr;
    }
    e.closeRefused = call(Call::CloseMsgQueue) != nullptr;
    return e;
}

// ---- the run ----------------------------------------------------------------

// At each call's entry, while its arguments still point to something: the
// queue options, the reads' and waits' arguments, and before each wait, the
// bursts due then. A read that would wait, or a wait on a queue that does not
// hold what the model says, fails here instead of hanging the run.
struct Watch {
    const Scenario &scenario;
    const Expected &expected;
    std::vector<uintptr_t> waitedOn;  // each wait's one handle

    void operator()(const simdevice::CallRecord &record) {
        const std::vector<uintptr_t> &a = record.arguments;
        if (record.call == Call::CreateMsgQueue) {
            const auto *options = reinterpret_cast<const MSGQUEUEOPTIONS *>(a[1]);
            FUZZ_EXPECT(a[0] == 0 && options != nullptr && options->dwSize == sizeof(MSGQUEUEOPTIONS) &&
                            options->dwFlags == MSGQUEUE_NOPRECOMMIT && options->dwMaxMessages == kQueueDepth &&
                            options->cbMaxMessage == kMessageBytes && options->bReadAccess == TRUE,
                        "the watcher's queue options");
        } else if (record.call == Call::ReadMsgQueue) {
            FUZZ_EXPECT(a[1] && a[2] == kMessageBytes && a[3] && a[4] == 0 && a[5],
                        "reads of the watcher's queue never wait, into a buffer of 536 bytes");
        } else if (record.call == Call::WaitForMultipleObjects) {
            FUZZ_EXPECT(a[0] == 1 && a[1] != 0 && a[2] == FALSE && a[3] == kNoTimeLimit,
                        "the watcher waits on its queue alone, without time limit");
            const size_t wait = waitedOn.size();
            FUZZ_EXPECT(wait < expected.waits.size(), "wait " << wait + 1 << " after the run should have ended");
            const HANDLE queue = reinterpret_cast<const HANDLE *>(a[1])[0];
            waitedOn.push_back(uintptr_t(queue));
            for (size_t burst : expected.waits[wait].bursts) Post(burst);
            const std::optional<size_t> queued = simdevice::QueuedMessages(queue);
            FUZZ_EXPECT(queued == expected.waits[wait].queued,
                        "wait " << wait + 1 << " on a queue holding " << (queued ? int(*queued) : -1)
                                << " messages, expected " << expected.waits[wait].queued);
        }
    }

    void Post(size_t burst) {
        const auto &broadcasts = scenario.bursts[burst];
        for (size_t i = 0; i < broadcasts.size(); ++i) {
            const Broadcast &b = broadcasts[i];
            simdevice::BroadcastResult r = simdevice::PostRawPowerMessage(b.message, b.bytes);
            const PostResult &want = expected.postResults[burst][i];
            FUZZ_EXPECT(r.delivered == want.delivered && r.dropped == want.dropped,
                        "broadcast " << i << " of burst " << burst << " (Message 0x" << Hex(b.message) << ", "
                                     << b.bytes.size() << " bytes): delivered " << r.delivered << " dropped "
                                     << r.dropped << ", expected " << want.delivered << " and " << want.dropped);
        }
    }
};

// What the record shows of the watcher's own calls once it has ended.
struct Seen {
    uintptr_t queue = 0;
    uintptr_t notification = 0;
    std::string cleanup;          // Stop and Close calls, in order
    std::set<uintptr_t> blocks;  // live LocalAlloc blocks
};

Seen ReadRecord(const std::vector<uintptr_t> &waitedOn) {
    Seen seen;
    for (const simdevice::CallRecord &record : simdevice::Recorded()) {
        const std::vector<uintptr_t> &a = record.arguments;
        FUZZ_EXPECT(record.returned, platform_calls::Name(record.call) << " never returned");
        switch (record.call) {
        case Call::CreateMsgQueue: seen.queue = record.result; break;
        case Call::RequestPowerNotifications:
            FUZZ_EXPECT(a[0] == seen.queue && a[1] == kSubscribedKinds, "subscription of mask 0x" << Hex(DWORD(a[1])));
            seen.notification = record.result;
            break;
        case Call::ReadMsgQueue: FUZZ_EXPECT(a[0] == seen.queue, "read a queue that is not the watcher's"); break;
        case Call::LocalAlloc: if (record.result) seen.blocks.insert(record.result); break;
        case Call::LocalFree: if (!record.result) seen.blocks.erase(a[0]); break;
        case Call::StopPowerNotifications:
            FUZZ_EXPECT(a[0] == seen.notification, "stopped a subscription that is not the watcher's");
            seen.cleanup += "Stop ";
            break;
        case Call::CloseMsgQueue:
            FUZZ_EXPECT(a[0] == seen.queue, "closed a queue that is not the watcher's");
            seen.cleanup += "Close ";
            break;
        default: break;
        }
    }
    for (uintptr_t handle : waitedOn) FUZZ_EXPECT(handle == seen.queue, "waited on a handle that is not its queue");
    return seen;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz_support::UseScratchDevice("power-watcher-fuzz");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const Scenario scenario = Decode(data, size);
    const Expected expected = Model(scenario);

    fuzz_support::ForgetDeviceHistory();
    simdevice::ClearFaults();
    // Planned first, so that it comes before any the input plans for that wait.
    if (expected.timeUpWait) simdevice::FailCall(platform_calls::Name(Call::WaitForMultipleObjects), ERROR_INVALID_HANDLE, int(expected.timeUpWait));
    for (const Fault &f : scenario.faults) {
        if (f.forceReturn) simdevice::ForceReturn(platform_calls::Name(f.function), f.value, int(f.call));
        else simdevice::FailCall(platform_calls::Name(f.function), f.value, int(f.call));
    }
    // Launches go where there is no lock application: the request is what counts.
    simdevice::ForceModulePath(u"/nonexistent/vespertin.exe", 0);
    unsigned long before[platform_calls::kCount];
    for (int f = 0; f < platform_calls::kCount; ++f) before[f] = simdevice::CallCount(Call(f));
    const simdevice::Resources baseline = simdevice::LiveResources();
    Watch watch{scenario, expected, {}};
    simdevice::StartRecording();
    simdevice::WatchCalls(std::ref(watch));

    WatchPowerNotifications();

    simdevice::WatchCalls(nullptr);
    const Seen seen = ReadRecord(watch.waitedOn);
    auto made = [&](Call f) { return simdevice::CallCount(f) - before[int(f)]; };
    FUZZ_EXPECT(made(Call::ShellExecuteEx) == unsigned(expected.launches),
                made(Call::ShellExecuteEx) << " launches, expected " << expected.launches);
    FUZZ_EXPECT(made(Call::UpdateWindow) == unsigned(expected.refreshes),
                made(Call::UpdateWindow) << " refreshes, expected " << expected.refreshes);
    FUZZ_EXPECT(made(Call::GetModuleFileNameW) == unsigned(expected.launches) &&
                    made(Call::FindWindowW) == unsigned(expected.refreshes),
                "each launch and refresh looks up its path or window once");
    for (Call f : {Call::CreateMsgQueue, Call::RequestPowerNotifications, Call::WaitForMultipleObjects,
                   Call::LocalAlloc, Call::ReadMsgQueue, Call::LocalFree, Call::StopPowerNotifications,
                   Call::CloseMsgQueue}) {
        FUZZ_EXPECT(made(f) == expected.calls[int(f)],
                    platform_calls::Name(f) << " called " << made(f) << " times, expected " << expected.calls[int(f)]);
    }
    FUZZ_EXPECT(watch.waitedOn.size() == expected.waits.size(),
                watch.waitedOn.size() << " waits, expected " << expected.waits.size());
    FUZZ_EXPECT(simdevice::DebugOutput() == expected.debug,
                "debug output \"" << simdevice::DebugOutput() << "\", expected \"" << expected.debug << "\"");
    const std::string cleanup =
        std::string(expected.subscribed ? "Stop " : "") + (expected.queueMade ? "Close " : "");
    FUZZ_EXPECT(seen.cleanup == cleanup, "clean-up \"" << seen.cleanup << "\", expected \"" << cleanup << "\"");

    // Left over: only what the platform refused to release.
    simdevice::Resources left = simdevice::LiveResources();
    FUZZ_EXPECT(left.kernelObjects - baseline.kernelObjects == int(expected.stopRefused) + int(expected.closeRefused) &&
                    left.subscriptions - baseline.subscriptions == int(expected.stopRefused) &&
                    left.allocations - baseline.allocations == expected.blocksLeft &&
                    seen.blocks.size() == size_t(expected.blocksLeft),
                "left over: " << simdevice::Describe(left) << ", expected " << expected.blocksLeft
                              << " buffers, stop refused " << expected.stopRefused << ", close refused "
                              << expected.closeRefused);
    simdevice::ClearFaults();
    if (expected.stopRefused) StopPowerNotifications(reinterpret_cast<HANDLE>(seen.notification));
    if (expected.closeRefused) CloseMsgQueue(reinterpret_cast<HANDLE>(seen.queue));
    for (uintptr_t block : seen.blocks) LocalFree(reinterpret_cast<HLOCAL>(block));
    left = simdevice::LiveResources();
    FUZZ_EXPECT(left.kernelObjects == baseline.kernelObjects && left.subscriptions == baseline.subscriptions &&
                    left.allocations == baseline.allocations && simdevice::LivePowerSubscriptions() == 0,
                "still held after releasing what the platform refused: " << simdevice::Describe(left));
    return 0;
}
