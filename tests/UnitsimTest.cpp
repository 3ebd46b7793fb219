#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CoreSystem/ByteOrder.h"
#include "CoreSystem/HardwareManager.h"
#include "RecordingDevice.h"
#include "TestSupport.h"
#include "platform/Clock.h"
#include "platform/DeviceCommands.h"
#include "platform/testkit/DeviceServer.h"
#include "sim/common/UnitConfiguration.h"
#include "sim/unitsim/ProcessTable.h"
#include "sim/unitsim/UnitFolder.h"

namespace {

namespace fs = std::filesystem;
using CoreSystem::Hardware::DataBlockEnum;
using CoreSystem::Hardware::Manager;
using Platform::Testkit::DeviceServer;
using TestSupport::ProgramRun;
using TestSupport::RecordingDevice;
using Bytes = std::vector<std::uint8_t>;

const std::string unitsim = UNITSIM_PATH;

constexpr std::uint64_t gpioRegisterAddress = 0xE605580C;
constexpr std::uint64_t bootParameterAddress = 0xE63C0000;
constexpr std::uint32_t otherGpioBit = 0x1;

// Every live process whose process group is `group`.
std::vector<pid_t> liveMembersOf(pid_t group) {
    std::vector<pid_t> members;
    for (const Sim::Unitsim::ProcessEntry& entry : Sim::Unitsim::ProcessTable::scan()) {
        if (entry.group == group && !entry.hasEnded()) {
            members.push_back(entry.id);
        }
    }
    return members;
}

int readNumber(const std::string& hostPath) {
    std::ifstream file(hostPath);
    int value = 0;
    file >> value;
    return value;
}

Bytes readBytes(const std::string& hostPath) {
    const std::string text = TestSupport::readHostFile(hostPath);
    return {text.begin(), text.end()};
}

std::uint32_t readMemoryWord(const std::string& memoryFile, std::uint64_t address) {
    std::array<std::uint8_t, 4> bytes{};
    const int handle = ::open(memoryFile.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_EQ(::pread(handle, bytes.data(), bytes.size(), static_cast<off_t>(address)), 4);
    ::close(handle);
    return CoreSystem::ByteOrder::loadLittleEndian32(bytes.data());
}

void writeMemoryWord(const std::string& memoryFile, std::uint64_t address, std::uint32_t value) {
    std::array<std::uint8_t, 4> bytes{};
    CoreSystem::ByteOrder::storeLittleEndian32(bytes.data(), value);
    const int handle = ::open(memoryFile.c_str(), O_WRONLY | O_CLOEXEC);
    EXPECT_EQ(::pwrite(handle, bytes.data(), bytes.size(), static_cast<off_t>(address)), 4);
    ::close(handle);
}

Bytes touchMessage(std::uint32_t kind, std::uint32_t x, std::uint32_t y, std::uint32_t contact) {
    Bytes message(28, 0);
    const std::array<std::uint32_t, 4> words = {kind, x, y, contact};
    for (std::size_t index = 0; index < words.size(); ++index) {
        CoreSystem::ByteOrder::storeLittleEndian32(&message[index * 4], words.at(index));
    }
    return message;
}

// A call that unitsim must refuse: its exit status and a part of the line that names the problem.
struct Refusal {
    const char* name;
    std::vector<std::string> arguments;
    int status;
    std::string message;
};

// Each test makes its unit at "u" in a temporary folder, which also holds the stand-in loaders
// and the captured output of unitsim. A unit still running at the end is stopped, and whatever
// is left in its process group is ended with it.
class UnitsimTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (fs::exists(unit + "/var/run/supervisor.pid")) {
            unitsimRun({"stop", unit});
        }
        unitProcesses.end();
    }

    ProgramRun unitsimRun(const std::vector<std::string>& arguments) const {
        return TestSupport::runProgram(unitsim, arguments, folder.path());
    }

    // `unitsim start`; the unit's process group is ended at the end of the test at the latest.
    ProgramRun startUnit(const std::vector<std::string>& options) {
        std::vector<std::string> arguments = {"start", unit};
        arguments.insert(arguments.end(), options.begin(), options.end());
        ProgramRun started = unitsimRun(arguments);
        if (started.status == 0) {
            unitProcesses.joined(readNumber(unit + "/var/run/unit.pgid"));
        }
        return started;
    }

