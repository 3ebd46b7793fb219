#pragma once

#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "platform/testkit/DeviceServer.h"

namespace TestSupport {

// A device that takes every write whole and keeps it.
class RecordingDevice {
public:
    using Bytes = std::vector<std::uint8_t>;

    explicit RecordingDevice(const std::string& hostPath)
        : server_(hostPath, {.write = [this](std::span<const std::uint8_t> data) {
                      const std::lock_guard lock(mutex_);
                      writes_.emplace_back(data.begin(), data.end());
                      return static_cast<std::int32_t>(data.size());
                  }}) {}

    std::vector<Bytes> writes() {
        const std::lock_guard lock(mutex_);
        return writes_;
    }

private:
    std::mutex mutex_;
    std::vector<Bytes> writes_;
    Platform::Testkit::DeviceServer server_;  // last, so that it stops before the writes it fills
                                              // go away
};

}  // namespace TestSupport
