// The record of the calls that can fail, as they were made.
#pragma once

#include <simdevice/device.h>

namespace simdevice::internal {

// Where a call's record is, for its result to be filled in on return.
struct RecordTicket {
    uint64_t recording = 0;  // which recording it belongs to; 0: none
    size_t index = 0;
};
// Whether a test records or watches the calls: asked first, so that the
// calls on the input path build no record while none does.
bool CallsWanted();
// Keeps RECORD while a test records, and shows it to the watcher, if any.
RecordTicket RecordCall(const CallRecord &record);
// Fills in what the call TICKET names returned, if it is still recorded.
void RecordResult(RecordTicket ticket, uintptr_t result, DWORD lastError);

}  // namespace simdevice::internal