    void makeUnit(const std::vector<std::string>& options = {}) {
        std::vector<std::string> arguments = {"make", unit};
        arguments.insert(arguments.end(), options.begin(), options.end());
        const ProgramRun made = unitsimRun(arguments);
        ASSERT_EQ(made.status, 0) << made.err;
    }

    // A shell script standing in for the loader.
    std::string loader(const std::string& name, const std::string& body) const {
        std::string path = folder.path() + "/" + name;
        TestSupport::writeHostFile(path, "#!/bin/sh\n" + body);
        ::chmod(path.c_str(), 0755);
        return path;
    }

    void expectRefused(const std::vector<Refusal>& refusals) const {
        for (const Refusal& refusal : refusals) {
            SCOPED_TRACE(refusal.name);
            const ProgramRun run = unitsimRun(refusal.arguments);
            EXPECT_EQ(run.status, refusal.status);
            const std::string problem = run.err.substr(0, run.err.find('\n') + 1);
            EXPECT_EQ(problem.rfind("unitsim " + refusal.arguments.at(0) + ": ", 0), 0U) << run.err;
            EXPECT_NE(problem.find(refusal.message), std::string::npos) << run.err;
            // A wrong call goes on with the command's usage; a failure is that one line.
            const std::string rest = run.err.substr(problem.size());
            if (refusal.status == 2) {
                EXPECT_EQ(rest.rfind("usage: unitsim " + refusal.arguments.at(0) + " ", 0), 0U)
                    << run.err;
            } else {
                EXPECT_EQ(rest, "");
            }
        }
    }

    // Waits until the supervisor has gone too (it records the outcome just before it ends).
    void expectSupervisorGone(int supervisor) {
        for (int waited = 0; waited < 10000 && Sim::Unitsim::isProcessAlive(supervisor);
             waited += 20) {
            Platform::sleepMilliseconds(20);
        }
        EXPECT_FALSE(Sim::Unitsim::isProcessAlive(supervisor));
        EXPECT_FALSE(fs::exists(unit + "/var/run/supervisor.pid"));
    }

    TestSupport::TemporaryUnitRoot folder;
    std::string unit = folder.path() + "/u";
    // The supervisor leaves the caller's session: a group of the test's own would not hold it.
    TestSupport::ProcessGroup unitProcesses;
};

TEST_F(UnitsimTest, MakeLaysOutTheUnitItDescribes) {
    struct Case {
        const char* name;
        std::vector<std::string> options;
        Sim::UnitConfiguration expected;
    };
    Sim::UnitConfiguration numbered;
    numbered.displayType = 12;
    numbered.variantCode = 2;
    numbered.partNumber = 123456;
    numbered.serialNumber = 654321;
    numbered.bluetoothBuild = 77;
    numbered.attached = {"key", "io-interface", "iplctl", "emmc", "bluetooth", "usb-serial"};
    Sim::UnitConfiguration unusable;
    unusable.dataPartitionUsable = false;
    const std::vector<Case> cases = {
        {"numbers and devices",
         {"--display-type", "12", "--variant", "2", "--part-number", "123456", "--serial-number",
          "654321", "--bluetooth-build", "77", "--detach", "touch", "--attach", "usb-serial"},
         numbered},
        {"unusable data partition", {"--unusable-data-partition"}, unusable},
    };
    const std::string programs = fs::path(unitsim).parent_path().string();
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        fs::remove_all(unit);
        makeUnit(testCase.options);
        for (const char* folderName : {"dev", "tmp", "mnt/stick", "var/log", "var/run"}) {
            EXPECT_TRUE(fs::is_directory(unit + "/" + folderName)) << folderName;
        }
        EXPECT_EQ(fs::is_directory(unit + "/fs/etfs"), testCase.expected.dataPartitionUsable);
        for (const auto& [link, target] :
             std::vector<std::pair<std::string, std::string>>{{"unit-driver", "unit-driver"},
                                                              {"unit-tool", "unit-tool"},
                                                              {"waitfor", "unit-tool"},
                                                              {"sync", "unit-tool"}}) {
            EXPECT_EQ(fs::read_symlink(unit + "/var/sim/bin/" + link), fs::path(programs) / target);
        }
        std::string error;
        const std::optional<Sim::UnitConfiguration> configuration =
            Sim::UnitConfiguration::load(unit, error);
        ASSERT_TRUE(configuration.has_value()) << error;
        EXPECT_EQ(configuration->text(), testCase.expected.text());
        EXPECT_EQ(readMemoryWord(unit + "/dev/mem", gpioRegisterAddress), 0U);
    }
}

