#pragma once

#include <cstdint>
#include <string>

namespace Kx1 {

// A progress line on stderr ("\rpacking 42% (123 MiB of 290 MiB)"), shown only when stderr is
// a terminal, so that scripts and logs get no carriage returns.
class TerminalProgress {
public:
    explicit TerminalProgress(std::string label);
    TerminalProgress(const TerminalProgress&) = delete;
    TerminalProgress& operator=(const TerminalProgress&) = delete;
    TerminalProgress(TerminalProgress&&) = delete;
    TerminalProgress& operator=(TerminalProgress&&) = delete;
    ~TerminalProgress();

    void update(std::uint64_t done, std::uint64_t total);
    // Erases the line, so that other output can follow on a clean line.
    void clear();

private:
    std::string label_;
    bool enabled_ = false;
    bool shown_ = false;
    int lastPercent_ = -1;
};

}  // namespace Kx1
