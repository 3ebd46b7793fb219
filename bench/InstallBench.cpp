// Measures the loader installing one application component on this machine against the tools
// that do the bulk of the same work: bsdtar unpacking the archive and cksum reading the package
// once, as the loader's checksum pass does.
//
//   install_bench [SIZE]   SIZE: the archive's uncompressed content, in bytes or with a K, M or
//                          G suffix (powers of 1024); default 250M
//
// Every install runs in a child process of its own, so that its peak resident memory can be read
// when it ends. The stand-in IPL control driver runs in that child too, so this process stays
// single-threaded: no other thread can hold a lock at the fork that the child would then need.
//
// Exit status: 0 when every install and every peer run succeeded, 1 when one did not, 2 when the
// benchmark could not be set up.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "ApplicationArchive.h"
#include "BenchSupport.h"
#include "ChildProcess.h"
#include "CoreSystem/ArchiveManager.h"
#include "CoreSystem/Console.h"
#include "CoreSystem/HardwareManager.h"
#include "CoreSystem/Utilities.h"
#include "WorkFolder.h"
#include "boot/ComponentInstallerBase.h"
#include "boot/InstallLog.h"
#include "boot/InstallManager.h"
#include "boot/ui/UIManager.h"
#include "platform/Clock.h"
#include "platform/Process.h"
#include "platform/UnitRoot.h"
#include "sim/common/FactoryData.h"
#include "sim/drivers/IplControlDriver.h"
#include "tools/PackageWriter.h"

namespace {

using BenchSupport::ChildResult;
using BenchSupport::processorTime;
using BenchSupport::runInChild;
using BenchSupport::timed;
using BenchSupport::WorkFolder;
using CoreSystem::Console;
using CoreSystem::Utilities;
using Duration = Platform::Clock::Duration;

constexpr int rounds = 3;
constexpr std::size_t defaultSize = std::size_t{250} << 20U;
constexpr double bytesPerMegabyte = 1024.0 * 1024.0;
constexpr double peerRatioTarget = 1.10;
constexpr double peakMemoryTargetMegabytes = 64.0;
constexpr double drawingShareTarget = 0.05;

// The unit's identity in its factory data, and the hardware family of the package to match.
constexpr std::uint32_t unitPartNumber = 1234;
constexpr std::uint32_t unitSerialNumber = 5678;
constexpr std::uint32_t unitDisplayType = 3;
constexpr std::uint32_t unitVariant = 1;
constexpr std::uint32_t applicationVersion = 2910247;

double seconds(Duration duration) {
    return std::chrono::duration<double>(duration).count();
}

double megabytes(std::uint64_t bytes) {
    return static_cast<double>(bytes) / bytesPerMegabyte;
}

// Removes `path` with everything in it and makes it again, empty. Then flushes the file system,
// so that the next timed run does not wait for the disk work of the removal (the blocks of a
// tree that had been synced are freed on the disk).
bool makeEmptyFolder(const std::string& path) {
    std::error_code error;
    std::filesystem::remove_all(path, error);
    if (error || !std::filesystem::create_directories(path, error) || error) {
        return false;
    }
    const int folder = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool flushed = folder >= 0 && syncfs(folder) == 0;
    if (folder >= 0) {
        close(folder);
    }
    return flushed;
}

// The IPL control driver of the unit, serving factory data block 1 with the unit's identity.
class IplDriver {
public:
    IplDriver() : driver_(Platform::UnitRoot::hostPath("/dev/iplctl"), factoryFolder()) {}

private:
    static std::string factoryFolder() {
        std::string folder = Platform::UnitRoot::hostPath("/factory/");
        std::filesystem::create_directories(folder);
        const std::vector<std::uint8_t> block1 = Sim::FactoryData::block1(
            {{0, unitPartNumber}, {1, unitSerialNumber}, {8, unitDisplayType}, {9, unitVariant}});
        std::ofstream(folder + "block1.bin", std::ios::binary)
            .write(reinterpret_cast<const char*>(block1.data()),
                   static_cast<std::streamsize>(block1.size()));
        return folder;
    }