TEST_F(UnitsimTest, MakeRefusesWhatItCannotUse) {
    // The longest root whose socket paths (root + 40 bytes) fit 107 bytes.
    const std::string longest = folder.path() + "/" + std::string(66 - folder.path().size(), 'a');
    ASSERT_EQ(longest.size(), 67U);
    fs::create_directories(folder.path() + "/occupied");
    TestSupport::writeHostFile(folder.path() + "/occupied/file", "x");
    expectRefused({
        {"root not empty", {"make", folder.path() + "/occupied"}, 1, "not an empty folder"},
        {"root too long for socket paths", {"make", longest + "b"}, 1, "too long"},
        {"unknown option", {"make", unit, "--colour", "red"}, 2, "unknown option"},
        {"number that is not one", {"make", unit, "--display-type", "three"}, 2, "--display-type"},
        {"unknown device", {"make", unit, "--detach", "printer"}, 2, "printer"},
        {"no root", {"make"}, 2, "too few"},
        {"root with a control character",
         {"make", folder.path() + "/u\np"},
         2,
         "holds the control character 0x0A"},
        {"root that would split PATH",
         {"make", folder.path() + "/u:p"},
         2,
         "separates the entries of the loader's PATH"},
    });
    EXPECT_FALSE(fs::exists(longest + "b"));
    EXPECT_FALSE(fs::exists(folder.path() + "/u\np"));
    EXPECT_FALSE(fs::exists(folder.path() + "/u:p"));
    EXPECT_FALSE(fs::exists(unit));
    EXPECT_EQ(TestSupport::readHostFile(folder.path() + "/occupied/file"), "x");
    EXPECT_EQ(unitsimRun({"make", longest}).status, 0);
}

TEST_F(UnitsimTest, MadeUnitReadsBackThroughTheHardwareManager) {
    makeUnit({"--display-type", "12", "--variant", "2", "--part-number", "123456",
              "--serial-number", "654321"});
    ::setenv("UNIT_ROOT", unit.c_str(), 1);
    ::setenv("DEVICEFAMILY", "M2", 1);
    const std::string factory = unit + "/var/sim/factory/block";
    const std::array<DataBlockEnum, 3> kinds = {DataBlockEnum::block1, DataBlockEnum::block2,
                                                DataBlockEnum::block3};

    // Without the IPL control driver the board numbers come from the boot parameters.
    Manager::resetCachedState();
    EXPECT_NE(Manager::bootParameters(), nullptr);
    EXPECT_EQ(Manager::displayType(), 12U);
    EXPECT_EQ(Manager::variantCode(), 2U);
    EXPECT_EQ(Manager::partNumber(), 123456U);
    EXPECT_EQ(Manager::serialNumber(), 654321U);
    for (std::size_t index = 0; index < kinds.size(); ++index) {
        EXPECT_TRUE(Manager::isDataBlockValid(
            kinds.at(index), readBytes(factory + std::to_string(index + 1) + ".bin")))
            << "block " << index + 1;
    }
    Bytes damaged = readBytes(factory + "1.bin");
    damaged.at(0) ^= 1U;
    EXPECT_FALSE(Manager::isDataBlockValid(DataBlockEnum::block1, damaged));

    // With a driver serving the block files they come from block 1.
    {
        const DeviceServer iplControl(
            unit + "/dev/iplctl", {.devctl = [&](std::uint32_t command, Bytes& data) {
                for (int kind = 1; kind <= 3; ++kind) {
                    if (command == Platform::DeviceCommands::iplReadDataBlock(kind)) {
                        data = readBytes(factory + std::to_string(kind) + ".bin");
                        return 0;
                    }
                }
                return EINVAL;
            }});
        writeMemoryWord(unit + "/dev/mem", bootParameterAddress,
                        0);  // no boot parameters to fall back on
        Manager::resetCachedState();
        EXPECT_EQ(Manager::bootParameters(), nullptr);
        for (const DataBlockEnum kind : kinds) {
            EXPECT_TRUE(Manager::isDataBlockValid(kind, Manager::readDataBlock(kind)));
        }
        EXPECT_EQ(Manager::displayType(), 12U);
        EXPECT_EQ(Manager::variantCode(), 2U);
        EXPECT_EQ(Manager::partNumber(), 123456U);
        EXPECT_EQ(Manager::serialNumber(), 654321U);
        Manager::resetCachedState();
    }
    ::unsetenv("DEVICEFAMILY");
}

