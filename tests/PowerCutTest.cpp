// Power cuts during the install of the update package. A unit with an old installed state gets
// a new update package; the loader is killed with SIGKILL at one point of that install, the unit
// boots again and finishes. Every cut must leave the old or the new installed record (never a
// short or mixed one), no unfinished record after the next boot, and the same data partition and
// record as an install that was never cut.
//
// The cuts are made three ways: strace kills the loader's main thread, where the install runs,
// on entering its Nth call of one system call (numbered as in a traced uncut install, writes
// among the writes to their file); the test kills the loader once the install log has N lines;
// or a fixed time after the start.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ArchiveFixtures.h"
#include "CoreSystem/CRC32.h"
#include "PowerCutSupport.h"
#include "TestSupport.h"
#include "boot/InstallPackage.h"
#include "boot/PackageFormat.h"
#include "sim/unitsim/UnitFolder.h"
#include "tools/PackageWriter.h"
#include "tools/RsaPublicKey.h"

namespace {

using namespace PowerCut;
namespace fs = std::filesystem;
namespace ComponentType = Boot::ComponentType;
namespace UnitsimPaths = Sim::Unitsim::UnitsimPaths;
using namespace std::chrono_literals;

// The hardware family of a unit made with defaults.
constexpr std::uint32_t unitVariant = 1;
constexpr std::uint32_t oldVersion = 2910001;
constexpr std::uint32_t newVersion = 2920002;

// The system calls that the reference install is traced for; cuts are placed among them. With
// -y strace shows the file behind each descriptor.
constexpr const char* tracedCalls =
    "openat,write,rename,renameat,renameat2,unlink,unlinkat,rmdir,fsync,fdatasync,syncfs,sync";
// Calls that make a change durable or move or remove a name: every one of the install is cut.
const std::vector<std::string> orderingCalls = {"rename",   "renameat", "renameat2", "unlink",
                                                "unlinkat", "rmdir",    "fsync",     "fdatasync",
                                                "syncfs",   "sync"};
// How many cuts are spread evenly over the install's opens and writes (extraction mostly).
constexpr std::size_t spreadOpens = 8;
constexpr std::size_t spreadWrites = 4;
constexpr std::size_t logProgressCuts = 6;
constexpr std::size_t timedCuts = 5;

// Where one run is cut.
struct CutPoint {
    enum class Kind { systemCall, logLines, time };
    Kind kind = Kind::systemCall;
    // A system call: the reference install's call that is not made.
    TracedCall call{};
    std::size_t logLines = 0;
    std::chrono::milliseconds after{};

