// A fresh simulated device for each test, removed afterwards with every
// program that ran in it.
#pragma once

#include <simdevice/device.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <string>

namespace testing_support {

// The folder of the device's own files the tests run instead of this
// build's (ctest --preset armv4i: the ARM PE files, beside the programs that
// sit beside them on a device), or none.
constexpr const char *kDeviceFilesVariable = "SIMDEVICE_DEVICE_FILES";

// Where the build put the programs and libraries (vespertin.exe,
// Harrowcastle.exe, tallowbeck.dll, the fixtures), or the file of that name
// (or that name and .exe, as the device names a program) in the device
// files' folder when one is given and holds it.
inline std::string BinaryPath(const std::string &name) {
    if (const char *files = std::getenv(kDeviceFilesVariable); files && *files) {
        for (const std::string &file : {name, name + ".exe"}) {
            const std::string path = std::string(files) + "/" + file;
            if (access(path.c_str(), F_OK) == 0) return path;
        }
    }
    return std::string(SIMDEVICE_BIN_DIR) + "/" + name;
}

// Argument INDEX of the last recorded call of CALL (recording must have
// started), or a value no call is given when there is none.
constexpr uintptr_t kNotRecorded = ~uintptr_t(0);
inline uintptr_t LastArgument(simdevice::Call call, size_t index) {
    const auto record = simdevice::LastRecorded(call);
    return record && index < record->arguments.size() ? record->arguments[index] : kNotRecorded;
}

class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/simdevice-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        simdevice::ResetDevice(dir_);
        simdevice::ClearFaults();
    }
    void TearDown() override {
        simdevice::ClearFaults();
        simdevice::DestroyDevice(dir_);
    }
    const std::string &DeviceDir() const { return dir_; }

private:
    std::string dir_;
};

}  // namespace testing_support
