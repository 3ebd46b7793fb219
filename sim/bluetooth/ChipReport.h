#pragma once

#include <cstdint>
#include <vector>

namespace Sim {

// What a simulated chip has seen and done so far.
struct ChipReport {
    enum class Mode { Text, Bcsp };

    Mode mode = Mode::Text;
    bool linkEstablished = false;
    std::uint32_t runningBuild = 0;
    bool dfuMode = false;
    std::uint8_t dfuState = 0;
    std::vector<std::uint8_t> manifestedImage;
    unsigned manifestations = 0;
    unsigned muxExitFrames = 0;
    unsigned resetCommands = 0;
    unsigned bootCommands = 0;
    unsigned restarts = 0;  // starts of the BCSP link after the first
    unsigned dfuRequests = 0;
    unsigned framesReceived = 0;  // frames that passed their checks
    unsigned framesRejected = 0;  // frames that failed their checks
    unsigned framesSent = 0;
    unsigned faultsApplied = 0;  // drops, corruptions, duplicates, delays and stray bytes
    unsigned retransmissions = 0;
    unsigned duplicatesReceived = 0;
    std::uint64_t bytesReceived = 0;  // on the wire, framing and escapes included
    std::uint64_t bytesSent = 0;
};

}  // namespace Sim
