#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Sim {

// What one unit-driver command stands for: the kind of driver, the device paths it serves and
// the unit configuration's name of the device that must be attached for it to appear.
struct DriverPlan {
    enum class Kind { key, touch, ioInterface, iplControl, pmicI2c, generic, screen, serialPort };

    Kind kind = Kind::generic;
    std::vector<std::string> devicePaths;  // unit paths
    std::string attachment;                // empty: always present

    // The plan of the driver `name` started with `arguments`; none, with `error` set, for a name
    // that is no driver of the unit or arguments that do not name its device.
    static std::optional<DriverPlan> forCommand(std::string_view name,
                                                const std::vector<std::string>& arguments,
                                                std::string& error);
    // Every driver name, for the usage text.
    static std::vector<std::string_view> driverNames();
};

}  // namespace Sim