TEST_F(UnitsimTest, SupervisorRecordsHowTheRunEndedAndLeavesNoProcessBehind) {
    struct Case {
        const char* name;
        std::string script;
        // Ended by `stop` once the loader printed "ready", else waited for with this option.
        std::string waitOption;
        std::string outcome;
    };
    const std::string recordChild = "echo $! > \"$UNIT_ROOT/var/run/child\"\n";
    const std::vector<Case> cases = {
        {"loader exits with a status", "exit 3\n", "--end", "exit 3"},
        {"loader killed by a signal", "kill -9 $$\n", "--end", "signal 9"},
        {"loader writes the reset marker",
         "echo reset > \"$UNIT_ROOT/var/run/reset\"\n"
         "exec /bin/sleep 1000\n",
         "--reset", "reset"},
        {"loader never ends", "echo ready\nexec /bin/sleep 1000\n", "", "stopped"},
        {"loader ignores SIGTERM",
         "trap '' TERM\n/bin/sleep 1000 &\n" + recordChild + "echo ready\nexec /bin/sleep 1000\n",
         "", "stopped"},
        {"background child left in the group", "/bin/sleep 1000 &\n" + recordChild + "exit 0\n",
         "--end", "exit 0"},
        {"child that left for a session of its own",
         "/usr/bin/setsid /bin/sleep 1000 &\n" + recordChild + "echo ready\nexec /bin/sleep 1000\n",
         "", "stopped"},
    };
    makeUnit();
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        ::unlink((unit + "/var/run/child").c_str());
        const ProgramRun started = startUnit({"--loader", loader("loader.sh", testCase.script)});
        ASSERT_EQ(started.status, 0) << started.err;
        const int supervisor = readNumber(unit + "/var/run/supervisor.pid");
        const int unitGroup = readNumber(unit + "/var/run/unit.pgid");
        ASSERT_GT(unitGroup, 0);
        ProgramRun ended;
        if (testCase.waitOption.empty()) {
            ASSERT_EQ(unitsimRun({"wait", unit, "--output", "ready", "--timeout", "30"}).status, 0);
            ended = unitsimRun({"stop", unit});
        } else {
            ended = unitsimRun({"wait", unit, testCase.waitOption, "--timeout", "30"});
        }
        EXPECT_EQ(ended.status, 0) << ended.err;
        EXPECT_EQ(ended.out, testCase.outcome + "\n");
        EXPECT_EQ(TestSupport::readHostFile(unit + "/var/run/outcome"), testCase.outcome + "\n");
        EXPECT_TRUE(liveMembersOf(unitGroup).empty());
        if (fs::exists(unit + "/var/run/child")) {
            EXPECT_FALSE(Sim::Unitsim::isProcessAlive(readNumber(unit + "/var/run/child")));
        }
        expectSupervisorGone(supervisor);
    }
}

TEST_F(UnitsimTest, WholeRunServesTheBootDriversUntilItEnds) {
    if (!fs::exists(fs::path(unitsim).parent_path() / "unit-driver")) {
        GTEST_SKIP() << "the stand-in drivers are not built";
    }
    makeUnit({"--display-type", "12", "--variant", "2"});
    writeMemoryWord(unit + "/dev/mem", bootParameterAddress, 0);  // board data from iplctl only
    const ProgramRun started =
        startUnit({"--loader", loader("never.sh", "echo ready\nexec /bin/sleep 1000\n")});
    ASSERT_EQ(started.status, 0) << started.err;
    EXPECT_EQ(started.out.find("missing"), std::string::npos) << started.out;
    const std::vector<std::string> devices = {"/dev/key", "/dev/iplctl", "/dev/emmc0"};
    for (const std::string& device : devices) {
        EXPECT_TRUE(fs::is_socket(unit + device)) << device;
    }
    EXPECT_EQ(unitsimRun({"press", unit, "up"}).status, 0);

    ::setenv("UNIT_ROOT", unit.c_str(), 1);
    ::setenv("DEVICEFAMILY", "M2", 1);
    Manager::resetCachedState();
    EXPECT_TRUE(Manager::isDataBlockValid(DataBlockEnum::block1,
                                          Manager::readDataBlock(DataBlockEnum::block1)));
    EXPECT_EQ(Manager::displayType(), 12U);
    EXPECT_EQ(Manager::variantCode(), 2U);
    Manager::resetCachedState();
    ::unsetenv("DEVICEFAMILY");

    const int unitGroup = readNumber(unit + "/var/run/unit.pgid");
    const ProgramRun stopped = unitsimRun({"stop", unit});
    EXPECT_EQ(stopped.out, "stopped\n");
    EXPECT_TRUE(liveMembersOf(unitGroup).empty());
    for (const std::string& device : devices) {
        EXPECT_FALSE(fs::exists(unit + device)) << device;
    }
}

