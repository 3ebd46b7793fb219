#include "sim/unitsim/UnitFolder.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/PathComponents.h"
#include "platform/UnitRoot.h"
#include "sim/common/UnitPaths.h"
#include "sim/unitsim/Arguments.h"
#include "sim/unitsim/ProcessTable.h"

namespace Sim::Unitsim {

namespace {

constexpr std::string_view capturedFrameExtension = ".png";
constexpr std::size_t capturedFrameDigits = 6;

std::string linkTarget(const std::string& link) {
    std::error_code error;
    return std::filesystem::read_symlink(link, error).string();
}

}  // namespace

UnitFolder::UnitFolder(const std::string& root) {
    if (root.empty()) {
        throw UsageError("the unit root must not be empty");
    }
    std::error_code error;
    std::string path = std::filesystem::weakly_canonical(std::filesystem::absolute(root), error)
                           .lexically_normal()
                           .string();
    if (error) {
        throw CommandFailure(root + ": " + error.message());
    }
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    // A root that the loader and the stand-ins would refuse is refused here already, and so is one
    // holding ':', which would split the loader's PATH entries beneath it.
    if (std::string reason; !Platform::UnitRoot::checkName(path, reason)) {
        throw UsageError("the unit root " + reason);
    }
    if (path.find(':') != std::string::npos) {
        throw UsageError("the unit root '" + path +
                         "' holds ':', which separates the entries of the loader's PATH");
    }
    root_ = path;
}

UnitFolder UnitFolder::existing(const std::string& root) {
    UnitFolder unit(root);
    if (!std::filesystem::is_regular_file(unit.hostPath(UnitPaths::configuration))) {
        throw CommandFailure(unit.root() +
                             " is not a simulated unit (make one with 'unitsim make')");
    }
    return unit;
}

UnitConfiguration UnitFolder::configuration() const {
    std::string error;
    std::optional<UnitConfiguration> loaded = UnitConfiguration::load(root_, error);
    if (!loaded) {
        throw CommandFailure(error);
    }
    return *loaded;
}

void UnitFolder::makeFolder(std::string_view unitPath) const {
    std::string path = root_;
    Platform::forEachPathComponent(unitPath, [&](std::string_view component) {
        path.append("/").append(component);
        struct stat status {};
        if (::lstat(path.c_str(), &status) != 0) {
            if (errno != ENOENT || (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)) {
                throw CommandFailure(path + ": cannot be made: " + std::strerror(errno));
            }
            return;
        }
        if (S_ISLNK(status.st_mode)) {
            throw CommandFailure(path + " is a symbolic link; nothing is written through it");
        }
        if (!S_ISDIR(status.st_mode)) {
            throw CommandFailure(path + " is not a folder");
        }
    });
}

void UnitFolder::exportAsUnitRoot() const {
    ::setenv("UNIT_ROOT", root_.c_str(), 1);
}

std::optional<pid_t> UnitFolder::runningSupervisor() const {
    const std::optional<std::string> text = readWholeFile(hostPath(UnitPaths::supervisorProcess));
    if (!text) {
        return std::nullopt;
    }
    std::istringstream words(*text);
    pid_t process = 0;
    if (!(words >> process) || process <= 1 || !isProcessAlive(process)) {
        return std::nullopt;
    }
    // A pid file left by a supervisor that was killed may name an unrelated process by now.
    const std::string procFolder = "/proc/" + std::to_string(process);
    if (linkTarget(procFolder + "/exe") != linkTarget("/proc/self/exe") ||
        linkTarget(procFolder + "/cwd") != root_) {
        return std::nullopt;
    }
    return process;
}

std::optional<std::string> UnitFolder::readLine(std::string_view unitPath) const {
    std::optional<std::string> text = readWholeFile(hostPath(unitPath));
    if (text) {
        *text = withoutFinalLineEnds(std::move(*text));
    }
    return text;
}

std::optional<std::string> UnitFolder::outcome() const {
    return readLine(UnitPaths::runOutcome);
}

std::optional<std::string> UnitFolder::captureFolder() const {
    std::optional<std::string> folder = readLine(UnitsimPaths::captureFolderRecord);
    return folder && !folder->empty() ? folder : std::nullopt;
}

std::string UnitFolder::programFolder() {
    return std::filesystem::path(linkTarget("/proc/self/exe")).parent_path().string();
}

bool isProcessAlive(pid_t process) {
    const std::optional<ProcessEntry> entry = ProcessTable::find(process);
    return entry.has_value() && !entry->hasEnded();
}

std::optional<std::string> readWholeFile(const std::string& hostPath) {
    std::ifstream file(hostPath, std::ios::binary);
    if (!file) {
        return std::nullopt;
    }
    std::ostringstream contents;
    contents << file.rdbuf();
    return contents.str();
}

std::string withoutFinalLineEnds(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

std::optional<std::uint32_t> capturedFrameNumber(std::string_view fileName) {
    if (fileName.size() != capturedFrameDigits + capturedFrameExtension.size() ||
        !fileName.ends_with(capturedFrameExtension)) {
        return std::nullopt;
    }
    return wholeUnsignedNumber(fileName.substr(0, capturedFrameDigits));
}

}  // namespace Sim::Unitsim
