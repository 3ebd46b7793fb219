#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <vector>

#include "CoreSystem/Console.h"
#include "sim/common/FactoryData.h"
#include "sim/common/UnitConfiguration.h"
#include "sim/common/UnitPaths.h"
#include "sim/unitsim/Arguments.h"
#include "sim/unitsim/Commands.h"
#include "sim/unitsim/UnitFolder.h"

namespace Sim::Unitsim {

namespace {

namespace fs = std::filesystem;

// Every socket path of the unit is the root plus at most this many bytes.
constexpr std::size_t longestDevicePathInRoot = 40;
constexpr std::size_t socketPathCapacity = 107;

constexpr std::uint64_t bootParameterAddress = 0xE63C0000;
constexpr std::size_t bootParameterSize = 80;
constexpr std::uint32_t bootParameterMagic = 0x1234AA55;
constexpr std::uint32_t bootParameterCoveredWords = 19;
constexpr std::uint64_t gpioRegisterAddress = 0xE605580C;
// The memory file ends after the page of the boot-parameter area, the highest address used.
constexpr std::uint64_t memoryFileSize = bootParameterAddress + 0x1000;

constexpr std::size_t dataBlockSize = FactoryData::blockSize;
// Block 2 holds a byte count at word 0 and the checksum of that many bytes right after them.
constexpr std::uint32_t block2CoveredBytes = 8;
constexpr std::uint32_t block2Contents = 0x00000001;

constexpr std::array<const char*, 6> folders = {"/dev",         "/tmp",     "/mnt/stick",
                                                "/var/log/sim", "/var/run", "/var/sim/factory"};

using Bytes = std::vector<std::uint8_t>;

// Block 1: part number, serial number, display type and variant; checksum in its last word.
Bytes factoryBlock1(const UnitConfiguration& unit) {
    return FactoryData::block1({{0, unit.partNumber},
                                {1, unit.serialNumber},
                                {8, unit.displayType},
                                {9, unit.variantCode}});
}

Bytes factoryBlock2() {
    return FactoryData::words(dataBlockSize, {{0, block2CoveredBytes}, {1, block2Contents}},
                              block2CoveredBytes, block2CoveredBytes);
}

// The boot loader's parameter area carries the same board numbers, as the fall-back for a unit
// whose block 1 cannot be read.
Bytes bootParameterArea(const UnitConfiguration& unit) {
    return FactoryData::words(bootParameterSize,
                              {{0, bootParameterMagic},
                               {1, bootParameterCoveredWords},
                               {4, unit.partNumber},
                               {5, unit.serialNumber},
                               {12, unit.displayType},
                               {13, unit.variantCode}},
                              std::size_t{bootParameterCoveredWords} * 4, bootParameterSize - 4);
}

void writeBytes(const std::string& hostPath, const Bytes& bytes) {
    const int handle = ::open(hostPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const bool written = handle >= 0 && ::write(handle, bytes.data(), bytes.size()) ==
                                            static_cast<ssize_t>(bytes.size());
    if (handle >= 0) {
        ::close(handle);
    }
    if (!written) {
        throw CommandFailure(hostPath + ": cannot be written");
    }
}

// A sparse file standing for physical memory: the boot-parameter area and the GPIO register
// (zero) written, everything else reading as zero.
void makeMemoryFile(const std::string& hostPath, const UnitConfiguration& unit) {
    const int handle = ::open(hostPath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (handle < 0) {
        throw CommandFailure(hostPath + ": cannot be made");
    }
    const Bytes area = bootParameterArea(unit);
    const std::array<std::uint8_t, 4> gpio{};
    const bool written =
        ::ftruncate(handle, static_cast<off_t>(memoryFileSize)) == 0 &&
        ::pwrite(handle, area.data(), area.size(), static_cast<off_t>(bootParameterAddress)) ==
            static_cast<ssize_t>(area.size()) &&
        ::pwrite(handle, gpio.data(), gpio.size(), static_cast<off_t>(gpioRegisterAddress)) ==
            static_cast<ssize_t>(gpio.size());
    ::close(handle);
    if (!written) {
        throw CommandFailure(hostPath + ": cannot be written");
    }
}

// The platform tools on PATH point at the programs built beside unitsim.
void linkPlatformTools(const UnitFolder& unit) {
    const std::string programs = UnitFolder::programFolder();
    const std::array<std::pair<const char*, const char*>, 4> links = {
        {{"unit-driver", "unit-driver"},
         {"unit-tool", "unit-tool"},
         {"waitfor", "unit-tool"},
         {"sync", "unit-tool"}}};
    for (const auto& [name, program] : links) {
        fs::create_symlink(programs + "/" + program,
                           unit.hostPath(UnitPaths::platformToolsFolder) + name);
    }
}

std::set<std::string> knownDevices() {
    std::set<std::string> devices(std::begin(UnitConfiguration::allDevices),
                                  std::end(UnitConfiguration::allDevices));
    devices.insert("usb-serial");
    return devices;
}

UnitConfiguration configurationFrom(const CommandLine& line) {
    UnitConfiguration unit;
    const std::array<std::pair<const char*, std::uint32_t*>, 5> numbers = {
        {{"--display-type", &unit.displayType},
         {"--variant", &unit.variantCode},
         {"--part-number", &unit.partNumber},
         {"--serial-number", &unit.serialNumber},
         {"--bluetooth-build", &unit.bluetoothBuild}}};
    for (const auto& [option, field] : numbers) {
        if (const std::optional<std::string> text = line.value(option)) {
            *field = parseUnsigned(*text, option);
        }
    }
    unit.dataPartitionUsable = !line.has("--unusable-data-partition");
    const std::set<std::string> devices = knownDevices();
    for (const char* option : {"--detach", "--attach"}) {
        for (const std::string& device : line.values(option)) {
            if (!devices.contains(device)) {
                throw UsageError("unknown device '" + device +
                                 "' (known: key touch io-interface "
                                 "iplctl emmc bluetooth usb-serial)");
            }
            if (std::string_view(option) == "--detach") {
                unit.attached.erase(device);
            } else {
                unit.attached.insert(device);
            }
        }
    }
    return unit;
}

void checkRootIsUsable(const UnitFolder& unit) {
    if (unit.root().size() + longestDevicePathInRoot > socketPathCapacity) {
        throw CommandFailure(unit.root() + ": too long for the unit's socket paths (at most " +
                             std::to_string(socketPathCapacity - longestDevicePathInRoot) +
                             " bytes)");
    }
    std::error_code error;
    if (fs::exists(unit.root(), error) &&
        (!fs::is_directory(unit.root(), error) || !fs::is_empty(unit.root(), error))) {
        throw CommandFailure(unit.root() + ": exists and is not an empty folder");
    }
}

int make(const CommandLine& line) {
    const UnitConfiguration configuration = configurationFrom(line);
    const UnitFolder unit(line.positionals()[0]);
    checkRootIsUsable(unit);

    try {
        for (const char* folder : folders) {
            fs::create_directories(unit.hostPath(folder));
        }
        fs::create_directories(unit.hostPath(UnitPaths::platformToolsFolder));
        if (configuration.dataPartitionUsable) {
            fs::create_directories(unit.hostPath("/fs/etfs"));
        }
        linkPlatformTools(unit);
    } catch (const fs::filesystem_error& error) {
        throw CommandFailure(error.what());
    }
    makeMemoryFile(unit.hostPath("/dev/mem"), configuration);
    const std::string factory = unit.hostPath(UnitPaths::factoryDataFolder);
    writeBytes(factory + "block1.bin", factoryBlock1(configuration));
    writeBytes(factory + "block2.bin", factoryBlock2());
    writeBytes(factory + "block3.bin", Bytes(dataBlockSize, 0xFF));
    if (!configuration.save(unit.root())) {
        throw CommandFailure(unit.hostPath(UnitPaths::configuration) + ": cannot be written");
    }
    CoreSystem::Console::print("made unit " + unit.root() + "\n");
    return 0;
}

}  // namespace

Command makeCommand() {
    return {
        .name = "make",
        .summary = "make a unit in an empty or new folder",
        .usage =
            "ROOT [--display-type N] [--variant N] [--part-number N]\n"
            "[--serial-number N] [--bluetooth-build N] [--unusable-data-partition]\n"
            "[--detach DEVICE]... [--attach DEVICE]...",
        .help =
            "Makes a unit in the empty or new folder ROOT: its folders, physical memory with "
            "the boot\nparameters, factory data, unit.conf and the platform tools. DEVICE: "
            "key touch io-interface\niplctl emmc bluetooth usb-serial.\n",
        .options = {{"--display-type", OptionKind::value},
                    {"--variant", OptionKind::value},
                    {"--part-number", OptionKind::value},
                    {"--serial-number", OptionKind::value},
                    {"--bluetooth-build", OptionKind::value},
                    {"--unusable-data-partition"},
                    {"--detach", OptionKind::repeatedValue},
                    {"--attach", OptionKind::repeatedValue}},
        .minimumArguments = 1,
        .maximumArguments = 1,
        .run = make,
    };
}

}  // namespace Sim::Unitsim
