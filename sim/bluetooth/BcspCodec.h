#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// The chip's own encoding and decoding of BCSP frames: a 4-byte header with its checksum, the
// payload, an optional CRC, SLIP framing with 0xC0 delimiters and 0xDB escapes.
namespace Sim {

struct BcspPacket {
    std::uint8_t sequence = 0;         // 0..7
    std::uint8_t acknowledgement = 0;  // 0..7
    bool reliable = false;
    bool hasCrc = true;
    std::uint8_t channel = 0;  // 0..15
    std::vector<std::uint8_t> payload;
};

// The link-establishment payloads carried on channel 1.
inline constexpr std::uint8_t syncPayload[] = {0xDA, 0xDC, 0xED, 0xED};
inline constexpr std::uint8_t syncResponsePayload[] = {0xAC, 0xAF, 0xEF, 0xEE};
inline constexpr std::uint8_t confPayload[] = {0xAD, 0xEF, 0xAC, 0xED};
inline constexpr std::uint8_t confResponsePayload[] = {0xDE, 0xAD, 0xD0, 0xD0};
inline constexpr std::uint8_t linkChannel = 1;
inline constexpr std::uint8_t dfuChannel = 12;
inline constexpr std::size_t maximumPayload = 4095;

// The 16-bit frame CRC as it goes on the wire (bit-reversed, sent most significant byte first).
std::uint16_t bcspCrc(std::span<const std::uint8_t> bytes);
// Header, payload and CRC, before escaping.
std::vector<std::uint8_t> frameContent(const BcspPacket& packet);
// The content between two delimiters, escaped.
std::vector<std::uint8_t> slipEncode(std::span<const std::uint8_t> content);
// Checks the header checksum, the length and the CRC; nothing for a frame that fails.
std::optional<BcspPacket> parseFrame(std::span<const std::uint8_t> content);

// Splits the received byte stream into frame contents (unescaped). After a frame, bytes up to
// the next delimiter belong to no frame and are passed over; repeated delimiters open one frame;
// frames longer than any valid one are dropped.
class SlipDecoder {
public:
    // Feeds one byte; returns a complete frame's content when this byte closed one.
    std::optional<std::vector<std::uint8_t>> feed(std::uint8_t byte);

private:
    enum class Position { Hunting, Starting, Inside };

    Position position_ = Position::Hunting;
    std::vector<std::uint8_t> content_;
    bool escaped_ = false;
    bool overlong_ = false;
};

}  // namespace Sim
