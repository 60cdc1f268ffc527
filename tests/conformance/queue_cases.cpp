// Message queues: the options they take, what a read gives, and their limits.
// The power manager is the only writer: broadcasts fill the queues here.
#include "Cases.h"

#ifndef _WIN32
#include <thread>
#endif

#include <cstring>

namespace {

using namespace conformance;

MSGQUEUEOPTIONS Options(DWORD flags, DWORD maxMessages, DWORD maxBytes) {
    MSGQUEUEOPTIONS options = {sizeof(MSGQUEUEOPTIONS), flags, maxMessages, maxBytes, TRUE};
    return options;
}

struct Read {
    BOOL ok;
    DWORD error, bytes;
};
Read ReadOnce(HANDLE queue, void *buffer, DWORD size) {
    DWORD bytes = 0xFFFF, flags = 0;
    SetLastError(0);
    const BOOL result = ReadMsgQueue(queue, buffer, size, &bytes, 0, &flags);
    return {result, GetLastError(), bytes};
}

void OptionsAreChecked() {
    struct Case {
        const char *what;
        MSGQUEUEOPTIONS options;
        bool valid;
    } cases[] = {
        {"as the daemon asks", Options(MSGQUEUE_NOPRECOMMIT, 4, 536), true},
        {"no flags", Options(0, 4, 536), true},
        {"broken allowed", Options(MSGQUEUE_NOPRECOMMIT | MSGQUEUE_ALLOW_BROKEN, 4, 536), true},
        {"no message limit", Options(0, 0, 16), true},
        {"cbMaxMessage 0", Options(0, 4, 0), false},
        {"dwSize 0", {0, 0, 4, 16, TRUE}, false},
        {"dwSize one short", {sizeof(MSGQUEUEOPTIONS) - 1, 0, 4, 16, TRUE}, false},
        {"an unknown flag", Options(4, 4, 16), false},
        {"the high flag", Options(0x80000000, 4, 16), false},
    };
    for (Case &c : cases) {
        SetLastError(0);
        HANDLE queue = CreateMsgQueue(NULL, &c.options);
        ok((queue != NULL) == c.valid, "%s: %s", c.what, c.valid ? "accepted" : "refused");
        if (queue != NULL) ok(CloseMsgQueue(queue), "%s: closes", c.what);
        else ok(GetLastError() == ERROR_INVALID_PARAMETER, "%s: error %lu", c.what, (unsigned long)GetLastError());
    }
    SetLastError(0);
    ok(CreateMsgQueue(NULL, NULL) == NULL && GetLastError() == ERROR_INVALID_PARAMETER, "no options: error %lu",
       (unsigned long)GetLastError());
    MSGQUEUEOPTIONS options = Options(0, 4, 16);
    SetLastError(0);
    ok(CreateMsgQueue(TEXT("_CONFORMANCE_QUEUE_"), &options) == NULL && GetLastError() == ERROR_INVALID_PARAMETER,
       "named queues are not simulated: error %lu", (unsigned long)GetLastError());
}

void EmptyReadTimesOutOrReportsNoWriter() {
    struct Case {
        const char *what;
        DWORD flags;
        bool subscribed;
        DWORD error;
    } cases[] = {
        {"subscribed", MSGQUEUE_NOPRECOMMIT, true, ERROR_TIMEOUT},
        {"no writer", MSGQUEUE_NOPRECOMMIT, false, ERROR_PIPE_NOT_CONNECTED},
        {"no writer, broken allowed", MSGQUEUE_ALLOW_BROKEN, false, ERROR_TIMEOUT},
    };
    for (const Case &c : cases) {
        HANDLE queue = MakeQueue(c.flags, 4, 536);
        HANDLE subscription = c.subscribed ? RequestPowerNotifications(queue, POWER_NOTIFY_ALL) : NULL;
        char buffer[536];
        const Read r = ReadOnce(queue, buffer, sizeof buffer);
        ok(!r.ok && r.error == c.error, "%s: result %d, error %lu, expected %lu", c.what, r.ok, (unsigned long)r.error,
           (unsigned long)c.error);
        if (subscription != NULL) StopPowerNotifications(subscription);
        CloseMsgQueue(queue);
    }
}

void ReadsTakeMessagesInOrderAndCutLongOnes() {
    HANDLE queue = MakeQueue(MSGQUEUE_NOPRECOMMIT, 4, 536);
    HANDLE subscription = RequestPowerNotifications(queue, POWER_NOTIFY_ALL);
    ok(WaitForMultipleObjects(1, &queue, FALSE, 0) == WAIT_TIMEOUT, "an empty queue is not signalled");
    // "a long state name": a 48-byte record.
    struct Case {
        DWORD size, bytes, error;
    } cases[] = {{8, 8, ERROR_INSUFFICIENT_BUFFER}, {47, 47, ERROR_INSUFFICIENT_BUFFER}, {48, 48, ERROR_SUCCESS},
                 {536, 48, ERROR_SUCCESS}};
    for (const Case &c : cases) {
        ok(device::Post(PBT_TRANSITION, POWER_STATE_ON, "a long state name").delivered == 1, "posted for size %lu",
           (unsigned long)c.size);
        ok(WaitForMultipleObjects(1, &queue, FALSE, 0) == WAIT_OBJECT_0, "a queue with a message is signalled");
        DWORD buffer[134] = {0};
        const Read r = ReadOnce(queue, buffer, c.size);
        ok(r.ok && r.bytes == c.bytes && r.error == c.error, "size %lu: result %d, %lu bytes, error %lu",
           (unsigned long)c.size, r.ok, (unsigned long)r.bytes, (unsigned long)r.error);
        ok(buffer[0] == PBT_TRANSITION && buffer[1] == POWER_STATE_ON, "size %lu: Message and Flags", (unsigned long)c.size);
        ok(!ReadOnce(queue, buffer, sizeof buffer).ok, "size %lu: the rest of a cut message is gone", (unsigned long)c.size);
        ok(WaitForMultipleObjects(1, &queue, FALSE, 0) == WAIT_TIMEOUT, "a drained queue is not signalled");
    }
    device::Post(PBT_RESUME, 1, "");
    device::Post(PBT_RESUME, 2, "");
    DWORD first[8], second[8];
    ReadOnce(queue, first, sizeof first);
    ReadOnce(queue, second, sizeof second);
    ok(first[1] == 1 && second[1] == 2, "messages come in the order they were written");
    StopPowerNotifications(subscription);
    CloseMsgQueue(queue);
}

void ReadsRefuseMissingArguments() {
    HANDLE queue = MakeQueue(MSGQUEUE_ALLOW_BROKEN, 4, 64);
    char buffer[64];
    DWORD bytes = 0, flags = 0;
    struct Case {
        const char *what;
        HANDLE queue;
        void *buffer;
        DWORD *bytes, *flags;
        DWORD error;
    } cases[] = {
        {"no flags pointer", queue, buffer, &bytes, NULL, ERROR_INVALID_PARAMETER},
        {"no byte count pointer", queue, buffer, NULL, &flags, ERROR_INVALID_PARAMETER},
        {"no buffer", queue, NULL, &bytes, &flags, ERROR_INVALID_PARAMETER},
        {"not a queue", reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(0x5a5a0)), buffer, &bytes, &flags,
         ERROR_INVALID_HANDLE},
    };
    for (const Case &c : cases) {
        SetLastError(0);
        ok(!ReadMsgQueue(c.queue, c.buffer, sizeof buffer, c.bytes, 0, c.flags) && GetLastError() == c.error,
           "%s: error %lu, expected %lu", c.what, (unsigned long)GetLastError(), (unsigned long)c.error);
    }
    ok(CloseMsgQueue(queue), "a queue closes once");
    SetLastError(0);
    ok(!CloseMsgQueue(queue) && GetLastError() == ERROR_INVALID_HANDLE, "and not twice: error %lu",
       (unsigned long)GetLastError());
}

