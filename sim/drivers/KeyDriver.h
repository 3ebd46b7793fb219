#pragma once

#include <string>

#include "platform/testkit/DeviceServer.h"
#include "sim/drivers/MessageQueue.h"
#include "sim/drivers/StandinDriver.h"

namespace Sim {

// "/dev/key": the front keys. A write of one 2-byte key mask (u16 little-endian) queues it; a
// read blocks until a mask is queued and returns it.
class KeyDriver final : public StandinDriver {
public:
    static constexpr std::size_t messageSize = 2;

    explicit KeyDriver(const std::string& hostPath);

private:
    MessageQueue queue_{messageSize};
    Platform::Testkit::DeviceServer server_;  // last: stops before the queue goes away
};

}  // namespace Sim
