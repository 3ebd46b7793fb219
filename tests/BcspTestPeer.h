#pragma once

// The chip's end of a serial line for link and download tests: a socket pair whose other end
// the link under test uses, with the test's own frame escaping and parsing so that the link's
// encoder and decoder are checked against an independent reading of the wire.
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "boot/bluetooth/BcspFrame.h"
#include "platform/SerialPort.h"

namespace BcspTestPeer {

// One frame as received, unescaped: header, payload and CRC when present.
struct Frame {
    std::vector<std::uint8_t> bytes;

    unsigned seq() const { return bytes.at(0) & 0x7U; }
    unsigned ack() const { return (bytes.at(0) >> 3U) & 0x7U; }
    bool hasCrc() const { return (bytes.at(0) & 0x40U) != 0; }
    unsigned channel() const { return bytes.at(1) & 0xFU; }
    std::vector<std::uint8_t> payload() const {
        const std::size_t end = bytes.size() - (hasCrc() ? 2 : 0);
        return {bytes.begin() + 4, bytes.begin() + static_cast<std::ptrdiff_t>(end)};
    }
};

// Each frame between its own pair of delimiters, unescaped.
inline std::vector<Frame> parseWire(std::span<const std::uint8_t> wire) {
    std::vector<Frame> frames;
    bool inside = false;
    bool escaped = false;
    Frame current;
    for (const std::uint8_t byte : wire) {
        if (byte == 0xC0) {
            // A delimiter closes a frame that has bytes, and otherwise opens one.
            if (inside && !current.bytes.empty()) {
                frames.push_back(current);
                inside = false;
            } else {
                inside = true;
            }
            current.bytes.clear();
            escaped = false;
        } else if (!inside) {
            continue;
        } else if (escaped) {
            current.bytes.push_back(byte == 0xDC ? 0xC0 : 0xDB);
            escaped = false;
        } else if (byte == 0xDB) {
            escaped = true;
        } else {
            current.bytes.push_back(byte);
        }
    }
    return frames;
}

inline void appendEscaped(std::vector<std::uint8_t>& wire, std::uint8_t byte) {
    if (byte == 0xC0) {
        wire.insert(wire.end(), {0xDB, 0xDC});
    } else if (byte == 0xDB) {
        wire.insert(wire.end(), {0xDB, 0xDD});
    } else {
        wire.push_back(byte);
    }
}

// A complete wire frame; the CRC comes from the link's CRC function, which the establishment
// frames pin down.
inline std::vector<std::uint8_t> encodeFrame(std::uint8_t headerByte0, unsigned channel,
                                             std::span<const std::uint8_t> payload,
                                             bool withCrc = true) {
    std::vector<std::uint8_t> unescaped = {
        headerByte0, static_cast<std::uint8_t>(channel | (payload.size() & 0xFU) << 4U),
        static_cast<std::uint8_t>(payload.size() >> 4U)};
    unescaped.push_back(static_cast<std::uint8_t>(~(unescaped[0] + unescaped[1] + unescaped[2])));
    unescaped.insert(unescaped.end(), payload.begin(), payload.end());
    if (withCrc) {
        const std::uint16_t crc = Boot::Bluetooth::BcspFrame::crc(unescaped);
        unescaped.push_back(static_cast<std::uint8_t>(crc >> 8U));
        unescaped.push_back(static_cast<std::uint8_t>(crc & 0xFFU));
    }
    std::vector<std::uint8_t> wire = {0xC0};
    for (const std::uint8_t byte : unescaped) {
        appendEscaped(wire, byte);
    }
    wire.push_back(0xC0);
    return wire;
}

// Header byte 0 of a reliable packet with CRC.
inline std::uint8_t reliableHeader(unsigned seq, unsigned ack) {
    return static_cast<std::uint8_t>(0xC0U | ack << 3U | seq);
}

class Peer {
public:
    Peer() {
        std::array<int, 2> ends{};
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends.data()) == 0) {
            loader_ = Platform::SerialPort::adopt(ends[0]);
            chip_ = ends[1];
        }
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    Peer(Peer&&) = delete;
    Peer& operator=(Peer&&) = delete;
    ~Peer() { ::close(chip_); }

    // The line as the link under test uses it.
    Platform::SerialPort& loaderPort() { return loader_; }

    // Everything the loader has written so far.
    std::vector<std::uint8_t> readWire() const {
        std::vector<std::uint8_t> wire;
        std::array<std::uint8_t, 4096> buffer{};
        ssize_t count = 0;
        while ((count = ::recv(chip_, buffer.data(), buffer.size(), MSG_DONTWAIT)) > 0) {
            wire.insert(wire.end(), buffer.begin(), buffer.begin() + count);
        }
        return wire;
    }
    std::vector<Frame> readFrames() const { return parseWire(readWire()); }

    void write(std::span<const std::uint8_t> bytes) const {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t count = ::send(chip_, bytes.data() + done, bytes.size() - done, 0);
            if (count <= 0) {
                return;
            }
            done += static_cast<std::size_t>(count);
        }
    }
    void sendPacket(unsigned seq, unsigned ack, unsigned channel,
                    std::span<const std::uint8_t> payload) const {
        write(encodeFrame(reliableHeader(seq, ack), channel, payload));
    }

private:
    Platform::SerialPort loader_;
    int chip_ = -1;
};

}  // namespace BcspTestPeer
