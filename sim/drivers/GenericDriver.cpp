#include "sim/drivers/GenericDriver.h"

namespace Sim {

GenericDriver::GenericDriver(const std::string& hostPath)
    : server_(
          hostPath,
          {.read = [](std::uint32_t, std::vector<std::uint8_t>&) { return std::int32_t{0}; },
           .write =
               [](std::span<const std::uint8_t> data) {
                   return static_cast<std::int32_t>(data.size());
               },
           .devctl = [](std::uint32_t, std::vector<std::uint8_t>&) { return std::int32_t{0}; }}) {}

}  // namespace Sim
