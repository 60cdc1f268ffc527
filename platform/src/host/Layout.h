// The device as a directory: which one this process belongs to, and where
// things are in it.
#pragma once

#include <cstdint>
#include <string>

namespace simdevice::internal {

// SIMDEVICE_DIR, or the default; without making anything.
std::string SelectedDeviceDir();
// Makes sure the device at DIR has its folders and files (once per
// process); a directory that is not a device is left alone.
void EnsureLayout(const std::string &dir);
void ForgetLayout(const std::string &dir);
std::string DevicePath(const std::string &relative);  // DeviceDir()/relative
int64_t DeviceEpoch();                                 // when the device was made, in ns
int64_t NowNanos();

// Joining and destroying a device exclude each other, so that no program can
// slip into a device while it is being removed.
constexpr const char *kMembershipGuard = "/.programs.guard";
// What makes a directory a device: written only when a device is made.
constexpr const char *kDeviceMarker = "/.simdevice";
constexpr const char *kDestroyedMarker = "/destroyed";

}  // namespace simdevice::internal
