#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/testkit/DeviceServer.h"
#include "sim/drivers/StandinDriver.h"

namespace Sim {

// "/dev/i2c6": the I2C bus of the power-management IC. Every send is logged to the received
// "pmic.log" ("slave 0x5a reg 0x11 value 0x69" for a register write) and succeeds. The watchdog
// reset that ends a hardware shutdown (register 0x13 set to 0x01 on the IC at 0x5a) also writes
// `resetMarkerPath`, where the simulated unit sees that the unit resets.
class PmicI2cDriver final : public StandinDriver {
public:
    PmicI2cDriver(const std::string& hostPath, std::string resetMarkerPath);

private:
    std::int32_t answer(std::uint32_t command, const std::vector<std::uint8_t>& data) const;

    const std::string resetMarkerPath_;
    Platform::Testkit::DeviceServer server_;
};

}  // namespace Sim
