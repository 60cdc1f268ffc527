// The record of the calls that can fail, as they were made.
#pragma once

#include <simdevice/device.h>

namespace simdevice::internal {

// Keeps RECORD while a test records, and shows it to the watcher, if any.
void RecordCall(const CallRecord &record);
// What SetWindowsHookExW last gave, for LastObserved.
void ObserveInstalledHook(HHOOK hook);

}  // namespace simdevice::internal
