#include "platform/SerialPort.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <utility>

namespace Platform {
namespace {

struct Rate {
    int baudRate;
    speed_t speed;
};

constexpr std::array<Rate, 5> rates{{
    {9600, B9600},
    {19200, B19200},
    {38400, B38400},
    {57600, B57600},
    {115200, B115200},
}};

}  // namespace

SerialPort::SerialPort(SerialPort&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)) {}

SerialPort& SerialPort::operator=(SerialPort&& other) noexcept {
    if (this != &other) {
        close();
        descriptor_ = std::exchange(other.descriptor_, -1);
    }
    return *this;
}

SerialPort::~SerialPort() {
    close();
}

SerialPort SerialPort::open(const std::string& hostPath, int baudRate) {
    const auto* rate = std::ranges::find(rates, baudRate, &Rate::baudRate);
    if (rate == rates.end()) {
        return {};
    }
    SerialPort port(::open(hostPath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!port.isOpen()) {
        return port;
    }
    // Settings the line refuses are left as the line has them: a pseudo-terminal works on.
    termios settings{};
    tcgetattr(port.descriptor_, &settings);
    if (cfgetispeed(&settings) != rate->speed) {
        cfsetispeed(&settings, rate->speed);
    }
    if (cfgetospeed(&settings) != rate->speed) {
        cfsetospeed(&settings, rate->speed);
    }
    settings.c_cflag |= CRTSCTS;
    settings.c_iflag &= ~static_cast<tcflag_t>(IMAXBEL);
    settings.c_oflag &= ~static_cast<tcflag_t>(ONLCR);
    tcsetattr(port.descriptor_, TCSANOW, &settings);
    tcsetattr(port.descriptor_, TCSAFLUSH, &settings);
    return port;
}

SerialPort SerialPort::adopt(int descriptor) {
    return SerialPort(descriptor);
}

bool SerialPort::setEvenParity(bool on) {
    termios settings{};
    if (tcgetattr(descriptor_, &settings) != 0) {
        return false;
    }
    if (on) {
        settings.c_cflag |= PARENB;
    } else {
        settings.c_cflag &= ~static_cast<tcflag_t>(PARENB);
    }
    return tcsetattr(descriptor_, TCSAFLUSH, &settings) == 0;
}

long SerialPort::write(const void* data, std::size_t size) {
    return static_cast<long>(::write(descriptor_, data, size));
}

std::size_t SerialPort::read(void* buffer, std::size_t size, int timeoutMilliseconds) {
    pollfd pending{descriptor_, POLLIN, 0};
    if (poll(&pending, 1, timeoutMilliseconds) != 1 ||
        (static_cast<unsigned>(pending.revents) & POLLIN) == 0) {
        return 0;
    }
    return static_cast<std::size_t>(std::max<ssize_t>(0, ::read(descriptor_, buffer, size)));
}

bool SerialPort::discardInputAfterDraining() {
    const bool drained = tcdrain(descriptor_) == 0;
    return tcflush(descriptor_, TCIOFLUSH) == 0 && drained;
}

void SerialPort::close() {
    if (descriptor_ >= 0) {
        ::close(descriptor_);
        descriptor_ = -1;
    }
}

}  // namespace Platform
