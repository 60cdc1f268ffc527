// The device log: one line per record, appended by every process.
#include "Log.h"

#include <simdevice/device.h>

#include "Files.h"
#include "Layout.h"
#include "Programs.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace simdevice {
using namespace internal;

void Log(timeline::Event event, const std::vector<std::pair<std::string, std::string>> &fields) {
    std::string line = std::to_string(NowNanos()) + "\t" + std::to_string(getpid()) + "\t" + Escape(ProgramName()) +
                       "\t" + timeline::Name(event);
    for (const auto &[name, value] : fields) line += "\t" + name + "=" + Escape(value);
    // One append is one record, whichever processes write at the same time.
    AppendToFile(DevicePath("log"), line + "\n");
}

std::string LogRecord::Field(const std::string &name) const {
    for (const auto &[key, value] : fields)
        if (key == name) return value;
    return std::string();
}

namespace {

std::optional<LogRecord> ParseRecord(const std::string &line, int64_t epoch) {
    auto parts = Split(line, '\t');
    if (parts.size() < 4) return std::nullopt;
    LogRecord r;
    r.seconds = double(std::strtoll(parts[0].c_str(), nullptr, 10) - epoch) / 1e9;
    r.pid = pid_t(std::atoi(parts[1].c_str()));
    r.program = Unescape(parts[2]);
    r.event = parts[3];
    for (size_t i = 4; i < parts.size(); ++i) {
        size_t eq = parts[i].find('=');
        if (eq == std::string::npos) continue;
        r.fields.emplace_back(parts[i].substr(0, eq), Unescape(parts[i].substr(eq + 1)));
    }
    return r;
}

std::vector<LogRecord> ParseRecords(const std::string &text) {
    std::vector<LogRecord> records;
    const int64_t epoch = DeviceEpoch();
    for (const auto &line : Split(text, '\n'))
        if (auto record = ParseRecord(line, epoch)) records.push_back(std::move(*record));
    return records;
}

// Blocks on file notifications until CONDITION holds, or the timeout passes.
bool WaitForLogChange(const std::function<bool()> &condition, std::chrono::milliseconds timeout) {
    int watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch >= 0) inotify_add_watch(watch, DevicePath("log").c_str(), IN_MODIFY);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    bool held = false;
    for (;;) {
        if (condition()) {
            held = true;
            break;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || watch < 0) break;
        pollfd p{watch, POLLIN, 0};
        if (poll(&p, 1, int(left.count())) > 0) {
            char events[4096];
            while (read(watch, events, sizeof events) > 0) {
            }
        }
    }
    if (watch >= 0) close(watch);
    return held;
}

}  // namespace

std::vector<LogRecord> ReadLog() {
    auto text = ReadWholeFile(DevicePath("log"));
    return text ? ParseRecords(*text) : std::vector<LogRecord>();
}

bool WaitForLog(const std::function<bool(const std::vector<LogRecord> &)> &predicate,
                std::chrono::milliseconds timeout) {
    return WaitForLogChange([&] { return predicate(ReadLog()); }, timeout);
}

std::vector<LogRecord> ReadLogFrom(uint64_t &offset) {
    const int fd = open(DevicePath("log").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    std::string text;
    char chunk[65536];
    for (ssize_t n; (n = pread(fd, chunk, sizeof chunk, off_t(offset + text.size()))) > 0;) text.append(chunk, size_t(n));
    close(fd);
    // A record is one append: one without its line end is still being written.
    const size_t end = text.rfind('\n');
    text.resize(end == std::string::npos ? 0 : end + 1);
    offset += text.size();
    return ParseRecords(text);
}

bool WaitForLogPast(uint64_t offset, std::chrono::milliseconds timeout) {
    const std::string log = DevicePath("log");
    return WaitForLogChange(
        [&] {
            struct stat info{};
            return stat(log.c_str(), &info) == 0 && uint64_t(info.st_size) > offset;
        },
        timeout);
}

int CountEvents(const std::vector<LogRecord> &log, timeline::Event event) {
    int n = 0;
    for (const auto &r : log) n += r.event == timeline::Name(event);
    return n;
}

std::string DebugOutput() { return ReadWholeFile(DevicePath("debug")).value_or(""); }

}  // namespace simdevice
