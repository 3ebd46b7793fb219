#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace Platform {

// An open device: a driver's Unix-domain socket (one request and one reply per operation) or
// an ordinary file or terminal (serial ports are pseudo-terminals on the host). Move-only; the
// destructor closes it.
class Device {
public:
    Device() = default;
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;
    Device(Device&& other) noexcept;
    Device& operator=(Device&& other) noexcept;
    ~Device();

    // Opens the host path with open(2) flags (connects when it is a socket). On failure the
    // result is not open and openError() holds the errno value (ENAMETOOLONG for a socket path
    // that does not fit a socket address).
    [[nodiscard]] static Device open(const std::string& hostPath, int flags);
    // The same for reading and writing, as the program opens its drivers.
    [[nodiscard]] static Device open(const std::string& hostPath);

    bool isOpen() const { return handle_ >= 0; }
    bool isSocket() const { return socket_; }
    int openError() const { return openError_; }
    // The descriptor, for terminal calls on a serial port; -1 when not open.
    int nativeHandle() const { return handle_; }

    // As read(2) and write(2): a count, or -1 with errno set.
    [[nodiscard]] ssize_t read(void* buffer, std::size_t size);
    [[nodiscard]] ssize_t write(const void* data, std::size_t size);
    // As devctl: 0 (EOK) or an errno value. The driver's reply is copied back over `data`.
    [[nodiscard]] int devctl(std::uint32_t command, void* data, std::size_t size);

    // Shuts a socket connection down in both directions, so that an operation blocked on it in
    // another thread fails at once; the descriptor stays open until close(). Only a socket can
    // be shut down: false for anything else or when not open.
    [[nodiscard]] bool shutdown();
    void close();

private:
    Device(int handle, bool socket) : handle_(handle), socket_(socket) {}

    int handle_ = -1;
    bool socket_ = false;
    int openError_ = 0;
};

}  // namespace Platform
