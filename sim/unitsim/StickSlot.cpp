#include "sim/unitsim/StickSlot.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <utility>

#include "CoreSystem/Utilities.h"
#include "sim/unitsim/Arguments.h"

namespace Sim::Unitsim {

namespace {

namespace fs = std::filesystem;

// Files on their way to the stick wait here, on the unit's own file system, under names that the
// loader's search for packages never sees.
constexpr const char* incomingFolder = "/var/sim/incoming";
constexpr std::size_t longestName = 255;

std::string errorText(int number) {
    return std::strerror(number);
}

// The stick's folder without its final slash, so that a link in its place is not followed.
std::string stickFolder(const UnitFolder& unit) {
    std::string path = unit.hostPath(UnitsimPaths::stickFolder);
    path.pop_back();
    return path;
}

}  // namespace

StickSlot::Incoming::Incoming(UnitFolder unit, std::string name, Platform::File file,
                              std::string temporaryPath)
    : unit_(std::move(unit)),
      name_(std::move(name)),
      file_(std::move(file)),
      temporaryPath_(std::move(temporaryPath)) {}

StickSlot::Incoming::Incoming(Incoming&& other) noexcept
    : unit_(std::move(other.unit_)),
      name_(std::move(other.name_)),
      file_(std::move(other.file_)),
      temporaryPath_(std::exchange(other.temporaryPath_, {})),
      size_(other.size_) {}

StickSlot::Incoming::~Incoming() {
    if (!temporaryPath_.empty()) {
        ::unlink(temporaryPath_.c_str());
    }
}

void StickSlot::Incoming::write(std::span<const char> bytes) {
    if (!file_.writeAll(bytes.data(), bytes.size())) {
        throw CommandFailure(temporaryPath_ + ": cannot be written: " + errorText(errno));
    }
    size_ += bytes.size();
}

std::string StickSlot::Incoming::finish() {
    const bool synced = file_.sync();
    const bool closed = file_.close();
    if (!synced || !closed) {
        throw CommandFailure(temporaryPath_ + ": cannot be written: " + errorText(errno));
    }
    unit_.makeFolder(UnitsimPaths::stickFolder);
    std::string target = StickSlot(unit_).hostPath(name_);
    if (std::rename(temporaryPath_.c_str(), target.c_str()) != 0) {
        throw CommandFailure(target + ": cannot be written: " + errorText(errno));
    }
    temporaryPath_.clear();
    // The file is on the stick already; should the folder's sync fail, its name still reaches
    // storage with the file system's own writeback.
    static_cast<void>(
        CoreSystem::Utilities::syncFile(CoreSystem::Utilities::directoryName(target)));
    return target;
}

std::optional<std::string> StickSlot::nameProblem(const std::string& name) {
    if (name.empty() || name == "." || name == "..") {
        return "the name on the stick must be a plain file name, not '" + name + "'";
    }
    if (name.find('/') != std::string::npos) {
        return "the name on the stick must be a plain file name without a path, not '" + name + "'";
    }
    if (std::any_of(name.begin(), name.end(),
                    [](char character) { return static_cast<unsigned char>(character) < 0x20; })) {
        return "the name on the stick must not hold control characters";
    }
    if (name.size() > longestName) {
        return "the name on the stick is longer than " + std::to_string(longestName) + " bytes";
    }
    return std::nullopt;
}

bool StickSlot::isInserted() const {
    std::error_code error;
    return fs::is_directory(fs::symlink_status(stickFolder(unit_), error));
}

std::vector<StickSlot::File> StickSlot::files() const {
    std::vector<File> found;
    std::error_code error;
    for (const auto& entry :
         fs::directory_iterator(unit_.hostPath(UnitsimPaths::stickFolder), error)) {
        std::error_code sizeError;
        const std::uintmax_t size =
            entry.is_regular_file(sizeError) ? entry.file_size(sizeError) : 0;
        found.push_back({entry.path().filename().string(), sizeError ? 0 : size});
    }
    std::sort(found.begin(), found.end(),
              [](const File& left, const File& right) { return left.name < right.name; });
    return found;
}

std::string StickSlot::hostPath(const std::string& name) const {
    return unit_.hostPath(UnitsimPaths::stickFolder) + name;
}

StickSlot::Incoming StickSlot::receive(const std::string& name) const {
    if (const std::optional<std::string> problem = nameProblem(name)) {
        throw UsageError(*problem);
    }
    unit_.makeFolder(incomingFolder);
    std::string temporaryPath = unit_.hostPath(incomingFolder) + "/file-XXXXXX";
    Platform::File file = Platform::File::createUnique(temporaryPath);
    if (!file.isOpen()) {
        throw CommandFailure(unit_.hostPath(incomingFolder) +
                             ": no file can be made there: " + errorText(file.openError()));
    }
    Incoming incoming(unit_, name, std::move(file), temporaryPath);
    // Made private to its owner; on the stick it is readable by all, as a copied file is.
    if (!incoming.file_.setPermissions(0644)) {
        throw CommandFailure(temporaryPath + ": cannot be made readable: " + errorText(errno));
    }
    return incoming;
}

void StickSlot::remove() const {
    // Through a linked mnt/ the stick's files would lie outside the unit.
    const std::string parent = CoreSystem::Utilities::directoryName(stickFolder(unit_));
    std::error_code error;
    if (fs::is_symlink(fs::symlink_status(parent, error))) {
        throw CommandFailure(parent + " is a symbolic link; nothing is removed through it");
    }
    fs::remove_all(stickFolder(unit_), error);
    if (error) {
        throw CommandFailure(stickFolder(unit_) + ": cannot be removed: " + error.message());
    }
}

}  // namespace Sim::Unitsim
