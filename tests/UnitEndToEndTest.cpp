// The real loader in a unit made by the simulated unit, driven as a person would: keys, touches,
// packages on the stick, the shutdown-request input. Each test makes its own unit under /tmp.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ArchiveFixtures.h"
#include "ScreenshotCompare.h"
#include "TestSupport.h"
#include "boot/PackageFormat.h"
#include "tools/PackageWriter.h"
#include "tools/RsaPublicKey.h"

namespace {

using ::testing::AllOf;
using ::testing::Contains;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsSupersetOf;
using ::testing::Not;
using TestSupport::ProgramRun;
using namespace std::chrono_literals;

namespace ComponentType = Boot::ComponentType;

// The hardware family the packages carry: the variant code of a unit made with defaults.
constexpr std::uint32_t unitVariant = 1;

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
    }
    return lines;
}

// `needles` appear in `lines` in this order, not necessarily next to each other.
bool containsInOrder(const std::vector<std::string>& lines,
                     const std::vector<std::string>& needles) {
    auto position = lines.begin();
    for (const std::string& needle : needles) {
        position = std::find(position, lines.end(), needle);
        if (position == lines.end()) {
            return false;
        }
        ++position;
    }
    return true;
}

// Counts the loader's searches for packages on the stick from the moment it is made: every round
// of the search loop lists the stick's folder, which opens it.
class StickSearches {
public:
    explicit StickSearches(const std::string& stickFolder)
        : descriptor_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
        EXPECT_GE(descriptor_, 0) << std::strerror(errno);
        EXPECT_GE(::inotify_add_watch(descriptor_, stickFolder.c_str(), IN_OPEN), 0)
            << std::strerror(errno);
    }
    ~StickSearches() { ::close(descriptor_); }
    StickSearches(const StickSearches&) = delete;
    StickSearches& operator=(const StickSearches&) = delete;

    // Whether the stick was searched `count` times within `seconds`: then the loader went
    // through `count - 1` whole rounds of the loop (the button poll and the pause included)
    // without taking a package or ending.
    bool waitFor(int count, int seconds = 60) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (seen_ < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return false;
            }
            pollfd readable{.fd = descriptor_, .events = POLLIN, .revents = 0};
            if (::poll(&readable, 1, static_cast<int>(left.count())) > 0) {
                countOpenings();
            }
        }
        return true;
    }

private:
    void countOpenings() {
        alignas(inotify_event) char buffer[4096];
        const ssize_t length = ::read(descriptor_, buffer, sizeof buffer);
        for (ssize_t offset = 0; offset < length;) {
            inotify_event event{};
            std::memcpy(&event, buffer + offset, sizeof event);
            // Files opened in the folder carry their name; the folder's own openings do not.
            if ((event.mask & IN_OPEN) != 0 && event.len == 0) {
                ++seen_;
            }
            offset += static_cast<ssize_t>(sizeof event + event.len);
        }
    }

    int descriptor_;
    int seen_ = 0;
};

class UnitEndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = "/tmp/ue-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        scratch_ = pattern;
        root_ = scratch_ + "/u";
        frames_ = scratch_ + "/frames";
        std::filesystem::create_directories(frames_);
    }

    void TearDown() override {
        unitsim({"stop", root_});
        // A sanitizer's report ends the loader wherever it is; the run may not show it.
        EXPECT_THAT(unitFile("/var/log/loader.out"), Not(HasSubstr("Sanitizer")));
        std::error_code ignored;
        std::filesystem::remove_all(scratch_, ignored);
    }

    ProgramRun unitsim(const std::vector<std::string>& arguments) const {
        return TestSupport::runProgram(UNITSIM_PATH, arguments, scratch_);
    }

    void makeUnit(std::vector<std::string> options = {}) const {
        options.insert(options.begin(), {"make", root_});
        const ProgramRun made = unitsim(options);
        ASSERT_EQ(made.status, 0) << made.out << made.err;
    }

    void startUnit(std::vector<std::string> options = {},
                   const std::string& loader = BOOTLOADER_PATH) const {
        options.insert(options.begin(), {"start", root_, "--capture", frames_, "--loader", loader});
        const ProgramRun started = unitsim(options);
        ASSERT_EQ(started.status, 0) << started.out << started.err;
    }

    bool waitFor(const std::vector<std::string>& condition, int seconds = 60) const {
        std::vector<std::string> arguments = {"wait", root_};
        arguments.insert(arguments.end(), condition.begin(), condition.end());
        arguments.insert(arguments.end(), {"--timeout", std::to_string(seconds)});
        return unitsim(arguments).status == 0;
    }
    bool waitForFrames(int count) const { return waitFor({"--frames", std::to_string(count)}); }
    // Generous: a whole install under a sanitizer on a loaded machine takes its time.
    bool waitForReset() const { return waitFor({"--reset"}, 300); }

    void act(const std::vector<std::string>& action) const {
        std::vector<std::string> arguments = {action.front(), root_};
        arguments.insert(arguments.end(), action.begin() + 1, action.end());
        const ProgramRun done = unitsim(arguments);
        ASSERT_EQ(done.status, 0) << done.out << done.err;
    }

    std::string unitFile(const std::string& unitPath) const {
        return TestSupport::readHostFile(root_ + unitPath);
    }
    bool unitHas(const std::string& unitPath) const {
        return std::filesystem::exists(root_ + unitPath);
    }
    std::string outcome() const { return unitFile("/var/run/outcome"); }
    bool waitForUnitFile(const std::string& unitPath, int seconds = 60) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (!unitHas(unitPath)) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(50ms);
        }
        return true;
    }

    // The stand-ins' record of what ran, with the unit root taken out of every line.
    std::vector<std::string> commands() const {
        std::vector<std::string> lines = linesOf(unitFile("/var/log/sim/commands.log"));
        for (std::string& line : lines) {
            for (std::size_t at = line.find(root_); at != std::string::npos;
                 at = line.find(root_)) {
                line.erase(at, root_.size());
            }
        }
        return lines;
    }

    // The shutdown-request input: bit 11 of the GPIO input register in the unit's dev/mem.
    void setGpioLevel(bool high) const {
        const int memory = ::open((root_ + "/dev/mem").c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(memory, 0);
        const std::uint32_t value = high ? 0x800U : 0U;
        EXPECT_EQ(::pwrite(memory, &value, sizeof value, 0xE605580C),
                  static_cast<ssize_t>(sizeof value));
        ::close(memory);
    }

    std::size_t frameCount() const {
        return static_cast<std::size_t>(
            std::distance(std::filesystem::directory_iterator(frames_), {}));
    }
    std::optional<TestSupport::Screenshot> lastFrame() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(frames_)) {
            names.push_back(entry.path().string());
        }
        if (names.empty()) {
            return std::nullopt;
        }
        return TestSupport::readPng(*std::max_element(names.begin(), names.end()));
    }

    std::string scratchFile(const std::string& name, const std::string& contents) const {
        std::string path = scratch_ + "/" + name;
        TestSupport::writeHostFile(path, contents);
        return path;
    }

    // A package sealed for the loader's key, with an application archive holding `marker`.
    std::string package(const std::string& name, const std::string& marker,
                        std::vector<Packaging::ComponentSource> more = {}) const {
        Packaging::PackageDescription description;
        description.hardwareFamily = unitVariant;
        description.components.push_back(
            {ComponentType::application, 2910001,
             scratchFile(name + ".app.tar.gz",
                         TestSupport::tarGz({{.path = "app/marker", .contents = marker}}))});
        description.components.insert(description.components.end(), more.begin(), more.end());
        std::string path = scratch_ + "/" + name;
        std::string error;
        EXPECT_TRUE(Packaging::PackageWriter::write(
            description, Packaging::RsaPublicKey::fromPemFile(LOADER_PUBLIC_KEY_FILE), path, error))
            << error;
        return path;
    }

    void putOnStick(const std::string& packagePath, const std::string& name) const {
        act({"stick", packagePath, name});
    }

    // Starts the unit, selects the one package on the stick and confirms it by key presses; the
    // install ends in the reset.
    void startAndInstallByKeys() const {
        startUnit();
        ASSERT_TRUE(waitForFrames(1));  // the selection screen
        act({"click", "select"});
        ASSERT_TRUE(waitForFrames(2));  // the confirm screen
        act({"click", "select"});
        ASSERT_TRUE(waitForReset()) << outcome();
    }

    std::string scratch_;
    std::string root_;
    std::string frames_;
};

TEST_F(UnitEndToEndTest, AFullInstallFromTheStickByKeyPresses) {
    makeUnit({"--bluetooth-build", "5000"});
    const std::string touchFirmware = TestSupport::randomBytes(3000);
    const std::string picFirmware = TestSupport::randomBytes(2100);
    const std::string media = TestSupport::randomBytes(70000);
    const std::string image =
        scratchFile("bluetooth.bin", "Module firmware build 5101 for the demo unit" +
                                         TestSupport::randomBytes(6000));
    const ProgramRun dfu = TestSupport::runProgram(
        KX1_PATH, {"dfu", "make", image, scratch_ + "/bluetooth.dfu", "--wrap"}, scratch_);
    ASSERT_EQ(dfu.status, 0) << dfu.err;
    const std::string packagePath = package(
        "full.kx1", "installed by keys",
        {{ComponentType::configuration, 2910001,
          scratchFile("config.tar.gz",
                      TestSupport::tarGz({{.path = "config/unit.cfg", .contents = "volume=3\n"}}))},
         {ComponentType::mediaImage, 2910001, scratchFile("media.ifs", media)},
         {ComponentType::touchFirmware, 2910001, scratchFile("touch.bin", touchFirmware)},
         {ComponentType::ioMicrocontrollerFirmware, 2910001, scratchFile("pic.bin", picFirmware)},
         {ComponentType::bluetoothFirmware, 5101, scratch_ + "/bluetooth.dfu"}});
    putOnStick(packagePath, "full.kx1");

    ASSERT_NO_FATAL_FAILURE(startAndInstallByKeys());

    EXPECT_EQ(unitFile("/fs/etfs/app/marker"), "installed by keys");
    EXPECT_EQ(unitFile("/fs/etfs/config/unit.cfg"), "volume=3\n");
    EXPECT_EQ(unitFile("/fs/etfs/media.ifs"), media);
    EXPECT_EQ(unitFile("/var/sim/received/touch-firmware.bin"), touchFirmware);
    EXPECT_EQ(unitFile("/var/sim/received/pic-firmware.bin"), picFirmware);
    EXPECT_THAT(unitFile("/var/sim/received/bluetooth.log"), HasSubstr("5101"));
    EXPECT_TRUE(unitHas("/fs/etfs/installed.kx1"));
    const std::vector<std::string> log = linesOf(unitFile("/mnt/stick/install.log"));
    EXPECT_THAT(log, Contains("Installation successful"));
    EXPECT_THAT(log, Contains("Install Result: Component 6 status 1"));
    EXPECT_THAT(commands(), Contains("VeldApp -b"));
    EXPECT_THAT(unitFile("/var/sim/received/pmic.log"),
                HasSubstr("slave 0x5a reg 0x13 value 0x01"));
}

