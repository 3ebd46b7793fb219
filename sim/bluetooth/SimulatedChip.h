#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "sim/bluetooth/BcspCodec.h"
#include "sim/bluetooth/ChipLink.h"
#include "sim/bluetooth/ChipOptions.h"
#include "sim/bluetooth/ChipReport.h"
#include "sim/bluetooth/DfuDevice.h"

namespace Sim {

// A Bluetooth module on the master side of a pseudo-terminal, run on its own thread in real
// time. It starts in text mode (multiplexer exit frame, "RESET" answered with a banner,
// "BOOT 1" switching to BCSP), then speaks BCSP with the DFU function on channel 12.
class SimulatedChip {
public:
    explicit SimulatedChip(ChipOptions options = {});
    SimulatedChip(const SimulatedChip&) = delete;
    SimulatedChip& operator=(const SimulatedChip&) = delete;
    SimulatedChip(SimulatedChip&&) = delete;
    SimulatedChip& operator=(SimulatedChip&&) = delete;
    ~SimulatedChip();

    // The path to open as the module's serial port.
    const std::string& slavePath() const { return slavePath_; }
    ChipReport report() const;
    // Waits until `condition` holds for the report, or `timeout` passes; says which.
    bool waitUntil(const std::function<bool(const ChipReport&)>& condition,
                   std::chrono::milliseconds timeout) const;

private:
    using TimePoint = std::chrono::steady_clock::time_point;

    void run();
    void readLine(TimePoint now);
    void receiveBytes(std::span<const std::uint8_t> bytes, TimePoint now);
    void receiveTextByte(std::uint8_t byte, TimePoint now);
    // What the faults of one direction do to a frame; counted once the link is up.
    struct FrameFate {
        bool lost = false;
        bool twice = false;
    };
    FrameFate strike(const FrameFaults& faults, std::uint64_t& counter,
                     std::vector<std::uint8_t>& content);
    void receiveFrame(std::vector<std::uint8_t> content, TimePoint now);
    void handleRequest(const std::vector<std::uint8_t>& request, TimePoint now);
    void sendPacket(const BcspPacket& packet);
    void sendBytes(std::span<const std::uint8_t> bytes);
    void restartLink(TimePoint now);
    void writeDue(TimePoint now);
    std::optional<TimePoint> nextDeadline() const;
    void publish();

    ChipOptions options_;
    int masterDescriptor_ = -1;
    int slaveDescriptor_ = -1;  // kept open so that the line stays up between the loader's opens
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::string slavePath_;

    // Chip thread only.
    ChipLink link_;
    DfuDevice device_;
    SlipDecoder decoder_;
    std::mt19937 generator_;
    std::vector<std::uint8_t> recentBytes_;  // the last bytes in text mode, for the mux frame
    std::string textLine_;
    std::deque<std::uint8_t> transmitQueue_;
    bool transmitBlocked_ = false;
    TimePoint transmitLineFree_{};
    TimePoint receiveLineFree_{};
    std::deque<std::pair<TimePoint, std::vector<std::uint8_t>>> arriving_;
    std::deque<std::pair<TimePoint, std::vector<std::uint8_t>>> delayed_;
    std::uint64_t framesFromLoader_ = 0;
    std::uint64_t framesToLoader_ = 0;
    ChipReport working_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    ChipReport published_;
    bool stopRequested_ = false;

    std::thread thread_;
};

}  // namespace Sim
