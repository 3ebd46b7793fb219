#pragma once

#include <string>

#include "platform/testkit/DeviceServer.h"
#include "sim/drivers/FirmwareSink.h"
#include "sim/drivers/StandinDriver.h"

namespace Sim {

// "/dev/io_interface": the I/O board's microcontroller, programmed through device controls
// (query, image pieces, programming status) into "pic-firmware".
class IoInterfaceDriver final : public StandinDriver {
public:
    explicit IoInterfaceDriver(const std::string& hostPath);

    FirmwareSink& firmware() { return firmware_; }

private:
    std::int32_t answer(std::uint32_t command, std::vector<std::uint8_t>& data);

    FirmwareSink firmware_{"pic-firmware"};
    Platform::Testkit::DeviceServer server_;  // last: stops before the sink goes away
};

}  // namespace Sim
