#include "platform/Device.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <span>
#include <utility>

#include "platform/DeviceProtocol.h"

namespace Platform {
namespace {

int connectSocket(const std::string& path, int& error) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        error = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int handle = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (handle < 0) {
        error = errno;
        return -1;
    }
    if (connect(handle, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = errno;
        ::close(handle);
        return -1;
    }
    return handle;
}

}  // namespace

Device::Device(Device&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)),
      socket_(other.socket_),
      openError_(other.openError_) {}

Device& Device::operator=(Device&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, -1);
        socket_ = other.socket_;
        openError_ = other.openError_;
    }
    return *this;
}

Device::~Device() {
    close();
}

Device Device::open(const std::string& hostPath, int flags) {
    struct stat status {};
    if (stat(hostPath.c_str(), &status) == 0 && S_ISSOCK(status.st_mode)) {
        int error = 0;
        const int handle = connectSocket(hostPath, error);
        Device device(handle, true);
        device.openError_ = error;
        return device;
    }
    const int handle = ::open(hostPath.c_str(), flags | O_CLOEXEC);
    Device device(handle, false);
    device.openError_ = handle < 0 ? errno : 0;
    return device;
}

Device Device::open(const std::string& hostPath) {
    return open(hostPath, O_RDWR);
}

ssize_t Device::read(void* buffer, std::size_t size) {
    if (!socket_) {
        return ::read(handle_, buffer, size);
    }
    const auto wanted =
        static_cast<std::uint32_t>(std::min<std::size_t>(size, DeviceProtocol::maximumDataLength));
    DeviceProtocol::Reply reply;
    int error = DeviceProtocol::sendRequest(
        handle_, static_cast<std::uint32_t>(DeviceProtocol::Operation::read), wanted, {});
    if (error == 0) {
        error = DeviceProtocol::receiveReply(handle_, reply);
    }
    if (error == 0 && reply.result < 0) {
        error = -reply.result;
    }
    if (error == 0 && reply.data.size() > wanted) {
        error = EPROTO;
    }
    if (error != 0) {
        errno = error;
        return -1;
    }
    std::copy(reply.data.begin(), reply.data.end(), static_cast<std::uint8_t*>(buffer));
    return static_cast<ssize_t>(reply.data.size());
}

ssize_t Device::write(const void* data, std::size_t size) {
    if (!socket_) {
        return ::write(handle_, data, size);
    }
    DeviceProtocol::Reply reply;
    int error = DeviceProtocol::sendRequest(
        handle_, static_cast<std::uint32_t>(DeviceProtocol::Operation::write), 0,
        std::span(static_cast<const std::uint8_t*>(data), size));
    if (error == 0) {
        error = DeviceProtocol::receiveReply(handle_, reply);
    }
    if (error == 0 && reply.result < 0) {
        error = -reply.result;
    }
    if (error != 0) {
        errno = error;
        return -1;
    }
    return reply.result;
}

int Device::devctl(std::uint32_t command, void* data, std::size_t size) {
    if (handle_ < 0) {
        return EBADF;
    }
    if (!socket_) {
        return ENOTTY;
    }
    auto* bytes = static_cast<std::uint8_t*>(data);
    DeviceProtocol::Reply reply;
    int error = DeviceProtocol::sendRequest(
        handle_, static_cast<std::uint32_t>(DeviceProtocol::Operation::devctl), command,
        std::span<const std::uint8_t>(bytes, size));
    if (error == 0) {
        error = DeviceProtocol::receiveReply(handle_, reply);
    }
    if (error != 0) {
        return error;
    }
    std::copy_n(reply.data.begin(), std::min(reply.data.size(), size), bytes);
    return reply.result;
}

bool Device::shutdown() {
    return socket_ && handle_ >= 0 && ::shutdown(handle_, SHUT_RDWR) == 0;
}

void Device::close() {
    if (handle_ >= 0) {
        ::close(handle_);
        handle_ = -1;
    }
}

}  // namespace Platform
