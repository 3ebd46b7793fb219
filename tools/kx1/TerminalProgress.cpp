#include "tools/kx1/TerminalProgress.h"

#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <utility>

namespace Kx1 {

TerminalProgress::TerminalProgress(std::string label)
    : label_(std::move(label)), enabled_(isatty(STDERR_FILENO) == 1) {}

TerminalProgress::~TerminalProgress() {
    clear();
}

void TerminalProgress::update(std::uint64_t done, std::uint64_t total) {
    if (!enabled_) {
        return;
    }
    const int percent = total == 0 ? 100 : static_cast<int>(done * 100 / total);
    if (percent == lastPercent_) {
        return;
    }
    lastPercent_ = percent;
    shown_ = true;
    constexpr unsigned mebibyteShift = 20;
    std::fprintf(stderr, "\r%s %d%% (%" PRIu64 " MiB of %" PRIu64 " MiB)", label_.c_str(), percent,
                 done >> mebibyteShift, total >> mebibyteShift);
    std::fflush(stderr);
}

void TerminalProgress::clear() {
    if (shown_) {
        // Back to the start of the line and erase it.
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
        shown_ = false;
        lastPercent_ = -1;
    }
}

}  // namespace Kx1
