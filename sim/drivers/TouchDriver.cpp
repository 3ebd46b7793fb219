#include "sim/drivers/TouchDriver.h"

#include "platform/DeviceCommands.h"

namespace Sim {

TouchDriver::TouchDriver(const std::string& hostPath) : server_(hostPath, handlers()) {}

Platform::Testkit::DeviceServer::Handlers TouchDriver::handlers() {
    Platform::Testkit::DeviceServer::Handlers handlers = queue_.handlers();
    handlers.devctl = [this](std::uint32_t command, std::vector<std::uint8_t>& data) {
        return firmware_.handle(command, Platform::DeviceCommands::touchProgrammingStatus, data);
    };
    return handlers;
}

}  // namespace Sim
