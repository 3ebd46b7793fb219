// Measures the loader installing one application component on this machine against the tools
// that do the bulk of the same work: bsdtar unpacking the archive and cksum reading the package
// once, as the loader's checksum pass does.
//
//   install_bench [SIZE]        SIZE: the generated archive's uncompressed content, in bytes or
//                               with a K, M or G suffix (powers of 1024); default 250M
//   install_bench --archive FILE
//                               the same comparison with FILE, a tar.gz of the user's choice,
//                               as the application component
//
// Single steps, for bench/run, which times them side by side with its peers; each prints its
// figures on a last line "result NAME=VALUE ...":
//   install_bench --install PACKAGE --unit FOLDER [--screen] [--seal-key PUBLIC.pem]
//                               one install of PACKAGE in a unit root at FOLDER (made when
//                               missing, its data root emptied first), timed from the install
//                               manager's construction to the end of the install; with --screen
//                               the loading screen draws every progress report
//   install_bench --verify PACKAGE --unit FOLDER [--seal-key PUBLIC.pem]
//                               the loader's checks of PACKAGE alone: load, signature and the
//                               checksum of every component's data
// With --seal-key the loader is one built to require seals by that key: it checks the seal too,
// hashing the package in the same pass as the checksums.
//
// In the comparison every install runs in a child process of its own, so that its peak resident
// memory can be read when it ends. The stand-in IPL control driver runs in that child too, so
// this process stays single-threaded: no other thread can hold a lock at the fork that the child
// would then need.
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
#include "boot/LoaderKey.h"
#include "boot/PackageSeal.h"
#include "boot/ui/UIManager.h"
#include "platform/Clock.h"
#include "platform/Process.h"
#include "platform/UnitRoot.h"
#include "sim/common/FactoryData.h"
#include "sim/drivers/IplControlDriver.h"
#include "tools/PackageWriter.h"
#include "tools/SealKeyFile.h"

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
constexpr double peerRatioTarget = 1.00;
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
// `sealKey`, when given, is required of the package as a loader built with it requires it.
InstallReport installOnce(const std::string& packagePath,
                          const Boot::PackageSeal::Key* sealKey = nullptr) {
    const IplDriver driver;
    SilentInterface ui;
    Boot::InstallStatus status = Boot::InstallStatus::failure;
    const Duration elapsed = timed([&] {
        Boot::InstallManager manager(ui, Boot::loaderKey());
        if (sealKey != nullptr) {
            manager.package().requireSeal(*sealKey);
        }
        status = manager.install(packagePath);
    });
    if (status != Boot::InstallStatus::success) {
        Console::printf("install_bench: the install returned %u\n", static_cast<unsigned>(status));
    }
    return InstallReport{status == Boot::InstallStatus::success, elapsed};
}

