#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "platform/Device.h"
#include "platform/FileSync.h"
#include "platform/LocalNames.h"
#include "platform/PhysicalMemory.h"
#include "platform/Process.h"
#include "platform/ProcessManager.h"
#include "platform/SystemLog.h"
#include "platform/UnitRoot.h"
#include "platform/Waitfor.h"
#include "platform/testkit/DeviceServer.h"
#include "platform/testkit/FakeClock.h"

namespace {

using Platform::Device;
using Platform::UnitRoot;
using Platform::Testkit::DeviceServer;
using TestSupport::TemporaryUnitRoot;

TEST(UnitRootTest, RefusesAMissingOrUnusableRoot) {
    const TemporaryUnitRoot root;
    std::string message;
    EXPECT_TRUE(UnitRoot::check(message));

    unsetenv("UNIT_ROOT");
    EXPECT_FALSE(UnitRoot::check(message));
    EXPECT_NE(message.find("UNIT_ROOT is not set"), std::string::npos);

    setenv("UNIT_ROOT", (root.path() + "/missing").c_str(), 1);
    EXPECT_FALSE(UnitRoot::check(message));
    EXPECT_NE(message.find("not an existing directory"), std::string::npos);

    root.writeFile("/plain-file", "x");
    setenv("UNIT_ROOT", (root.path() + "/plain-file").c_str(), 1);
    EXPECT_FALSE(UnitRoot::check(message));
}

TEST(UnitRootTest, RefusesRootsThatNoQuotingMakesSafe) {
    struct Case {
        std::string root;
        bool accepted;
        const char* reason;
    };
    const Case cases[] = {
        {"/", true, ""},
        {"/tmp/u p", true, ""},
        {"/tmp/it's $HOME;`id`", true, ""},
        {"/tmp/caf\xC3\xA9", true, ""},
        {"/tmp/line\nbreak", false, "control character 0x0A at offset 9"},
        {"/tmp/tab\tstop", false, "control character 0x09 at offset 8"},
        {"/tmp/escape\x1B[0m", false, "control character 0x1B at offset 11"},
        {"/tmp/delete\x7F", false, "control character 0x7F at offset 11"},
        {"unit", false, "'unit' is not an absolute path"},
        {"-rf", false, "'-rf' is not an absolute path"},
        {"a=b", false, "'a=b' is not an absolute path"},
    };
    for (const Case& row : cases) {
        std::string message;
        EXPECT_EQ(UnitRoot::checkName(row.root, message), row.accepted) << row.root;
        EXPECT_NE(message.find(row.reason), std::string::npos) << message;
    }

    const TemporaryUnitRoot root;
    const std::string withNewline = root.path() + "/u\np";
    std::filesystem::create_directory(withNewline);
    setenv("UNIT_ROOT", withNewline.c_str(), 1);
    std::string message;
    EXPECT_FALSE(UnitRoot::check(message));
    EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    EXPECT_NE(message.find("UNIT_ROOT holds the control character 0x0A"), std::string::npos)
        << message;

    const std::string withBlank = root.path() + "/u p";
    std::filesystem::create_directory(withBlank);
    setenv("UNIT_ROOT", withBlank.c_str(), 1);
    EXPECT_TRUE(UnitRoot::check(message)) << message;
}

TEST(UnitRootTest, MapsUnitPathsBeneathTheRootWithoutDoubledSlashes) {
    const TemporaryUnitRoot root;
    setenv("UNIT_ROOT", (root.path() + "//").c_str(), 1);
    EXPECT_EQ(UnitRoot::hostPath("/fs/etfs/"), root.path() + "/fs/etfs/");
    EXPECT_EQ(UnitRoot::hostPath("relative/name"), "relative/name");
    EXPECT_EQ(UnitRoot::unitPath(root.path() + "/dev/key"), "/dev/key");
    EXPECT_EQ(UnitRoot::unitPath(root.path()), "/");
    EXPECT_EQ(UnitRoot::unitPath(root.path() + "x/dev/key"), root.path() + "x/dev/key");

    setenv("UNIT_ROOT", "/", 1);
    EXPECT_EQ(UnitRoot::prefix(), "");
    EXPECT_EQ(UnitRoot::hostPath("/fs/etfs/"), "/fs/etfs/");
    EXPECT_EQ(UnitRoot::unitPath("/dev/key"), "/dev/key");
}

TEST(UnitRootDeathTest, AbortsRatherThanUseTheHostRootWhenUnset) {
    const TemporaryUnitRoot root;
    unsetenv("UNIT_ROOT");
    EXPECT_DEATH(UnitRoot::hostPath("/etc/passwd"), "UNIT_ROOT is not set");
}

class DeviceTest : public ::testing::Test {
protected:
    TemporaryUnitRoot root;
    std::string socketPath = root.prepare("/dev/iplctl");
};

TEST_F(DeviceTest, CarriesReadWriteAndDevctlOverTheSocketProtocol) {
    std::vector<std::uint8_t> written;
    DeviceServer server(socketPath,
                        {.read =
                             [](std::uint32_t wanted, std::vector<std::uint8_t>& out) {
                                 out.assign(std::min<std::uint32_t>(wanted, 3), 0x5A);
                                 return static_cast<std::int32_t>(out.size());
                             },
                         .write =
                             [&written](std::span<const std::uint8_t> data) {
                                 written.assign(data.begin(), data.end());
                                 return static_cast<std::int32_t>(data.size() - 1);
                             },
                         .devctl =
                             [](std::uint32_t command, std::vector<std::uint8_t>& data) {
                                 if (command != 0x1234) {
                                     return EINVAL;
                                 }
                                 for (std::uint8_t& byte : data) {
                                     byte = static_cast<std::uint8_t>(byte + 1);
                                 }
                                 return 0;
                             },
                         .onStop = {}});

    Device device = Device::open(socketPath, O_RDWR);
    ASSERT_TRUE(device.isOpen()) << device.openError();
    EXPECT_TRUE(device.isSocket());

    std::uint8_t buffer[8] = {};
    EXPECT_EQ(device.read(buffer, sizeof buffer), 3);
    EXPECT_EQ(buffer[0], 0x5A);
    EXPECT_EQ(buffer[3], 0);

    const std::uint8_t payload[] = {1, 2, 3, 4};
    EXPECT_EQ(device.write(payload, sizeof payload), 3);
    EXPECT_EQ(written, std::vector<std::uint8_t>(payload, payload + 4));

    std::uint8_t block[4] = {10, 20, 30, 40};
    EXPECT_EQ(device.devctl(0x1234, block, sizeof block), 0);
    EXPECT_EQ(block[3], 41);
    EXPECT_EQ(device.devctl(0x9999, block, sizeof block), EINVAL);
}

TEST_F(DeviceTest, ReportsDriverErrorsAndAClosedConnection) {
    auto server = std::make_unique<DeviceServer>(
        socketPath, DeviceServer::Handlers{
                        .read = [](std::uint32_t, std::vector<std::uint8_t>&) { return -EAGAIN; }});
    Device device = Device::open(socketPath, O_RDWR);
    ASSERT_TRUE(device.isOpen());
    std::uint8_t buffer[4];
    errno = 0;
    EXPECT_EQ(device.read(buffer, sizeof buffer), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(device.write(buffer, sizeof buffer), -1);
    EXPECT_EQ(errno, ENOSYS);
    EXPECT_EQ(device.devctl(1, buffer, sizeof buffer), ENOSYS);

    server.reset();
    EXPECT_EQ(device.read(buffer, sizeof buffer), -1);
    EXPECT_NE(device.devctl(1, buffer, sizeof buffer), 0);
}

TEST_F(DeviceTest, ServesManyConnectionsWhileOneReadBlocks) {
    std::mutex mutex;
    std::condition_variable changed;
    bool readWaiting = false;
    bool released = false;
    const auto release = [&] {
        const std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    };
    DeviceServer server(socketPath,
                        {.read =
                             [&](std::uint32_t, std::vector<std::uint8_t>& out) {
                                 std::unique_lock lock(mutex);
                                 readWaiting = true;
                                 changed.notify_all();
                                 changed.wait(lock, [&] { return released; });
                                 out = {7};
                                 return 1;
                             },
                         .devctl = [](std::uint32_t, std::vector<std::uint8_t>&) { return 0; },
                         .onStop = release});
    Device reader = Device::open(socketPath, O_RDONLY);
    std::thread blocked([&reader] {
        std::uint8_t byte = 0;
        EXPECT_EQ(reader.read(&byte, 1), 1);
        EXPECT_EQ(byte, 7);
    });
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return readWaiting; });
    }
    Device other = Device::open(socketPath, O_RDWR);
    std::uint8_t word[4] = {};
    EXPECT_EQ(other.devctl(5, word, sizeof word), 0);
    release();
    blocked.join();
}