TEST_F(UnitsimTest, WaitForAResetFailsWhenTheRunEndsOtherwise) {
    makeUnit();
    ASSERT_EQ(startUnit({"--loader", loader("loader.sh", "exit 0\n")}).status, 0);
    const ProgramRun waited = unitsimRun({"wait", unit, "--reset", "--timeout", "30"});
    EXPECT_EQ(waited.status, 1);
    EXPECT_NE(waited.err.find("exit 0"), std::string::npos) << waited.err;
}

TEST_F(UnitsimTest, SecondStartIsRefusedWhileTheUnitRuns) {
    makeUnit();
    const std::string never = loader("never.sh", "exec /bin/sleep 1000\n");
    ASSERT_EQ(startUnit({"--loader", never}).status, 0);
    const int loaderProcess = readNumber(unit + "/var/run/unit.pgid");
    const ProgramRun second = startUnit({"--loader", never});
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find("already"), std::string::npos) << second.err;
    EXPECT_EQ(readNumber(unit + "/var/run/unit.pgid"), loaderProcess);
    EXPECT_TRUE(Sim::Unitsim::isProcessAlive(loaderProcess));
    EXPECT_EQ(unitsimRun({"stop", unit}).status, 0);
    const ProgramRun again = unitsimRun({"stop", unit});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.err.find("no unit runs"), std::string::npos) << again.err;
}

TEST_F(UnitsimTest, StaleSupervisorRecordNeverSignalsAnotherProcess) {
    makeUnit();
    // A supervisor killed outright leaves its record; by now its id may be another process's.
    const pid_t bystander = ::fork();
    if (bystander == 0) {
        ::execl("/bin/sleep", "sleep", "30", nullptr);
        ::_exit(127);
    }
    ASSERT_GT(bystander, 0);
    TestSupport::writeHostFile(unit + "/var/run/supervisor.pid", std::to_string(bystander) + "\n");
    const ProgramRun stopped = unitsimRun({"stop", unit});
    EXPECT_EQ(stopped.status, 1);
    EXPECT_NE(stopped.err.find("no unit runs"), std::string::npos) << stopped.err;
    EXPECT_EQ(unitsimRun({"wait", unit, "--end", "--timeout", "0.2"}).status, 1);
    EXPECT_TRUE(Sim::Unitsim::isProcessAlive(bystander));
    EXPECT_EQ(startUnit({"--loader", loader("loader.sh", "exit 0\n")}).status, 0);
    EXPECT_EQ(unitsimRun({"wait", unit, "--end", "--timeout", "30"}).out, "exit 0\n");
    EXPECT_TRUE(Sim::Unitsim::isProcessAlive(bystander));
    ::kill(bystander, SIGKILL);
    ::waitpid(bystander, nullptr, 0);
}