    // Whether the call is counted among the calls on its file alone. Writes are: the sanitizer
    // runtime writes to pipes of its own as often as it needs, so the count over all writes
    // differs from run to run.
    bool countedOnItsFile() const { return kind == Kind::systemCall && call.name == "write"; }
};

// What one cut and the boot after it left.
struct CutReport {
    std::string where;
    bool newRecordAfterCut = false;
    std::vector<std::string> faults;
};

// The packages, the old state and the reference install that every cut is compared with; made
// once for all tests of the program.
struct References {
    std::string scratch;
    std::string strace;
    std::string oldPackage;
    std::string newPackage;
    // The data partition after the old package was installed.
    std::string oldData;
    std::string oldRecord;
    std::string newRecord;
    Listing installed;
    std::size_t installLogLines = 0;
    std::chrono::milliseconds installTime{};
    std::vector<TracedCall> trace;
    bool ready = false;
};

// Files of an application tree: a few hundred in folders, with a link.
std::vector<TestSupport::Member> applicationTree(const std::string& release, int folders,
                                                 int filesPerFolder) {
    const std::string noise = TestSupport::randomBytes(std::size_t{64} * 1024U);
    std::vector<TestSupport::Member> members;
    for (int folder = 0; folder < folders; ++folder) {
        const std::string base = "app/lib" + std::to_string(folder) + "/";
        for (int index = 0; index < filesPerFolder; ++index) {
            const std::size_t size =
                200 + static_cast<std::size_t>((folder * 131 + index * 71) % 2500);
            const std::size_t offset = static_cast<std::size_t>(folder * 977 + index * 389) % 30000;
            members.push_back({.path = base + "module" + std::to_string(index) + ".so",
                               .contents = release + base + noise.substr(offset, size)});
        }
        members.push_back({.path = base + "conf/settings.ini", .contents = release + base});
    }
    members.push_back({.path = "app/bin/main", .contents = "#!/bin/sh\n# " + release + "\n"});
    members.push_back({.path = "app/current", .type = AE_IFLNK, .symlinkTarget = "bin/main"});
    return members;
}

std::string writeFile(const std::string& folder, const std::string& name,
                      const std::string& contents) {
    std::string path = folder + "/" + name;
    TestSupport::writeHostFile(path, contents);
    return path;
}

std::string writePackage(const std::string& folder, const std::string& name,
                         const std::vector<Packaging::ComponentSource>& components) {
    Packaging::PackageDescription description;
    description.hardwareFamily = unitVariant;
    description.components = components;
    std::string path = folder + "/" + name;
    std::string error;
    EXPECT_TRUE(Packaging::PackageWriter::write(
        description, Packaging::RsaPublicKey::fromPemFile(LOADER_PUBLIC_KEY_FILE), path, error))
        << error;
    return path;
}

// The old release: a smaller application, configuration, operating system files, media image
// and touch firmware.
std::string oldPackage(const std::string& folder) {
    using TestSupport::tarGz;
    return writePackage(
        folder, "old.kx1",
        {{ComponentType::operatingSystem, oldVersion,
          writeFile(folder, "old-os.tar.gz",
                    tarGz({{.path = "kernel", .contents = "kernel 1\n"},
                           {.path = "drivers/old-serial.so", .contents = "old serial\n"}}))},
         {ComponentType::application, oldVersion,
          writeFile(folder, "old-app.tar.gz", tarGz(applicationTree("old", 2, 4)))},
         {ComponentType::configuration, oldVersion,
          writeFile(folder, "old-config.tar.gz",
                    tarGz({{.path = "config/unit.cfg", .contents = "volume=2\n"},
                           {.path = "config/retired.cfg", .contents = "retired=1\n"}}))},
         {ComponentType::mediaImage, oldVersion,
          writeFile(folder, "old-media.ifs", TestSupport::randomBytes(40000))},
         {ComponentType::touchFirmware, oldVersion,
          writeFile(folder, "old-touch.bin", "old touch " + TestSupport::randomBytes(2000))}});
}

// The new release: archives of the operating system, the application (a few hundred files) and
// the configuration, a media image and touch and I/O microcontroller firmware.
std::string newPackage(const std::string& folder) {
    using TestSupport::tarGz;
    return writePackage(
        folder, "new.kx1",
        {{ComponentType::operatingSystem, newVersion,
          writeFile(folder, "new-os.tar.gz",
                    tarGz({{.path = "kernel", .contents = "kernel 2\n"},
                           {.path = "drivers/serial.so", .contents = "serial 2\n"},
                           {.path = "drivers/can.so", .contents = "can 2\n"}}))},
         {ComponentType::application, newVersion,
          writeFile(folder, "new-app.tar.gz", tarGz(applicationTree("new", 8, 34)))},
         {ComponentType::configuration, newVersion,
          writeFile(folder, "new-config.tar.gz",
                    tarGz({{.path = "config/unit.cfg", .contents = "volume=3\n"},
                           {.path = "config/network/eth0.cfg", .contents = "dhcp=1\n"}}))},
         {ComponentType::mediaImage, newVersion,
          writeFile(folder, "new-media.ifs", "new media " + TestSupport::randomBytes(70000))},
         {ComponentType::touchFirmware, newVersion,
          writeFile(folder, "new-touch.bin", "new touch " + TestSupport::randomBytes(3000))},
         {ComponentType::ioMicrocontrollerFirmware, newVersion,
          writeFile(folder, "new-pic.bin", "new pic " + TestSupport::randomBytes(2100))}});
}

std::string findStrace() {
    for (const char* folder : {"/usr/bin", "/bin", "/usr/local/bin"}) {
        std::string path = std::string(folder) + "/strace";
        if (::access(path.c_str(), X_OK) == 0) {
            return path;
        }
    }
    return "";
}

// A program in `folder` that runs the loader under strace, which traces and injects what
// `options` say. Without -f only the loader's main thread, where the install runs, is traced:
// neither its other threads nor the shell commands it starts count or are cut.
std::string straceLoader(const std::string& strace, const std::string& folder,
                         const std::string& options) {
    std::string path = folder + "/traced-loader";
    TestSupport::writeHostFile(
        path, "#!/bin/sh\nexec " + strace + " " + options + " " + BOOTLOADER_PATH + " \"$@\"\n");
    fs::permissions(path, fs::perms::owner_all);
    return path;
}

// Runs `job(0)` to `job(count - 1)`, two at a time: two units fit the machine side by side.
template <typename Result, typename Job>
std::vector<Result> runTwoAtATime(std::size_t count, const Job& job) {
    std::vector<Result> results(count);
    std::atomic<std::size_t> next = 0;
    const auto worker = [&] {
        for (std::size_t index = next++; index < count; index = next++) {
            results[index] = job(index);
        }
    };
    std::thread second(worker);
    worker();
    second.join();
    return results;
}

class PowerCutTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        references_ = std::make_unique<References>();
        References& made = *references_;
        std::string pattern = "/tmp/pc-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        made.scratch = pattern;
        made.strace = findStrace();
        ASSERT_FALSE(made.strace.empty()) << "strace is missing: run scripts/install-dependencies";
        made.oldPackage = oldPackage(made.scratch);
        made.newPackage = newPackage(made.scratch);

