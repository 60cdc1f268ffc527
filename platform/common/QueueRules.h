// The device's rules for message queues and power broadcasts, written once
// for both stand-ins.
#pragma once

#include <windows.h>
#include <msgqueue.h>

#include <cstddef>
#include <cstring>
#include <string>

namespace queue_rules {

// CreateMsgQueue refuses, with ERROR_INVALID_PARAMETER, a missing or short
// options record, messages of 0 bytes, and flags other than NOPRECOMMIT and
// ALLOW_BROKEN. dwMaxMessages 0 means no limit.
inline bool ValidOptions(const MSGQUEUEOPTIONS *options) {
    return options != nullptr && options->dwSize >= sizeof(MSGQUEUEOPTIONS) && options->cbMaxMessage != 0 &&
           (options->dwFlags & ~DWORD(MSGQUEUE_NOPRECOMMIT | MSGQUEUE_ALLOW_BROKEN)) == 0;
}

// An empty queue with no writer is broken unless it allows that.
inline bool ReportsBroken(DWORD queueFlags, bool hasWriter) {
    return !hasWriter && (queueFlags & MSGQUEUE_ALLOW_BROKEN) == 0;
}

// The fixed part of POWER_BROADCAST: Message, Flags, Length.
constexpr size_t kBroadcastHeaderBytes = 3 * sizeof(DWORD);

// A POWER_BROADCAST as the power manager writes it: the state name follows
// the header with its terminator, and Length counts the name's bytes with
// the terminator.
template <typename Char>
std::string BroadcastRecord(DWORD message, DWORD flags, const Char *stateName, size_t chars) {
    static_assert(sizeof(Char) == 2, "state names are UTF-16");
    const DWORD length = DWORD((chars + 1) * 2);
    std::string record(kBroadcastHeaderBytes + length, '\0');
    std::memcpy(&record[0], &message, 4);
    std::memcpy(&record[4], &flags, 4);
    std::memcpy(&record[8], &length, 4);
    if (chars != 0) std::memcpy(&record[kBroadcastHeaderBytes], stateName, chars * 2);
    return record;
}

}  // namespace queue_rules