TEST_F(UnitsimTest, RunStopsALoaderThatOutlastsItsTimeLimit) {
    makeUnit();
    const ProgramRun run =
        unitsimRun({"run", unit, "--loader", loader("never.sh", "exec /bin/sleep 1000\n"),
                    "--timeout", "0.3"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out.substr(run.out.rfind('\n', run.out.size() - 2) + 1), "timeout\n");
    EXPECT_TRUE(liveMembersOf(readNumber(unit + "/var/run/unit.pgid")).empty());
}

TEST_F(UnitsimTest, WaitFailsAfterItsTimeout) {
    makeUnit();
    ASSERT_EQ(startUnit({"--loader", loader("never.sh", "exec /bin/sleep 1000\n")}).status, 0);
    expectRefused({
        {"text that never comes",
         {"wait", unit, "--output", "never printed", "--timeout", "0.2"},
         1,
         "timed out"},
        {"frames without a capture folder",
         {"wait", unit, "--frames", "1", "--timeout", "0.2"},
         1,
         "--capture"},
        {"two conditions", {"wait", unit, "--end", "--output", "x"}, 2, "exactly one"},
    });
}

TEST_F(UnitsimTest, LoaderStartsWithTheUnitsEnvironmentOnly) {
    makeUnit();
    const std::string capture = folder.path() + "/frames";
    ::setenv("UNITSIM_TEST_STRAY", "1", 1);
    ::setenv("TSAN_OPTIONS", "passed_through=1", 1);
    const ProgramRun started =
        startUnit({"--loader",
                   loader("loader.sh",
                          "/usr/bin/env\necho \"arguments: $*\"\n"
                          ": > \"$SCREEN_CAPTURE_DIR/000000.png\"\n"
                          ": > \"$SCREEN_CAPTURE_DIR/000001.png\"\nexec /bin/sleep 1000\n"),
                   "--argument", "--lcd", "7", "--backlight", "50", "--capture", capture, "--env",
                   "AUTOLOADPATH=/fs/etfs/app", "--env", "EMPTY="});
    ::unsetenv("UNITSIM_TEST_STRAY");
    ::unsetenv("TSAN_OPTIONS");
    ASSERT_EQ(started.status, 0) << started.err;
    ASSERT_EQ(unitsimRun({"wait", unit, "--frames", "2", "--timeout", "30"}).status, 0);
    const std::string output = "\n" + TestSupport::readHostFile(unit + "/var/log/loader.out");
    for (const std::string& line :
         {"UNIT_ROOT=" + unit, "PATH=" + unit + "/tmp:" + unit + "/var/sim/bin",
          std::string("feature_lcd=7"), std::string("feature_backlight=50"),
          "SCREEN_CAPTURE_DIR=" + capture, std::string("AUTOLOADPATH=/fs/etfs/app"),
          std::string("EMPTY="), std::string("TSAN_OPTIONS=passed_through=1"),
          std::string("arguments: test")}) {
        EXPECT_NE(output.find("\n" + line + "\n"), std::string::npos) << line << "\n" << output;
    }
    EXPECT_EQ(output.find("UNITSIM_TEST_STRAY"), std::string::npos);
    EXPECT_EQ(TestSupport::readHostFile(unit + "/var/run/capture-dir"), capture + "\n");

    const ProgramRun replaced =
        startUnit({"--loader", folder.path() + "/loader.sh", "--env", "PATH=/usr/bin"});
    EXPECT_EQ(replaced.status, 2);
    EXPECT_NE(replaced.err.find("cannot replace PATH"), std::string::npos) << replaced.err;
}

TEST_F(UnitsimTest, StartGoesOnWithoutAMissingBootDriver) {
    makeUnit();
    fs::remove(unit + "/var/sim/bin/unit-driver");
    fs::create_symlink(folder.path() + "/no-such-driver", unit + "/var/sim/bin/unit-driver");
    const ProgramRun started =
        startUnit({"--loader", loader("loader.sh", "echo running\nexit 0\n")});
    ASSERT_EQ(started.status, 0) << started.err;
    for (const char* driver : {"key", "iplctl", "devb-mmcsd-rcarm2-trevanic-mmc"}) {
        EXPECT_NE(started.out.find(std::string("'unit-driver ") + driver + "' is missing"),
                  std::string::npos)
            << started.out;
    }
    EXPECT_EQ(unitsimRun({"wait", unit, "--output", "running", "--timeout", "30"}).status, 0);
}

TEST_F(UnitsimTest, KeysWriteTheMaskOfTheUnitsDisplayType) {
    struct Case {
        std::string displayType;
        std::string key;
        Bytes mask;
    };
    const std::vector<Case> cases = {
        {"1", "select", {0x00, 0x20}}, {"2", "cancel", {0x40, 0x00}}, {"3", "up", {0x08, 0x00}},
        {"12", "down", {0x40, 0x00}},  {"10", "up", {0x00, 0x04}},
    };
    const Bytes released = {0, 0};
    for (const Case& testCase : cases) {
        SCOPED_TRACE("display type " + testCase.displayType + " " + testCase.key);
        fs::remove_all(unit);
        makeUnit({"--display-type", testCase.displayType});
        RecordingDevice keyDevice(unit + "/dev/key");
        EXPECT_EQ(unitsimRun({"press", unit, testCase.key}).status, 0);
        EXPECT_EQ(unitsimRun({"release", unit}).status, 0);
        EXPECT_EQ(unitsimRun({"click", unit, testCase.key}).status, 0);
        EXPECT_EQ(keyDevice.writes(),
                  (std::vector<Bytes>{testCase.mask, released, testCase.mask, released}));
    }
}

TEST_F(UnitsimTest, TouchPressesThenReleasesOnePoint) {
    makeUnit({"--display-type", "3"});
    RecordingDevice touchDevice(unit + "/dev/touch-dura");
    ASSERT_EQ(unitsimRun({"touch", unit, "100", "200"}).status, 0);
    // Soft key 2 (select) of display type 3 has its corner at (375, 20).
    ASSERT_EQ(unitsimRun({"touch", unit, "--button", "select"}).status, 0);
    const std::vector<Bytes> writes = touchDevice.writes();
    ASSERT_EQ(writes.size(), 4U);
    const std::uint32_t contact = CoreSystem::ByteOrder::loadLittleEndian32(&writes[0][12]);
    EXPECT_EQ(writes, (std::vector<Bytes>{
                          touchMessage(1, 100, 200, contact), touchMessage(32, 100, 200, contact),
                          touchMessage(1, 405, 50, contact), touchMessage(32, 405, 50, contact)}));
}

TEST_F(UnitsimTest, InputCommandsRefuseWhatTheUnitCannotTake) {
    makeUnit({"--display-type", "0"});
    expectRefused({
        {"display without soft keys", {"press", unit, "up"}, 1, "has no up key"},
        {"touch on a soft key it lacks", {"touch", unit, "--button", "cancel"}, 1, "has no"},
        {"unknown key", {"click", unit, "left"}, 2, "unknown key"},
        {"touch without Y", {"touch", unit, "10"}, 2, "too few"},
        {"touch at no number", {"touch", unit, "ten", "20"}, 2, "X"},
        {"no key driver", {"release", unit}, 1, "/dev/key"},
        {"not a unit", {"release", folder.path()}, 1, "not a simulated unit"},
    });
}

TEST_F(UnitsimTest, GpioSetsAndClearsTheShutdownRequestBitOnly) {
    makeUnit();
    const std::string memory = unit + "/dev/mem";
    writeMemoryWord(memory, gpioRegisterAddress, otherGpioBit);
    ASSERT_EQ(unitsimRun({"gpio", unit, "high"}).status, 0);
    EXPECT_EQ(readMemoryWord(memory, gpioRegisterAddress), otherGpioBit | (1U << 11U));
    ASSERT_EQ(unitsimRun({"gpio", unit, "low"}).status, 0);
    EXPECT_EQ(readMemoryWord(memory, gpioRegisterAddress), otherGpioBit);
    EXPECT_EQ(unitsimRun({"gpio", unit, "medium"}).status, 2);
}

TEST_F(UnitsimTest, StickTakesAPackageUnderItsOwnOrAGivenName) {
    makeUnit();
    const std::string package = folder.path() + "/update.kx1";
    TestSupport::writeHostFile(package, std::string("package\0bytes", 13));
    ASSERT_EQ(unitsimRun({"stick", unit, package}).status, 0);
    ASSERT_EQ(unitsimRun({"stick", unit, package, "other.kx1"}).status, 0);
    for (const char* name : {"update.kx1", "other.kx1"}) {
        EXPECT_EQ(TestSupport::readHostFile(unit + "/mnt/stick/" + name),
                  std::string("package\0bytes", 13));
    }
    EXPECT_EQ(unitsimRun({"stick", unit, package, "../escape"}).status, 2);
    EXPECT_FALSE(fs::exists(unit + "/mnt/escape"));
    EXPECT_EQ(unitsimRun({"stick", unit, folder.path() + "/missing"}).status, 1);
}

TEST_F(UnitsimTest, FrameAndLogsShowWhatTheUnitWrote) {
    makeUnit();
    EXPECT_EQ(unitsimRun({"frame", unit}).status, 1);
    // A PNG signature and the start of an 800 x 480 header are all that `frame` reads.
    const std::string png = std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16) +
                            std::string("\0\0\x03\x20\0\0\x01\xe0", 8);
    fs::create_directories(unit + "/dev/screen");
    TestSupport::writeHostFile(unit + "/dev/screen/frame.png", png);
    const ProgramRun frame = unitsimRun({"frame", unit});
    EXPECT_EQ(frame.out, unit + "/dev/screen/frame.png 800x480 24 bytes\n");

    const std::vector<std::pair<std::string, std::string>> logs = {
        {"loader", "/var/log/loader.out"},
        {"install", "/mnt/stick/install.log"},
        {"slog", "/var/log/slog"},
        {"commands", "/var/log/sim/commands.log"},
    };
    for (const auto& [kind, path] : logs) {
        SCOPED_TRACE(kind);
        EXPECT_EQ(unitsimRun({"logs", unit, kind}).status, 1);
        TestSupport::writeHostFile(unit + path, kind + " line\n");
        EXPECT_EQ(unitsimRun({"logs", unit, kind}).out, kind + " line\n");
    }
    TestSupport::writeHostFile(unit + "/var/log/loader.out", "default\n");
    EXPECT_EQ(unitsimRun({"logs", unit}).out, "default\n");
    fs::create_directories(unit + "/var/sim/received");
    TestSupport::writeHostFile(unit + "/var/sim/received/pmic.log", "slave 0x5a\n");
    TestSupport::writeHostFile(unit + "/var/sim/received/touch-firmware.bin", "abc");
    EXPECT_EQ(unitsimRun({"logs", unit, "received"}).out,
              "== pmic.log (11 bytes)\nslave 0x5a\n== touch-firmware.bin (3 bytes)\n");
    EXPECT_EQ(unitsimRun({"logs", unit, "kernel"}).status, 2);
}

