#pragma once

#include <cstdint>
#include <random>

namespace Sim {

// When a fault strikes a frame: every Nth frame, or each frame with a probability drawn from a
// generator seeded by the chip's options. Either way the run is repeatable.
struct FaultSchedule {
    unsigned every = 0;        // 0: never by count
    double probability = 0.0;  // 0: never by chance

    bool strikes(std::uint64_t frameNumber, std::mt19937& generator) const;
};

// Faults of the frames on one direction of the line, counted once the link is up.
struct FrameFaults {
    FaultSchedule drop;
    FaultSchedule corrupt;  // one byte changed after the CRC was computed
    FaultSchedule duplicate;
};

// Faults of the frames the chip sends, beyond those of every frame.
struct OutgoingFaults : FrameFaults {
    FaultSchedule delay;
    unsigned delayMilliseconds = 300;
    FaultSchedule strayBytes;  // a few bytes that belong to no frame, before the frame
};

}  // namespace Sim
