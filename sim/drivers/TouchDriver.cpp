#include "sim/drivers/TouchDriver.h"

#include "platform/DeviceCommands.h"

namespace Sim {

TouchDriver::TouchDriver(const std::string& hostPath)
    : server_(hostPath,
              {.read = [this](std::uint32_t wanted,
                              std::vector<std::uint8_t>& out) { return queue_.read(wanted, out); },
               .write = [this](std::span<const std::uint8_t> data) { return queue_.write(data); },
               .devctl =
                   [this](std::uint32_t command, std::vector<std::uint8_t>& data) {
                       return firmware_.handle(
                           command, Platform::DeviceCommands::touchProgrammingStatus, data);
                   },
               .onStop = [this] { queue_.stop(); }}) {}

}  // namespace Sim