TEST_F(DeviceTest, JoinsTheThreadsOfClosedConnectionsAsNewOnesArrive) {
    // A long-lived driver sees many short connections (one per start of a program); their
    // threads must not pile up until the server stops.
    const DeviceServer server(
        socketPath,
        {.devctl = [](std::uint32_t, std::vector<std::uint8_t>&) { return 0; }, .onStop = {}});
    // A thread that has ended but was never joined keeps its stack and guard page mapped: two
    // mappings per connection. The sanitizers add mappings of their own, so the bound is loose.
    const auto mappingCount = [] {
        std::ifstream maps("/proc/self/maps");
        return std::count(std::istreambuf_iterator<char>(maps), std::istreambuf_iterator<char>(),
                          '\n');
    };
    const auto before = mappingCount();
    constexpr int connections = 300;
    for (int connection = 0; connection < connections; ++connection) {
        Device device = Device::open(socketPath, O_RDWR);
        std::uint8_t word[4] = {};
        ASSERT_EQ(device.devctl(1, word, sizeof word), 0);
    }
    EXPECT_LT(mappingCount() - before, connections / 2);
}

TEST_F(DeviceTest, OpensOrdinaryFilesDirectlyAndRefusesOverlongSocketPaths) {
    const std::string file = root.prepare("/dev/plain");
    TestSupport::writeHostFile(file, "abc");
    Device device = Device::open(file, O_RDONLY);
    ASSERT_TRUE(device.isOpen());
    EXPECT_FALSE(device.isSocket());
    char buffer[3];
    EXPECT_EQ(device.read(buffer, 3), 3);
    EXPECT_EQ(device.devctl(1, buffer, 3), ENOTTY);

    EXPECT_EQ(Device::open(root.path() + "/dev/missing", O_RDONLY).openError(), ENOENT);

    const std::string longPath = root.path() + "/" + std::string(120, 'd');
    EXPECT_THROW(DeviceServer(longPath, {}), std::system_error);
}