void AFullQueueLosesWhatDoesNotFit() {
    struct Case {
        const char *what;
        DWORD maxMessages, maxBytes, posts;
        int reached;
    } cases[] = {
        {"room for four", 4, 536, 6, 4},
        {"a record longer than the queue's messages", 4, 8, 1, 0},
    };
    for (const Case &c : cases) {
        HANDLE queue = MakeQueue(MSGQUEUE_NOPRECOMMIT, c.maxMessages, c.maxBytes);
        HANDLE subscription = RequestPowerNotifications(queue, POWER_NOTIFY_ALL);
        int reached = 0;
        for (DWORD i = 0; i < c.posts; ++i) reached += device::Post(PBT_RESUME, 0, "").delivered;
        ok(reached == c.reached, "%s: %d of %lu reached the queue, expected %d", c.what, reached,
           (unsigned long)c.posts, c.reached);
        StopPowerNotifications(subscription);
        CloseMsgQueue(queue);
    }
}

}  // namespace

HANDLE conformance::MakeQueue(DWORD flags, DWORD maxMessages, DWORD maxBytes) {
    MSGQUEUEOPTIONS options = Options(flags, maxMessages, maxBytes);
    HANDLE queue = CreateMsgQueue(NULL, &options);
    ok(queue != NULL, "queue made, error %lu", (unsigned long)GetLastError());
    return queue;
}

#ifdef _WIN32
void conformance::RunBeside(const std::function<void()> &beside, const std::function<void()> &here) {
    struct Start {
        static DWORD WINAPI Run(LPVOID work) {
            (*static_cast<const std::function<void()> *>(work))();
            return 0;
        }
    };
    HANDLE thread = CreateThread(NULL, 0, Start::Run, const_cast<std::function<void()> *>(&beside), 0, NULL);
    here();
    if (thread == NULL) {
        ok(false, "no thread to run beside");
        return;
    }
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}
#else
void conformance::RunBeside(const std::function<void()> &beside, const std::function<void()> &here) {
    std::thread thread(beside);
    here();
    thread.join();
}
#endif

void conformance::QueueCases() {
    OptionsAreChecked();
    EmptyReadTimesOutOrReportsNoWriter();
    ReadsTakeMessagesInOrderAndCutLongOnes();
    ReadsRefuseMissingArguments();
    AFullQueueLosesWhatDoesNotFit();
}
