#pragma once

#include <cstdint>

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

}  // namespace Sim
