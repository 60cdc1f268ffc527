// A fresh simulated device for each test, removed afterwards with every
// program that ran in it.
#pragma once

#include <simdevice/device.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace testing_support {

// Where the build put the programs and libraries (vespertin.exe,
// Harrowcastle.exe, tallowbeck.dll, the fixtures).
inline std::string BinaryPath(const std::string &name) { return std::string(SIMDEVICE_BIN_DIR) + "/" + name; }

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