TEST_F(UnitEndToEndTest, AnInstallFromTheStickByTouchesEndsWithTheSuccessScreen) {
    makeUnit();
    putOnStick(package("touched.kx1", "installed by touches"), "touched.kx1");

    startUnit();
    ASSERT_TRUE(waitForFrames(1));
    act({"touch", "--button", "select"});
    ASSERT_TRUE(waitForFrames(2));
    act({"touch", "--button", "select"});
    ASSERT_TRUE(waitForReset()) << outcome();

    EXPECT_EQ(unitFile("/fs/etfs/app/marker"), "installed by touches");
    const std::optional<TestSupport::Screenshot> last = lastFrame();
    ASSERT_TRUE(last.has_value());
    // "Success" with the last second of the countdown.
    EXPECT_TRUE(TestSupport::matchesReference(*last, "unit-result-success"));
}

TEST_F(UnitEndToEndTest, TheUpdatePackageInstallsWithoutInteractionAndTheStickIsIgnored) {
    makeUnit();
    putOnStick(package("stick.kx1", "from the stick"), "stick.kx1");
    std::filesystem::copy_file(package("update.kx1", "from the data partition"),
                               root_ + "/fs/etfs/update.kx1");

    startUnit();
    ASSERT_TRUE(waitForReset()) << outcome();

    EXPECT_EQ(unitFile("/fs/etfs/app/marker"), "from the data partition");
    EXPECT_FALSE(unitHas("/fs/etfs/update.kx1"));
    EXPECT_THAT(linesOf(unitFile("/mnt/stick/install.log")), Contains("Installation successful"));
}

TEST_F(UnitEndToEndTest, ALoaderBuiltWithASealKeyInstallsOnlyWhatThatKeySealed) {
    makeUnit();
    const std::string unsealed = package("unsealed.kx1", "unsealed release");
    std::filesystem::copy_file(unsealed, root_ + "/fs/etfs/update.kx1");
    startUnit({}, SEALING_BOOTLOADER_PATH);
    ASSERT_TRUE(waitForReset()) << outcome();
    EXPECT_THAT(
        linesOf(unitFile("/mnt/stick/install.log")),
        AllOf(Contains("Invalid package seal: no seal"), Not(Contains("Installation successful"))));
    EXPECT_FALSE(unitHas("/fs/etfs/app/marker"));
    EXPECT_FALSE(unitHas("/fs/etfs/installed.kx1"));

    const std::string sealed = package("sealed.kx1", "sealed release");
    const ProgramRun seal = TestSupport::runProgram(
        KX1_PATH, {"seal", sealed, "--seal-key", TEST_SEAL_KEY_FILE}, scratch_);
    ASSERT_EQ(seal.status, 0) << seal.err;
    std::filesystem::copy_file(sealed, root_ + "/fs/etfs/update.kx1",
                               std::filesystem::copy_options::overwrite_existing);
    startUnit({}, SEALING_BOOTLOADER_PATH);
    ASSERT_TRUE(waitForReset()) << outcome();
    EXPECT_THAT(linesOf(unitFile("/mnt/stick/install.log")),
                IsSupersetOf({"Valid package seal", "Installation successful"}));
    EXPECT_EQ(unitFile("/fs/etfs/app/marker"), "sealed release");
}

TEST_F(UnitEndToEndTest, StickNamesMustContainTheLowerCaseExtension) {
    makeUnit();
    putOnStick(package("upper.kx1", "upper case"), "UPPER.KX1");
    startUnit();
    ASSERT_TRUE(waitForFrames(1));  // the wait screen: nothing was offered
    StickSearches searches(root_ + "/mnt/stick");
    ASSERT_TRUE(searches.waitFor(2)) << "the loader stopped searching the stick";
    EXPECT_EQ(frameCount(), 1U);
    EXPECT_FALSE(unitHas("/var/run/outcome"));
    EXPECT_FALSE(unitHas("/fs/etfs/app/marker"));

    putOnStick(package("lower.kx1", "substring match"), "lower.kx1.update");
    ASSERT_TRUE(waitForFrames(2));  // the selection screen
    act({"click", "select"});
    ASSERT_TRUE(waitForFrames(3));
    act({"click", "select"});
    ASSERT_TRUE(waitForReset()) << outcome();
    EXPECT_EQ(unitFile("/fs/etfs/app/marker"), "substring match");
}

