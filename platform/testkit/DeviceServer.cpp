#include "platform/testkit/DeviceServer.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>

#include "platform/DeviceProtocol.h"

namespace Platform::Testkit {
namespace {

using DeviceProtocol::Operation;

std::int32_t dispatch(const DeviceServer::Handlers& handlers, DeviceProtocol::Request& request,
                      std::vector<std::uint8_t>& replyData) {
    switch (static_cast<Operation>(request.operation)) {
        case Operation::read:
            return handlers.read ? handlers.read(request.argument, replyData) : -ENOSYS;
        case Operation::write:
            return handlers.write ? handlers.write(request.data) : -ENOSYS;
        case Operation::devctl: {
            if (!handlers.devctl) {
                return ENOSYS;
            }
            const std::int32_t result = handlers.devctl(request.argument, request.data);
            replyData = std::move(request.data);
            return result;
        }
    }
    return -EINVAL;
}

}  // namespace

DeviceServer::DeviceServer(std::string hostPath, Handlers handlers)
    : path_(std::move(hostPath)), handlers_(std::move(handlers)) {
    // The socket is bound and listening under a name of its own before it takes the device's
    // path: a client that finds the path can connect at once, as it could to a real driver.
    const std::string unlisted = path_ + "." + std::to_string(getpid()) + ".new";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (unlisted.size() >= sizeof address.sun_path) {
        throw std::system_error(ENAMETOOLONG, std::generic_category(), path_);
    }
    std::memcpy(address.sun_path, unlisted.c_str(), unlisted.size() + 1);
    listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0 ||
        bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        const int error = errno;
        if (listener_ >= 0) {
            close(listener_);
        }
        throw std::system_error(error, std::generic_category(), "device server at " + path_);
    }
    if (listen(listener_, 16) != 0 ||
        renameat2(AT_FDCWD, unlisted.c_str(), AT_FDCWD, path_.c_str(), RENAME_NOREPLACE) != 0) {
        const int error = errno;
        std::remove(unlisted.c_str());
        close(listener_);
        throw std::system_error(error, std::generic_category(), "device server at " + path_);
    }
    int wake[2];
    if (pipe2(wake, O_CLOEXEC) != 0) {
        const int error = errno;
        close(listener_);
        std::remove(path_.c_str());
        throw std::system_error(error, std::generic_category(), "device server pipe");
    }
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];
    acceptor_ = std::thread([this] { acceptConnections(); });
}

DeviceServer::~DeviceServer() {
    stop();
}

void DeviceServer::stop() {
    {
        const std::lock_guard lock(mutex_);
        if (stopped_) {
            return;
        }
        stopped_ = true;
    }
    if (handlers_.onStop) {
        handlers_.onStop();
    }
    const char wake = 1;
    [[maybe_unused]] const ssize_t written = write(wakeWrite_, &wake, 1);
    acceptor_.join();
    {
        const std::lock_guard lock(mutex_);
        for (const int connection : connections_) {
            shutdown(connection, SHUT_RDWR);
        }
    }
    for (std::thread& server : servers_) {
        server.join();
    }
    close(listener_);
    close(wakeRead_);
    close(wakeWrite_);
    std::remove(path_.c_str());
}

void DeviceServer::acceptConnections() {
    for (;;) {
        pollfd watched[] = {{listener_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        if (poll(watched, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if ((watched[1].revents & POLLIN) != 0) {
            return;
        }
        const int connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) {
            continue;
        }
        joinFinishedServers();
        const std::lock_guard lock(mutex_);
        connections_.push_back(connection);
        servers_.emplace_back([this, connection] { serve(connection); });
    }
}

void DeviceServer::joinFinishedServers() {
    // A driver that lives long sees many short connections: their threads are joined as new
    // ones come, not kept (each with its stack) until the server stops.
    std::list<std::thread> finished;
    {
        const std::lock_guard lock(mutex_);
        for (const std::thread::id id : finishedServers_) {
            const auto found =
                std::find_if(servers_.begin(), servers_.end(),
                             [id](const std::thread& server) { return server.get_id() == id; });
            if (found != servers_.end()) {
                finished.splice(finished.end(), servers_, found);
            }
        }
        finishedServers_.clear();
    }
    for (std::thread& server : finished) {
        server.join();
    }
}

void DeviceServer::serve(int connection) {
    DeviceProtocol::Request request;
    std::vector<std::uint8_t> replyData;
    while (DeviceProtocol::receiveRequest(connection, request) == 0) {
        replyData.clear();
        const std::int32_t result = dispatch(handlers_, request, replyData);
        if (DeviceProtocol::sendReply(connection, result, replyData) != 0) {
            break;
        }
    }
    // The descriptor is closed only here, after stop() can no longer shut it down.
    const std::lock_guard lock(mutex_);
    std::erase(connections_, connection);
    close(connection);
    finishedServers_.push_back(std::this_thread::get_id());
}

}  // namespace Platform::Testkit
