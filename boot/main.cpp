#include <cstdio>
#include <string>

#include "assets/Payloads.h"
#include "boot/ApplicationController.h"
#include "boot/StartupSequence.h"
#include "platform/UnitRoot.h"

#ifdef LOADER_REQUIRES_SEAL
// The public half of the release engineers' seal key, when the loader is built to require seals.
extern "C" const unsigned char loaderSealPublicKeyPem[];
extern "C" const unsigned long loaderSealPublicKeyPem_size;
#endif

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
#ifdef LOADER_REQUIRES_SEAL
        // A key that does not parse leaves no usable key, so every package is refused.
        static const Boot::PackageSeal::Key sealKey = Boot::PackageSeal::Key::fromPemText(
            {reinterpret_cast<const char*>(loaderSealPublicKeyPem), loaderSealPublicKeyPem_size});
        controller.requireSeal(sealKey);
#endif
        Boot::StartupSequence::startServices();
        result = controller.run();
    }
    return result;
}