        // The old state: the old package installed by the loader itself.
        const Unit old(made.scratch + "/old");
        ASSERT_EQ(old.make("", made.oldPackage), "");
        ASSERT_EQ(old.start(BOOTLOADER_PATH), "");
        ASSERT_TRUE(old.waitForInstallEnd());
        old.stop();
        ASSERT_THAT(old.file(UnitsimPaths::installLog),
                    ::testing::HasSubstr("Installation successful"));
        made.oldData = made.scratch + "/old-data";
        copyDataPartition(old.hostPath(dataFolder), made.oldData);
        made.oldRecord = old.file(installedRecord);

        // The reference: the new package installed without a cut, once plain (its time and log
        // place the timed cuts) and once traced (its calls place the system call cuts).
        struct Run {
            Listing installed;
            std::string record;
            std::string log;
            std::chrono::milliseconds installTime{};
            std::string fault;
        };
        const std::vector<Run> runs = runTwoAtATime<Run>(2, [&made](std::size_t index) {
            Run run;
            const bool traced = index == 1;
            const Unit unit(made.scratch + "/" + (traced ? tracedUnitName : "reference"));
            const std::string loader =
                traced ? straceLoader(
                             made.strace, made.scratch,
                             "-y -o " + made.scratch + "/reference.trace -e trace=" + tracedCalls)
                       : BOOTLOADER_PATH;
            run.fault = unit.make(made.oldData, made.newPackage);
            const auto began = std::chrono::steady_clock::now();
            if (run.fault.empty()) {
                run.fault = unit.start(loader);
            }
            if (run.fault.empty() && !unit.waitForInstallEnd()) {
                run.fault = "the install did not end";
            }
            run.installTime = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - began);
            if (run.fault.empty() && !unit.waitFor({"--reset"})) {
                run.fault = "no reset: " + unit.outcome().value_or("still running");
            }
            run.installed = listDataPartition(unit.hostPath(dataFolder));
            run.record = unit.file(installedRecord);
            run.log = unit.file(UnitsimPaths::installLog);
            return run;
        });
        for (const Run& run : runs) {
            ASSERT_EQ(run.fault, "");
            ASSERT_THAT(run.log, ::testing::HasSubstr("Installation successful"));
        }
        // Tracing changes nothing that the install leaves.
        ASSERT_EQ(runs[1].installed, runs[0].installed)
            << differences(runs[0].installed, runs[1].installed);
        ASSERT_EQ(runs[1].record, runs[0].record);
        made.installed = runs[0].installed;
        made.newRecord = runs[0].record;
        made.installLogLines = lineCount(runs[0].log);
        made.installTime = runs[0].installTime;
        made.trace = readTrace(made.scratch + "/reference.trace");

        // The two records tell the releases apart, read back as the loader reads them.
        const Boot::InstallPackage::InstalledVersions oldVersions = {
            {ComponentType::operatingSystem, oldVersion},
            {ComponentType::application, oldVersion},
            {ComponentType::configuration, oldVersion},
            {ComponentType::mediaImage, oldVersion},
            {ComponentType::touchFirmware, oldVersion}};
        Boot::InstallPackage::InstalledVersions newVersions;
        for (const auto& [type, version] : oldVersions) {
            newVersions[type] = newVersion;
        }
        newVersions[ComponentType::ioMicrocontrollerFirmware] = newVersion;
        // The loader's reader works inside a unit root, as it does on the unit.
        const TestSupport::TemporaryUnitRoot recordRoot;
        const std::string recordPath = recordRoot.path() + "/record.kx1";
        TestSupport::writeHostFile(recordPath, made.oldRecord);
        ASSERT_EQ(Boot::InstallPackage(recordPath).installed(), oldVersions);
        TestSupport::writeHostFile(recordPath, made.newRecord);
        ASSERT_EQ(Boot::InstallPackage(recordPath).installed(), newVersions);
        ASSERT_GT(made.installed.size(), 300U);
        ASSERT_FALSE(made.installed.contains("update.kx1"));
        made.ready = true;
    }

    void SetUp() override { ASSERT_TRUE(references_->ready) << "the references were not made"; }

    static void TearDownTestSuite() {
        std::error_code ignored;
        fs::remove_all(references_->scratch, ignored);
        references_.reset();
    }

    // The reference install's traced calls, from the search loop's first look at the update
    // package to the last call on it and the syncs by descriptor right after. What follows
    // (the countdown and the reset) is no longer the install.
    static std::vector<TracedCall> installCalls() {
        const std::vector<TracedCall>& trace = references_->trace;
        const auto namesUpdate = [](const TracedCall& call) {
            return call.call.find(updatePackage) != std::string::npos;
        };
        const auto start = std::find_if(trace.begin(), trace.end(), namesUpdate);
        auto end = std::find_if(trace.rbegin(), trace.rend(), namesUpdate).base();
        while (end != trace.end() && end->call.find('"') == std::string::npos) {
            ++end;
        }
        return {start, end};
    }

    // Cuts at `count` calls named `name`, spread evenly over the install; calls counted on
    // their file are taken only among the calls on files of the unit.
    static std::vector<CutPoint> spreadCuts(const std::string& name, std::size_t count) {
        const std::string unitRoot = references_->scratch + "/" + tracedUnitName + "/";
        std::vector<CutPoint> named;
        for (const TracedCall& call : installCalls()) {
            const CutPoint cut{.call = call};
            if (call.name == name &&
                (!cut.countedOnItsFile() || call.descriptorPath.starts_with(unitRoot))) {
                named.push_back(cut);
            }
        }
        std::vector<CutPoint> cuts;
        for (std::size_t index = 0; index < count && !named.empty(); ++index) {
            cuts.push_back(named[(index * named.size() + named.size() / 2) / count]);
        }
        return cuts;
    }

    static CutReport runCut(const CutPoint& cut, std::size_t index) {
        const References& references = *references_;
        CutReport report;
        switch (cut.kind) {
            case CutPoint::Kind::systemCall:
                report.where = "before " + cut.call.name + " #" +
                               (cut.countedOnItsFile()
                                    ? std::to_string(cut.call.invocationOnPath) + " on its file"
                                    : std::to_string(cut.call.invocation)) +
                               ": " + comparable(cut.call.call, references.scratch, tracedUnitName);
                break;
            case CutPoint::Kind::logLines:
                report.where = "at " + std::to_string(cut.logLines) + " install log lines";
                break;
            case CutPoint::Kind::time:
                report.where = std::to_string(cut.after.count()) + " ms after the start";
                break;
        }
        const Unit unit(references.scratch + "/" + cutUnitName(index));
        const auto fail = [&report](const std::string& fault) {
            report.faults.push_back(fault);
            return report;
        };
        if (std::string fault = unit.make(references.oldData, references.newPackage);
            !fault.empty()) {
            return fail(fault);
        }

        // The run that is cut.
        const std::string cutTrace = unit.work() + "/cut.trace";
        std::string traceOptions = "-y -o " + cutTrace + " -e trace=" + cut.call.name;
        if (cut.countedOnItsFile()) {
            const std::string file = replaced(
                cut.call.descriptorPath, references.scratch + "/" + tracedUnitName, unit.root());
            traceOptions += " -P " + file + " -e inject=" + cut.call.name +
                            ":signal=KILL:when=" + std::to_string(cut.call.invocationOnPath);
        } else {
            traceOptions += " -e inject=" + cut.call.name +
                            ":signal=KILL:when=" + std::to_string(cut.call.invocation);
        }
        const std::string loader = cut.kind == CutPoint::Kind::systemCall
                                       ? straceLoader(references.strace, unit.work(), traceOptions)
                                       : BOOTLOADER_PATH;
        if (std::string fault = unit.start(loader); !fault.empty()) {
            return fail(fault);
        }
        if (cut.kind == CutPoint::Kind::logLines) {
            unit.waitForInstallLogLines(cut.logLines);
            unit.killLoader();
        } else if (cut.kind == CutPoint::Kind::time) {
            std::this_thread::sleep_for(cut.after);
            unit.killLoader();
        }
        const bool ended = unit.waitFor({"--end"});
        // The supervisor records the end before it is gone.
        unit.stop();
        if (cut.kind != CutPoint::Kind::systemCall) {
            report.where +=
                ", cut at " + std::to_string(unit.installLogLines()) + " install log lines";
        }
        if (!ended || unit.outcome() != "signal 9") {
            return fail("the loader was not cut; the run ended with " +
                        unit.outcome().value_or("nothing"));
        }
        if (cut.kind == CutPoint::Kind::systemCall) {
            const std::vector<TracedCall> calls = readTrace(cutTrace);
            if (calls.empty() || calls.back().result != "?" ||
                comparable(calls.back().call, references.scratch, cutUnitName(index)) !=
                    comparable(cut.call.call, references.scratch, tracedUnitName)) {
                return fail("the cut missed its call; the last call was " +
                            (calls.empty() ? std::string("none") : calls.back().call));
            }
        }
        const std::string recordAfterCut = unit.file(installedRecord);
        report.newRecordAfterCut = recordAfterCut == references.newRecord;
        if (recordAfterCut != references.oldRecord && !report.newRecordAfterCut) {
            report.faults.push_back("the cut left an installed record of " +
                                    std::to_string(recordAfterCut.size()) +
                                    " bytes that is neither the old nor the new one");
        }

        // The next boot: it installs the update package again when the cut left it, or else
        // only starts.
        const bool updateLeft = unit.has(updatePackage);
        const std::string bootsBefore = unit.file(bootCount);
        if (std::string fault = unit.start(BOOTLOADER_PATH); !fault.empty()) {
            return fail(fault);
        }
        const bool booted =
            updateLeft ? unit.waitForInstallEnd() : unit.waitForBootCount(bootsBefore);
        unit.stop();
        if (!booted) {
            return fail("the next boot did not finish: " + unit.outcome().value_or("running"));
        }
        if (updateLeft && unit.file(UnitsimPaths::installLog).find("Installation successful") ==
                              std::string::npos) {
            report.faults.push_back("the next boot's install failed:\n" +
                                    unit.file(UnitsimPaths::installLog));
        }
        if (unit.has(unfinishedRecord)) {
            report.faults.emplace_back("an unfinished installed record survived the next boot");
        }
        if (unit.file(installedRecord) != references.newRecord) {
            report.faults.emplace_back(
                "after the next boot the installed record is not the new one");
        }
        if (const Listing installed = listDataPartition(unit.hostPath(dataFolder));
            installed != references.installed) {
            report.faults.push_back("after the next boot the data partition differs:" +
                                    differences(references.installed, installed));
        }
        return report;
    }

    // Cuts once at every point, boots again and checks what each left.
    static void expectEveryCutRecovers(const std::vector<CutPoint>& cuts) {
        const auto began = std::chrono::steady_clock::now();
        const std::vector<CutReport> reports = runTwoAtATime<CutReport>(
            cuts.size(), [&cuts](std::size_t index) { return runCut(cuts[index], index); });
        std::size_t recovered = 0;
        std::size_t newRecords = 0;
        for (const CutReport& report : reports) {
            EXPECT_THAT(report.faults, ::testing::IsEmpty()) << "cut " << report.where;
            recovered += report.faults.empty() ? 1U : 0U;
            newRecords += report.newRecordAfterCut ? 1U : 0U;
        }
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
            std::chrono::steady_clock::now() - began);
        RecordProperty("cutPoints", static_cast<int>(cuts.size()));
        RecordProperty("recovered", static_cast<int>(recovered));
        std::printf(
            "power cuts: %zu cut points, %zu recovered; %zu left the old record and %zu "
            "the new one; %lld s\n",
            cuts.size(), recovered, cuts.size() - newRecords, newRecords,
            static_cast<long long>(seconds.count()));
        for (const CutReport& report : reports) {
            std::printf("  %s %s\n", report.faults.empty() ? "recovered" : "FAILED   ",
                        report.where.c_str());
        }
    }

    static std::unique_ptr<References> references_;
};

