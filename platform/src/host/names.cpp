#include "Names.h"

#include <simdevice/device.h>

#include "Files.h"
#include "Layout.h"

#include <mqueue.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace simdevice::internal {

uint64_t NextDeviceId(const std::string &counter) {
    DeviceGuard guard("counters");
    std::string path = DevicePath("counters/" + counter);
    auto text = ReadWholeFile(path);
    uint64_t next = (text ? std::strtoull(text->c_str(), nullptr, 10) : 0) + 1;
    WriteFileAtomically(path, std::to_string(next));
    return next;
}

std::string SharedQueueName(const std::string &tag) {
    return "/simdevice." + std::to_string(std::hash<std::string>{}(DeviceDir()) & 0xFFFFFFFFu) + "." + tag;
}

std::string NewQueueName(const std::string &tag) {
    return SharedQueueName(tag + "." + std::to_string(getpid()) + "." + std::to_string(NextDeviceId("queues")));
}

void RecordQueueName(const std::string &name) { AppendToFile(DevicePath("mqueues"), name + "\n"); }

void UnlinkRecordedQueues(const std::string &deviceDir) {
    auto names = ReadWholeFile(deviceDir + "/mqueues");
    if (!names) return;
    for (const auto &name : Split(*names, '\n'))
        if (!name.empty()) mq_unlink(name.c_str());
}

std::string ObjectFileName(const std::string &kind, const std::u16string &name) {
    static const char hex[] = "0123456789abcdef";
    const std::string utf8 = Utf16ToUtf8(name);
    std::string out = kind + ".";
    for (unsigned char c : utf8) {
        if (std::isalnum(c) || c == '_' || c == '-') out += char(c);
        else (out += '%', out += hex[c >> 4]) += hex[c & 15];
    }
    // A file name holds 255 bytes: a longer escaped name is kept as its hash.
    constexpr size_t kLongestReadable = 200;
    if (out.size() <= kLongestReadable) return out;
    uint64_t hash = 0xcbf29ce484222325ull;  // FNV-1a
    for (unsigned char c : utf8) hash = (hash ^ c) * 0x100000001b3ull;
    char digest[17];
    std::snprintf(digest, sizeof digest, "%016llx", static_cast<unsigned long long>(hash));
    return kind + "#" + digest;
}

}  // namespace simdevice::internal
