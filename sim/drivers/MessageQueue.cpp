#include "sim/drivers/MessageQueue.h"

#include <cerrno>

namespace Sim {

std::int32_t MessageQueue::read(std::uint32_t wanted, std::vector<std::uint8_t>& out) {
    if (wanted < messageSize_) {
        return -EINVAL;
    }
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return stopped_ || !messages_.empty(); });
    if (stopped_) {
        return 0;
    }
    out = std::move(messages_.front());
    messages_.pop_front();
    return static_cast<std::int32_t>(out.size());
}

std::int32_t MessageQueue::write(std::span<const std::uint8_t> data) {
    if (data.size() != messageSize_) {
        return -EINVAL;
    }
    {
        const std::lock_guard lock(mutex_);
        messages_.emplace_back(data.begin(), data.end());
    }
    changed_.notify_one();
    return static_cast<std::int32_t>(data.size());
}

void MessageQueue::stop() {
    {
        const std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    changed_.notify_all();
}

Platform::Testkit::DeviceServer::Handlers MessageQueue::handlers() {
    return {.read = [this](std::uint32_t wanted,
                           std::vector<std::uint8_t>& out) { return read(wanted, out); },
            .write = [this](std::span<const std::uint8_t> data) { return write(data); },
            .onStop = [this] { stop(); }};
}

}  // namespace Sim
