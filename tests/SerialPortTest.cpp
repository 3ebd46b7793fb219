// The serial line as the Bluetooth installer uses it, on a pseudo-terminal as the simulated unit
// provides one: its set-up, reads that wait at most their time-out, and the flush of stale input.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <string>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "platform/SerialPort.h"

namespace {

using Platform::SerialPort;

class SerialPortTest : public ::testing::Test {
protected:
    SerialPortTest() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) {
            symlink(ptsname(master_), portPath_.c_str());
        }
    }
    ~SerialPortTest() override { close(master_); }

    // The line's settings, as the module's end of it sees them.
    termios settings() const {
        termios current{};
        tcgetattr(master_, &current);
        return current;
    }
    // Bytes pass unchanged and one at a time, whatever the port set up.
    void makeRaw() const {
        termios raw = settings();
        cfmakeraw(&raw);
        tcsetattr(master_, TCSANOW, &raw);
    }
    void send(const std::string& bytes) const {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    std::string receive(std::size_t count) const {
        std::string bytes(count, '\0');
        const ssize_t received = read(master_, bytes.data(), count);
        bytes.resize(static_cast<std::size_t>(std::max<ssize_t>(received, 0)));
        return bytes;
    }
    static std::string readFrom(SerialPort& port, int timeoutMilliseconds) {
        std::array<char, 64> buffer{};
        return {buffer.data(), port.read(buffer.data(), buffer.size(), timeoutMilliseconds)};
    }

    TestSupport::TemporaryUnitRoot root;
    std::string portPath_ = root.prepare("/dev/ser1");
    int master_ = -1;
};

TEST_F(SerialPortTest, SetsUpFlowControlWithoutNewlineTranslationAndCarriesBytesBothWays) {
    SerialPort port = SerialPort::open(portPath_, 115200);
    ASSERT_TRUE(port.isOpen());
    const termios applied = settings();
    EXPECT_NE(applied.c_cflag & CRTSCTS, 0U);
    EXPECT_EQ(applied.c_iflag & IMAXBEL, 0U);
    EXPECT_EQ(applied.c_oflag & ONLCR, 0U);

    // A line end leaves as it is: the module's commands end in "\r\n", not "\r\r\n".
    const std::string reset = "\r\nRESET\r\n";
    EXPECT_EQ(port.write(reset.data(), reset.size()), static_cast<long>(reset.size()));
    EXPECT_EQ(receive(64), reset);

    makeRaw();
    EXPECT_EQ(readFrom(port, 0), "") << "nothing has arrived";
    send("build 1234");
    EXPECT_EQ(readFrom(port, 5000), "build 1234");
}

TEST_F(SerialPortTest, ThrowsAwayInputThatArrivedBeforeTheFlush) {
    SerialPort port = SerialPort::open(portPath_, 115200);
    ASSERT_TRUE(port.isOpen());
    makeRaw();
    send("stale banner");
    EXPECT_TRUE(port.discardInputAfterDraining());
    EXPECT_EQ(readFrom(port, 0), "");
    send("fresh");
    EXPECT_EQ(readFrom(port, 5000), "fresh");
}

TEST_F(SerialPortTest, ReportsParityThatThePseudoTerminalRefuses) {
    SerialPort port = SerialPort::open(portPath_, 115200);
    ASSERT_TRUE(port.isOpen());
    EXPECT_TRUE(port.setEvenParity(false));
    EXPECT_FALSE(port.setEvenParity(true)) << "a pseudo-terminal refuses parity";
    EXPECT_EQ(settings().c_cflag & PARENB, 0U);
}

TEST_F(SerialPortTest, RefusesAMissingPortAndAnUnknownRate) {
    EXPECT_FALSE(SerialPort::open(root.path() + "/dev/ser2", 115200).isOpen());
    EXPECT_FALSE(SerialPort::open(portPath_, 115201).isOpen());
    EXPECT_TRUE(SerialPort::open(portPath_, 9600).isOpen());
}

TEST(SerialPortMoveTest, AMovedPortIsClosedOnceByItsLastOwner) {
    std::array<int, 2> ends{};
    ASSERT_EQ(pipe(ends.data()), 0);
    {
        SerialPort first = SerialPort::adopt(ends[1]);
        SerialPort second = std::move(first);
        EXPECT_EQ(second.write("x", 1), 1);
    }
    std::array<char, 2> buffer{};
    EXPECT_EQ(read(ends[0], buffer.data(), buffer.size()), 1);
    EXPECT_EQ(read(ends[0], buffer.data(), buffer.size()), 0) << "the writing end is closed";
    close(ends[0]);
}

}  // namespace
