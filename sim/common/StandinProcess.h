#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace Sim {

// What every stand-in program of the simulated unit does around its own work: it refuses to run
// outside a unit root, records its command line, keeps its paths inside the unit root, and,
// when it must outlive its command, goes on in a child that stays in the caller's process
// group and is listed under the unit's running stand-ins.
class StandinProcess {
public:
    // UNIT_ROOT's host folder; without a usable one prints why and exits with status 2.
    static std::string requireUnitRoot();
    // Appends "NAME ARG..." (single blanks) as one line to the unit's command log.
    static void recordCommand(std::string_view name, const std::vector<std::string>& arguments);
    // Whether the host path lies beneath the unit root once "." and ".." are resolved lexically
    // (symbolic links are not followed: a stand-in creates or removes the path itself).
    static bool isInsideUnitRoot(const std::string& hostPath);
    // Forks. The child records itself under the running stand-ins, runs `serve` and exits with
    // its result; the parent returns 0 once `ready` holds, or 1 when the child ended first or
    // `ready` did not hold within `readyMilliseconds`.
    static int continueInBackground(std::string_view name, const std::function<int()>& serve,
                                    const std::function<bool()>& ready,
                                    int readyMilliseconds = 5000);
    // Host path of a file in the unit's folder of received data ("NAME.log", "NAME.bin"),
    // its folder created.
    static std::string receivedFile(std::string_view fileName);
    // Appends one line (a line feed is added) to a received-data file.
    static void appendReceivedLine(std::string_view fileName, std::string_view line);
};

}  // namespace Sim
