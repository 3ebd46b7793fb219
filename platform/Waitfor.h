#pragma once

#include <string>

namespace Platform {

// Waits for a host path to exist, polling through the clock seam. Returns 0 when it exists
// (at once when it already does), -1 with errno ETIMEDOUT after `maximumMilliseconds`.
[[nodiscard]] int waitfor(const std::string& hostPath, int maximumMilliseconds,
                          int pollMilliseconds = 100);

}  // namespace Platform
