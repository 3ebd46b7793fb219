#include "sim/unitsim/panel/FrameFeed.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>

#include "sim/common/UnitPaths.h"
#include "sim/unitsim/Arguments.h"

namespace Sim::Unitsim {

namespace {

namespace fs = std::filesystem;

std::string frameName(unsigned number) {
    std::array<char, 32> name{};
    std::snprintf(name.data(), name.size(), "%06u.png", number);
    return name.data();
}

bool sameFile(const struct stat& left, const struct stat& right) {
    return left.st_ino == right.st_ino && left.st_dev == right.st_dev &&
           left.st_size == right.st_size && left.st_mtim.tv_sec == right.st_mtim.tv_sec &&
           left.st_mtim.tv_nsec == right.st_mtim.tv_nsec;
}

bool isBefore(const timespec& time, const timespec& limit) {
    return time.tv_sec < limit.tv_sec ||
           (time.tv_sec == limit.tv_sec && time.tv_nsec < limit.tv_nsec);
}

}  // namespace

FrameFeed::FrameFeed(const UnitFolder& unit, const std::string& lastSeen) : unit_(unit) {
    const std::size_t slash = lastSeen.rfind('/');
    if (slash != std::string::npos) {
        resumeRun_ = lastSeen.substr(0, slash);
        resumeAfter_ = wholeUnsignedNumber(std::string_view(lastSeen).substr(slash + 1));
    }
}

std::vector<FrameFeed::Frame> FrameFeed::next(std::size_t limit) {
    const std::string run = runKey();
    if (run.empty()) {
        return {};
    }
    if (const std::optional<std::string> folder = unit_.captureFolder()) {
        return nextCaptured(*folder, run, limit);
    }
    return nextLatest(run);
}

std::string FrameFeed::runKey() const {
    return unit_.readLine(UnitPaths::unitProcessGroup).value_or("");
}

std::vector<FrameFeed::Frame> FrameFeed::nextCaptured(const std::string& folder,
                                                      const std::string& run, std::size_t limit) {
    // A capture folder may hold frames of an earlier run until this run writes over them.
    struct stat runStart {};
    if (::stat(unit_.hostPath(UnitPaths::unitProcessGroup).c_str(), &runStart) != 0) {
        return {};
    }
    const auto ofThisRun = [&](const std::string& path, struct stat& status) {
        return ::stat(path.c_str(), &status) == 0 && !isBefore(status.st_mtim, runStart.st_mtim);
    };
    if (run_ != run) {
        if (!run_ && resumeAfter_ && resumeRun_ == run) {
            nextNumber_ = *resumeAfter_ + 1;
        } else if (!run_) {
            // A new watcher starts with the screen as it is now.
            nextNumber_ = 0;
            std::error_code error;
            for (const auto& entry : fs::directory_iterator(folder, error)) {
                struct stat status {};
                const std::optional<std::uint32_t> number =
                    capturedFrameNumber(entry.path().filename().string());
                if (number && ofThisRun(entry.path().string(), status)) {
                    nextNumber_ = std::max(nextNumber_, *number);
                }
            }
        } else {
            nextNumber_ = 0;
        }
        run_ = run;
    }
    std::vector<Frame> frames;
    while (frames.size() < limit) {
        const std::string path = folder + "/" + frameName(nextNumber_);
        struct stat status {};
        if (!ofThisRun(path, status)) {
            break;
        }
        std::optional<std::string> png = readWholeFile(path);
        if (!png) {
            break;
        }
        frames.push_back({run + "/" + std::to_string(nextNumber_), std::move(*png)});
        ++nextNumber_;
    }
    // Frames read while a new run began may belong to it; the next call starts that run afresh.
    if (runKey() != run) {
        return {};
    }
    return frames;
}

std::vector<FrameFeed::Frame> FrameFeed::nextLatest(const std::string& run) {
    if (run_ != run) {
        run_ = run;
        latestSent_ = {};
    }
    const std::string path = unit_.hostPath(UnitsimPaths::latestFrame);
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || sameFile(status, latestSent_)) {
        return {};
    }
    std::optional<std::string> png = readWholeFile(path);
    if (!png) {
        return {};
    }
    latestSent_ = status;
    return {{run + "/latest-" + std::to_string(latestCount_++), std::move(*png)}};
}

}  // namespace Sim::Unitsim
