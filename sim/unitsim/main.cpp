// unitsim: makes a simulated unit, runs its loader under a supervisor and lets a person or a
// test drive it (keys, touches, the stick, the shutdown request) and watch it. Each command is
// one entry of the command table below.
#include <algorithm>
#include <string>
#include <vector>

#include "CoreSystem/CommandProgram.h"
#include "sim/unitsim/Commands.h"

int main(int argc, char** argv) {
    using namespace Sim::Unitsim;
    const CoreSystem::CommandProgram unitsim(
        "unitsim", "COMMAND ROOT [ARGUMENTS] [OPTIONS]",
        "Makes a simulated unit, runs its loader under a supervisor and lets a person or a test\n"
        "drive it (keys, touches, the stick, the shutdown request) and watch it.",
        {makeCommand(), startCommand(), runCommand(), waitCommand(), pressCommand(),
         releaseCommand(), clickCommand(), touchCommand(), stickCommand(), gpioCommand(),
         frameCommand(), logsCommand(), panelCommand(), stopCommand()});
    return unitsim.run(std::vector<std::string>(argv + std::min(argc, 1), argv + argc));
}
