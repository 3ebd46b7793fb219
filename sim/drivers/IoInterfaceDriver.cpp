#include "sim/drivers/IoInterfaceDriver.h"

#include <algorithm>

#include "platform/DeviceCommands.h"

namespace Sim {

IoInterfaceDriver::IoInterfaceDriver(const std::string& hostPath)
    : server_(hostPath, {.devctl = [this](std::uint32_t command, std::vector<std::uint8_t>& data) {
                  return answer(command, data);
              }}) {}

std::int32_t IoInterfaceDriver::answer(std::uint32_t command, std::vector<std::uint8_t>& data) {
    namespace Commands = Platform::DeviceCommands;
    if (command == Commands::picQuery) {
        // The reply carries nothing an update needs: a cleared buffer.
        std::ranges::fill(data, std::uint8_t{0});
        firmware_.recordRequest("query");
        return 0;
    }
    return firmware_.handle(command, Commands::programmingStatus, data);
}

}  // namespace Sim
