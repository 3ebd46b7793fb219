#include "boot/bluetooth/BcspFrame.h"

namespace Boot::Bluetooth::BcspFrame {
namespace {

constexpr std::array<std::uint16_t, 16> crcTable = {
    0x0000, 0x1081, 0x2102, 0x3183, 0x4204, 0x5285, 0x6306, 0x7387,
    0x8408, 0x9489, 0xA50A, 0xB58B, 0xC60C, 0xD68D, 0xE70E, 0xF78F,
};

std::uint16_t crcNibble(std::uint16_t crc, unsigned nibble) {
    return static_cast<std::uint16_t>((crc >> 4U) ^ crcTable.at((crc ^ nibble) & 0xFU));
}

std::uint16_t crcRun(std::uint16_t crc, std::span<const std::uint8_t> bytes) {
    for (const std::uint8_t byte : bytes) {
        crc = crcNibble(crc, byte & 0xFU);
        crc = crcNibble(crc, static_cast<unsigned>(byte >> 4U));
    }
    return crc;
}

std::uint16_t reverseBits(std::uint16_t value) {
    std::uint16_t reversed = 0;
    for (int bit = 0; bit < 16; ++bit) {
        reversed = static_cast<std::uint16_t>(static_cast<unsigned>(reversed << 1U) | (value & 1U));
        value = static_cast<std::uint16_t>(value >> 1U);
    }
    return reversed;
}

// Appends one byte, escaped, at `out[size]`.
void putEscaped(std::uint8_t byte, std::uint8_t* out, std::size_t& size) {
    if (byte == delimiter) {
        out[size++] = escape;
        out[size++] = escapedDelimiter;
    } else if (byte == escape) {
        out[size++] = escape;
        out[size++] = escapedEscape;
    } else {
        out[size++] = byte;
    }
}

}  // namespace

std::uint8_t headerChecksum(std::uint8_t byte0, std::uint8_t byte1, std::uint8_t byte2) {
    return static_cast<std::uint8_t>(~(byte0 + byte1 + byte2));
}

std::uint16_t crc(std::span<const std::uint8_t> bytes) {
    return reverseBits(crcRun(0xFFFF, bytes));
}

Header decodeHeader(std::span<const std::uint8_t, headerSize> header) {
    Header decoded;
    decoded.seq = header[0] & 0x7U;
    decoded.ack = (header[0] >> 3U) & 0x7U;
    decoded.crcPresent = (header[0] & 0x40U) != 0;
    decoded.reliable = (header[0] & 0x80U) != 0;
    decoded.channel = header[1] & 0xFU;
    decoded.payloadLength = static_cast<std::size_t>(header[2]) * 16 + (header[1] >> 4U);
    return decoded;
}

std::size_t encode(std::uint8_t headerByte0, unsigned channel,
                   std::span<const std::uint8_t> payload, bool withCrc, std::uint8_t* out) {
    const std::size_t length = payload.size();
    std::array<std::uint8_t, headerSize> header = {
        headerByte0, static_cast<std::uint8_t>((channel & 0xFU) | ((length & 0xFU) << 4U)),
        static_cast<std::uint8_t>((length >> 4U) & 0xFFU), 0};
    header[3] = headerChecksum(header[0], header[1], header[2]);

    std::size_t size = 0;
    out[size++] = delimiter;
    for (const std::uint8_t byte : header) {
        putEscaped(byte, out, size);
    }
    for (const std::uint8_t byte : payload) {
        putEscaped(byte, out, size);
    }
    if (withCrc) {
        // The CRC runs over the header and the payload as they are before escaping.
        const std::uint16_t sent = reverseBits(crcRun(crcRun(0xFFFF, header), payload));
        putEscaped(static_cast<std::uint8_t>(sent >> 8U), out, size);
        putEscaped(static_cast<std::uint8_t>(sent & 0xFFU), out, size);
    }
    out[size++] = delimiter;
    return size;
}

std::vector<std::uint8_t> encode(std::uint8_t headerByte0, unsigned channel,
                                 std::span<const std::uint8_t> payload, bool withCrc) {
    std::vector<std::uint8_t> frame(encodedCapacity(payload.size()));
    frame.resize(encode(headerByte0, channel, payload, withCrc, frame.data()));
    return frame;
}

Check check(std::span<const std::uint8_t> frame, unsigned expectedSeq) {
    Check result;
    if (frame.size() < headerSize) {
        return result;
    }
    result.header = decodeHeader(frame.first<headerSize>());
    const std::size_t trailer = result.header.crcPresent ? crcSize : 0;
    if (frame.size() < headerSize + trailer) {
        return result;
    }
    result.computedChecksum = headerChecksum(frame[0], frame[1], frame[2]);
    result.receivedChecksum = frame[3];
    result.receivedPayloadLength = frame.size() - headerSize - trailer;
    bool crcMatches = true;
    if (result.header.crcPresent) {
        const std::size_t crcOffset = frame.size() - crcSize;
        result.receivedCrc =
            static_cast<std::uint16_t>(frame[crcOffset] << 8U | frame[crcOffset + 1]);
        result.computedCrc = crc(frame.first(crcOffset));
        crcMatches = result.receivedCrc == result.computedCrc;
    }
    result.sequenceMismatch = result.header.channel >= 2 && result.header.seq != expectedSeq;
    result.passed = result.computedChecksum == result.receivedChecksum &&
                    result.receivedPayloadLength == result.header.payloadLength && crcMatches &&
                    !result.sequenceMismatch;
    return result;
}

}  // namespace Boot::Bluetooth::BcspFrame
