// Power subscriptions and the broadcasts the power manager writes.
#include "Cases.h"

#include <cstring>
#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

using namespace conformance;

struct Subscription {
    explicit Subscription(DWORD mask, DWORD maxBytes = 536)
        : queue(MakeQueue(MSGQUEUE_NOPRECOMMIT, 4, maxBytes)), notification(RequestPowerNotifications(queue, mask)) {}
    ~Subscription() {
        if (notification != NULL) StopPowerNotifications(notification);
        CloseMsgQueue(queue);
    }
    // The next record, or 0 bytes when there is none.
    DWORD Read(void *buffer, DWORD size) {
        DWORD bytes = 0, flags = 0;
        return ReadMsgQueue(queue, buffer, size, &bytes, 0, &flags) ? bytes : 0;
    }
    HANDLE queue, notification;
};

void BroadcastsReachTheKindsAskedFor() {
    struct Case {
        const char *what;
        DWORD mask, message;
        int reached;
    } cases[] = {
        {"the daemon's mask, a transition", 0xB, PBT_TRANSITION, 1},
        {"the daemon's mask, a resume", 0xB, PBT_RESUME, 1},
        {"the daemon's mask, a power-info change", 0xB, PBT_POWERINFOCHANGE, 1},
        {"the daemon's mask, a power-status change", 0xB, PBT_POWERSTATUSCHANGE, 0},
        {"every kind", POWER_NOTIFY_ALL, PBT_POWERSTATUSCHANGE, 1},
        {"resume only, a transition", PBT_RESUME, PBT_TRANSITION, 0},
    };
    for (const Case &c : cases) {
        Subscription s(c.mask);
        ok(s.notification != NULL, "%s: subscribed", c.what);
        ok(device::Post(c.message, 0, "").delivered == c.reached, "%s: reached %d", c.what, c.reached);
    }
}

void ARecordCarriesItsStateName() {
    Subscription s(POWER_NOTIFY_ALL);
    device::Post(PBT_TRANSITION, POWER_STATE_SUSPEND, "suspend");
    unsigned char record[536];
    std::memset(record, 0xCC, sizeof record);
    const DWORD bytes = s.Read(record, sizeof record);
    DWORD message, flags, length;
    std::memcpy(&message, record, 4);
    std::memcpy(&flags, record + 4, 4);
    std::memcpy(&length, record + 8, 4);
    ok(bytes == 12 + 16, "a 7-character name makes a 28-byte record, got %lu", (unsigned long)bytes);
    ok(message == PBT_TRANSITION && flags == POWER_STATE_SUSPEND, "Message 0x%lx, Flags 0x%lx", (unsigned long)message,
       (unsigned long)flags);
    ok(length == 16, "Length counts the name's bytes with its terminator: %lu", (unsigned long)length);
    ok(record[12] == 's' && record[13] == 0 && record[24] == 'd' && record[25] == 0 && record[26] == 0 && record[27] == 0,
       "the name is UTF-16 and terminated");

    device::Post(PBT_RESUME, 0, "");
    ok(s.Read(record, sizeof record) == 14, "no name: the header and a terminator");
    std::memcpy(&length, record + 8, 4);
    ok(length == 2, "no name: Length %lu", (unsigned long)length);
}

void SubscriptionsRefuseWhatCannotWork() {
    HANDLE queue = MakeQueue(0, 4, 536);
    struct Case {
        const char *what;
        HANDLE queue;
        DWORD mask;
    } cases[] = {
        {"mask 0: nothing could ever arrive", queue, 0},
        {"not a queue", reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x5a5a0)), POWER_NOTIFY_ALL},
        {"no queue", NULL, POWER_NOTIFY_ALL},
    };
    for (const Case &c : cases) {
        SetLastError(0);
        ok(RequestPowerNotifications(c.queue, c.mask) == NULL && GetLastError() == ERROR_INVALID_PARAMETER,
           "%s: error %lu", c.what, (unsigned long)GetLastError());
    }
    HANDLE subscription = RequestPowerNotifications(queue, PBT_RESUME);
    ok(StopPowerNotifications(subscription) == ERROR_SUCCESS, "a subscription stops once");
    ok(device::Post(PBT_RESUME, 0, "").delivered == 0, "a stopped subscription receives nothing");
    ok(StopPowerNotifications(subscription) == ERROR_INVALID_HANDLE, "and does not stop twice");
    CloseMsgQueue(queue);
}

