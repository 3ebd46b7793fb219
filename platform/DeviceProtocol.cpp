#include "platform/DeviceProtocol.h"

#include <sys/socket.h>

#include <cerrno>

namespace Platform::DeviceProtocol {
namespace {

void putWord(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

std::uint32_t getWord(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8U |
           static_cast<std::uint32_t>(bytes[2]) << 16U |
           static_cast<std::uint32_t>(bytes[3]) << 24U;
}

int sendAll(int socket, std::span<const std::uint8_t> bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t count = send(socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        sent += static_cast<std::size_t>(count);
    }
    return 0;
}

int receiveAll(int socket, std::uint8_t* bytes, std::size_t size) {
    std::size_t received = 0;
    while (received < size) {
        const ssize_t count = recv(socket, bytes + received, size - received, 0);
        if (count == 0) {
            return EPIPE;
        }
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        received += static_cast<std::size_t>(count);
    }
    return 0;
}

int sendMessage(int socket, std::span<const std::uint32_t> words,
                std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> message;
    message.reserve(words.size() * 4 + 4 + data.size());
    for (const std::uint32_t word : words) {
        putWord(message, word);
    }
    putWord(message, static_cast<std::uint32_t>(data.size()));
    message.insert(message.end(), data.begin(), data.end());
    return sendAll(socket, message);
}

int receiveData(int socket, std::uint32_t length, std::vector<std::uint8_t>& data) {
    if (length > maximumDataLength) {
        return EPROTO;
    }
    data.resize(length);
    return receiveAll(socket, data.data(), data.size());
}

}  // namespace

int sendRequest(int socket, std::uint32_t operation, std::uint32_t argument,
                std::span<const std::uint8_t> data) {
    if (data.size() > maximumDataLength) {
        return EMSGSIZE;
    }
    const std::uint32_t words[] = {operation, argument};
    return sendMessage(socket, words, data);
}

int receiveRequest(int socket, Request& request) {
    std::uint8_t header[12];
    if (const int error = receiveAll(socket, header, sizeof header); error != 0) {
        return error;
    }
    request.operation = getWord(header);
    request.argument = getWord(header + 4);
    return receiveData(socket, getWord(header + 8), request.data);
}

int sendReply(int socket, std::int32_t result, std::span<const std::uint8_t> data) {
    if (data.size() > maximumDataLength) {
        return EMSGSIZE;
    }
    const std::uint32_t words[] = {static_cast<std::uint32_t>(result)};
    return sendMessage(socket, words, data);
}

int receiveReply(int socket, Reply& reply) {
    std::uint8_t header[8];
    if (const int error = receiveAll(socket, header, sizeof header); error != 0) {
        return error;
    }
    reply.result = static_cast<std::int32_t>(getWord(header));
    return receiveData(socket, getWord(header + 4), reply.data);
}

}  // namespace Platform::DeviceProtocol
