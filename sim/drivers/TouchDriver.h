#pragma once

#include <string>

#include "platform/testkit/DeviceServer.h"
#include "sim/drivers/FirmwareSink.h"
#include "sim/drivers/MessageQueue.h"
#include "sim/drivers/StandinDriver.h"

namespace Sim {

// "/dev/touch-dura": the touch controller. Touch messages are 28 bytes (seven u32 little-endian
// words: kind, x, y, contact and three more); a write of one message queues it, a read blocks
// until one is queued. Its device controls program the controller's firmware
// ("touch-firmware").
class TouchDriver final : public StandinDriver {
public:
    static constexpr std::size_t messageSize = 28;

    explicit TouchDriver(const std::string& hostPath);

    FirmwareSink& firmware() { return firmware_; }

private:
    Platform::Testkit::DeviceServer::Handlers handlers();

    MessageQueue queue_{messageSize};
    FirmwareSink firmware_{"touch-firmware"};
    Platform::Testkit::DeviceServer server_;  // last: stops before what it serves goes away
};

}  // namespace Sim
