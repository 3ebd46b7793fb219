// The simulated unit's stand-in tools, run as the loader runs them: as separate programs inside a
// temporary unit root.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;
using TestSupport::ProgramRun;

const std::string unitTool = UNIT_TOOL_PATH;

class UnitToolTest : public testing::Test {
protected:
    UnitToolTest() { fs::create_directories(scratch); }

    ProgramRun tool(const std::vector<std::string>& arguments,
                    TestSupport::ProcessGroup* group = nullptr) const {
        return TestSupport::runProgram(unitTool, arguments, scratch, group);
    }
    std::string host(const std::string& unitPath) const { return root.path() + unitPath; }
    std::string commands() const { return root.readFile("/var/log/sim/commands.log"); }

    TestSupport::TemporaryUnitRoot root;
    std::string scratch = root.path() + "/var/scratch";
};

// A folder beside the unit root, standing for the host outside it.
class HostFolder {
public:
    HostFolder() {
        std::string pattern = "/tmp/uh-XXXXXX";
        path_ = mkdtemp(pattern.data()) == nullptr ? std::string() : pattern;
    }
    HostFolder(const HostFolder&) = delete;
    HostFolder& operator=(const HostFolder&) = delete;
    HostFolder(HostFolder&&) = delete;
    HostFolder& operator=(HostFolder&&) = delete;
    ~HostFolder() {
        std::error_code error;
        fs::remove_all(path_, error);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

TEST_F(UnitToolTest, RecordsEachRunAsItsNameAndArgumentsWhicheverWayItIsCalled) {
    const std::string veldApp = host("/tmp/VeldApp");
    fs::create_directories(host("/tmp"));
    fs::create_symlink(unitTool, veldApp);

    EXPECT_EQ(tool({"ifconfig", "ax0", "192.168.0.2", "netmask", "255.255.255.0"}).status, 0);
    EXPECT_EQ(TestSupport::runProgram(veldApp, {"-b"}, scratch).status, 0);
    EXPECT_EQ(tool({"sync"}).status, 0);
    EXPECT_EQ(tool({"shutdown"}).status, 0);

    EXPECT_EQ(commands(),
              "ifconfig ax0 192.168.0.2 netmask 255.255.255.0\n"
              "VeldApp -b\n"
              "sync\n"
              "shutdown\n");
}

TEST_F(UnitToolTest, OnRecordsItsCommandWithoutRunningIt) {
    const std::string script = host("/tmp/console");
    const std::string ran = host("/tmp/console-ran");
    root.writeFile("/tmp/console", "#!/bin/sh\ntouch " + ran + "\n");
    fs::permissions(script, fs::perms::owner_all);

    EXPECT_EQ(tool({"on", "-t", host("/dev/sercan1"), script}).status, 0);

    EXPECT_FALSE(fs::exists(ran));
    EXPECT_EQ(commands(), "on -t " + host("/dev/sercan1") + " " + script + "\n");
}

TEST_F(UnitToolTest, RefusesToRunWithoutAUsableUnitRoot) {
    const std::string previous = root.path();
    for (const char* unitRoot : {static_cast<const char*>(nullptr), "/tmp/no-such-unit-root"}) {
        if (unitRoot == nullptr) {
            unsetenv("UNIT_ROOT");
        } else {
            setenv("UNIT_ROOT", unitRoot, 1);
        }
        const ProgramRun run = tool({"sync"});
        setenv("UNIT_ROOT", previous.c_str(), 1);

        EXPECT_EQ(run.status, 2) << (unitRoot == nullptr ? "unset" : unitRoot);
        EXPECT_NE(run.err.find("UNIT_ROOT"), std::string::npos) << run.err;
    }
    EXPECT_FALSE(fs::exists(host("/var/log/sim/commands.log")));
}

TEST_F(UnitToolTest, AnUnknownNameIsRecordedAndFails) {
    const ProgramRun run = tool({"format-everything", "now"});

    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("format-everything"), std::string::npos) << run.err;
    EXPECT_EQ(commands(), "format-everything now\n");
}

TEST_F(UnitToolTest, HelpListsTheToolsAndAMissingToolNameIsWrongUse) {
    const ProgramRun help = tool({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* name : {"waitfor", "slay", "cp", "fdisk", "mkqnx6fs", "VeldApp", "on"}) {
        EXPECT_NE(help.out.find(std::string("\n  ") + name + " "), std::string::npos) << name;
    }
    const ProgramRun toolHelp = tool({"waitfor", "--help"});
    EXPECT_EQ(toolHelp.status, 0);
    EXPECT_EQ(toolHelp.out, "usage: waitfor PATH [SECONDS]\n");

    EXPECT_EQ(tool({}).status, 2);
}

TEST_F(UnitToolTest, WaitforEndsWhenThePathExistsOrAfterItsTimeOut) {
    root.writeFile("/dev/present", "");
    fs::create_directories(host("/dev"));
    fs::create_symlink(host("/dev/nowhere"), host("/dev/dangling"));
    struct Case {
        const char* name;
        std::vector<std::string> arguments;
        int status;
    };
    const std::vector<Case> cases = {
        {"present", {"waitfor", host("/dev/present")}, 0},
        {"never appears", {"waitfor", host("/dev/absent"), "0.05"}, 1},
        {"link to nothing", {"waitfor", host("/dev/dangling"), "0.05"}, 1},
        {"outside the root", {"waitfor", "/tmp", "0"}, 1},
        {"escapes the root", {"waitfor", host("/dev/../../../tmp"), "0"}, 1},
        {"bad time-out", {"waitfor", host("/dev/present"), "soon"}, 2},
        {"no path", {"waitfor"}, 2},
    };
    for (const Case& testCase : cases) {
        EXPECT_EQ(tool(testCase.arguments).status, testCase.status) << testCase.name;
    }
}

TEST_F(UnitToolTest, WaitforSeesAPathThatAppearsWhileItWaits) {
    const std::string device = host("/dev/i2c6");
    fs::create_directories(host("/dev"));
    std::thread driver([device] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        TestSupport::writeHostFile(device, "");
    });
    const ProgramRun run = tool({"waitfor", device, "30"});
    driver.join();

    EXPECT_EQ(run.status, 0) << run.err;
}

TEST_F(UnitToolTest, ShellToolsHandOverToTheHostInsideTheRoot) {
    root.writeFile("/mnt/stick/DvTest", "marker\n");
    fs::create_directories(host("/fs/etfs"));

    EXPECT_EQ(tool({"cp", host("/mnt/stick/DvTest"), host("/fs/etfs/.")}).status, 0);
    EXPECT_EQ(root.readFile("/fs/etfs/DvTest"), "marker\n");

    EXPECT_EQ(tool({"chmod", "777", host("/fs/etfs/DvTest")}).status, 0);
    EXPECT_EQ(fs::status(host("/fs/etfs/DvTest")).permissions(), fs::perms::all);

    const ProgramRun listing = tool({"ls", host("/fs/etfs")});
    EXPECT_EQ(listing.status, 0);
    EXPECT_EQ(listing.out, "DvTest\n");

    EXPECT_EQ(tool({"rm", "-f", host("/fs/etfs/DvTest")}).status, 0);
    EXPECT_FALSE(fs::exists(host("/fs/etfs/DvTest")));

    EXPECT_EQ(commands(), "cp " + host("/mnt/stick/DvTest") + " " + host("/fs/etfs/.") + "\n" +
                              "chmod 777 " + host("/fs/etfs/DvTest") + "\n" + "ls " +
                              host("/fs/etfs") + "\n" + "rm -f " + host("/fs/etfs/DvTest") + "\n");
}

TEST_F(UnitToolTest, ShellToolsRefuseEveryPathOutsideTheRoot) {
    const HostFolder outside;
    ASSERT_FALSE(outside.path().empty());
    const std::string hostFile = outside.path() + "/precious";
    TestSupport::writeHostFile(hostFile, "host data\n");
    fs::permissions(hostFile, fs::perms::owner_read | fs::perms::owner_write);
    root.writeFile("/tmp/file", "unit data\n");
    fs::create_symlink(hostFile, host("/tmp/link-out"));
    fs::create_symlink(outside.path(), host("/tmp/folder-out"));
    const std::string relativeCopy = "unit-tool-test-relative-copy";
    struct Case {
        const char* name;
        std::vector<std::string> arguments;
    };
    const std::vector<Case> cases = {
        {"remove outside", {"rm", "-f", hostFile}},
        {"remove through dots", {"rm", "-f", host("/tmp/../../" + outside.path() + "/precious")}},
        {"copy onto the host", {"cp", host("/tmp/file"), hostFile}},
        {"copy from the host", {"cp", hostFile, host("/tmp/copy")}},
        {"copy into a linked folder", {"cp", host("/tmp/file"), host("/tmp/folder-out/")}},
        {"mode through a link", {"chmod", "777", host("/tmp/link-out")}},
        {"target folder option", {"cp", "--target-directory=" + outside.path(), host("/tmp/file")}},
        {"relative to a host folder", {"cp", host("/tmp/file"), relativeCopy}},
        {"mode that looks like an option", {"chmod", "-w", relativeCopy}},
        {"move out", {"mv", host("/tmp/file"), outside.path() + "/moved"}},
    };
    for (const Case& testCase : cases) {
        const ProgramRun run = tool(testCase.arguments);
        EXPECT_EQ(run.status, 1) << testCase.name;
        EXPECT_NE(run.err.find("outside the unit root"), std::string::npos) << testCase.name;
    }
    EXPECT_EQ(TestSupport::readHostFile(hostFile), "host data\n");
    EXPECT_EQ(fs::status(hostFile).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(root.readFile("/tmp/file"), "unit data\n");
    EXPECT_FALSE(fs::exists(host("/tmp/copy")));
    EXPECT_FALSE(fs::exists(relativeCopy));
    EXPECT_FALSE(fs::exists(outside.path() + "/file"));
    EXPECT_FALSE(fs::exists(outside.path() + "/moved"));
}

// A long sleep started by the test in `group` (a new group named after it when the group has
// none yet), standing for a process of the unit.
pid_t startSleeper(TestSupport::ProcessGroup& group) {
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, group.id());
    std::string program = "sleep";
    std::string seconds = "60";
    char* argv[] = {program.data(), seconds.data(), nullptr};
    pid_t child = 0;
    if (posix_spawn(&child, "/bin/sleep", nullptr, &attributes, argv, environ) != 0) {
        child = 0;
    }
    posix_spawnattr_destroy(&attributes);
    if (child > 0 && group.id() == 0) {
        group.joined(child);
    }
    return child;
}

bool stillRuns(pid_t child) {
    return waitpid(child, nullptr, WNOHANG) == 0;
}

// Ends one of the test's own sleepers and returns the signal that ended it (0 when it exited).
int endSleeper(pid_t child) {
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

TEST_F(UnitToolTest, SlayEndsOnlyTheRecordedStandinsOfItsOwnProcessGroup) {
    TestSupport::ProcessGroup unitGroup;
    TestSupport::ProcessGroup otherGroup;
    const pid_t recorded = startSleeper(unitGroup);
    const pid_t unrecorded = startSleeper(unitGroup);
    const pid_t otherName = startSleeper(unitGroup);
    const pid_t otherGroupMember = startSleeper(otherGroup);
    const pid_t ended = startSleeper(unitGroup);
    ASSERT_TRUE(recorded > 0 && unrecorded > 0 && otherName > 0 && otherGroupMember > 0 &&
                ended > 0);
    endSleeper(ended);
    const auto record = [this](pid_t process, const std::string& name) {
        root.writeFile("/var/run/standin/" + std::to_string(process), name + "\n");
    };
    record(recorded, "dev-can-m2");
    record(otherName, "touch-dura");
    record(otherGroupMember, "dev-can-m2");
    record(ended, "dev-can-m2");

    const ProgramRun run = tool({"slay", "-f", "-Q", "dev-can-m2"}, &unitGroup);

    EXPECT_EQ(run.status, 0) << run.err;
    int status = 0;
    ASSERT_EQ(waitpid(recorded, &status, WNOHANG), recorded) << "not ended";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    for (const pid_t untouched : {unrecorded, otherName, otherGroupMember}) {
        EXPECT_TRUE(stillRuns(untouched)) << untouched;
        EXPECT_EQ(endSleeper(untouched), SIGKILL) << untouched;
    }
    // The record of a process that no longer exists goes, so that its id cannot be mistaken
    // for a later process.
    EXPECT_FALSE(fs::exists(host("/var/run/standin/" + std::to_string(ended))));
    EXPECT_TRUE(fs::exists(host("/var/run/standin/" + std::to_string(otherName))));
}

TEST_F(UnitToolTest, SlayWithoutANameIsWrongUse) {
    for (const std::vector<std::string>& arguments : {std::vector<std::string>{"slay"},
                                                      {"slay", "-f"},
                                                      {"slay", "-9", "key"},
                                                      {"slay", "key", "touch-dura"}}) {
        EXPECT_EQ(tool(arguments).status, 2) << arguments.back();
    }
}

// The loader's format steps, command for command.
std::vector<std::vector<std::string>> formatCommands(const std::string& device,
                                                     const std::string& partition,
                                                     const std::string& dataPartition) {
    std::vector<std::vector<std::string>> commands;
    for (int slot = 1; slot <= 4; ++slot) {
        commands.push_back({"fdisk", device, "delete", "-s" + std::to_string(slot)});
    }
    commands.push_back({"fdisk", device, "add", "-s1", "-t", "177", "-p", "100"});
    commands.push_back({"mount", "-e", device});
    commands.push_back({"mkqnx6fs", "-b", "4096", "-q", partition});
    commands.push_back({"mount", "-t", "qnx6", partition, dataPartition});
    return commands;
}

class FormatToolsTest : public UnitToolTest {
protected:
    FormatToolsTest() { root.writeFile("/dev/emmc0", ""); }

    void format() const {
        for (const auto& command : formatCommands(device, partition, dataPartition)) {
            const ProgramRun run = tool(command);
            ASSERT_EQ(run.status, 0) << command.front() << " " << command.back() << ": " << run.err;
        }
    }

    std::string device = host("/dev/emmc0");
    std::string partition = host("/dev/emmc0t177");
    std::string dataPartition = host("/fs/etfs");
};

TEST_F(FormatToolsTest, TheLoadersFormatStepsMakeAnAbsentDataPartitionUsable) {
    ASSERT_FALSE(fs::exists(dataPartition));

    format();

    EXPECT_TRUE(fs::is_directory(dataPartition));
    EXPECT_TRUE(fs::is_empty(dataPartition));
    root.writeFile("/fs/etfs/formatted", "Format Completed\n");
    EXPECT_EQ(tool({"chkqnx6fs", partition}).status, 0);
    const ProgramRun table = tool({"fdisk", device, "show"});
    EXPECT_EQ(table.status, 0);
    EXPECT_EQ(table.out, "slot 1: type 177, 100%\n");
    EXPECT_EQ(tool({"umount", dataPartition}).status, 0);
}

TEST_F(FormatToolsTest, FormattingAgainLeavesAnEmptyDataPartitionThatKeepsLaterFiles) {
    format();
    root.writeFile("/fs/etfs/app/old", "old\n");

    format();
    EXPECT_TRUE(fs::is_directory(dataPartition));
    EXPECT_TRUE(fs::is_empty(dataPartition));

    // A mount without a format in between shows what the file system holds.
    root.writeFile("/fs/etfs/formatted", "Format Completed\n");
    EXPECT_EQ(tool({"mount", "-e", device}).status, 0);
    EXPECT_EQ(tool({"mount", "-t", "qnx6", partition, dataPartition}).status, 0);
    EXPECT_EQ(root.readFile("/fs/etfs/formatted"), "Format Completed\n");
}

TEST_F(FormatToolsTest, ADamagedStoredPartitionTableIsReportedAndNotUsed) {
    root.writeFile("/var/sim/emmc/dev_emmc0.partitions", "1 177\n");

    const ProgramRun show = tool({"fdisk", device, "show"});
    EXPECT_EQ(show.status, 1);
    EXPECT_NE(show.err.find("damaged"), std::string::npos) << show.err;
    EXPECT_EQ(tool({"mount", "-e", device}).status, 1);
    EXPECT_FALSE(fs::exists(partition));
}

TEST_F(FormatToolsTest, FormatToolsFailWithoutWhatTheyNeed) {
    struct Case {
        const char* name;
        std::vector<std::vector<std::string>> preparation;
        std::vector<std::string> command;
        int status;
    };
    const std::vector<std::string> addWhole = {"fdisk", device, "add", "-s1",
                                               "-t",    "177",  "-p",  "100"};
    const std::vector<std::string> enumerate = {"mount", "-e", device};
    const std::vector<Case> cases = {
        {"mount of an unformatted partition",
         {addWhole, enumerate},
         {"mount", "-t", "qnx6", partition, dataPartition},
         1},
        {"check of an unformatted partition", {addWhole, enumerate}, {"chkqnx6fs", partition}, 1},
        {"format of a missing partition", {}, {"mkqnx6fs", "-q", partition}, 1},
        {"table of a missing device", {}, {"fdisk", host("/dev/emmc1"), "show"}, 1},
        {"slot already used", {addWhole}, addWhole, 1},
        {"more than the whole device",
         {addWhole},
         {"fdisk", device, "add", "-s2", "-t", "177", "-p", "1"},
         1},
        {"slot out of range", {}, {"fdisk", device, "add", "-s5", "-t", "177", "-p", "10"}, 2},
        {"add without a type", {}, {"fdisk", device, "add", "-s1", "-p", "10"}, 2},
        {"another file system", {}, {"mount", "-t", "ext4", partition, dataPartition}, 1},
        {"device outside the root", {}, {"fdisk", "/dev/sda", "delete", "-s1"}, 1},
        {"mount point outside the root",
         {addWhole, enumerate, {"mkqnx6fs", partition}},
         {"mount", "-t", "qnx6", partition, "/tmp/unit-tool-test-mount"},
         1},
    };
    for (const Case& testCase : cases) {
        TestSupport::TemporaryUnitRoot caseRoot;
        fs::create_directories(caseRoot.path() + "/var/scratch");
        std::string prefix = caseRoot.path();
        const auto inCase = [&](std::vector<std::string> command) {
            for (std::string& word : command) {
                if (word.starts_with(root.path() + "/")) {
                    word.replace(0, root.path().size(), prefix);
                }
            }
            return TestSupport::runProgram(unitTool, command, prefix + "/var/scratch");
        };
        caseRoot.writeFile("/dev/emmc0", "");
        for (const auto& step : testCase.preparation) {
            ASSERT_EQ(inCase(step).status, 0) << testCase.name;
        }
        const ProgramRun run = inCase(testCase.command);
        EXPECT_EQ(run.status, testCase.status) << testCase.name << ": " << run.err;
        EXPECT_FALSE(fs::exists(prefix + "/fs/etfs")) << testCase.name;
    }
    EXPECT_FALSE(fs::exists("/tmp/unit-tool-test-mount"));
}

}  // namespace
