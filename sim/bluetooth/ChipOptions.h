#pragma once

#include <cstdint>
#include <vector>

#include "sim/bluetooth/ChipLink.h"
#include "sim/bluetooth/DfuDevice.h"
#include "sim/bluetooth/FaultSchedule.h"

namespace Sim {

// How a simulated chip behaves. The defaults make a well-behaved chip on an unpaced line.
struct ChipOptions {
    // Firmware build, transfer size, poll timeout, busy polls, refused descriptor requests, a
    // start in dfuERROR, and the build number after an update (taken from the image's first
    // "build NNNN" text unless given here).
    DfuDevice::Settings device;
    ChipLink::Settings link;
    // Bytes leave and arrive no faster than a 115200-baud line with even parity carries them
    // (11 bits a byte).
    bool pace = false;
    // Whether the reset banner names the build ("build NNNN").
    bool bannerNamesBuild = true;
    // A chip that switches to BCSP but never says a word there.
    bool answersBcsp = true;
    // The chip starts over, without answering, when this DFU request arrives (0: never).
    unsigned restartAtRequest = 0;
    FrameFaults fromLoader;
    OutgoingFaults toLoader;
    std::uint32_t seed = 1;
};

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