    Sim::IplControlDriver driver_;
};

// The benchmark times the install only.
class SilentInterface final : public Boot::InstallUserInterface {
public:
    void reportProgress(int /*percent*/, const std::string& /*text*/) override {}
    std::string requestPassword() override { return {}; }
};

// The tree walks the installers use, reached from here to time each on its own.
class TreeWalks : public Boot::ComponentInstallerBase {
public:
    using ComponentInstallerBase::chmodTree;
    using ComponentInstallerBase::chownTree;
    using ComponentInstallerBase::removeTree;
    using ComponentInstallerBase::syncTree;
};

// User and system time of every child (and what it ran) that has ended and been waited for.
Duration childrenProcessorTime() {
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return processorTime(usage);
}

// The best wall-clock and processor times over the rounds, each taken on its own.
struct Best {
    Duration wall = Duration::max();
    Duration processor = Duration::max();

    void take(Duration wallTime, Duration processorTimeSpent) {
        wall = std::min(wall, wallTime);
        processor = std::min(processor, processorTimeSpent);
    }
};

double kilobytesToMegabytes(long kilobytes) {
    return static_cast<double>(kilobytes) / 1024.0;
}

// The peak memory of a child that returns at once: what every child starts with, shared with
// this process from the fork.
std::optional<long> idleChildPeakKilobytes() {
    const auto idle = runInChild<bool>([] { return true; });
    return idle ? std::optional<long>(idle->peakKilobytes) : std::nullopt;
}

struct InstallReport {
    bool succeeded;
    Duration elapsed;
};

// One install of the package, timed from the manager's construction (which reads the installed
// record and opens the install log) to the end of install().
std::optional<ChildResult<InstallReport>> installInChild(const std::string& packagePath) {
    return runInChild<InstallReport>([&packagePath] {
        const IplDriver driver;
        SilentInterface ui;
        Boot::InstallStatus status = Boot::InstallStatus::failure;
        const Duration elapsed = timed([&] {
            Boot::InstallManager manager(ui);
            status = manager.install(packagePath);
        });
        if (status != Boot::InstallStatus::success) {
            Console::printf("install_bench: the install returned %u\n",
                            static_cast<unsigned>(status));
        }
        return InstallReport{status == Boot::InstallStatus::success, elapsed};
    });
}

// The install as the unit runs it, with the loading screen drawing every progress report: the
// time spent drawing is taken inside the same run as the install's whole time.
struct DrawnInstallReport {
    bool succeeded;
    Duration elapsed;
    Duration drawing;
    int frames;
};

class TimedScreen final : public Boot::InstallUserInterface {
public:
    explicit TimedScreen(Boot::UIManager& screen) : screen_(screen) {}
    void reportProgress(int percent, const std::string& text) override {
        drawing_ += timed([&] { screen_.reportProgress(percent, text); });
        ++frames_;
    }
    std::string requestPassword() override { return {}; }
    Duration drawing() const { return drawing_; }
    int frames() const { return frames_; }

private:
    Boot::UIManager& screen_;
    Duration drawing_{};
    int frames_ = 0;
};

std::optional<ChildResult<DrawnInstallReport>> drawnInstallInChild(const std::string& packagePath) {
    return runInChild<DrawnInstallReport>([&packagePath] {
        const IplDriver driver;
        Boot::UIManager screen(nullptr);
        screen.setLayout(2);
        // The loading screen becomes current with nothing to install; the install below reports
        // to it as the screen's own install would.
        screen.runDirectInstall({});
        TimedScreen ui(screen);
        Boot::InstallStatus status = Boot::InstallStatus::failure;
        const Duration elapsed = timed([&] {
            Boot::InstallManager manager(ui);
            status = manager.install(packagePath);
        });
        screen.window().flush();
        return DrawnInstallReport{status == Boot::InstallStatus::success, elapsed, ui.drawing(),
                                  ui.frames()};
    });
}

// The parts of one install in the order the install runs them, each timed on its own, and the
// extraction once more without log lines (not part of the sum).
enum Phase : std::size_t {
    signatureCheck,
    componentCrc,
    extraction,
    ownerChange,
    modeChange,
    flashSync,
    installedRecord,
    extractionWithoutLog,
    phaseCount
};

constexpr std::array<const char*, phaseCount> phaseNames = {
    "load and signature check",
    "checksum pass over the component data",
    "extraction with install-log lines",
    "chown of the data root",
    "chmod 0777 of the application folder",
    "sync of the application folder (syncTree)",
    "installed record and log, written and synced",
    "extraction again, without install-log lines"};

struct PhaseReport {
    bool succeeded;
    std::array<Duration, phaseCount> durations;
};

void logEntryStarted(const char* path, void* log) {
    static_cast<Boot::InstallLog*>(log)->line(std::string("  Begin Write: ") + path);
}

void logEntryFinished(const char* path, void* log) {
    static_cast<Boot::InstallLog*>(log)->line(std::string("  Completed Write: ") + path);
}

PhaseReport measurePhases(const std::string& packagePath) {
    PhaseReport report{};
    auto& durations = report.durations;
    bool succeeded = true;
    Boot::InstallPackage package(Boot::InstallManager::installedPackagePath());
    durations[signatureCheck] = timed([&] {
        succeeded =
            package.load(packagePath).magic() == Boot::packageMagic && package.verifySignature();
    });
    SilentInterface ui;
    durations[componentCrc] =
        timed([&] { succeeded = succeeded && package.verifyComponentData(ui); });

    std::istream* stream = nullptr;
    Boot::ComponentEntry entry;
    succeeded = succeeded && package.getComponent(0, stream, entry);
    if (!succeeded) {
        return report;
    }
    const std::string root = Utilities::autoloadPath("");
    const std::string applicationFolder = Utilities::applicationPath("");
    Boot::InstallLog log;
    log.open(Utilities::stickPath("") + "install.log");
    const auto extract = [&](bool withLog) {
        CoreSystem::ArchiveManager archive(*stream, static_cast<std::int64_t>(entry.offset),
                                           entry.size);
        archive.extract(false, root.c_str(), nullptr, withLog ? logEntryStarted : nullptr,
                        withLog ? logEntryFinished : nullptr, &log);
        succeeded = succeeded && archive.status() == CoreSystem::ArchiveStatus::clean;
    };
    durations[extraction] = timed([&] { extract(true); });
    TreeWalks::removeTree(applicationFolder);
    durations[extractionWithoutLog] = timed([&] { extract(false); });
    durations[ownerChange] = timed([&] { TreeWalks::chownTree(root); });
    durations[modeChange] = timed([&] { TreeWalks::chmodTree(applicationFolder, "0777"); });
    durations[flashSync] = timed([&] { TreeWalks::syncTree(applicationFolder); });
    durations[installedRecord] = timed([&] {
        package.setInstalledVersion(static_cast<std::int32_t>(entry.type), entry.version);
        succeeded = succeeded && package.writeInstalledRecord();
        log.close();
    });
    report.succeeded = succeeded;
    return report;
}

// Runs `command` through the shell; true when it exited with status 0. Its wall-clock time and
// the processor time of the shell and the program go into `best`.
bool runPeer(const std::string& command, Best& best) {
    const Duration processorBefore = childrenProcessorTime();
    int status = -1;
    const Duration wall = timed([&] { status = Platform::Process::system(command); });
    best.take(wall, childrenProcessorTime() - processorBefore);
    if (status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        return true;
    }
    Console::printf("install_bench: failed: %s\n", command.c_str());
    return false;
}

// Everything one benchmark run works on, beneath its work folder.
struct Setup {
    std::string folder;
    std::string unitRoot;
    std::string dataRoot;
    std::string peerFolder;
};

bool prepareUnitRoot(const Setup& setup) {
    setenv(Platform::UnitRoot::environmentVariable, setup.unitRoot.c_str(), 1);
    setenv("DEVICEFAMILY", "M2", 1);
    unsetenv("AUTOLOADPATH");
    std::error_code error;
    for (const char* folder : {"/fs/etfs", "/mnt/stick", "/dev"}) {
        std::filesystem::create_directories(setup.unitRoot + folder, error);
        if (error) {
            return false;
        }
    }
    return true;
}

// The archive of `contentBytes` and its package, named after `name` in the work folder.
struct Subject {
    BenchSupport::ApplicationArchive archive;
    std::string archivePath;
    std::string packagePath;
    std::uint64_t packageBytes = 0;
};

std::optional<Subject> makeSubject(const Setup& setup, const std::string& name,
                                   std::uint64_t contentBytes) {
    Subject subject;
    subject.archivePath = setup.folder + "/" + name + ".tar.gz";
    subject.packagePath = setup.folder + "/" + name + ".kx1";
    std::string error;
    const std::optional<BenchSupport::ApplicationArchive> archive =
        BenchSupport::writeApplicationArchive(subject.archivePath, contentBytes, error);
    if (!archive) {
        Console::printf("install_bench: %s\n", error.c_str());
        return std::nullopt;
    }
    subject.archive = *archive;
    const Packaging::RsaPublicKey key = Packaging::RsaPublicKey::fromPemFile(LOADER_KEY_FILE);
    if (!key.isValid()) {
        Console::printf("install_bench: %s: %s\n", LOADER_KEY_FILE, key.problem().c_str());
        return std::nullopt;
    }
    Packaging::PackageDescription description;
    description.hardwareFamily = unitVariant;
    description.components = {{.type = Boot::ComponentType::application,
                               .version = applicationVersion,
                               .path = subject.archivePath}};
    if (!Packaging::PackageWriter::write(description, key, subject.packagePath, error)) {
        Console::printf("install_bench: %s\n", error.c_str());
        return std::nullopt;
    }
    std::error_code sizeError;
    subject.packageBytes = std::filesystem::file_size(subject.packagePath, sizeError);
    return subject;
}

void printSizes(const char* label, const Subject& subject) {
    Console::printf(
        "%s: %llu files, content %llu bytes (%.1f MB), tar %llu bytes, gzip %llu bytes "
        "(%.1f MB, %.0f%% of the tar); package %llu bytes\n",
        label, static_cast<unsigned long long>(subject.archive.files),
        static_cast<unsigned long long>(subject.archive.contentBytes),
        megabytes(subject.archive.contentBytes),
        static_cast<unsigned long long>(subject.archive.tarBytes),
        static_cast<unsigned long long>(subject.archive.compressedBytes),
        megabytes(subject.archive.compressedBytes),
        100.0 * static_cast<double>(subject.archive.compressedBytes) /
            static_cast<double>(subject.archive.tarBytes),
        static_cast<unsigned long long>(subject.packageBytes));
}

void printPhases(const std::array<Duration, phaseCount>& durations, Duration bestInstall) {
    Console::printf(
        "phases of %d more installs, each phase timed on its own, best of %d (share "
        "of the best install):\n",
        rounds, rounds);
    Duration sum{};
    for (std::size_t phase = 0; phase < phaseCount; ++phase) {
        if (phase == extractionWithoutLog) {
            Console::printf("  %-46s %8.3f s  %5.1f%%\n", "sum of the phases", seconds(sum),
                            100.0 * seconds(sum) / seconds(bestInstall));
        } else {
            sum += durations.at(phase);
        }
        Console::printf("  %-46s %8.3f s  %5.1f%%\n", phaseNames.at(phase),
                        seconds(durations.at(phase)),
                        100.0 * seconds(durations.at(phase)) / seconds(bestInstall));
    }
}

struct Rounds {
    Best install;
    long peakKilobytes = 0;
    Best bsdtar;
    Best cksum;
    // The loader's sync of what bsdtar wrote: the work of the install the peers skip.
    Best peerSync;
};

// Loader and peers alternating, which keeps a passing load on the machine from favouring either.
std::optional<Rounds> measureRounds(const Setup& setup, const Subject& subject) {
    const std::string bsdtarCommand =
        "bsdtar -xzf " + subject.archivePath + " -C " + setup.peerFolder;
    const std::string cksumCommand = "cksum " + subject.packagePath + " > /dev/null";
    Rounds best;
    // Untimed: brings both programs and both files into the caches as the installs find them.
    Best warmUp;
    bool succeeded = makeEmptyFolder(setup.peerFolder) && runPeer(bsdtarCommand, warmUp) &&
                     runPeer(cksumCommand, warmUp);
    for (int round = 0; round < rounds && succeeded; ++round) {
        succeeded = makeEmptyFolder(setup.dataRoot);
        const auto install = succeeded ? installInChild(subject.packagePath) : std::nullopt;
        succeeded = install && install->report.succeeded;
        if (succeeded) {
            best.install.take(install->report.elapsed, install->processor);
            best.peakKilobytes = std::max(best.peakKilobytes, install->peakKilobytes);
        }
        succeeded = succeeded && makeEmptyFolder(setup.peerFolder) &&
                    runPeer(bsdtarCommand, best.bsdtar) && runPeer(cksumCommand, best.cksum);
        if (succeeded) {
            rusage before{};
            getrusage(RUSAGE_SELF, &before);
            const Duration wall = timed([&] { TreeWalks::syncTree(setup.peerFolder); });
            rusage after{};
            getrusage(RUSAGE_SELF, &after);
            best.peerSync.take(wall, processorTime(after) - processorTime(before));
        }
    }
    if (!succeeded || !makeEmptyFolder(setup.peerFolder) || !makeEmptyFolder(setup.dataRoot)) {
        Console::print("install_bench: an install or a peer run failed\n");
        return std::nullopt;
    }
    return best;
}

// Each phase of the install timed on its own, the best of `rounds` runs.
std::optional<std::array<Duration, phaseCount>> measureFastestPhases(const Setup& setup,
                                                                     const Subject& subject) {
    std::array<Duration, phaseCount> fastest{};
    fastest.fill(Duration::max());
    for (int round = 0; round < rounds; ++round) {
        const auto phases =
            makeEmptyFolder(setup.dataRoot)
                ? runInChild<PhaseReport>([&] { return measurePhases(subject.packagePath); })
                : std::nullopt;
        if (!phases || !phases->report.succeeded) {
            Console::print("install_bench: the install measured in phases failed\n");
            return std::nullopt;
        }
        for (std::size_t phase = 0; phase < phaseCount; ++phase) {
            fastest.at(phase) = std::min(fastest.at(phase), phases->report.durations.at(phase));
        }
    }
    return fastest;
}

void printTimes(const char* name, const Best& best) {
    Console::printf("  %-48s %8.3f s %8.3f s\n", name, seconds(best.wall), seconds(best.processor));
}

void printRounds(const Rounds& best) {
    Console::printf("best of %d rounds, loader and peers alternating, files in the page cache:\n",
                    rounds);
    Console::printf("  %-48s %10s %10s\n", "", "wall", "processor");
    printTimes("loader: InstallManager::install (child process)", best.install);
    printTimes("bsdtar -xzf ARCHIVE -C FOLDER", best.bsdtar);
    printTimes("cksum PACKAGE", best.cksum);
    const Best peers{.wall = best.bsdtar.wall + best.cksum.wall,
                     .processor = best.bsdtar.processor + best.cksum.processor};
    printTimes("peers' sum (bsdtar + cksum)", peers);
    const double ratio = seconds(best.install.wall) / seconds(peers.wall);
    Console::printf("ratio loader / peers: %.3f (target at most %.2f): %s\n", ratio,
                    peerRatioTarget, ratio <= peerRatioTarget ? "met" : "NOT met");
    printTimes("syncTree over bsdtar's tree", best.peerSync);
    Console::printf("ratio loader / (peers + that sync): %.3f\n",
                    seconds(best.install.wall) / seconds(peers.wall + best.peerSync.wall));
}

int benchmark(std::size_t size) {
    const WorkFolder work("/tmp/install_bench");
    if (work.path().empty()) {
        Console::print("install_bench: cannot make a work folder under /tmp\n");
        return 2;
    }
    const Setup setup{.folder = work.path(),
                      .unitRoot = work.path() + "/unit",
                      .dataRoot = work.path() + "/unit/fs/etfs",
                      .peerFolder = work.path() + "/peer"};
    if (!prepareUnitRoot(setup)) {
        Console::print("install_bench: cannot prepare the unit root\n");
        return 2;
    }
    Console::printf("MB = 2^20 bytes; work folder %s\n", setup.folder.c_str());
    const std::optional<Subject> subject = makeSubject(setup, "application", size);
    if (!subject) {
        return 2;
    }
    printSizes("archive", *subject);

    const std::optional<Rounds> best = measureRounds(setup, *subject);
    if (!best) {
        return 1;
    }
    printRounds(*best);
    const double peakMegabytes = kilobytesToMegabytes(best->peakKilobytes);
    const std::optional<long> idlePeak = idleChildPeakKilobytes();
    Console::printf(
        "loader peak memory: %.1f MB (target under %.0f MB): %s; a child process that "
        "does nothing peaks at %.1f MB here\n",
        peakMegabytes, peakMemoryTargetMegabytes,
        peakMegabytes < peakMemoryTargetMegabytes ? "met" : "NOT met",
        kilobytesToMegabytes(idlePeak.value_or(0)));

    const std::optional<Subject> quarter = makeSubject(setup, "quarter", size / 4);
    if (!quarter) {
        return 2;
    }
    const std::optional<long> quarterIdlePeak = idleChildPeakKilobytes();
    const auto quarterInstall = installInChild(quarter->packagePath);
    if (!quarterInstall || !quarterInstall->report.succeeded || !makeEmptyFolder(setup.dataRoot)) {
        Console::print("install_bench: the install of the quarter-size package failed\n");
        return 1;
    }
    Console::printf(
        "memory independent of component size: peak %.1f MB with %.1f MB of content, "
        "%.1f MB with %.1f MB (a child that does nothing: %.1f MB, then %.1f MB)\n",
        peakMegabytes, megabytes(subject->archive.contentBytes),
        kilobytesToMegabytes(quarterInstall->peakKilobytes),
        megabytes(quarter->archive.contentBytes), kilobytesToMegabytes(idlePeak.value_or(0)),
        kilobytesToMegabytes(quarterIdlePeak.value_or(0)));

    const auto phases = measureFastestPhases(setup, *subject);
    if (!phases) {
        return 1;
    }
    printPhases(*phases, best->install.wall);

    const auto drawn =
        makeEmptyFolder(setup.dataRoot) ? drawnInstallInChild(subject->packagePath) : std::nullopt;
    if (!drawn || !drawn->report.succeeded || !makeEmptyFolder(setup.dataRoot)) {
        Console::print("install_bench: the install with the loading screen failed\n");
        return 1;
    }
    const double share = seconds(drawn->report.drawing) / seconds(drawn->report.elapsed);
    Console::printf(
        "install with the loading screen drawn: %.3f s, of which %d frames drawn in %.3f s: "
        "%.2f%% (target under %.0f%%): %s\n",
        seconds(drawn->report.elapsed), drawn->report.frames, seconds(drawn->report.drawing),
        100.0 * share, 100.0 * drawingShareTarget, share < drawingShareTarget ? "met" : "NOT met");
    // Frames are also written out as pictures off the drawing thread; that cost shows only as
    // a longer install.
    Console::printf("  against the fastest install without a screen: %+.3f s (%+.1f%%)\n",
                    seconds(drawn->report.elapsed - best->install.wall),
                    100.0 * (seconds(drawn->report.elapsed) / seconds(best->install.wall) - 1.0));
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    const std::optional<std::size_t> size =
        argc == 2 ? BenchSupport::parseSize(argv[1]) : defaultSize;
    if (argc > 2 || !size) {
        Console::print("usage: install_bench [SIZE]   SIZE in bytes, or with a K, M or G suffix\n");
        return 2;
    }
    return benchmark(*size);
}
