#include "sim/unitsim/panel/PackageProgress.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string_view>

namespace Sim::Unitsim {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view packageExtension = ".kx1";
constexpr std::string_view installedRecordName = "installed.kx1";
constexpr std::string_view positionField = "pos:";

std::uint64_t total(const std::vector<Boot::ComponentEntry>& entries) {
    std::uint64_t sum = 0;
    for (const Boot::ComponentEntry& entry : entries) {
        sum += entry.size;
    }
    return sum;
}

// The bytes of `entry` that lie before `position`.
std::uint64_t doneOf(const Boot::ComponentEntry& entry, std::uint64_t position) {
    return position <= entry.offset ? 0 : std::min(position - entry.offset, entry.size);
}

// The file offset that /proc/PID/fdinfo/FD gives for an open file.
std::optional<std::uint64_t> filePosition(const fs::path& information) {
    std::ifstream file(information);
    std::string field;
    std::uint64_t value = 0;
    while (file >> field) {
        if (field == positionField) {
            return file >> value ? std::optional(value) : std::nullopt;
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<PackageProgress::Reading> PackageProgress::read(pid_t loader,
                                                              const std::string& unitRoot) {
    const fs::path process = "/proc/" + std::to_string(loader);
    std::error_code error;
    for (const auto& descriptor : fs::directory_iterator(process / "fd", error)) {
        std::error_code linkError;
        const std::string target = fs::read_symlink(descriptor.path(), linkError).string();
        const std::string name = fs::path(target).filename().string();
        if (linkError || !target.starts_with(unitRoot + "/") || !name.ends_with(packageExtension) ||
            name == installedRecordName) {
            continue;
        }
        if (const std::optional<std::uint64_t> position =
                filePosition(process / "fdinfo" / descriptor.path().filename())) {
            return Reading{target, *position};
        }
    }
    return std::nullopt;
}

int PackageProgress::checkingPercent(const std::vector<Boot::ComponentEntry>& entries,
                                     std::uint64_t position) {
    const std::uint64_t sum = total(entries);
    if (sum == 0) {
        return 0;
    }
    std::uint64_t done = 0;
    for (const Boot::ComponentEntry& entry : entries) {
        done += doneOf(entry, position);
    }
    return static_cast<int>(done * 100 / sum);
}

int PackageProgress::installingPercent(const std::vector<Boot::ComponentEntry>& entries,
                                       std::uint32_t componentType, std::uint64_t position) {
    const std::uint64_t sum = total(entries);
    if (sum == 0) {
        return 0;
    }
    std::uint64_t start = 0;
    std::optional<std::uint64_t> current;
    std::uint64_t accumulated = 0;
    const Boot::ComponentEntry* installing = nullptr;
    for (const Boot::ComponentEntry& entry : entries) {
        if (entry.type == componentType && entry.offset <= position &&
            (installing == nullptr || entry.offset >= installing->offset)) {
            installing = &entry;
            start = accumulated;
            current = entry.size * 100 / sum;
        }
        // Types that install nothing take no share of the bar, as in the install sequence.
        if (Boot::ComponentType::runsInstaller(entry.type)) {
            accumulated += entry.size * 100 / sum;
        }
    }
    if (installing == nullptr || installing->size == 0) {
        return static_cast<int>(start);
    }
    return static_cast<int>(start + doneOf(*installing, position) * *current / installing->size);
}

}  // namespace Sim::Unitsim