std::optional<ChildResult<InstallReport>> installInChild(const std::string& packagePath) {
    return runInChild<InstallReport>([&packagePath] { return installOnce(packagePath); });
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

DrawnInstallReport drawnInstallOnce(const std::string& packagePath) {
    const IplDriver driver;
    Boot::UIManager screen(nullptr);
    screen.setLayout(2);
    // The loading screen becomes current with nothing to install; the install below reports to
    // it as the screen's own install would.
    screen.runDirectInstall({});
    TimedScreen ui(screen);
    Boot::InstallStatus status = Boot::InstallStatus::failure;
    const Duration elapsed = timed([&] {
        Boot::InstallManager manager(ui, Boot::loaderKey());
        status = manager.install(packagePath);
    });
    screen.window().flush();
    return DrawnInstallReport{status == Boot::InstallStatus::success, elapsed, ui.drawing(),
                              ui.frames()};
}

std::optional<ChildResult<DrawnInstallReport>> drawnInstallInChild(const std::string& packagePath) {
    return runInChild<DrawnInstallReport>([&packagePath] { return drawnInstallOnce(packagePath); });
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

// The loader's checks of a package before its install, each timed on its own.
struct Verification {
    bool passed;
    Duration signatureCheck;
    Duration componentCrc;
};

// With `sealKey` the checks of a loader that requires seals by it: the seal's key with the
// signature, the seal itself with the component data.
Verification verifyPackage(Boot::InstallPackage& package, const std::string& packagePath,
                           const Boot::PackageSeal::Key* sealKey = nullptr) {
    Verification verification{};
    bool passed = false;
    if (sealKey != nullptr) {
        package.requireSeal(*sealKey);
    }
    verification.signatureCheck = timed([&] {
        passed =
            package.load(packagePath).magic() == Boot::packageMagic &&
            (sealKey == nullptr || package.checkSealKey() == Boot::PackageSeal::Status::valid) &&
            package.verifySignature(Boot::loaderKey());
    });
    SilentInterface ui;
    verification.componentCrc = timed([&] {
        passed = passed && package.verifyComponentData(ui) &&
                 (sealKey == nullptr || package.sealVerdict() == Boot::PackageSeal::Status::valid);
    });
    verification.passed = passed;
    return verification;
}

PhaseReport measurePhases(const std::string& packagePath) {
    PhaseReport report{};
    auto& durations = report.durations;
    Boot::InstallPackage package(Boot::InstallManager::installedPackagePath());
    const Verification verification = verifyPackage(package, packagePath);
    durations[signatureCheck] = verification.signatureCheck;
    durations[componentCrc] = verification.componentCrc;
    bool succeeded = verification.passed;

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
    succeeded = succeeded && TreeWalks::removeTree(applicationFolder);
    durations[extractionWithoutLog] = timed([&] { extract(false); });
    // As in the installer, entries that keep their owner or mode only get a log line there.
    durations[ownerChange] = timed([&] { static_cast<void>(TreeWalks::chownTree(root)); });
    durations[modeChange] =
        timed([&] { static_cast<void>(TreeWalks::chmodTree(applicationFolder, "0777")); });
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

// The package of the archive at `archivePath`, sealed for the loader's key.
std::optional<Subject> sealSubject(const Setup& setup, const std::string& name,
                                   const std::string& archivePath,
                                   const std::optional<BenchSupport::ApplicationArchive>& archive,
                                   const std::string& archiveError) {
    if (!archive) {
        Console::printf("install_bench: %s\n", archiveError.c_str());
        return std::nullopt;
    }
    Subject subject;
    subject.archive = *archive;
    subject.archivePath = archivePath;
    subject.packagePath = setup.folder + "/" + name + ".kx1";
    std::string error;
    const Packaging::RsaPublicKey key =
        Packaging::RsaPublicKey::fromPemFile(LOADER_PUBLIC_KEY_FILE);
    if (!key.isValid()) {
        Console::printf("install_bench: %s: %s\n", LOADER_PUBLIC_KEY_FILE, key.problem().c_str());
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

// A generated archive of `contentBytes` and its package.
std::optional<Subject> makeSubject(const Setup& setup, const std::string& name,
                                   std::uint64_t contentBytes) {
    const std::string archivePath = setup.folder + "/" + name + ".tar.gz";
    std::string error;
    const auto archive = BenchSupport::writeApplicationArchive(archivePath, contentBytes, error);
    return sealSubject(setup, name, archivePath, archive, error);
}

// The user's archive and its package.
std::optional<Subject> takeSubject(const Setup& setup, const std::string& archivePath) {
    std::string error;
    const auto archive = BenchSupport::describeArchive(archivePath, error);
    return sealSubject(setup, "application", archivePath, archive, error);
}

void printSizes(const char* label, const Subject& subject) {
    Console::printf(
        "%s: %llu entries, %llu of them files, content %llu bytes (%.1f MB), tar %llu bytes, "
        "gzip %llu bytes (%.1f MB, %.0f%% of the tar); package %llu bytes\n",
        label, static_cast<unsigned long long>(subject.archive.entries),
        static_cast<unsigned long long>(subject.archive.files),
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

// The memory of an install of a quarter of the generated archive, against the whole one's.
bool compareQuarterMemory(const Setup& setup, const Subject& subject, std::size_t size,
                          double peakMegabytes, std::optional<long> idlePeak) {
    const std::optional<Subject> quarter = makeSubject(setup, "quarter", size / 4);
    if (!quarter) {
        return false;
    }
    const std::optional<long> quarterIdlePeak = idleChildPeakKilobytes();
    const auto quarterInstall = installInChild(quarter->packagePath);
    if (!quarterInstall || !quarterInstall->report.succeeded || !makeEmptyFolder(setup.dataRoot)) {
        Console::print("install_bench: the install of the quarter-size package failed\n");
        return false;
    }
    Console::printf(
        "memory independent of component size: peak %.1f MB with %.1f MB of content, "
        "%.1f MB with %.1f MB (a child that does nothing: %.1f MB, then %.1f MB)\n",
        peakMegabytes, megabytes(subject.archive.contentBytes),
        kilobytesToMegabytes(quarterInstall->peakKilobytes),
        megabytes(quarter->archive.contentBytes), kilobytesToMegabytes(idlePeak.value_or(0)),
        kilobytesToMegabytes(quarterIdlePeak.value_or(0)));
    return true;
}

// What the command line asked for: the comparison on a generated archive of `size` bytes or on
// the user's `archive`, or a single install or verification step.
struct Request {
    enum class Kind { compare, install, verify } kind = Kind::compare;
    std::size_t size = defaultSize;
    std::string archive;
    std::string package;
    std::string unit;
    bool screen = false;
    std::string sealKey;
};

// The seal key that a step requires, read from the file the request names; true with no key
// when it names none.
bool readSealKey(const Request& request, std::optional<Boot::PackageSeal::Key>& key) {
    if (request.sealKey.empty()) {
        return true;
    }
    std::string error;
    key.emplace();
    if (!Packaging::SealKeyFile::read(request.sealKey, Packaging::SealKeyFile::Use::check, *key,
                                      error)) {
        Console::printf("install_bench: %s\n", error.c_str());
        return false;
    }
    return true;
}

int compare(const Request& request) {
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
    const bool generated = request.archive.empty();
    const std::optional<Subject> subject = generated
                                               ? makeSubject(setup, "application", request.size)
                                               : takeSubject(setup, request.archive);
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
    if (generated &&
        !compareQuarterMemory(setup, *subject, request.size, peakMegabytes, idlePeak)) {
        return 1;
    }

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
    const double peers = seconds(best->bsdtar.wall + best->cksum.wall);
    Console::printf(
        "result install_s=%.6f bsdtar_cksum_s=%.6f install_ratio=%.4f peak_mb=%.1f "
        "drawing_share_ratio=%.4f\n",
        seconds(best->install.wall), peers, seconds(best->install.wall) / peers, peakMegabytes,
        share);
    return 0;
}

// The unit root of a single step at `folder`, with an empty data root.
std::optional<Setup> stepSetup(const std::string& folder) {
    const Setup setup{
        .folder = folder, .unitRoot = folder, .dataRoot = folder + "/fs/etfs", .peerFolder = {}};
    if (!prepareUnitRoot(setup) || !makeEmptyFolder(setup.dataRoot)) {
        Console::printf("install_bench: cannot prepare the unit root %s\n", folder.c_str());
        return std::nullopt;
    }
    return setup;
}

int installStep(const Request& request) {
    std::optional<Boot::PackageSeal::Key> sealKey;
    if (!stepSetup(request.unit) || !readSealKey(request, sealKey)) {
        return 2;
    }
    if (!request.screen) {
        const InstallReport report = installOnce(request.package, sealKey ? &*sealKey : nullptr);
        if (!report.succeeded) {
            return 1;
        }
        Console::printf("result install_s=%.6f\n", seconds(report.elapsed));
        return 0;
    }
    const DrawnInstallReport report = drawnInstallOnce(request.package);
    if (!report.succeeded) {
        Console::print("install_bench: the install with the loading screen failed\n");
        return 1;
    }
    Console::printf("result install_s=%.6f drawing_s=%.6f drawing_share_ratio=%.6f frames=%d\n",
                    seconds(report.elapsed), seconds(report.drawing),
                    seconds(report.drawing) / seconds(report.elapsed), report.frames);
    return 0;
}

int verifyStep(const Request& request) {
    std::optional<Boot::PackageSeal::Key> sealKey;
    if (!stepSetup(request.unit) || !readSealKey(request, sealKey)) {
        return 2;
    }
    Boot::InstallPackage package(Boot::InstallManager::installedPackagePath());
    const Verification verification =
        verifyPackage(package, request.package, sealKey ? &*sealKey : nullptr);
    if (!verification.passed) {
        Console::printf("install_bench: %s did not pass the loader's checks\n",
                        request.package.c_str());
        return 1;
    }
    Console::printf("result verify_s=%.6f signature_s=%.6f component_crc_s=%.6f\n",
                    seconds(verification.signatureCheck + verification.componentCrc),
                    seconds(verification.signatureCheck), seconds(verification.componentCrc));
    return 0;
}

std::optional<Request> parseRequest(const std::vector<std::string>& words) {
    Request request;
    if (words.empty()) {
        return request;
    }
    if (words.size() == 1) {
        const std::optional<std::size_t> size = BenchSupport::parseSize(words.front());
        request.size = size.value_or(0);
        return size ? std::optional(request) : std::nullopt;
    }
    if (words.size() == 2 && words[0] == "--archive") {
        request.archive = words[1];
        return request;
    }
    const bool install = words[0] == "--install";
    if (!install && words[0] != "--verify") {
        return std::nullopt;
    }
    request.kind = install ? Request::Kind::install : Request::Kind::verify;
    request.package = words[1];
    for (std::size_t index = 2; index < words.size(); ++index) {
        if (words[index] == "--unit" && index + 1 < words.size()) {
            request.unit = words[++index];
        } else if (words[index] == "--screen" && install) {
            request.screen = true;
        } else if (words[index] == "--seal-key" && index + 1 < words.size()) {
            request.sealKey = words[++index];
        } else {
            return std::nullopt;
        }
    }
    // The drawn install runs without a seal key.
    const bool usable = !request.unit.empty() && !(request.screen && !request.sealKey.empty());
    return usable ? std::optional(request) : std::nullopt;
}

}  // namespace

int main(int argc, char* argv[]) {
    const std::optional<Request> request =
        parseRequest(std::vector<std::string>(argv + 1, argv + argc));
    if (!request) {
        Console::print(
            "usage: install_bench [SIZE]   SIZE in bytes, or with a K, M or G suffix\n"
            "       install_bench --archive FILE.tar.gz\n"
            "       install_bench --install PACKAGE --unit FOLDER [--screen] [--seal-key "
            "PUBLIC.pem]\n"
            "       install_bench --verify PACKAGE --unit FOLDER [--seal-key PUBLIC.pem]\n");
        return 2;
    }
    switch (request->kind) {
        case Request::Kind::compare:
            return compare(*request);
        case Request::Kind::install:
            return installStep(*request);
        case Request::Kind::verify:
            return verifyStep(*request);
    }
    return 2;
}
