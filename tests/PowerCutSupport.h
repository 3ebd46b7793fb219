#pragma once

// A unit made by unitsim for the power-cut tests, and what the tests read from it: listings of its
// data partition, and the system calls of its loader as strace printed them.
#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

namespace PowerCut {

inline constexpr const char* dataFolder = "/fs/etfs";
inline constexpr const char* updatePackage = "/fs/etfs/update.kx1";
inline constexpr const char* installedRecord = "/fs/etfs/installed.kx1";
inline constexpr const char* unfinishedRecord = "/fs/etfs/installed.kx1.new";
// Counted up by every boot; the only file of the data partition that differs between runs.
inline constexpr const char* bootCount = "/fs/etfs/bootCount.bin";

// Generous: one boot with a whole install takes a few seconds; a loaded machine takes longer.
inline constexpr int bootSeconds = 120;

// The traced reference unit and the units that are cut have names of one length, so that the
// calls that name their paths have the same lengths too.
inline constexpr const char* tracedUnitName = "u-ref";
std::string cutUnitName(std::size_t index);

std::string replaced(std::string text, const std::string& from, const std::string& to);
std::size_t lineCount(const std::string& text);
std::string fileText(const std::string& hostPath);

// What a data partition holds, entry by entry: relative path -> type, mode and size with a
// checksum of the contents (files) or the target (links). The boot counter is left out.
using Listing = std::map<std::string, std::string>;
Listing listDataPartition(const std::string& folder);
// The entries in which two listings differ, at most a few, one per line.
std::string differences(const Listing& expected, const Listing& actual);
// Copies a data partition with its folders, files, links and modes.
void copyDataPartition(const std::string& from, const std::string& to);

// One system call of the loader's main thread as strace printed it with -y, numbered among the
// calls of its name from the start of the process (as strace counts them for an injection).
struct TracedCall {
    std::string name;
    unsigned invocation = 0;
    // The call with its arguments, without the result.
    std::string call;
    std::string result;
    // The file that a descriptor in the first argument stands for, and the call's number among
    // the calls of its name on that file (as strace counts them when it traces that path alone).
    std::string descriptorPath;
    unsigned invocationOnPath = 0;
};

std::vector<TracedCall> readTrace(const std::string& hostPath);
// A traced call as it reads in every unit: the unit's root and its folder name taken out, and
// a descriptor in the first argument left out (the loader's other threads open and close
// descriptors at their own pace).
std::string comparable(const std::string& call, const std::string& scratch,
                       const std::string& unitName);

// A unit made by unitsim, with a folder beside it for the output of the programs run on it.
class Unit {
public:
    explicit Unit(std::string root);
    Unit(const Unit&) = delete;
    Unit& operator=(const Unit&) = delete;
    Unit(Unit&&) = delete;
    Unit& operator=(Unit&&) = delete;
    ~Unit();

    const std::string& root() const { return root_; }
    const std::string& work() const { return work_; }
    std::string hostPath(const std::string& unitPath) const { return root_ + unitPath; }
    bool has(const std::string& unitPath) const;
    std::string file(const std::string& unitPath) const { return fileText(hostPath(unitPath)); }

    TestSupport::ProgramRun unitsim(const std::vector<std::string>& arguments) const;

    // A new unit whose data partition is a copy of `dataPartition` (when given), with `package`
    // as its update package; an error text, empty when it was made.
    std::string make(const std::string& dataPartition, const std::string& package) const;

    // Without a capture folder: writing captured frames would slow the loader's main thread
    // and add calls to it whose number depends on timing. An error text, empty when it started.
    std::string start(const std::string& loader) const;

    bool waitFor(const std::vector<std::string>& condition) const;

    // Checks `reached` every few milliseconds until it holds, the run ends or the boot time has
    // passed; returns whether it holds.
    template <typename Condition>
    bool pollUntil(const Condition& reached) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(bootSeconds);
        while (!reached()) {
            if (std::chrono::steady_clock::now() > deadline || outcome().has_value()) {
                return reached();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    // Waits until the running install has removed the update package: its last step, after the
    // installed record is written.
    bool waitForInstallEnd() const;
    // Waits until the running loader has counted its boot, which comes after its start-up has
    // read the installed record.
    bool waitForBootCount(const std::string& before) const;
    bool waitForInstallLogLines(std::size_t lines) const;

    void stop() const;
    std::optional<std::string> outcome() const;

    // SIGKILL to the running loader: the unit's first process, whose id founds the unit's
    // process group. Only while that process still runs with this unit's root, so that an id
    // that was freed and taken again is never signalled.
    void killLoader() const;
    std::size_t installLogLines() const;

private:
    std::string root_;
    std::string work_;
};

}  // namespace PowerCut
