#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>
#include <vector>

#include "sim/unitsim/UnitFolder.h"

namespace Sim::Unitsim {

// The frames one watcher of the screen has not seen yet. When the run keeps every frame in a
// capture folder, each frame comes once and in posting order: after the run's latest frame for
// a new watcher, after the last one it saw for a watcher that comes back within the same run,
// and from the first frame of each new run. Without a capture folder only the latest frame can
// be followed, and frames that replace one another quickly may be missed.
class FrameFeed {
public:
    struct Frame {
        // "RUN/NUMBER" for a captured frame, "RUN/latest-COUNT" for a followed frame.
        std::string id;
        std::string png;
    };

    // `lastSeen` is the id of the last frame this watcher saw, or empty.
    FrameFeed(const UnitFolder& unit, const std::string& lastSeen);

    // The frames posted since the last call, at most `limit` of them.
    std::vector<Frame> next(std::size_t limit);

private:
    std::string runKey() const;
    std::vector<Frame> nextCaptured(const std::string& folder, const std::string& run,
                                    std::size_t limit);
    std::vector<Frame> nextLatest(const std::string& run);

    const UnitFolder& unit_;
    std::string resumeRun_;
    std::optional<unsigned> resumeAfter_;
    std::optional<std::string> run_;
    unsigned nextNumber_ = 0;
    // The latest frame as last sent: its file's identity and time.
    struct stat latestSent_ {};
    unsigned latestCount_ = 0;
};

}  // namespace Sim::Unitsim
