#include "sim/drivers/KeyDriver.h"

namespace Sim {

KeyDriver::KeyDriver(const std::string& hostPath) : server_(hostPath, queue_.handlers()) {}

}  // namespace Sim
