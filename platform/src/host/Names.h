// Names the device hands out: numbers unique in the device, and names of the
// POSIX message queues behind its queues, windows and keyboard.
#pragma once

#include <cstdint>
#include <string>

namespace simdevice::internal {

uint64_t NextDeviceId(const std::string &counter);
// POSIX queue names are flat: the device directory's hash keeps devices apart.
std::string SharedQueueName(const std::string &tag);  // the same name in every process
std::string NewQueueName(const std::string &tag);     // a new one
// Recorded so that the device's destruction can unlink a queue even if its
// owner was killed.
void RecordQueueName(const std::string &name);
void UnlinkRecordedQueues(const std::string &deviceDir);
// A name as one file name: letters, digits, '_' and '-' kept, every other
// byte escaped (so '.', '..', '/' name nothing but themselves), and a name
// too long for a file name kept as its hash. KIND keeps kinds apart.
std::string ObjectFileName(const std::string &kind, const std::u16string &name);

}  // namespace simdevice::internal
