#include "sim/unitsim/panel/LogTail.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace Sim::Unitsim {

std::optional<LogTail::Change> LogTail::poll() {
    const int handle = ::open(hostPath_.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat status {};
    if (handle < 0 || ::fstat(handle, &status) != 0) {
        if (handle >= 0) {
            ::close(handle);
        }
        const bool wasPresent = present_ || !seen_;
        seen_ = true;
        present_ = false;
        return wasPresent ? std::optional(Change{.restart = true}) : std::nullopt;
    }
    Change change;
    // Far behind, the watcher gets the window again rather than everything in between.
    change.restart = !seen_ || !present_ || status.st_ino != inode_ || status.st_size < offset_ ||
                     status.st_size - offset_ > static_cast<off_t>(windowSize);
    if (!change.restart && status.st_size == offset_) {
        ::close(handle);
        return std::nullopt;
    }
    off_t from = change.restart ? 0 : offset_;
    if (change.restart) {
        from = std::max<off_t>(0, status.st_size - static_cast<off_t>(windowSize));
    }
    std::string text(static_cast<std::size_t>(status.st_size - from), '\0');
    const ssize_t count = ::pread(handle, text.data(), text.size(), from);
    ::close(handle);
    text.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
    seen_ = true;
    present_ = true;
    inode_ = status.st_ino;
    offset_ = from + static_cast<off_t>(text.size());
    change.text = std::move(text);
    return change;
}

}  // namespace Sim::Unitsim
