#include "sim/drivers/KeyDriver.h"

namespace Sim {

KeyDriver::KeyDriver(const std::string& hostPath)
    : server_(hostPath,
              {.read = [this](std::uint32_t wanted,
                              std::vector<std::uint8_t>& out) { return queue_.read(wanted, out); },
               .write = [this](std::span<const std::uint8_t> data) { return queue_.write(data); },
               .onStop = [this] { queue_.stop(); }}) {}

}  // namespace Sim
