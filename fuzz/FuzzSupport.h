// Shared by the fuzz targets: reading an input byte by byte, one simulated
// device per process, and the oracle's failure report.
#pragma once

#include <simdevice/device.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

namespace fuzz_support {

// Reads the input front to back; past the end every read gives 0, so any
// prefix of a seed is itself a well-formed input.
class Reader {
public:
    Reader(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    bool Done() const { return pos_ >= size_; }
    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t Unit() { return uint16_t(Byte() | Byte() << 8); }
    uint32_t Word() { return uint32_t(Unit()) | uint32_t(Unit()) << 16; }
    std::string Bytes(size_t count) {
        std::string out;
        for (size_t i = 0; i < count; ++i) out += char(Byte());
        return out;
    }

private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};

// One device for the whole process, removed at exit. TMPDIR decides where
// (tools/fuzz.sh points it at its scratch directory).
inline void UseScratchDevice(const char *name) {
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + name + "-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        std::abort();
    }
    static std::string dir = pattern;
    simdevice::ResetDevice(dir);
    std::atexit([] { simdevice::DestroyDevice(dir); });
}

// The device's log, debug channel and queue list only grow; an input needs
// none of what earlier inputs wrote.
inline void ForgetDeviceHistory() {
    static const std::string dir = simdevice::DeviceDir();
    for (const char *file : {"/log", "/debug", "/mqueues"}) (void)!truncate((dir + file).c_str(), 0);
}

[[noreturn]] inline void Fail(const char *file, int line, const std::string &what) {
    std::fprintf(stderr, "\n==oracle== %s:%d: %s\n", file, line, what.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace fuzz_support

// Aborts with the message streamed after the condition, so libFuzzer keeps the input.
#define FUZZ_EXPECT(condition, message)                                          \
    do {                                                                         \
        if (!(condition)) {                                                      \
            std::ostringstream fuzz_expect_text_;                                \
            fuzz_expect_text_ << #condition << ": " << message;                  \
            ::fuzz_support::Fail(__FILE__, __LINE__, fuzz_expect_text_.str());   \
        }                                                                        \
    } while (0)
