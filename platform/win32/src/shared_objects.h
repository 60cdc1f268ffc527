// Message queues and the power manager's subscriber list as named shared
// objects, so that another process of the same Wine prefix (the power
// manager tool) can reach them. Used by coredll.dll and by that tool.
#pragma once

#include <windows.h>

#include <string>

namespace coredll {

// TEXT as UTF-8.
std::string Utf8(const WCHAR *text);

// Appends TEXT to the file at PATH as UTF-8, opening and closing it so that
// others can read it meanwhile. Used for the debug channel and fixture logs.
void AppendUtf8(const WCHAR *path, const WCHAR *text);

// One end of a message queue. Reader and writers map the same memory.
struct QueueHeader;
struct QueueEnd {
    HANDLE mapping = nullptr;
    HANDLE lock = nullptr;   // mutex over the header and slots
    HANDLE ready = nullptr;  // manual-reset event, signalled while a message is queued
    QueueHeader *header = nullptr;
};

constexpr DWORD kQueueNameChars = 64;
// A queue created with no message limit holds this many.
constexpr DWORD kUnlimitedQueueDepth = 64;

// Creates a queue under a new unique name (written to NAME).
bool CreateQueue(DWORD maxMessages, DWORD maxBytes, DWORD flags, WCHAR (&name)[kQueueNameChars], QueueEnd *end);
bool OpenQueue(const WCHAR *name, QueueEnd *end);
void CloseQueue(QueueEnd *end);

// Appends a message without waiting; false with the platform's error when
// the queue is full or the message too large.
bool WriteQueue(QueueEnd *end, const void *data, DWORD bytes);

enum class ReadResult { Message, Truncated, Empty, Broken };
// Takes the oldest message, truncated to CAPACITY bytes.
ReadResult ReadQueue(QueueEnd *end, void *buffer, DWORD capacity, DWORD *bytesRead);

// The writer held on behalf of the power manager while a subscription lasts.
void AddWriter(QueueEnd *end, LONG change);

// The power manager's subscriber list.
constexpr DWORD kMaxSubscribers = 32;
struct Subscriber {
    DWORD processId;  // 0: a free slot
    DWORD mask;
    WCHAR queueName[kQueueNameChars];
};

// Adds a subscriber; returns its slot number + 1, or 0 when the list is full.
DWORD AddSubscriber(const WCHAR *queueName, DWORD mask);
bool RemoveSubscriber(DWORD slot);
// Copies the live subscribers into OUT; returns their number.
DWORD ListSubscribers(Subscriber (&out)[kMaxSubscribers]);

// How many messages wait in the queues of PROCESS's live subscriptions, in
// QUEUED; false when it has none, or when a queue's reader or writer holds
// its lock right now (the count is never waited for: the reader may be held
// still inside it).
bool QueuedForSubscriber(DWORD processId, DWORD *queued);

// The power manager's part: writes RECORD, a broadcast of kind MESSAGE, into
// every live subscriber's queue whose mask has that kind, without waiting (a
// full queue loses it). Returns how many it reached; OFFERED gets the number
// of subscribers whose mask has the kind.
DWORD Broadcast(DWORD message, const std::string &record, DWORD *offered);

}  // namespace coredll