TEST_F(UnitEndToEndTest, AnEmptyStickShowsTheWaitScreenOnce) {
    makeUnit();
    startUnit();
    ASSERT_TRUE(waitForFrames(1));
    // Two more whole rounds of the search loop, each with a button poll and a pause.
    StickSearches searches(root_ + "/mnt/stick");
    ASSERT_TRUE(searches.waitFor(3)) << "the loader stopped searching the stick";
    EXPECT_EQ(frameCount(), 1U);
    EXPECT_FALSE(unitHas("/var/run/outcome"));
}

TEST_F(UnitEndToEndTest, LeavingTheSelectionWithCancelEndsInSuccessAndTheShutdown) {
    makeUnit();
    putOnStick(package("left.kx1", "never installed"), "left.kx1");
    startUnit();
    ASSERT_TRUE(waitForFrames(1));
    act({"click", "cancel"});
    ASSERT_TRUE(waitForReset()) << outcome();

    EXPECT_FALSE(unitHas("/fs/etfs/app/marker"));
    const std::optional<TestSupport::Screenshot> last = lastFrame();
    ASSERT_TRUE(last.has_value());
    EXPECT_TRUE(TestSupport::matchesReference(*last, "unit-result-success"));
}

TEST_F(UnitEndToEndTest, WithoutTheCompanionProgramNothingElseChanges) {
    makeUnit();
    // A folder with something in it holds the companion's place, so that unpacking cannot put
    // the program there: what the loader starts is no program, and no companion runs.
    std::filesystem::create_directories(root_ + "/tmp/VeldApp/in-the-way");
    putOnStick(package("plain.kx1", "without companion"), "plain.kx1");
    ASSERT_NO_FATAL_FAILURE(startAndInstallByKeys());

    EXPECT_EQ(unitFile("/fs/etfs/app/marker"), "without companion");
    EXPECT_THAT(commands(), Not(Contains(HasSubstr("VeldApp"))));
    EXPECT_THAT(commands(), Contains("autoipd -i ax0 -f"));
}

TEST_F(UnitEndToEndTest, AnUnusableDataPartitionIsFormattedAndTheLoaderGoesOn) {
    makeUnit({"--unusable-data-partition"});
    ASSERT_FALSE(unitHas("/fs/etfs"));
    startUnit();
    // The boot is counted on the data partition once it is usable again.
    ASSERT_TRUE(waitForUnitFile("/fs/etfs/bootCount.bin"));

    EXPECT_FALSE(unitHas("/var/run/outcome"));
    EXPECT_TRUE(containsInOrder(
        commands(), {"fdisk /dev/emmc0 delete -s1", "fdisk /dev/emmc0 add -s1 -t 177 -p 100",
                     "mount -e /dev/emmc0", "mkqnx6fs -b 4096 -q /dev/emmc0t177",
                     "mount -t qnx6 /dev/emmc0t177 /fs/etfs"}));
}

TEST_F(UnitEndToEndTest, PanelTypeThreeGivesWideFrames) {
    makeUnit();
    startUnit({"--lcd", "3"});
    ASSERT_TRUE(waitForFrames(1));
    const std::optional<TestSupport::Screenshot> frame = lastFrame();
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->width, 1920);
    EXPECT_EQ(frame->height, 720);
    EXPECT_THAT(unitFile("/var/log/slog"), HasSubstr("Bootloader: lcd type = 3"));
}

TEST_F(UnitEndToEndTest, OneArgumentDrivesTheBacklightInsteadOfTheLogo) {
    struct Case {
        bool argument;
        bool logo;
        std::size_t pwmdctl;
    };
    for (const Case row : {Case{true, false, 2}, Case{false, true, 0}}) {
        SCOPED_TRACE(row.argument ? "one argument" : "no argument");
        TearDown();
        SetUp();
        makeUnit();
        std::filesystem::create_directories(root_ + "/fs/etfs/app");
        TestSupport::writeHostFile(root_ + "/fs/etfs/app/logo",
                                   "#!/bin/sh\nexec unit-tool logo \"$@\"\n");
        std::filesystem::permissions(root_ + "/fs/etfs/app/logo",
                                     std::filesystem::perms::owner_all);
        startUnit(row.argument ? std::vector<std::string>{"--argument"}
                               : std::vector<std::string>{});
        ASSERT_TRUE(waitForFrames(1));
        const std::vector<std::string> ran = commands();
        EXPECT_EQ(static_cast<std::size_t>(std::count_if(
                      ran.begin(), ran.end(),
                      [](const std::string& line) { return line.starts_with("pwmdctl"); })),
                  row.pwmdctl);
        if (row.argument) {
            EXPECT_TRUE(containsInOrder(
                ran, {"pwmdctl -e -d 100 -p 100 /dev/pwm0", "pwmdctl -e -d 100 -p 100 /dev/pwm1"}));
        }
        EXPECT_EQ(std::find(ran.begin(), ran.end(), "logo") != ran.end(), row.logo);
    }
}

