// The power manager's commands, one definition for both stand-ins: simdevice
// gives them on the simulated device, powermgr.exe under Wine.
//   post BROADCAST, post raw MESSAGE FLAGS   one broadcast to every subscriber
//                                            whose mask has its kind
//   subscribers                              the number of live subscribers
#pragma once

#include "Broadcasts.h"
#include "CommandLine.h"
#include "device/Device.h"

#include <fmt/format.h>

#include <string>
#include <vector>

namespace power_manager_commands {

// POST_WORDS holds post's words until its action runs.
inline void Add(command_line::CommandSet &tool, std::vector<std::string> &postWords) {
    CLI::App *post = tool.Add(tool.Root(), "post", "play the power manager: post a broadcast", [&](const CLI::App &) {
        const broadcasts::NamedBroadcast chosen = broadcasts::Read(postWords);
        const device::Posted posted = device::Post(chosen.message, chosen.flags, chosen.stateName);
        fmt::print("posted {}: delivered to {} queue(s), dropped by {}\n", chosen.name, posted.delivered, posted.dropped);
        return 0;
    });
    post->add_option("BROADCAST", postWords,
                     "one of: " + broadcasts::Names() + "; or raw MESSAGE FLAGS, any pair (" +
                         argument_values::kDwordRule + ")")
        ->type_name("");
    tool.Add(tool.Root(), "subscribers", "print the number of live subscribers to the power manager",
             [](const CLI::App &) {
                 fmt::print("{}\n", device::Subscribers());
                 return 0;
             });
}

}  // namespace power_manager_commands
