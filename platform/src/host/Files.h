// Files of the device directory: holding and testing liveness locks,
// serialising check-then-act sequences across processes, whole-file reads
// and atomic replacement.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace simdevice::internal {

// A holder keeps an open-file-description read lock on a file; the lock dies
// with the holder, kill -9 included.
int OpenAndHold(const std::string &path, bool create);  // fd or -1
bool IsHeld(const std::string &path);
int LockExclusively(const std::string &path);  // fd holding a write lock, or -1

// Serialises check-then-act sequences across processes of the device.
class DeviceGuard {
public:
    explicit DeviceGuard(const std::string &name);
    ~DeviceGuard();
    DeviceGuard(const DeviceGuard &) = delete;
    DeviceGuard &operator=(const DeviceGuard &) = delete;

private:
    int fd_;
};

// A reader sees the old contents or the new, never a mixture.
void WriteFileAtomically(const std::string &path, const std::string &contents);
std::optional<std::string> ReadWholeFile(const std::string &path);
void AppendToFile(const std::string &path, const std::string &text);  // one write, one record

std::vector<std::string> Split(const std::string &text, char separator);

}  // namespace simdevice::internal