std::unique_ptr<References> PowerCutTest::references_;

TEST_F(PowerCutTest, CutsAtEveryRenameRemovalAndSyncOfTheInstall) {
    std::vector<CutPoint> cuts;
    for (const TracedCall& call : installCalls()) {
        // Removing a folder tries unlink first, which fails with nothing changed; the rmdir
        // after it is cut instead.
        const bool folderUnlink = call.name == "unlink" && call.result.starts_with("-1 EISDIR");
        if (!folderUnlink && std::find(orderingCalls.begin(), orderingCalls.end(), call.name) !=
                                 orderingCalls.end()) {
            cuts.push_back({.call = call});
        }
    }
    expectEveryCutRecovers(cuts);
}

TEST_F(PowerCutTest, CutsSpreadOverTheInstallByCallCountLogProgressAndTime) {
    std::vector<CutPoint> cuts = spreadCuts("openat", spreadOpens);
    const std::vector<CutPoint> writes = spreadCuts("write", spreadWrites);
    cuts.insert(cuts.end(), writes.begin(), writes.end());
    // The new record's creation and its one write.
    const std::vector<TracedCall> calls = installCalls();
    const auto created = std::find_if(calls.begin(), calls.end(), [](const TracedCall& call) {
        return call.name == "openat" && call.call.find(unfinishedRecord) != std::string::npos;
    });
    ASSERT_NE(created, calls.end());
    const auto written = std::find_if(created, calls.end(), [&created](const TracedCall& call) {
        return call.name == "write" && call.call.starts_with("write(" + created->result + ",");
    });
    ASSERT_NE(written, calls.end());
    cuts.push_back({.call = *created});
    cuts.push_back({.call = *written});

    const std::size_t lines = references_->installLogLines;
    for (std::size_t index = 0; index < logProgressCuts; ++index) {
        // The last waits for the install's last line, after which the record is written.
        cuts.push_back(
            {.kind = CutPoint::Kind::logLines, .logLines = (index + 1) * lines / logProgressCuts});
    }
    const auto installTime = references_->installTime;
    for (std::size_t index = 0; index < timedCuts; ++index) {
        cuts.push_back({.kind = CutPoint::Kind::time,
                        .after = installTime * static_cast<long>(index + 1) /
                                 static_cast<long>(timedCuts + 1)});
    }
    expectEveryCutRecovers(cuts);
}

}  // namespace
