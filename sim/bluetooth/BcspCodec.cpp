#include "sim/bluetooth/BcspCodec.h"

#include <array>

namespace Sim {
namespace {

constexpr std::uint8_t delimiterByte = 0xC0;
constexpr std::uint8_t escapeByte = 0xDB;
constexpr std::uint8_t escapedDelimiter = 0xDC;
constexpr std::uint8_t escapedEscape = 0xDD;
constexpr std::size_t headerSize = 4;
constexpr std::size_t crcSize = 2;
constexpr std::size_t longestContent = headerSize + maximumPayload + crcSize;

constexpr std::array<std::uint16_t, 16> crcTable = {0x0000, 0x1081, 0x2102, 0x3183, 0x4204, 0x5285,
                                                    0x6306, 0x7387, 0x8408, 0x9489, 0xA50A, 0xB58B,
                                                    0xC60C, 0xD68D, 0xE70E, 0xF78F};

std::uint16_t crcStep(std::uint16_t crc, unsigned nibble) {
    return static_cast<std::uint16_t>((crc >> 4U) ^ crcTable[(crc ^ nibble) & 0xFU]);
}

std::uint16_t reverseBits(std::uint16_t value) {
    std::uint16_t reversed = 0;
    for (unsigned bit = 0; bit < 16; ++bit) {
        reversed = static_cast<std::uint16_t>((unsigned{reversed} << 1U) |
                                              ((unsigned{value} >> bit) & 1U));
    }
    return reversed;
}

std::uint8_t headerChecksum(std::span<const std::uint8_t> header) {
    return static_cast<std::uint8_t>(~(header[0] + header[1] + header[2]));
}

}  // namespace

std::uint16_t bcspCrc(std::span<const std::uint8_t> bytes) {
    std::uint16_t crc = 0xFFFF;
    for (const std::uint8_t byte : bytes) {
        crc = crcStep(crc, byte & 0xFU);
        crc = crcStep(crc, static_cast<unsigned>(byte >> 4U));
    }
    return reverseBits(crc);
}

std::vector<std::uint8_t> frameContent(const BcspPacket& packet) {
    const std::size_t length = packet.payload.size();
    std::vector<std::uint8_t> content;
    content.reserve(headerSize + length + crcSize);
    content.push_back(
        static_cast<std::uint8_t>((packet.sequence & 7U) | ((packet.acknowledgement & 7U) << 3U) |
                                  (packet.hasCrc ? 0x40U : 0U) | (packet.reliable ? 0x80U : 0U)));
    content.push_back(static_cast<std::uint8_t>((packet.channel & 0xFU) | ((length & 0xFU) << 4U)));
    content.push_back(static_cast<std::uint8_t>((length >> 4U) & 0xFFU));
    content.push_back(headerChecksum(content));
    content.insert(content.end(), packet.payload.begin(), packet.payload.end());
    if (packet.hasCrc) {
        const std::uint16_t crc = bcspCrc(content);
        content.push_back(static_cast<std::uint8_t>(crc >> 8U));
        content.push_back(static_cast<std::uint8_t>(crc & 0xFFU));
    }
    return content;
}

std::vector<std::uint8_t> slipEncode(std::span<const std::uint8_t> content) {
    std::vector<std::uint8_t> frame;
    frame.reserve(content.size() + content.size() / 8 + 2);
    frame.push_back(delimiterByte);
    for (const std::uint8_t byte : content) {
        if (byte == delimiterByte) {
            frame.push_back(escapeByte);
            frame.push_back(escapedDelimiter);
        } else if (byte == escapeByte) {
            frame.push_back(escapeByte);
            frame.push_back(escapedEscape);
        } else {
            frame.push_back(byte);
        }
    }
    frame.push_back(delimiterByte);
    return frame;
}

std::optional<BcspPacket> parseFrame(std::span<const std::uint8_t> content) {
    if (content.size() < headerSize || headerChecksum(content) != content[3]) {
        return std::nullopt;
    }
    BcspPacket packet;
    packet.sequence = content[0] & 7U;
    packet.acknowledgement = (content[0] >> 3U) & 7U;
    packet.hasCrc = (content[0] & 0x40U) != 0;
    packet.reliable = (content[0] & 0x80U) != 0;
    packet.channel = content[1] & 0xFU;
    const std::size_t length = (std::size_t{content[2]} << 4U) | (content[1] >> 4U);
    const std::size_t trailer = packet.hasCrc ? crcSize : 0;
    if (content.size() != headerSize + length + trailer) {
        return std::nullopt;
    }
    if (packet.hasCrc) {
        const auto received =
            static_cast<std::uint16_t>((content[content.size() - 2] << 8U) | content.back());
        if (bcspCrc(content.first(content.size() - crcSize)) != received) {
            return std::nullopt;
        }
    }
    const auto payload = content.subspan(headerSize, length);
    packet.payload.assign(payload.begin(), payload.end());
    return packet;
}

std::optional<std::vector<std::uint8_t>> SlipDecoder::feed(std::uint8_t byte) {
    if (position_ == Position::Hunting) {
        if (byte == delimiterByte) {
            position_ = Position::Starting;
        }
        return std::nullopt;
    }
    if (byte == delimiterByte) {
        if (position_ == Position::Starting) {
            return std::nullopt;
        }
        std::optional<std::vector<std::uint8_t>> frame;
        if (!overlong_) {
            frame = std::move(content_);
        }
        content_.clear();
        escaped_ = false;
        overlong_ = false;
        position_ = Position::Hunting;
        return frame;
    }
    position_ = Position::Inside;
    if (byte == escapeByte) {
        escaped_ = true;
        return std::nullopt;
    }
    if (escaped_) {
        escaped_ = false;
        // An escape followed by anything else is a line error: the frame then fails its checks.
        byte = byte == escapedDelimiter ? delimiterByte : byte == escapedEscape ? escapeByte : byte;
    }
    if (content_.size() == longestContent) {
        overlong_ = true;
        content_.clear();
    }
    if (!overlong_) {
        content_.push_back(byte);
    }
    return std::nullopt;
}

}  // namespace Sim
