#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>

namespace Sim {

// What a simulated unit is made of, kept in the unit root as "key = value" lines. unitsim writes
// it when it makes a unit; the stand-in drivers read it to know whether their device is attached.
struct UnitConfiguration {
    // Devices: "key", "touch", "io-interface", "iplctl", "emmc", "bluetooth" (the module on the
    // on-chip serial port) and "usb-serial" (a USB serial adapter with the module behind it).
    static constexpr const char* allDevices[] = {"key",    "touch", "io-interface",
                                                 "iplctl", "emmc",  "bluetooth"};

    std::uint32_t displayType = 3;
    std::uint32_t variantCode = 1;
    std::uint32_t partNumber = 2001001;
    std::uint32_t serialNumber = 7000123;
    // The Bluetooth module's firmware build before any update.
    std::uint32_t bluetoothBuild = 5000;
    // False for a unit whose data partition must be formatted before it can be used.
    bool dataPartitionUsable = true;
    std::set<std::string> attached{std::begin(allDevices), std::end(allDevices)};

    bool isAttached(const std::string& device) const { return attached.contains(device); }

    // From the unit root's configuration file; an error names the file and the line.
    static std::optional<UnitConfiguration> load(const std::string& unitRoot, std::string& error);
    // Reads the unit named by UNIT_ROOT; a unit without a configuration file is the default one.
    static UnitConfiguration loadCurrent();
    bool save(const std::string& unitRoot) const;
    std::string text() const;
};

}  // namespace Sim
