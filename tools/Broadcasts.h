// The power broadcasts the tools post by name, one table for the device tool
// and the power-manager tool under Wine, so that a name means the same
// broadcast on both. Needs only <pm.h>, which both builds have.
#pragma once

#include <pm.h>

#include "DeviceFacts.h"

#include <string>

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

}  // namespace broadcasts
