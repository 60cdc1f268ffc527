// powermgr: the power manager's part under Wine. It gives simdevice's own
// power-manager commands (post, subscribers) over the device seam, so both
// take the same names and forms and answer in the same words.
#include "CommandLine.h"
#include "PowerManagerCommands.h"
#include "device/Device.h"

namespace {

int Main(int argc, char **argv) {
    command_line::CommandSet tool("powermgr", "Plays the power manager in this Wine prefix.");
    std::vector<std::string> postWords;
    power_manager_commands::Add(tool, postWords);
    tool.Root().footer("\nExit status: 0 done; 2 bad input (one line on standard error), nothing posted.");
    return tool.Run(argc, argv);
}

}  // namespace

DEVICE_TOOL_MAIN(Main)
