// Measures the loader's removal of an old application tree (removeTree, as the installers call
// it before unpacking the new one) against `rm -rf` on the same tree.
//
//   remove_bench [ENTRIES [ROUNDS [FOLDER]]]
//       ENTRIES: files and links in the tree, default 100000
//       ROUNDS:  removals of each kind, default 7
//       FOLDER:  where the trees are made, default /dev/shm (a RAM file system)
//
// On a RAM file system an unlink costs a few microseconds, so what is measured is the walks'
// own work: the system calls and path lookups each makes per entry. On a disk file system the
// file system's own unlink time, the same for both, adds to every entry (FOLDER /tmp shows it).
//
// Every removal gets a tree of its own, written afresh and synced to the disk before the clock
// starts, so both start from the same state: the tree on the disk, its inodes in the cache. The
// disk work a removal leaves behind is synced after the clock stops, so that it does not slow the
// next one. The two kinds alternate, and which goes first changes every round, so that a passing
// load on the machine favours neither.
//
// Exit status: 0 when every removal removed the whole tree, 1 when one did not, 2 when the
// benchmark could not be set up.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ApplicationTree.h"
#include "BenchSupport.h"
#include "ChildProcess.h"
#include "CoreSystem/Console.h"
#include "WorkFolder.h"
#include "boot/ComponentInstallerBase.h"
#include "platform/Clock.h"
#include "platform/FileSync.h"
#include "platform/Process.h"

namespace {

using BenchSupport::timed;
using CoreSystem::Console;
using Duration = Platform::Clock::Duration;

constexpr std::uint64_t defaultEntries = 100000;
constexpr int defaultRounds = 7;
constexpr const char* defaultFolder = "/dev/shm";
constexpr double ratioGoal = 1.10;

// The installers' removal, reached from here.
class TreeRemoval : public Boot::ComponentInstallerBase {
public:
    using ComponentInstallerBase::removeTree;
};

const char* fileSystemName(const std::string& path) {
    struct statfs status {};
    if (statfs(path.c_str(), &status) != 0) {
        return "unknown";
    }
    switch (status.f_type) {
        case 0x01021994:
            return "tmpfs";
        case 0xEF53:
            return "ext2/ext3/ext4";
        default:
            return "other";
    }
}

bool isGone(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) != 0;
}

// This process's user and system time and that of every child it has waited for.
Duration processorTimeSoFar() {
    rusage self{};
    rusage children{};
    getrusage(RUSAGE_SELF, &self);
    getrusage(RUSAGE_CHILDREN, &children);
    return BenchSupport::processorTime(self) + BenchSupport::processorTime(children);
}

double secondsOf(Duration duration) {
    return std::chrono::duration<double>(duration).count();
}

double median(std::vector<double> seconds) {
    std::sort(seconds.begin(), seconds.end());
    const std::size_t middle = seconds.size() / 2;
    return seconds.size() % 2 == 1 ? seconds[middle]
                                   : (seconds[middle - 1] + seconds[middle]) / 2.0;
}

void printFigures(const char* name, const std::vector<double>& seconds) {
    const auto [fastest, slowest] = std::minmax_element(seconds.begin(), seconds.end());
    const double middle = median(seconds);
    Console::printf("    %-38s median %6.3f s, fastest %6.3f s, slowest %6.3f s (spread %4.1f%%):",
                    name, middle, *fastest, *slowest, 100.0 * (*slowest - *fastest) / middle);
    for (const double run : seconds) {
        Console::printf(" %.3f", run);
    }
    Console::print("\n");
}

struct Removal {
    const char* name;
    // True when the removal reported success.
    bool (*remove)(const std::string& path);
    std::vector<double> wall;
    std::vector<double> processor;
};

bool removeTree(const std::string& path) {
    return TreeRemoval::removeTree(path);
}

