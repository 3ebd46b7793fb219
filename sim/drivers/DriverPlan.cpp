#include "sim/drivers/DriverPlan.h"

#include <algorithm>
#include <array>

namespace Sim {
namespace {

using Kind = DriverPlan::Kind;

// Drivers whose device path does not depend on their arguments.
struct FixedDriver {
    std::string_view name;
    Kind kind;
    const char* devicePath;
    const char* attachment;
};

constexpr std::array fixedDrivers{
    FixedDriver{"key", Kind::key, "/dev/key", "key"},
    FixedDriver{"touch-dura", Kind::touch, "/dev/touch-dura", "touch"},
    FixedDriver{"io-interface", Kind::ioInterface, "/dev/io_interface", "io-interface"},
    FixedDriver{"io-interface-opt", Kind::ioInterface, "/dev/io_interface", "io-interface"},
    FixedDriver{"iplctl", Kind::iplControl, "/dev/iplctl", "iplctl"},
    FixedDriver{"i2c-rcar", Kind::pmicI2c, "/dev/i2c6", ""},
    FixedDriver{"spi-master", Kind::generic, "/dev/spi0", ""},
    FixedDriver{"thermal", Kind::generic, "/dev/thermal", ""},
    FixedDriver{"thermalmgr", Kind::generic, "/dev/thermalmgr", ""},
    FixedDriver{"power-fail", Kind::generic, "/dev/power-fail", ""},
    FixedDriver{"random", Kind::generic, "/dev/random", ""},
    FixedDriver{"screen", Kind::screen, "/dev/screen", ""},
    FixedDriver{"devb-mmcsd-rcarm2-trevanic-mmc", Kind::generic, "/dev/emmc0", "emmc"},
    FixedDriver{"devb-mmcsd-rcarm2-trevanic-sdhi", Kind::generic,
                "/dev/devb-mmcsd-rcarm2-trevanic-sdhi", ""},
    FixedDriver{"devb-umass", Kind::generic, "/dev/devb-umass", ""},
    FixedDriver{"io-usb", Kind::generic, "/dev/io-usb", ""},
    FixedDriver{"enum-usb", Kind::generic, "/dev/enum-usb", ""},
    FixedDriver{"devc-sercan", Kind::generic, "/dev/sercan1", ""},
    FixedDriver{"devc-serscif485", Kind::generic, "/dev/rs4854", ""},
    FixedDriver{"devc-pty", Kind::generic, "/dev/ptyp0", ""},
    FixedDriver{"io-pkt-v4-hc", Kind::generic, "/dev/socket", ""},
    FixedDriver{"devc-serscif", Kind::serialPort, "/dev/ser1", "bluetooth"},
    FixedDriver{"devc-serusb", Kind::serialPort, "/dev/serusb1", "usb-serial"},
};

// Drivers whose unit number comes from an option: "-uN" or "-u N" (-c for the I2C buses).
struct NumberedDriver {
    std::string_view name;
    std::string_view option;
    std::vector<std::string_view> devicePrefixes;  // the device paths are prefix + N
};

const std::array<NumberedDriver, 4>& numberedDrivers() {
    static const std::array<NumberedDriver, 4> drivers{{
        // The PWM and backlight drivers of a channel both stand for the channel's backlight
        // hardware; the loader waits for either path whichever one it started.
        {"pwm-mx", "-u", {"/dev/pwm", "/dev/backlight"}},
        {"backlight-m2", "-u", {"/dev/pwm", "/dev/backlight"}},
        {"i2c-rcar_i2c", "-c", {"/dev/i2c"}},
        {"dev-can-m2", "-u", {"/dev/can"}},
    }};
    return drivers;
}

constexpr std::size_t maximumUnitDigits = 3;

bool isUnitNumber(std::string_view text) {
    return !text.empty() && text.size() <= maximumUnitDigits &&
           std::ranges::all_of(text,
                               [](char character) { return character >= '0' && character <= '9'; });
}

// The unit number given with `option`, or empty when it is missing or not a number.
std::string unitNumber(const std::vector<std::string>& arguments, std::string_view option) {
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        const std::string_view argument = arguments[index];
        if (argument == option && index + 1 < arguments.size()) {
            return isUnitNumber(arguments[index + 1]) ? arguments[index + 1] : std::string();
        }
        if (argument.starts_with(option) && argument.size() > option.size()) {
            const std::string_view number = argument.substr(option.size());
            return isUnitNumber(number) ? std::string(number) : std::string();
        }
    }
    return {};
}

}  // namespace

std::optional<DriverPlan> DriverPlan::forCommand(std::string_view name,
                                                 const std::vector<std::string>& arguments,
                                                 std::string& error) {
    for (const FixedDriver& driver : fixedDrivers) {
        if (driver.name == name) {
            return DriverPlan{driver.kind, {driver.devicePath}, driver.attachment};
        }
    }
    for (const NumberedDriver& driver : numberedDrivers()) {
        if (driver.name != name) {
            continue;
        }
        const std::string number = unitNumber(arguments, driver.option);
        if (number.empty()) {
            error =
                std::string(name) + ": needs a unit number (" + std::string(driver.option) + "N)";
            return std::nullopt;
        }
        DriverPlan plan;
        for (const std::string_view prefix : driver.devicePrefixes) {
            plan.devicePaths.push_back(std::string(prefix) + number);
        }
        return plan;
    }
    error = "no driver named '" + std::string(name) + "'";
    return std::nullopt;
}

std::vector<std::string_view> DriverPlan::driverNames() {
    std::vector<std::string_view> names;
    names.reserve(fixedDrivers.size() + numberedDrivers().size());
    for (const FixedDriver& driver : fixedDrivers) {
        names.push_back(driver.name);
    }
    for (const NumberedDriver& driver : numberedDrivers()) {
        names.push_back(driver.name);
    }
    return names;
}

}  // namespace Sim
