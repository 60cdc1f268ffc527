// The power manager's part under Wine: posts a power broadcast to every
// subscriber in this Wine prefix whose mask has its kind, without waiting
// (a full queue drops it, as on the device). It reads "post"'s words with
// the reader "simdevice post" uses, so both take the same names and forms.
//
// Its other words are read here rather than with CLI11, which the
// cross-compiler's include path does not see (and which would bring the
// host's headers with it).
#include <windows.h>
#include <pm.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "ArgumentValues.h"
#include "Broadcasts.h"
#include "QueueRules.h"
#include "shared_objects.h"

#ifndef DEVICELOCK_VERSION
#define DEVICELOCK_VERSION ""
#endif

using namespace coredll;

namespace {

constexpr int kBadInput = 2;

const char kUsage[] = R"(usage: powermgr post BROADCAST
       powermgr post raw MESSAGE FLAGS
       powermgr subscribers
Plays the power manager in this Wine prefix.

  post BROADCAST            post a broadcast to every subscriber whose mask has its kind; BROADCAST is one of
                            unattended suspend resuming on resume powerinfo powerstatus
  post raw MESSAGE FLAGS    post any Message/Flags pair (DWORDs: 0 to 0xFFFFFFFF, decimal or 0x-hexadecimal)
  subscribers               print the number of live subscribers
  --help, --version

Exit status: 0 done; 2 bad input (one line on standard error), nothing posted.
)";

// A refusal: one line, and where to look.
struct BadInput : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

int Post(DWORD message, DWORD flags, const char *stateName) {
    const std::wstring name(stateName, stateName + std::strlen(stateName));
    DWORD total = 0;
    const DWORD delivered = Broadcast(message, queue_rules::BroadcastRecord(message, flags, name.c_str(), name.size()), &total);
    std::printf("posted 0x%lx 0x%lx to %lu of %lu subscribers\n", message, flags, delivered, total);
    return 0;
}

void RefuseExtra(const std::vector<std::string> &words, size_t used) {
    if (words.size() > used) throw BadInput("The following argument was not expected: " + words[used]);
}

int PostCommand(const std::vector<std::string> &words) {
    try {
        const broadcasts::NamedBroadcast chosen = broadcasts::Read(std::vector<std::string>(words.begin() + 1, words.end()));
        return Post(chosen.message, chosen.flags, chosen.stateName);
    } catch (const std::invalid_argument &error) {
        throw BadInput(error.what());
    }
}

int Command(const std::vector<std::string> &words) {
    if (words.empty()) throw BadInput("a command is required (one of: post subscribers)");
    for (const std::string &word : words) {
        if (word == "--help" || word == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
    const std::string &command = words[0];
    if (command == "--version") {
        const std::string version = DEVICELOCK_VERSION;
        std::printf("powermgr %s\n", version.empty() ? "(no version set)" : version.c_str());
        return 0;
    }
    if (command == "post") return PostCommand(words);
    if (command == "subscribers") {
        RefuseExtra(words, 1);
        Subscriber subscribers[kMaxSubscribers];
        std::printf("%lu\n", ListSubscribers(subscribers));
        return 0;
    }
    throw BadInput("unknown command '" + command + "' (one of: post subscribers)");
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) words.push_back(Utf8(argv[i]));
    try {
        return Command(words);
    } catch (const BadInput &error) {
        std::fprintf(stderr, "powermgr: %s\nrun 'powermgr --help'\n", error.what());
        return kBadInput;
    }
}