TEST_F(UnitsimTest, HelpGoesToStdoutAndWrongCallsNameTheProblemAndTheUsage) {
    std::map<std::string, std::string> usages = {
        {"", "usage: unitsim COMMAND ROOT [ARGUMENTS] [OPTIONS]\n"}};
    const ProgramRun overview = unitsimRun({"--help"});
    EXPECT_EQ(overview.status, 0);
    EXPECT_EQ(overview.out.rfind(usages[""], 0), 0U) << overview.out;
    for (const std::string command : {"make", "start", "run", "wait", "press", "release", "click",
                                      "touch", "stick", "gpio", "frame", "logs", "panel", "stop"}) {
        SCOPED_TRACE(command);
        EXPECT_NE(overview.out.find("\n  " + command + " "), std::string::npos);
        const ProgramRun help = unitsimRun({command, "--help"});
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.err, "");
        EXPECT_TRUE(help.out.starts_with("usage: unitsim " + command + " ROOT")) << help.out;
        // The usage is what comes before the first blank line.
        usages[command] = help.out.substr(0, help.out.find("\n\n") + 1);
    }

    struct WrongCall {
        std::vector<std::string> arguments;
        std::string message;
    };
    const std::vector<WrongCall> wrongCalls = {
        {{}, "unitsim: no command given (see unitsim --help)"},
        {{"fly", unit}, "unitsim: unknown command 'fly' (see unitsim --help)"},
        {{"make"}, "unitsim make: too few arguments"},
        {{"make", unit, "--colour", "red"}, "unitsim make: unknown option '--colour'"},
        {{"make", unit, "--variant"}, "unitsim make: --variant needs a value"},
        {{"make", unit, "--variant", "1", "--variant=2"}, "unitsim make: --variant is given twice"},
        {{"start", unit, "--argument=yes"}, "unitsim start: --argument takes no value"},
        {{"stop", unit, "now"}, "unitsim stop: unexpected argument 'now'"},
        {{"make", unit, "--display-type", "three"},
         "unitsim make: --display-type must be a number from 0 to 4294967295, not 'three'"},
        {{"touch", unit, "--button", "up", "20"}, "unitsim touch: unexpected argument '20'"},
        {{"gpio", unit, "medium"}, "unitsim gpio: the level is high or low, not 'medium'"},
        {{"panel", unit, "--port", "65536"},
         "unitsim panel: --port must be a port number up to 65535, not 65536"},
        {{"panel", unit, "--upload-limit", "lots"},
         "unitsim panel: --upload-limit must be a number from 0 to 4294967295, not 'lots'"},
    };
    for (const WrongCall& wrongCall : wrongCalls) {
        SCOPED_TRACE(testing::PrintToString(wrongCall.arguments));
        const ProgramRun run = unitsimRun(wrongCall.arguments);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.out, "");
        const std::string command =
            wrongCall.message.starts_with("unitsim: ") ? "" : wrongCall.arguments.at(0);
        EXPECT_EQ(run.err, wrongCall.message + "\n" + usages.at(command));
    }
    EXPECT_FALSE(fs::exists(unit));
}

}  // namespace