TEST_F(UnitEndToEndTest, TheConsoleFollowsTheTestMarkers) {
    struct Case {
        const char* name;
        std::vector<std::string> markers;
        std::vector<std::string> expected;
        std::vector<std::string> absent;
    };
    const std::vector<Case> cases = {
        {"marker on the data partition",
         {"/fs/etfs/DvTest", "/fs/etfs/ProductionTest", "/mnt/stick/DvTest"},
         {"rm -f /fs/etfs/ProductionTest", "devc-sercan", "on -t /dev/sercan1 /bin/sh"},
         {"cp /mnt/stick/DvTest /fs/etfs/.",
          "devc-serscif485 -e -F -u4 -b38400 -a 0xE6050008 -p 12 scif4"}},
        {"marker on the stick",
         {"/mnt/stick/DvTest"},
         {"cp /mnt/stick/DvTest /fs/etfs/.", "chmod 777 /fs/etfs/DvTest", "sync"},
         {"devc-sercan", "devc-serscif485 -e -F -u4 -b38400 -a 0xE6050008 -p 12 scif4"}},
        {"no marker",
         {},
         {"devc-serscif485 -e -F -u4 -b38400 -a 0xE6050008 -p 12 scif4", "waitfor /dev/rs4854",
          "on -t /dev/rs4854 /bin/sh"},
         {"devc-sercan", "sync"}},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        makeUnit();
        for (const std::string& marker : row.markers) {
            TestSupport::writeHostFile(root_ + marker, "#!/bin/sh\n");
        }
        startUnit();
        ASSERT_TRUE(waitForFrames(1));
        const std::vector<std::string> ran = commands();
        EXPECT_TRUE(containsInOrder(ran, row.expected)) << ::testing::PrintToString(ran);
        for (const std::string& line : row.absent) {
            EXPECT_THAT(ran, Not(Contains(line)));
        }
    }
}

TEST_F(UnitEndToEndTest, TheShutdownRequestNeedsTwoRaisedSamples) {
    makeUnit();
    startUnit();
    ASSERT_TRUE(waitForFrames(1));
    StickSearches searches(root_ + "/mnt/stick");
    // Much shorter than one sampling interval, so at most one sample sees it. Written here
    // rather than by two unitsim runs, whose start-up time would lengthen the pulse.
    setGpioLevel(true);
    std::this_thread::sleep_for(20ms);
    setGpioLevel(false);
    // The round after the pulse's may have looked at the flag before any sample; the one after
    // it looks more than a second later, after several samples of the low input.
    ASSERT_TRUE(searches.waitFor(3)) << "the loader stopped searching the stick";
    EXPECT_THAT(unitFile("/var/log/slog"), Not(HasSubstr("Shutdown")));
    EXPECT_FALSE(unitHas("/var/run/outcome"));

    act({"gpio", "high"});
    ASSERT_TRUE(waitForReset()) << outcome();
    EXPECT_THAT(unitFile("/var/log/slog"), HasSubstr("HardwareManager: Shutdown M2"));
    EXPECT_FALSE(unitHas("/fs/etfs/installed.kx1"));
}

