#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>

namespace Sim::Unitsim {

// Follows one log file for a watcher: what was appended since the last look, or the whole text
// again when the file was replaced, truncated or removed (the install log starts afresh with
// every install). A long file is followed from its last `windowSize` bytes.
class LogTail {
public:
    struct Change {
        bool restart = false;  // the text replaces what the watcher has
        std::string text;
    };

    static constexpr std::size_t windowSize = std::size_t{256} * 1024;

    explicit LogTail(std::string hostPath) : hostPath_(std::move(hostPath)) {}

    // Nothing when the file did not change since the last call.
    std::optional<Change> poll();

private:
    std::string hostPath_;
    bool seen_ = false;
    bool present_ = false;
    ino_t inode_ = 0;
    off_t offset_ = 0;
};

}  // namespace Sim::Unitsim
