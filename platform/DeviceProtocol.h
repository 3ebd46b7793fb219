#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// The request/reply protocol between the program and a driver that serves a device path as a
// Unix-domain stream socket. All integers are little-endian.
//   request: op u32 | arg u32 | len u32 | len bytes
//   reply:   result i32 | len u32 | len bytes
namespace Platform::DeviceProtocol {

enum class Operation : std::uint32_t { read = 1, write = 2, devctl = 3 };

// Largest data part accepted in either direction; guards both ends against a runaway length.
inline constexpr std::uint32_t maximumDataLength = 16U * 1024U * 1024U;

struct Request {
    std::uint32_t operation = 0;
    std::uint32_t argument = 0;
    std::vector<std::uint8_t> data;
};

struct Reply {
    std::int32_t result = 0;
    std::vector<std::uint8_t> data;
};

// Each returns 0 on success or an errno value (EPIPE when the peer closed the connection,
// EPROTO when it sent a length above the maximum).
[[nodiscard]] int sendRequest(int socket, std::uint32_t operation, std::uint32_t argument,
                              std::span<const std::uint8_t> data);
[[nodiscard]] int receiveRequest(int socket, Request& request);
[[nodiscard]] int sendReply(int socket, std::int32_t result, std::span<const std::uint8_t> data);
[[nodiscard]] int receiveReply(int socket, Reply& reply);

}  // namespace Platform::DeviceProtocol