bool removeWithRm(const std::string& path) {
    const int status = Platform::Process::system("rm -rf -- '" + path + "'");
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void printRatio(const char* what, double ratio) {
    Console::printf("ratio of the medians removeTree / rm -rf, %s: %.3f (goal at most %.2f): %s\n",
                    what, ratio, ratioGoal, ratio <= ratioGoal ? "met" : "NOT met");
}

int benchmark(std::uint64_t entries, int rounds, const std::string& folder) {
    const BenchSupport::WorkFolder work(folder + "/remove_bench");
    if (work.path().empty()) {
        Console::printf("remove_bench: cannot make a work folder in %s\n", folder.c_str());
        return 2;
    }
    const std::string tree = work.path() + "/app";
    std::vector<Removal> removals = {
        {"loader: removeTree (in process)", removeTree, {}, {}},
        {"rm -rf TREE (process start included)", removeWithRm, {}, {}}};
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t turn = 0; turn < removals.size(); ++turn) {
            Removal& removal = removals.at((turn + static_cast<std::size_t>(round)) % 2);
            std::string error;
            const std::optional<BenchSupport::ApplicationTree> written =
                BenchSupport::writeApplicationTree(tree, entries, error);
            if (!written || !Platform::FileSync::syncFileSystem(work.path())) {
                Console::printf("remove_bench: cannot write the tree: %s\n", error.c_str());
                return 2;
            }
            if (round == 0 && turn == 0) {
                Console::printf(
                    "tree: %llu folders, %llu files, %llu symbolic links, %.1f MB of content "
                    "(MB = 2^20 bytes), in %s (%s)\n",
                    static_cast<unsigned long long>(written->folders),
                    static_cast<unsigned long long>(written->files),
                    static_cast<unsigned long long>(written->links),
                    static_cast<double>(written->contentBytes) / (1024.0 * 1024.0),
                    work.path().c_str(), fileSystemName(work.path()));
            }
            bool succeeded = false;
            const Duration processorBefore = processorTimeSoFar();
            const Duration wall = timed([&] { succeeded = removal.remove(tree); });
            const Duration processor = processorTimeSoFar() - processorBefore;
            if (!succeeded || !isGone(tree)) {
                Console::printf("remove_bench: %s did not remove the whole tree\n", removal.name);
                return 1;
            }
            removal.wall.push_back(secondsOf(wall));
            removal.processor.push_back(secondsOf(processor));
            // Settles the removal's writeback before the next tree; the next write checks its own.
            static_cast<void>(Platform::FileSync::syncFileSystem(work.path()));
        }
    }

    Console::printf(
        "%d removals of each kind, alternating, each of a fresh tree synced and in the cache:\n",
        rounds);
    Console::print("  wall-clock time\n");
    for (const Removal& removal : removals) {
        printFigures(removal.name, removal.wall);
    }
    Console::print(
        "  processor time (user + system), which other load on the machine disturbs less\n");
    for (const Removal& removal : removals) {
        printFigures(removal.name, removal.processor);
    }
    printRatio("wall-clock", median(removals[0].wall) / median(removals[1].wall));
    printRatio("processor", median(removals[0].processor) / median(removals[1].processor));
    Console::printf("result remove_median_s=%.6f rm_median_s=%.6f remove_ratio=%.4f\n",
                    median(removals[0].wall), median(removals[1].wall),
                    median(removals[0].wall) / median(removals[1].wall));
    return 0;
}

std::optional<std::uint64_t> parseCount(const char* text) {
    const std::optional<std::size_t> count = BenchSupport::parseSize(text);
    return count ? std::optional<std::uint64_t>(*count) : std::nullopt;
}

}  // namespace

int main(int argc, char* argv[]) {
    const std::optional<std::uint64_t> entries = argc >= 2 ? parseCount(argv[1]) : defaultEntries;
    const std::optional<std::uint64_t> rounds =
        argc >= 3 ? parseCount(argv[2]) : static_cast<std::uint64_t>(defaultRounds);
    if (argc > 4 || !entries || !rounds || *rounds > 1000) {
        Console::print("usage: remove_bench [ENTRIES [ROUNDS [FOLDER]]]\n");
        return 2;
    }
    return benchmark(*entries, static_cast<int>(*rounds), argc == 4 ? argv[3] : defaultFolder);
}