TEST_F(UnitEndToEndTest, StartUpRunsItsCommandsInOrder) {
    makeUnit();
    startUnit();
    ASSERT_TRUE(waitForFrames(1));
    const std::string sdCardDriver =
        std::string("devb-mmcsd-rcarm2-trevanic-sdhi mmcsd channel=0 disk name=sd blk ") +
        "cache=4M,automount=sd0t6:/mnt/sd,automount=sd0t11:/mnt/sd,automount=sd0t12:/mnt/sd";
    // Commands that block run strictly in this order.
    const std::vector<std::string> foreground = {
        "waitfor /dev/i2c6",
        "power-fail",
        "waitfor /dev/power-fail",
        "random -p",
        "pwm-mx -d clksrc=5 -b 0xe6e36000 -u 0 -p 0xe6060074 -o 22 -e 0",
        "pwm-mx -d clksrc=5 -b 0xe6e33000 -u 1 -p 0xe6060008 -o 24 -e 0",
        "waitfor /dev/thermal",
        "waitfor /dev/pwm0",
        "waitfor /dev/pwm1",
        "thermalmgr",
        "waitfor /dev/backlight1",
        "waitfor /dev/screen",
        "waitfor /dev/i2c1",
        "waitfor /dev/i2c4",
        "waitfor /dev/i2c5",
        "spi-master -u0 -d msiof channel=0",
        "waitfor /dev/spi0",
        "touch-dura",
        "waitfor /dev/touch-dura",
        "io-interface-opt",
        "waitfor /dev/io_interface",
        sdCardDriver,
        "slay -f -Q j1939",
        "slay -f -Q dev-can-m2",
        "dev-can-m2 -x -u0 can0",
        "waitfor /dev/can0",
        "dev-can-m2 -x -u1 can1",
        "waitfor /dev/can1",
        "io-pkt-v4-hc",
        "waitfor /dev/socket",
        "devc-pty",
        "waitfor /dev/ptyp0",
        "qconn",
        "inetd",
        "mount -T io-pkt devnp-asix.so",
        "ifconfig ax0 192.168.0.2 netmask 255.255.255.0",
        "devc-serscif485 -e -F -u4 -b38400 -a 0xE6050008 -p 12 scif4",
        "waitfor /dev/rs4854",
        "on -t /dev/rs4854 /bin/sh",
    };
    // Commands started in the background ("... &") run after the command before them.
    struct Background {
        std::string command;
        std::string after;
        std::string before;
    };
    // A background command's record may come after the waitfor that waits for it has started,
    // but always before the command that follows that waitfor.
    const std::vector<Background> background = {
        {"i2c-rcar -u3 --u6", "", "power-fail"},
        {"thermal", "random -p", "waitfor /dev/pwm0"},
        {"screen", "random -p", "waitfor /dev/i2c1"},
        {"i2c-rcar_i2c -c1 --u1", "waitfor /dev/screen", "waitfor /dev/i2c4"},
        {"i2c-rcar_i2c -c4 --u4", "waitfor /dev/screen", "waitfor /dev/i2c5"},
        {"i2c-rcar_i2c -c5 --u5", "waitfor /dev/screen", "spi-master -u0 -d msiof channel=0"},
        {"autoipd -i ax0 -f", "ifconfig ax0 192.168.0.2 netmask 255.255.255.0", ""},
        {"VeldApp -b", "on -t /dev/rs4854 /bin/sh", ""},
    };
    std::vector<std::string> ran = commands();
    // The drivers that the boot script starts before the loader are not the loader's.
    std::erase_if(ran, [](const std::string& line) {
        return line == "key" || line == "iplctl" || line == "devb-mmcsd-rcarm2-trevanic-mmc";
    });
    const auto position = [&ran](const std::string& line) {
        return std::find(ran.begin(), ran.end(), line) - ran.begin();
    };
    for (const Background& started : background) {
        const auto at = position(started.command);
        ASSERT_LT(static_cast<std::size_t>(at), ran.size()) << started.command;
        if (!started.after.empty()) {
            EXPECT_GT(at, position(started.after)) << started.command;
        }
        if (!started.before.empty()) {
            EXPECT_LT(at, position(started.before)) << started.command;
        }
    }
    std::vector<std::string> blocking;
    std::copy_if(ran.begin(), ran.end(), std::back_inserter(blocking),
                 [&background](const std::string& line) {
                     return std::none_of(
                         background.begin(), background.end(),
                         [&line](const Background& started) { return started.command == line; });
                 });
    ASSERT_GE(blocking.size(), foreground.size()) << ::testing::PrintToString(ran);
    blocking.resize(foreground.size());
    EXPECT_THAT(blocking, ElementsAreArray(foreground));
    // The service links point at the payload's own files.
    EXPECT_EQ(std::filesystem::read_symlink(root_ + "/etc/passwd"), root_ + "/tmp/passwd");
    EXPECT_EQ(std::filesystem::read_symlink(root_ + "/usr/sbin/telnetd"), root_ + "/tmp/telnetd");
}

TEST_F(UnitEndToEndTest, AProductionTestLinkedOutOfTheUnitIsNeitherOpenedUpNorRun) {
    makeUnit();
    const std::string program = scratch_ + "/outside/program";
    std::filesystem::create_directories(scratch_ + "/outside");
    TestSupport::writeHostFile(program, "#!/bin/sh\ntouch " + scratch_ + "/outside/ran\n");
    std::filesystem::permissions(program, std::filesystem::perms::owner_all);
    std::filesystem::create_symlink(program, root_ + "/fs/etfs/ProductionTest");

    startUnit();
    ASSERT_TRUE(waitForFrames(1));  // the wait screen: the production test's turn has passed

    // The loader logs every command it has the shell run before it runs it.
    EXPECT_THAT(unitFile("/var/log/loader.out"), Not(HasSubstr("ProductionTest")));
    EXPECT_FALSE(std::filesystem::exists(scratch_ + "/outside/ran"));
    EXPECT_EQ(std::filesystem::status(program).permissions(), std::filesystem::perms::owner_all);
}

// ---- Hostile archives in a signed package ----

struct HostileCase {
    const char* name;
    std::vector<TestSupport::Member> members;  // of the application archive, beside app/marker
    std::uint32_t status;                      // of the application component
    std::string printed;                       // in the loader's output, when not empty
};

void PrintTo(const HostileCase& hostileCase, std::ostream* out) {
    *out << hostileCase.name;
}

class HostileArchiveTest : public UnitEndToEndTest,
                           public ::testing::WithParamInterface<HostileCase> {
protected:
    // Every symbolic link beneath `folder` whose target, resolved from where it stands, lies
    // outside the unit root.
    std::vector<std::string> linksLeadingOut(const std::string& folder) const {
        const std::filesystem::path root = std::filesystem::canonical(root_);
        std::vector<std::string> out;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
            if (!entry.is_symlink()) {
                continue;
            }
            const std::filesystem::path target = std::filesystem::read_symlink(entry.path());
            const std::filesystem::path resolved =
                (entry.path().parent_path() / target).lexically_normal();
            if (resolved.lexically_relative(root).native().starts_with("..")) {
                out.push_back(entry.path().string());
            }
        }
        return out;
    }
};

