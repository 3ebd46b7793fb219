#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// Encoding and checking of single link frames: header checksum, the 16-bit CRC, escaping and
// the four link-establishment frames. No state.
namespace Boot::Bluetooth::BcspFrame {

inline constexpr std::uint8_t delimiter = 0xC0;
inline constexpr std::uint8_t escape = 0xDB;
inline constexpr std::uint8_t escapedDelimiter = 0xDC;
inline constexpr std::uint8_t escapedEscape = 0xDD;
inline constexpr std::size_t headerSize = 4;
inline constexpr std::size_t crcSize = 2;
// Header, payload and CRC of the longest frame the decoder keeps.
inline constexpr std::size_t maximumFrameSize = 3444;
inline constexpr unsigned establishmentChannel = 1;

using EncodedEstablishment = std::array<std::uint8_t, 12>;
inline constexpr EncodedEstablishment syncFrame = {0xC0, 0x40, 0x41, 0x00, 0x7E, 0xDA,
                                                   0xDC, 0xED, 0xED, 0xA9, 0x7A, 0xC0};
inline constexpr EncodedEstablishment syncResponseFrame = {0xC0, 0x40, 0x41, 0x00, 0x7E, 0xAC,
                                                           0xAF, 0xEF, 0xEE, 0xBB, 0x84, 0xC0};
inline constexpr EncodedEstablishment confFrame = {0xC0, 0x40, 0x41, 0x00, 0x7E, 0xAD,
                                                   0xEF, 0xAC, 0xED, 0xA1, 0xA6, 0xC0};
inline constexpr EncodedEstablishment confResponseFrame = {0xC0, 0x40, 0x41, 0x00, 0x7E, 0xDE,
                                                           0xAD, 0xD0, 0xD0, 0x83, 0x58, 0xC0};

// Complement of the sum of the first three header bytes.
std::uint8_t headerChecksum(std::uint8_t byte0, std::uint8_t byte1, std::uint8_t byte2);
// The CRC as sent: computed over `bytes`, then bit-reversed.
std::uint16_t crc(std::span<const std::uint8_t> bytes);

struct Header {
    unsigned seq = 0;
    unsigned ack = 0;
    bool crcPresent = false;
    bool reliable = false;
    unsigned channel = 0;
    std::size_t payloadLength = 0;
};
Header decodeHeader(std::span<const std::uint8_t, headerSize> header);

// The worst-case size of an encoded frame with `payloadLength` payload bytes.
constexpr std::size_t encodedCapacity(std::size_t payloadLength) {
    return 2 * (headerSize + payloadLength + crcSize) + 2;
}
// Writes a complete frame (delimiters, escaped header, payload and CRC when `withCrc`) into
// `out`, which holds at least encodedCapacity(payload.size()) bytes; returns its size.
std::size_t encode(std::uint8_t headerByte0, unsigned channel,
                   std::span<const std::uint8_t> payload, bool withCrc, std::uint8_t* out);
std::vector<std::uint8_t> encode(std::uint8_t headerByte0, unsigned channel,
                                 std::span<const std::uint8_t> payload, bool withCrc);

// Result of the integrity check of one unescaped frame (header, payload, CRC when present).
struct Check {
    bool passed = false;
    bool sequenceMismatch = false;
    Header header;
    std::uint8_t computedChecksum = 0;
    std::uint8_t receivedChecksum = 0;
    std::size_t receivedPayloadLength = 0;
    std::uint16_t receivedCrc = 0;
    std::uint16_t computedCrc = 0;
};
// Channels 2 and above must carry `expectedSeq`; channels 0 and 1 are not sequence-checked.
Check check(std::span<const std::uint8_t> frame, unsigned expectedSeq);

}  // namespace Boot::Bluetooth::BcspFrame
