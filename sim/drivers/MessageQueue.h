#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <span>
#include <vector>

#include "platform/testkit/DeviceServer.h"

namespace Sim {

// The queue of an input driver: fixed-size messages written by one connection (the person's
// command, a test) and read by another (the loader's reader thread), each message read once.
class MessageQueue {
public:
    explicit MessageQueue(std::size_t messageSize) : messageSize_(messageSize) {}

    // A read request: blocks until a message is queued and returns it whole. A request for
    // fewer bytes than a message is refused (-EINVAL) and takes nothing; once stopped, a read
    // returns no bytes, so that a blocked reader ends.
    std::int32_t read(std::uint32_t wanted, std::vector<std::uint8_t>& out);
    // A write request: exactly one message is queued (its size is the result); any other length
    // is refused with -EINVAL.
    std::int32_t write(std::span<const std::uint8_t> data);
    void stop();
    // Read, write and stop handlers of a device server, bound to this queue.
    Platform::Testkit::DeviceServer::Handlers handlers();

private:
    const std::size_t messageSize_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::vector<std::uint8_t>> messages_;
    bool stopped_ = false;
};

}  // namespace Sim