TEST_P(HostileArchiveTest, IsRefusedWithItsStatusAndTheRunEndsInTheResultScreenAndReset) {
    makeUnit();
    const std::string outside = scratch_ + "/outside";
    std::filesystem::create_directories(outside);
    TestSupport::writeHostFile(outside + "/secret", "original");
    std::vector<TestSupport::Member> members = {{.path = "app/marker", .contents = "installed"}};
    members.insert(members.end(), GetParam().members.begin(), GetParam().members.end());
    Packaging::PackageDescription description;
    description.hardwareFamily = unitVariant;
    description.components.push_back({ComponentType::application, 2910001,
                                      scratchFile("hostile.tar.gz", TestSupport::tarGz(members))});
    std::string error;
    ASSERT_TRUE(Packaging::PackageWriter::write(
        description, Packaging::RsaPublicKey::fromPemFile(LOADER_PUBLIC_KEY_FILE),
        root_ + "/fs/etfs/update.kx1", error))
        << error;

    startUnit();
    ASSERT_TRUE(waitForReset()) << outcome();

    const std::vector<std::string> log = linesOf(unitFile("/mnt/stick/install.log"));
    EXPECT_THAT(
        log, Contains("Install Result: Component 4 status " + std::to_string(GetParam().status)));
    if (!GetParam().printed.empty()) {
        EXPECT_THAT(unitFile("/var/log/loader.out"), HasSubstr(GetParam().printed));
    }
    // The result screen with its status text was the last frame before the reset.
    const std::optional<TestSupport::Screenshot> last = lastFrame();
    ASSERT_TRUE(last.has_value());
    EXPECT_TRUE(TestSupport::matchesReference(
        *last, GetParam().status == 1 ? "unit-result-success"
                                      : "unit-result-" + std::to_string(GetParam().status)));
    EXPECT_FALSE(unitHas("/fs/etfs/update.kx1"));
    // Nothing was written beside the unit root, and nothing in the data partition leads out.
    std::vector<std::string> beside;
    for (const auto& entry : std::filesystem::directory_iterator(scratch_)) {
        beside.push_back(entry.path().filename().string());
    }
    EXPECT_THAT(beside, ::testing::UnorderedElementsAre("u", "frames", "outside", "hostile.tar.gz",
                                                        "program.out", "program.err"));
    EXPECT_EQ(TestSupport::readHostFile(outside + "/secret"), "original");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(outside), {}), 1);
    EXPECT_THAT(linksLeadingOut(root_ + "/fs/etfs"), ::testing::IsEmpty());
}

// The unit root is "<scratch>/u"; the data root "<scratch>/u/fs/etfs/", where the application
// archive is unpacked, lies four folders below the scratch folder. A path longer than PATH_MAX is
// no attack: libarchive writes it folder by folder, and the tree walks handle it.
INSTANTIATE_TEST_SUITE_P(
    Members, HostileArchiveTest,
    ::testing::Values(
        HostileCase{"ParentFolder",
                    {{.path = "../../../escaped", .contents = "x"}},
                    304,
                    "Refused archive member ../../../escaped - path leaves the destination"},
        HostileCase{"AbsoluteName",
                    {{.path = "/outside/planted", .contents = "x"}},
                    304,
                    "Refused archive member /outside/planted - path leaves the destination"},
        HostileCase{
            "AbsoluteLinkToAFolderThenAMemberThroughIt",
            {{.path = "app/etc", .type = AE_IFLNK, .symlinkTarget = "/"},
             {.path = "app/etc/planted", .contents = "x"}},
            304,
            "Refused archive member app/etc/planted - a folder on its way is a symbolic link"},
        HostileCase{"RelativeLinkOut",
                    {{.path = "nvdata", .type = AE_IFLNK, .symlinkTarget = "../../../outside"}},
                    304,
                    "Refused archive member nvdata - symbolic link leads out of the unit root"},
        HostileCase{"RelativeLinkOutThenAMemberThroughIt",
                    {{.path = "app/up", .type = AE_IFLNK, .symlinkTarget = "../../../../outside"},
                     {.path = "app/up/planted", .contents = "x"}},
                    304,
                    "Refused archive member app/up - symbolic link leads out of the unit root"},
        HostileCase{"LinkClimbingBackThroughAName",
                    {{.path = "ProductionTest",
                      .type = AE_IFLNK,
                      .symlinkTarget = "app/../../../../outside/secret"}},
                    304,
                    "Refused archive member ProductionTest - symbolic link leads out of the unit "
                    "root"},
        HostileCase{"HardLinkOut",
                    {{.path = "app/hard", .hardlinkTarget = "../../../outside/secret"}},
                    304,
                    "Refused archive member app/hard - hard link target leaves the destination"},
        HostileCase{"DeviceNode",
                    {{.path = "app/mem", .type = AE_IFCHR}},
                    304,
                    "Refused archive member app/mem - device node"},
        HostileCase{"NamedPipe",
                    {{.path = "app/pipe", .type = AE_IFIFO}},
                    304,
                    "Refused archive member app/pipe - named pipe"},
        HostileCase{"NameLongerThanNameMax",
                    {{.path = "app/" + std::string(300, 'n'), .contents = "x"}},
                    0,
                    "Cannot create archive member app/nnnn"},
        HostileCase{"PathLongerThanPathMax",
                    {{.path = "app/" +
                              [] {
                                  std::string path;
                                  for (int level = 0; level < 30; ++level) {
                                      path += std::string(200, 'd') + "/";
                                  }
                                  return path;
                              }() +
                              "deep",
                      .contents = "x"}},
                    1,
                    ""}),
    [](const ::testing::TestParamInfo<HostileCase>& parameter) {
        return std::string(parameter.param.name);
    });

