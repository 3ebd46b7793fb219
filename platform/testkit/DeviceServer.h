#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace Platform::Testkit {

// Serves a device path as a Unix-domain socket speaking the driver protocol, for stand-in
// drivers in tests and in the simulated unit. Each connection is served on its own thread, so
// a read handler may block until it has something to return.
class DeviceServer {
public:
    struct Handlers {
        // Fills `out` with at most `wanted` bytes; returns the count or -errno.
        std::function<std::int32_t(std::uint32_t wanted, std::vector<std::uint8_t>& out)> read{};
        // Returns the number of bytes accepted or -errno.
        std::function<std::int32_t(std::span<const std::uint8_t> data)> write{};
        // May change `data` in place (it is sent back); returns 0 or an errno value.
        std::function<std::int32_t(std::uint32_t command, std::vector<std::uint8_t>& data)>
            devctl{};
        // Called first by stop(), to release read handlers that are blocked.
        std::function<void()> onStop{};
    };

    // Binds and listens at `hostPath`, which must not exist. Throws std::system_error when the
    // socket cannot be made.
    DeviceServer(std::string hostPath, Handlers handlers);
    DeviceServer(const DeviceServer&) = delete;
    DeviceServer& operator=(const DeviceServer&) = delete;
    DeviceServer(DeviceServer&&) = delete;
    DeviceServer& operator=(DeviceServer&&) = delete;
    ~DeviceServer();

    // Closes every connection, joins the threads and removes the socket path.
    void stop();
    const std::string& path() const { return path_; }

private:
    void acceptConnections();
    void joinFinishedServers();
    void serve(int connection);

    std::string path_;
    Handlers handlers_;
    int listener_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::thread acceptor_;
    std::mutex mutex_;
    std::vector<int> connections_;
    std::list<std::thread> servers_;
    std::vector<std::thread::id> finishedServers_;  // ended, not yet joined
    bool stopped_ = false;
};

}  // namespace Platform::Testkit
