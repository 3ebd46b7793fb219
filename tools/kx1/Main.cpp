// kx1: the packaging tool for the unit's install packages. Each subcommand lives in its own file
// and is one entry of the command table below.
#include <algorithm>
#include <string>
#include <vector>

#include "CoreSystem/CommandProgram.h"
#include "tools/kx1/Command.h"

int main(int argc, char** argv) {
    using namespace Kx1;
    const CoreSystem::CommandProgram kx1(
        "kx1", "COMMAND [ARGUMENTS] [OPTIONS]",
        "Builds, signs, inspects and checks the install packages (.kx1) of the display unit.",
        {keygenCommand(), packCommand(), sealCommand(), inspectCommand(), verifyCommand(),
         planCommand(), extractCommand(), crcCommand(), dfuMakeCommand(), dfuCheckCommand()});
    return kx1.run(std::vector<std::string>(argv + std::min(argc, 1), argv + argc));
}