TEST_F(UnitEndToEndTest, AUnitRootWithABlankInstallsAndLeavesWhatLiesBesideItAlone) {
    // A program where the root's name ends at its blank: a command that cut a path there would
    // run it, or hand it to rm.
    root_ = scratch_ + "/u p";
    const std::string besideRoot = scratch_ + "/u";
    TestSupport::writeHostFile(besideRoot,
                               "#!/bin/sh\necho \"$@\" >> \"" + scratch_ + "/beside-root-ran\"\n");
    std::filesystem::permissions(besideRoot, std::filesystem::perms::owner_all);
    makeUnit();
    TestSupport::writeHostFile(root_ + "/fs/etfs/ProductionTest",
                               "#!/bin/sh\nexec unit-tool ProductionTest\n");
    std::filesystem::create_directories(root_ + "/fs/etfs/nvdata");
    TestSupport::writeHostFile(root_ + "/fs/etfs/nvdata/settings", "wiped before the IPL");
    const std::string customFiles = scratchFile(
        "custom.tar.gz",
        TestSupport::tarGz(
            {{.path = "install.sh", .contents = "#!/bin/sh\nexec unit-tool install.sh\n"}}));
    putOnStick(package("blank.kx1", "installed beneath a blank",
                       {{ComponentType::customFiles, 2910001, customFiles},
                        {ComponentType::initialProgramLoader, 2910001,
                         scratchFile("ipl.bin", "ipl image")}}),
               "blank.kx1");

    ASSERT_NO_FATAL_FAILURE(startAndInstallByKeys());

    EXPECT_EQ(unitFile("/fs/etfs/app/marker"), "installed beneath a blank");
    EXPECT_FALSE(unitHas("/fs/etfs/nvdata"));
    EXPECT_THAT(linesOf(unitFile("/mnt/stick/install.log")), Contains("Installation successful"));
    const std::vector<std::string> ran = commands();
    EXPECT_TRUE(containsInOrder(ran, {"waitfor /dev/i2c6", "waitfor /dev/screen",
                                      "on -t /dev/rs4854 /bin/sh", "install.sh"}))
        << ::testing::PrintToString(ran);
    EXPECT_THAT(ran, Contains("VeldApp -b"));
    EXPECT_THAT(ran, Contains("ProductionTest"));
    EXPECT_FALSE(std::filesystem::exists(scratch_ + "/beside-root-ran"))
        << TestSupport::readHostFile(scratch_ + "/beside-root-ran");
    EXPECT_TRUE(std::filesystem::exists(besideRoot));
}

TEST_F(UnitEndToEndTest, TheLoaderRefusesAUnitRootWithAControlCharacter) {
    const std::string withNewline = scratch_ + "/u\np";
    std::filesystem::create_directories(withNewline);
    // Nothing but the refusal may run: should the loader start after all, its shell finds none of
    // the host's programs on this PATH.
    const ProgramRun run = TestSupport::runProgram(
        "/usr/bin/env", {"-i", "UNIT_ROOT=" + withNewline, "PATH=" + withNewline, BOOTLOADER_PATH},
        scratch_);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "bootloader: UNIT_ROOT holds the control character 0x0A at offset " +
                           std::to_string(scratch_.size() + 2) +
                           ", which would break the log lines and commands built from its paths\n");
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(std::filesystem::is_empty(withNewline));
}

TEST_F(UnitEndToEndTest, TheLoaderRefusesToStartWithoutAUnitRoot) {
    const char* previous = std::getenv("UNIT_ROOT");
    const std::string kept = previous != nullptr ? previous : "";
    for (const char* value : {static_cast<const char*>(nullptr), "", "/nonexistent/unit"}) {
        SCOPED_TRACE(value != nullptr ? value : "(unset)");
        if (value != nullptr) {
            setenv("UNIT_ROOT", value, 1);
        } else {
            unsetenv("UNIT_ROOT");
        }
        const ProgramRun run = TestSupport::runProgram(BOOTLOADER_PATH, {}, scratch_);
        EXPECT_EQ(run.status, 2);
        EXPECT_THAT(run.err, HasSubstr("UNIT_ROOT"));
        EXPECT_EQ(run.out, "");
    }
    if (previous != nullptr) {
        setenv("UNIT_ROOT", kept.c_str(), 1);
    } else {
        unsetenv("UNIT_ROOT");
    }
}

}  // namespace
