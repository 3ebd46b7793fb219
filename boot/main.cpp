#include <cstdio>
#include <string>

#include "assets/Payloads.h"
#include "boot/ApplicationController.h"
#include "boot/StartupSequence.h"
#include "platform/UnitRoot.h"

int main(int argc, char** /*argv*/) {
    // On this host every unit path lies beneath UNIT_ROOT; without one nothing may start.
    if (std::string message; !Platform::UnitRoot::check(message)) {
        std::fprintf(stderr, "bootloader: %s\n", message.c_str());
        return Platform::UnitRoot::refusalExitStatus;
    }
    const Assets::PayloadBytes fileSystem = Assets::loaderFileSystemPayload();
    const Assets::PayloadBytes utilities = Assets::utilitiesPayload();
    Boot::StartupSequence startup(argc, {fileSystem.begin, fileSystem.end},
                                  {utilities.begin, utilities.end});
    startup.bringUpHardware();
    int result = 0;
    {
        Boot::ApplicationController controller;
        Boot::StartupSequence::startServices();
        result = controller.run();
    }
    return result;
}
