// The power broadcasts the tools post, one table and one reading of "post"'s
// words for the device tool and the power-manager tool under Wine, so that
// a command means the same broadcast on both, and a bad one is refused in
// the same words. Needs only <pm.h> and the number rules, which both builds
// have.
#pragma once

#include <pm.h>

#include "ArgumentValues.h"
#include "DeviceFacts.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace broadcasts {

using device_facts::kPowerStateUnattended;

struct NamedBroadcast {
    const char *name;
    DWORD message;
    DWORD flags;
    const char *stateName;  // ASCII; empty for broadcasts that are not transitions
};

inline const NamedBroadcast kNamed[] = {
    {"unattended", PBT_TRANSITION, kPowerStateUnattended, "unattended"},
    {"suspend", PBT_TRANSITION, POWER_STATE_SUSPEND, "suspend"},
    {"resuming", PBT_TRANSITION, 0, "resuming"},
    {"on", PBT_TRANSITION, POWER_STATE_ON, "on"},
    {"resume", PBT_RESUME, 0, ""},
    {"powerinfo", PBT_POWERINFOCHANGE, 0, ""},
    {"powerstatus", PBT_POWERSTATUSCHANGE, 0, ""},
};

// The word that takes a Message and Flags pair instead of a name.
inline const char kRaw[] = "raw";

inline const NamedBroadcast *Find(const std::string &name) {
    for (const NamedBroadcast &broadcast : kNamed)
        if (name == broadcast.name) return &broadcast;
    return nullptr;
}

// "unattended suspend ... powerstatus", for help and errors.
inline std::string Names() {
    std::string names;
    for (const NamedBroadcast &broadcast : kNamed) names += (names.empty() ? "" : " ") + std::string(broadcast.name);
    return names;
}

// "'NAME' is not a broadcast (...)"
inline std::string Unknown(const std::string &name) {
    return "'" + name + "' is not a broadcast (" + Names() + ", or raw MESSAGE FLAGS)";
}

// What the words after "post" ask for: BROADCAST, or raw MESSAGE FLAGS.
// Throws std::invalid_argument with one line naming the bad part.
inline NamedBroadcast Read(const std::vector<std::string> &words) {
    const auto word = [&words](size_t at, const char *name) -> const std::string & {
        if (words.size() <= at) throw std::invalid_argument(std::string(name) + " is required");
        return words[at];
    };
    const auto dword = [&word](size_t at, const char *name) {
        const std::string &text = word(at, name);
        try {
            return argument_values::Dword(text);
        } catch (const std::invalid_argument &error) {
            throw std::invalid_argument(std::string(name) + ": " + error.what());
        }
    };
    NamedBroadcast chosen{kRaw, 0, 0, ""};
    size_t used = 3;
    if (word(0, "BROADCAST") == kRaw) {
        chosen.message = dword(1, "MESSAGE");
        chosen.flags = dword(2, "FLAGS");
    } else if (const NamedBroadcast *named = Find(words[0])) {
        chosen = *named;
        used = 1;
    } else {
        throw std::invalid_argument("BROADCAST: " + Unknown(words[0]));
    }
    if (words.size() > used) throw std::invalid_argument("The following argument was not expected: " + words[used]);
    return chosen;
}

}  // namespace broadcasts