TEST_F(DeviceTest, OpensASerialPortThroughItsLinkToAPseudoTerminal) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string port = root.prepare("/dev/ser1");
    ASSERT_EQ(symlink(ptsname(master), port.c_str()), 0);

    Device device = Device::open(port, O_RDWR | O_NOCTTY);
    ASSERT_TRUE(device.isOpen()) << device.openError();
    EXPECT_FALSE(device.isSocket());
    termios settings{};
    ASSERT_EQ(tcgetattr(device.nativeHandle(), &settings), 0);
    cfmakeraw(&settings);
    ASSERT_EQ(tcsetattr(device.nativeHandle(), TCSANOW, &settings), 0);

    EXPECT_EQ(device.write("\xC0\x00", 2), 2);
    char received[2] = {};
    EXPECT_EQ(::read(master, received, 2), 2);
    EXPECT_EQ(received[0], '\xC0');
    EXPECT_EQ(::write(master, "ok", 2), 2);
    char reply[2] = {};
    EXPECT_EQ(device.read(reply, 2), 2);
    EXPECT_EQ(std::string(reply, 2), "ok");
    close(master);
}

TEST(PhysicalMemoryTest, MapsTheMemoryFileAtThePhysicalAddress) {
    const TemporaryUnitRoot root;
    EXPECT_FALSE(Platform::PhysicalMemory::map(0xE63C0000, 80, false).isMapped());

    const std::string memory = root.prepare("/dev/mem");
    TestSupport::writeHostFile(memory, "");
    ASSERT_EQ(truncate(memory.c_str(), 0xE6060000), 0);
    {
        std::fstream file(memory, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(0xE6050008);
        file.write("\x01\x02\x03\x04", 4);
    }
    auto registers = Platform::PhysicalMemory::map(0xE6050008, 4, true);
    ASSERT_TRUE(registers.isMapped());
    EXPECT_EQ(registers.read32(0), 0x04030201U);
    registers.write32(0, registers.read32(0) & ~0x100U);
    registers.unmap();

    std::ifstream file(memory, std::ios::binary);
    file.seekg(0xE6050008);
    char bytes[4];
    file.read(bytes, 4);
    EXPECT_EQ(bytes[1], 0x02 & ~0x01);

    // Beyond the end of the file the mapping is refused instead of faulting later.
    EXPECT_FALSE(Platform::PhysicalMemory::map(0xE6060000, 4, false).isMapped());
}

TEST(ServicesTest, NamesLinksAndSystemLogLiveBeneathTheUnitRoot) {
    const TemporaryUnitRoot root;
    EXPECT_TRUE(Platform::LocalNames::attach("Bootloader"));
    EXPECT_EQ(root.readFile("/dev/name/local/Bootloader"), std::to_string(getpid()) + "\n");

    root.writeFile("/tmp/graphics-800x480.conf", "video-mode = 800 x 480 @ 60\n");
    ASSERT_EQ(Platform::ProcessManager::symlink("/tmp/graphics-800x480.conf", "/tmp/graphics.conf"),
              0);
    root.writeFile("/tmp/other.conf", "other\n");
    ASSERT_EQ(Platform::ProcessManager::symlink("/tmp/other.conf", "/tmp/graphics.conf"), 0);
    EXPECT_EQ(std::filesystem::read_symlink(root.path() + "/tmp/graphics.conf"),
              root.path() + "/tmp/other.conf");
    EXPECT_EQ(root.readFile("/tmp/graphics.conf"), "other\n");
    // Links live in the process manager's name space, which needs no folders on the way.
    ASSERT_EQ(Platform::ProcessManager::symlink("/tmp/other.conf", "/usr/sbin/telnetd"), 0);
    EXPECT_EQ(root.readFile("/usr/sbin/telnetd"), "other\n");

    Platform::SystemLog::writef(12345, 6, "Bootloader: %s %d", "started", 3);
    Platform::SystemLog::write(12345, 6, "HardwareManager: Shutdown M2");
    EXPECT_EQ(root.readFile("/var/log/slog"),
              "12345 6 Bootloader: started 3\n12345 6 HardwareManager: Shutdown M2\n");
}

TEST(ProcessTest, RunsShellCommandsAndSpawnsPrograms) {
    const int status = Platform::Process::system("exit 3");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(status, 768);

    const char* const argv[] = {"true", nullptr};
    EXPECT_EQ(Platform::Process::spawn(Platform::Process::SpawnMode::wait, "/bin/true", argv), 0);
    const int child =
        Platform::Process::spawn(Platform::Process::SpawnMode::noWait, "/bin/true", argv);
    EXPECT_GT(child, 0);
    int childStatus = -1;
    EXPECT_EQ(waitpid(child, &childStatus, 0), child);
    EXPECT_EQ(Platform::Process::spawn(Platform::Process::SpawnMode::noWait, "/nonexistent", argv),
              -1);
}

TEST(ProcessTest, KeepsAPriorityPerThread) {
    EXPECT_EQ(Platform::Process::getPriority(), Platform::Process::defaultPriority);
    EXPECT_EQ(Platform::Process::setPriority(8), Platform::Process::defaultPriority);
    std::thread([] { EXPECT_EQ(Platform::Process::getPriority(), 10); }).join();
    EXPECT_EQ(Platform::Process::setPriority(0), -1);
    EXPECT_EQ(Platform::Process::setPriority(10), 8);
}

TEST(WaitforTest, PollsThroughTheClockSeam) {
    const TemporaryUnitRoot root;
    Platform::Testkit::FakeClock clock;
    const std::string path = root.prepare("/dev/late");
    clock.onAdvance([&](Platform::Clock::Duration now) {
        if (now >= std::chrono::milliseconds(700)) {
            TestSupport::writeHostFile(path, "");
        }
    });
    EXPECT_EQ(Platform::waitfor(path, 3000, 100), 0);
    EXPECT_EQ(clock.slept(), std::chrono::milliseconds(700));

    EXPECT_EQ(Platform::waitfor(root.path() + "/dev/never", 3000, 100), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_EQ(clock.slept(), std::chrono::milliseconds(3700));

    EXPECT_EQ(Platform::waitfor(path, 0, 100), 0);
}

TEST(FileSyncTest, SyncsTheFileSystemHoldingAnExistingPath) {
    const TemporaryUnitRoot root;
    root.writeFile("/fs/etfs/app/file", "data");
    Platform::FileSync::startWriteback(root.path() + "/fs/etfs/app/file");
    EXPECT_TRUE(Platform::FileSync::syncFileSystem(root.path() + "/fs/etfs/app"));
    EXPECT_FALSE(Platform::FileSync::syncFileSystem(root.path() + "/fs/etfs/missing"));
}

TEST(FileSyncTest, StartingWritebackOnANamedPipeReturnsAtOnce) {
    const TemporaryUnitRoot root;
    const std::string pipe = root.prepare("/fs/etfs/app/pipe");
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    // Opening it for reading would wait for a writer for ever.
    Platform::FileSync::startWriteback(pipe);
    EXPECT_TRUE(Platform::FileSync::syncFileSystem(pipe));
}

}  // namespace
