#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "sim/common/UnitConfiguration.h"

namespace Sim::Unitsim {

// unitsim's own files in a unit root, beside the shared ones of UnitPaths.
namespace UnitsimPaths {
// The folder that --capture named for the running unit's frames.
inline constexpr const char* captureFolderRecord = "/var/run/capture-dir";
// What the supervisor itself reports: how the run ended and anything that went wrong.
inline constexpr const char* supervisorLog = "/var/log/sim/supervisor.log";
inline constexpr const char* stickFolder = "/mnt/stick/";
inline constexpr const char* latestFrame = "/dev/screen/frame.png";
inline constexpr const char* installLog = "/mnt/stick/install.log";
inline constexpr const char* systemLog = "/var/log/slog";
}  // namespace UnitsimPaths

// A simulated unit's root folder as unitsim names it: absolute, without a trailing slash.
class UnitFolder {
public:
    // The absolute form of `root` (symbolic links resolved as far as the path exists).
    explicit UnitFolder(const std::string& root);
    // A unit that `make` made; CommandFailure otherwise.
    static UnitFolder existing(const std::string& root);

    const std::string& root() const { return root_; }
    std::string hostPath(std::string_view unitPath) const { return root_ + std::string(unitPath); }
    // The unit configuration; CommandFailure when it cannot be read.
    UnitConfiguration configuration() const;
    // Makes the folder `unitPath` and its missing parents; CommandFailure when one of them is a
    // symbolic link or no folder, so that nothing made there lies outside the unit root.
    void makeFolder(std::string_view unitPath) const;
    // Names this unit in UNIT_ROOT, for the platform calls unitsim makes on its devices.
    void exportAsUnitRoot() const;

    // The process id of this unit's live supervisor: the recorded process runs this program with
    // the unit root as its working folder. Nothing when no unit runs.
    std::optional<pid_t> runningSupervisor() const;
    // A one-line file of the unit without its line end, or nothing when it cannot be read.
    std::optional<std::string> readLine(std::string_view unitPath) const;
    // How the last run ended, once its supervisor recorded it.
    std::optional<std::string> outcome() const;
    // The folder where the run keeps every frame; nothing when it was started without --capture.
    std::optional<std::string> captureFolder() const;

    // The folder this program lives in, where its sibling programs are built.
    static std::string programFolder();

private:
    std::string root_;
};

// Whether the process exists and has not ended (a process that ended but was not yet reaped
// counts as gone).
bool isProcessAlive(pid_t process);
// A file's whole contents, or nothing when it cannot be read.
std::optional<std::string> readWholeFile(const std::string& hostPath);
// `text` without the line ends ("\n", "\r") at its close.
std::string withoutFinalLineEnds(std::string text);
// The number of a captured frame from its file name "NNNNNN.png"; nothing for any other name.
std::optional<std::uint32_t> capturedFrameNumber(std::string_view fileName);

}  // namespace Sim::Unitsim
