#pragma once

#include <string>

#include "platform/testkit/DeviceServer.h"
#include "sim/drivers/StandinDriver.h"

namespace Sim {

// A device the loader only starts and waits for: reads return no bytes, writes take everything,
// device controls succeed.
class GenericDriver final : public StandinDriver {
public:
    explicit GenericDriver(const std::string& hostPath);

private:
    Platform::Testkit::DeviceServer server_;
};

}  // namespace Sim