DWORD ThisProcess() {
#ifdef _WIN32
    return GetCurrentProcessId();
#else
    return DWORD(getpid());
#endif
}

// What waits in a subscriber's queues, as a sampler reads it from outside
// (the soak, before it holds the daemon still).
void QueuedBroadcastsAreCountedPerSubscriber() {
    const DWORD self = ThisProcess();
    ok(!device::QueuedFor(self), "no subscription: nothing to count");
    {
        Subscription s(PBT_TRANSITION | PBT_RESUME);
        struct Step {
            const char *what;
            DWORD message;
            int posts, reads, queued;
        } steps[] = {
            {"subscribed", 0, 0, 0, 0},
            {"two transitions", PBT_TRANSITION, 2, 0, 2},
            {"one read", 0, 0, 1, 1},
            {"a kind it did not ask for", PBT_POWERINFOCHANGE, 1, 0, 1},
            {"five resumes into a queue of 4", PBT_RESUME, 5, 0, 4},
            {"every one read", 0, 0, 4, 0},
        };
        unsigned char record[536];
        for (const Step &step : steps) {
            for (int i = 0; i < step.posts; ++i) device::Post(step.message, 0, "");
            for (int i = 0; i < step.reads; ++i) s.Read(record, sizeof record);
            const std::optional<int> queued = device::QueuedFor(self);
            ok(queued == step.queued, "%s: %d queued, counted %d", step.what, step.queued, queued.value_or(-1));
        }
        Subscription second(PBT_RESUME);
        device::Post(PBT_RESUME, 0, "");
        ok(device::QueuedFor(self) == 2, "two subscriptions: both queues counted, got %d",
           device::QueuedFor(self).value_or(-1));
    }
    ok(!device::QueuedFor(self), "every subscription stopped: nothing to count");
    ok(!device::QueuedFor(self + 1), "another process's, subscribed to nothing: nothing to count");
}

// A process's queues and subscriptions are one table: one thread makes and
// ends its own while another reads its queue and posts to it, and each
// sees only its own (the tsan stage runs this on the simulated device;
// under Wine it can only crash or misread when the table is not locked).
void QueueTableServesTwoThreads() {
    constexpr int kRounds = 500;
    Subscription reader(PBT_RESUME);
    long churned = 0;
    RunBeside(
        // No checks on that thread: the suite counts them on this one.
        [&churned] {
            MSGQUEUEOPTIONS options = {sizeof options, MSGQUEUE_NOPRECOMMIT, 4, 536, TRUE};
            for (int i = 0; i < kRounds; ++i) {
                HANDLE queue = CreateMsgQueue(NULL, &options);
                HANDLE notification = queue != NULL ? RequestPowerNotifications(queue, PBT_TRANSITION) : NULL;
                churned += notification != NULL;
                if (notification != NULL) StopPowerNotifications(notification);
                if (queue != NULL) CloseMsgQueue(queue);
            }
        },
        [&reader] {
            unsigned char record[536];
            int misread = 0;
            for (int i = 0; i < kRounds; ++i) {
                device::Post(PBT_RESUME, 0, "");
                misread += reader.Read(record, sizeof record) != 12 + 2;
            }
            ok(misread == 0, "the reader's own queue: %d of %d reads missed their broadcast", misread, kRounds);
        });
    ok(churned == kRounds, "the other thread's subscriptions: %ld of %d made", churned, kRounds);
}

}  // namespace

void conformance::PowerCases() {
    BroadcastsReachTheKindsAskedFor();
    ARecordCarriesItsStateName();
    SubscriptionsRefuseWhatCannotWork();
    QueuedBroadcastsAreCountedPerSubscriber();
    QueueTableServesTwoThreads();
}
