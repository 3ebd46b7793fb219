#include "boot/installers/BootStrapInstaller.h"

#include <array>
#include <fstream>
#include <string_view>

#include "platform/DeviceCommands.h"
#include "platform/UnitRoot.h"

namespace Boot {
namespace {

// The first bootstrap version that can drive an HS400 eMMC (2.9.10247).
constexpr std::int32_t firstHs400Bootstrap = 2910247;

// "/tmp/emmc.dat" describes the unit's eMMC; it is written outside this program.
bool unitHasHs400Emmc() {
    std::ifstream description(Platform::UnitRoot::hostPath("/tmp/emmc.dat"), std::ios::binary);
    if (!description) {
        return false;
    }
    std::array<char, 16> bytes{};
    description.read(bytes.data(), bytes.size());
    const auto count = static_cast<std::size_t>(description.gcount());
    return std::string_view(bytes.data(), count).starts_with("HS400");
}

}  // namespace

InstallStatus BootStrapInstaller::install(const ComponentEntry& entry, std::istream& stream,
                                          InstallLog& installLog) {
    static constexpr Target bootstrap{
        .devicePath = "/dev/iplctl",
        .driverMissing = "Bootstrap: iplctl driver is not running",
        .progressText = "Updating Bootstrap...",
        .programmingLine = "Bootstrap: Programming QSPI-NOR",
        .statusCommand = Platform::DeviceCommands::bootstrapProgrammingStatus,
        .completeLine = "-- Bootstrap Update Complete -- Status ",
    };
    reportAtStart("Begin Bootstrap Update");
    installLog.line("-- Begin Bootstrap Update --");
    if (static_cast<std::int32_t>(entry.version) < firstHs400Bootstrap && unitHasHs400Emmc()) {
        installLog.line("Bootstrap: HS400 eMMC type, cannot downgrade bootstrap");
        return InstallStatus::cannotDowngradeEmmcDriver;
    }
    std::vector<char> image;
    if (!readImage(entry, stream, installLog, "Bootstrap: Allocate buffer for Bootstrap binary",
                   "Bootstrap: Good BootStrap file crc", image)) {
        return InstallStatus::failure;
    }
    std::int32_t status = -1;
    return programTarget(bootstrap, entry, image, installLog, status) ? InstallStatus::success
                                                                      : InstallStatus::failure;
}

}  // namespace Boot
