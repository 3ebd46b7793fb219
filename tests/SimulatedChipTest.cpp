#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sim/bluetooth/BcspCodec.h"
#include "sim/bluetooth/SimulatedChip.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Sim::BcspPacket;
using Sim::ChipReport;
using Sim::SimulatedChip;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;

// Long enough for a loaded machine; reached only when the chip fails to answer.
constexpr std::chrono::milliseconds defaultPatience{5000};

// The link-establishment frames as they stand on the wire.
const Bytes syncFrame = {0xC0, 0x40, 0x41, 0x00, 0x7E, 0xDA, 0xDC, 0xED, 0xED, 0xA9, 0x7A, 0xC0};
const Bytes syncResponseFrame = {0xC0, 0x40, 0x41, 0x00, 0x7E, 0xAC,
                                 0xAF, 0xEF, 0xEE, 0xBB, 0x84, 0xC0};
const Bytes confFrame = {0xC0, 0x40, 0x41, 0x00, 0x7E, 0xAD, 0xEF, 0xAC, 0xED, 0xA1, 0xA6, 0xC0};
const Bytes confResponseFrame = {0xC0, 0x40, 0x41, 0x00, 0x7E, 0xDE,
                                 0xAD, 0xD0, 0xD0, 0x83, 0x58, 0xC0};

Bytes textBytes(std::string_view text) {
    return {text.begin(), text.end()};
}

Bytes dfuRequest(std::uint8_t requestType, std::uint8_t request, std::uint16_t value,
                 const Bytes& data) {
    Bytes bytes = {requestType,
                   request,
                   static_cast<std::uint8_t>(value & 0xFFU),
                   static_cast<std::uint8_t>(value >> 8U),
                   0,
                   0,
                   static_cast<std::uint8_t>(data.size() & 0xFFU),
                   static_cast<std::uint8_t>(data.size() >> 8U)};
    bytes.insert(bytes.end(), data.begin(), data.end());
    return bytes;
}

// The far end of the module's serial port, driven by hand: raw bytes, then BCSP frames with
// the sequence numbers kept here.
class HostLine {
public:
    explicit HostLine(const std::string& path)
        : descriptor_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {}
    HostLine(const HostLine&) = delete;
    HostLine& operator=(const HostLine&) = delete;
    HostLine(HostLine&&) = delete;
    HostLine& operator=(HostLine&&) = delete;
    ~HostLine() { close(descriptor_); }

    bool isOpen() const { return descriptor_ >= 0; }

    void send(std::span<const std::uint8_t> bytes) const {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t written = write(descriptor_, bytes.data() + done, bytes.size() - done);
            ASSERT_GE(written, 0);
            done += static_cast<std::size_t>(written);
        }
    }

    // Everything that arrives until `needle` has been seen (or patience runs out).
    std::string readUntil(std::string_view needle) {
        std::string received;
        const auto deadline = std::chrono::steady_clock::now() + defaultPatience;
        while (received.find(needle) == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            for (const std::uint8_t byte : readSome()) {
                received.push_back(static_cast<char>(byte));
            }
        }
        return received;
    }

    // The next frame that passes its checks and `wanted`; other frames are passed over.
    template <typename Wanted>
    std::optional<BcspPacket> nextPacket(Wanted wanted,
                                         std::chrono::milliseconds patience = defaultPatience) {
        const auto deadline = std::chrono::steady_clock::now() + patience;
        while (std::chrono::steady_clock::now() < deadline) {
            for (const std::uint8_t byte : readSome()) {
                pending_.push_back(byte);
            }
            while (!pending_.empty()) {
                const std::uint8_t byte = pending_.front();
                pending_.erase(pending_.begin());
                if (auto content = decoder_.feed(byte)) {
                    std::optional<BcspPacket> packet = Sim::parseFrame(*content);
                    if (packet && wanted(*packet)) {
                        return packet;
                    }
                }
            }
        }
        return std::nullopt;
    }

    std::optional<BcspPacket> nextLinkMessage(std::span<const std::uint8_t> payload) {
        return nextPacket([payload](const BcspPacket& packet) {
            return packet.channel == Sim::linkChannel &&
                   std::ranges::equal(packet.payload, payload);
        });
    }

    void sendPacket(const BcspPacket& packet) const {
        send(Sim::slipEncode(Sim::frameContent(packet)));
    }

    // Sends one reliable DFU request and returns the chip's reply payload, acknowledging it.
    std::optional<Bytes> request(const Bytes& payload) {
        BcspPacket packet;
        packet.reliable = true;
        packet.channel = Sim::dfuChannel;
        packet.sequence = transmitSequence_;
        packet.acknowledgement = receiveSequence_;
        packet.payload = payload;
        transmitSequence_ = (transmitSequence_ + 1) & 7U;
        sendPacket(packet);
        const std::optional<BcspPacket> reply = nextPacket([this](const BcspPacket& candidate) {
            return candidate.channel == Sim::dfuChannel && candidate.reliable &&
                   candidate.sequence == receiveSequence_;
        });
        if (!reply) {
            return std::nullopt;
        }
        receiveSequence_ = (receiveSequence_ + 1) & 7U;
        BcspPacket acknowledgement;
        acknowledgement.hasCrc = false;
        acknowledgement.acknowledgement = receiveSequence_;
        sendPacket(acknowledgement);
        return reply->payload;
    }

    // Brings the link up from our side after the chip (re)started, as a fresh peer would.
    void establish(const SimulatedChip& chip) {
        transmitSequence_ = 0;
        receiveSequence_ = 0;
        ASSERT_TRUE(nextLinkMessage(Sim::syncPayload));
        send(syncResponseFrame);
        ASSERT_TRUE(nextLinkMessage(Sim::confPayload));
        send(confResponseFrame);
        ASSERT_TRUE(chip.waitUntil([](const ChipReport& report) { return report.linkEstablished; },
                                   defaultPatience));
    }

private:
    Bytes readSome() {
        pollfd watched{descriptor_, POLLIN, 0};
        if (poll(&watched, 1, 50) <= 0) {
            return {};
        }
        Bytes buffer(4096);
        const ssize_t count = read(descriptor_, buffer.data(), buffer.size());
        buffer.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
        return buffer;
    }

    int descriptor_;
    Sim::SlipDecoder decoder_;
    Bytes pending_;
    std::uint8_t transmitSequence_ = 0;
    std::uint8_t receiveSequence_ = 0;
};

// A chip switched to BCSP with its link up, and the host end of its line.
struct LinkedChip {
    explicit LinkedChip(const Sim::ChipOptions& options) : chip(options), line(chip.slavePath()) {
        line.send(textBytes("\r\nBOOT 1\r\n"));
        line.establish(chip);
    }

    SimulatedChip chip;
    HostLine line;
};

Sim::ChipOptions chipOptions(std::uint32_t build) {
    Sim::ChipOptions options;
    options.device.build = build;
    options.device.transferSize = 64;
    options.device.detachTimeout = 1000;
    options.device.pollTimeout = 25;
    return options;
}

struct ParsedStatus {
    std::uint8_t deviceStatus;
    std::uint32_t pollTimeout;
    std::uint8_t state;
};

ParsedStatus getStatus(HostLine& line) {
    const std::optional<Bytes> reply = line.request(dfuRequest(0xA1, 3, 0, Bytes(6, 0)));
    EXPECT_TRUE(reply);
    if (!reply || reply->size() != 10) {
        ADD_FAILURE() << "no status";
        return {0xFF, 0, 0xFF};
    }
    const Bytes& bytes = *reply;
    return {bytes[4], static_cast<std::uint32_t>(bytes[5] | (bytes[6] << 8U) | (bytes[7] << 16U)),
            bytes[8]};
}

std::uint8_t getState(HostLine& line) {
    const std::optional<Bytes> reply = line.request(dfuRequest(0xA1, 5, 0, {0}));
    EXPECT_TRUE(reply && reply->size() == 5) << "no state";
    return reply && reply->size() == 5 ? (*reply)[4] : 0xFF;
}

const Bytes emptySuccess = {0, 0, 0, 0};

TEST(SimulatedChipCodec, EncodesTheFourEstablishmentFramesByteForByte) {
    const std::vector<std::pair<std::span<const std::uint8_t>, Bytes>> cases = {
        {Sim::syncPayload, syncFrame},
        {Sim::syncResponsePayload, syncResponseFrame},
        {Sim::confPayload, confFrame},
        {Sim::confResponsePayload, confResponseFrame}};
    for (const auto& [payload, frame] : cases) {
        BcspPacket packet;
        packet.channel = Sim::linkChannel;
        packet.payload.assign(payload.begin(), payload.end());
        EXPECT_EQ(Sim::slipEncode(Sim::frameContent(packet)), frame);
        const std::optional<BcspPacket> parsed =
            Sim::parseFrame(std::span(frame).subspan(1, frame.size() - 2));
        ASSERT_TRUE(parsed);
        EXPECT_THAT(parsed->payload, ElementsAreArray(payload));
    }
}

TEST(SimulatedChipCodec, EscapesDelimitersSkipsStrayBytesAndRefusesDamagedFrames) {
    BcspPacket packet;
    packet.reliable = true;
    packet.channel = Sim::dfuChannel;
    packet.payload = {0xC0, 0xDB, 0x01, 0xDB, 0xDC};
    const Bytes content = Sim::frameContent(packet);
    const Bytes frame = Sim::slipEncode(content);
    EXPECT_EQ(std::count(frame.begin(), frame.end(), 0xC0), 2);
    // Stray bytes before and between frames belong to no frame.
    Bytes line = {0x55, 0x0D};
    line.insert(line.end(), frame.begin(), frame.end());
    line.insert(line.end(), {0xAA, 0x01});
    line.insert(line.end(), frame.begin(), frame.end());
    Sim::SlipDecoder decoder;
    std::vector<Bytes> decoded;
    for (const std::uint8_t byte : line) {
        if (auto complete = decoder.feed(byte)) {
            decoded.push_back(std::move(*complete));
        }
    }
    EXPECT_EQ(decoded, (std::vector<Bytes>{content, content}));
    ASSERT_TRUE(Sim::parseFrame(content));
    EXPECT_EQ(Sim::parseFrame(content)->payload, packet.payload);

    for (const std::size_t damaged :
         {std::size_t{1}, std::size_t{3}, std::size_t{5}, content.size() - 1}) {
        Bytes broken = content;
        broken[damaged] ^= 0x10U;
        EXPECT_FALSE(Sim::parseFrame(broken)) << "byte " << damaged;
    }
    EXPECT_FALSE(Sim::parseFrame(std::span(content).first(content.size() - 1)));
}

TEST(SimulatedChipText, AcceptsTheMuxExitFrameAndAnswersResetWithItsBuild) {
    for (const bool namesBuild : {true, false}) {
        Sim::ChipOptions options = chipOptions(4321);
        options.bannerNamesBuild = namesBuild;
        const SimulatedChip chip(options);
        HostLine line(chip.slavePath());
        ASSERT_TRUE(line.isOpen());
        line.send(Bytes{0xBF, 0xFF, 0x00, 0x11});
        line.send(textBytes("SET CONTROL MUX 0"));
        line.send(Bytes{0x00});
        line.send(textBytes(std::string_view("\r\nRESET\r\n\0", 10)));
        const std::string banner = line.readUntil("OK\r\n");
        EXPECT_THAT(banner, HasSubstr("OK\r\n"));
        EXPECT_NE(banner.find('\0'), std::string::npos) << "a zero byte inside the banner";
        if (namesBuild) {
            EXPECT_THAT(banner, HasSubstr("build 4321"));
        } else {
            EXPECT_THAT(banner, Not(HasSubstr("build ")));
        }
        // The banner may leave before the chip's report is brought up to date.
        EXPECT_TRUE(chip.waitUntil(
            [](const ChipReport& report) {
                return report.muxExitFrames == 1 && report.resetCommands == 1;
            },
            defaultPatience));
        EXPECT_EQ(chip.report().mode, ChipReport::Mode::Text);
    }
}

TEST(SimulatedChipLink, RunsBothHalvesOfTheEstablishmentWithTheTableFrames) {
    const SimulatedChip chip(chipOptions(1));
    HostLine line(chip.slavePath());
    line.send(textBytes("\r\nBOOT 1\r\n"));
    // Shy: the chip sends sync on its own and answers ours with sync_resp.
    ASSERT_TRUE(line.nextLinkMessage(Sim::syncPayload));
    line.send(syncFrame);
    ASSERT_TRUE(line.nextLinkMessage(Sim::syncResponsePayload));
    // Our sync_resp makes it curious: it sends conf until it gets conf_resp.
    line.send(syncResponseFrame);
    ASSERT_TRUE(line.nextLinkMessage(Sim::confPayload));
    line.send(confFrame);
    ASSERT_TRUE(line.nextLinkMessage(Sim::confResponsePayload));
    EXPECT_FALSE(chip.report().linkEstablished);
    line.send(confResponseFrame);
    EXPECT_TRUE(chip.waitUntil([](const ChipReport& report) { return report.linkEstablished; },
                               defaultPatience));
    EXPECT_EQ(chip.report().bootCommands, 1U);
}

TEST(SimulatedChipLink, AnswersTheFunctionDescriptorRequestWithSequenceAndAcknowledgement) {
    LinkedChip linked(chipOptions(1));
    BcspPacket request;
    request.reliable = true;
    request.channel = Sim::dfuChannel;
    request.payload = dfuRequest(0xC1, 9, 0, Bytes(6, 0));
    linked.line.sendPacket(request);
    const std::optional<BcspPacket> reply = linked.line.nextPacket(
        [](const BcspPacket& packet) { return packet.channel == Sim::dfuChannel; });
    ASSERT_TRUE(reply);
    EXPECT_TRUE(reply->reliable);
    EXPECT_EQ(reply->sequence, 0);
    EXPECT_EQ(reply->acknowledgement, 1) << "our packet 0 is acknowledged";
    // Status 0, 6 bytes: attributes 1, detach timeout 1000, transfer size 64.
    EXPECT_EQ(reply->payload, (Bytes{0, 0, 6, 0, 0x01, 0x00, 0xE8, 0x03, 0x40, 0x00}));

    // Without our acknowledgement the reply comes again, with the same sequence number.
    const std::optional<BcspPacket> again = linked.line.nextPacket(
        [](const BcspPacket& packet) { return packet.channel == Sim::dfuChannel; });
    ASSERT_TRUE(again);
    EXPECT_EQ(again->sequence, 0);
    EXPECT_EQ(again->payload, reply->payload);

    // A repeat of our packet is not taken twice: it is acknowledged again and dropped.
    linked.line.sendPacket(request);
    ASSERT_TRUE(linked.line.nextPacket([](const BcspPacket& packet) {
        return packet.channel == 0 && packet.payload.empty() && packet.acknowledgement == 1;
    }));
    EXPECT_TRUE(linked.chip.waitUntil(
        [](const ChipReport& report) { return report.duplicatesReceived == 1; }, defaultPatience));
    EXPECT_EQ(linked.chip.report().dfuRequests, 1U);
}

TEST(SimulatedChipLink, DropsAFrameWithABadCrcWithoutAnswering) {
    LinkedChip linked(chipOptions(1));
    BcspPacket request;
    request.reliable = true;
    request.channel = Sim::dfuChannel;
    request.payload = dfuRequest(0xA1, 5, 0, {0});
    Bytes content = Sim::frameContent(request);
    content.back() ^= 0xFFU;
    const unsigned rejectedBefore = linked.chip.report().framesRejected;
    linked.line.send(Sim::slipEncode(content));
    EXPECT_TRUE(linked.chip.waitUntil(
        [rejectedBefore](const ChipReport& report) {
            return report.framesRejected == rejectedBefore + 1;
        },
        defaultPatience));
    EXPECT_EQ(linked.chip.report().dfuRequests, 0U);
    // The intact request is then taken as packet 0.
    const std::optional<Bytes> reply = linked.line.request(dfuRequest(0xA1, 5, 0, {0}));
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, (Bytes{0, 0, 1, 0, 0}));
}

TEST(SimulatedChipDfu, DetachesRestartsDownloadsAndRestartsWithTheNewBuild) {
    Sim::ChipOptions options = chipOptions(1000);
    options.device.busyPollsPerBlock = 1;
    LinkedChip linked(options);
    HostLine& line = linked.line;

    EXPECT_EQ(getState(line), 0) << "appIDLE";
    EXPECT_EQ(line.request(dfuRequest(0xA1, 0, 1000, {})), emptySuccess) << "detach";
    EXPECT_EQ(line.request(dfuRequest(0x21, 7, 0, {})), emptySuccess) << "reset";
    line.establish(linked.chip);
    EXPECT_TRUE(linked.chip.report().dfuMode);
    EXPECT_EQ(getState(line), 2) << "dfuIDLE";

    std::string text = "CSR-dfu2 image of firmware build 2345 ";
    Bytes image(text.begin(), text.end());
    for (std::size_t index = 0; image.size() < 150; ++index) {
        image.push_back(static_cast<std::uint8_t>(index * 7));
    }
    std::uint16_t block = 0;
    for (std::size_t offset = 0; offset < image.size(); offset += 64, ++block) {
        const ParsedStatus before = getStatus(line);
        EXPECT_EQ(before.deviceStatus, 0);
        if (block > 0) {
            EXPECT_EQ(before.state, 4) << "dfuDNBUSY once after each block";
            EXPECT_EQ(before.pollTimeout, 25U);
            EXPECT_EQ(getStatus(line).state, 2);
        }
        const Bytes data(
            image.begin() + static_cast<std::ptrdiff_t>(offset),
            image.begin() + static_cast<std::ptrdiff_t>(std::min(offset + 64, image.size())));
        EXPECT_EQ(line.request(dfuRequest(0x21, 1, block, data)), emptySuccess);
    }
    EXPECT_EQ(getStatus(line).state, 4);
    EXPECT_EQ(getStatus(line).state, 2);
    EXPECT_EQ(line.request(dfuRequest(0x21, 1, block, {})), emptySuccess) << "manifest";
    const ParsedStatus manifested = getStatus(line);
    EXPECT_EQ(manifested.deviceStatus, 0);
    EXPECT_EQ(manifested.state, 2);
    EXPECT_EQ(line.request(dfuRequest(0x21, 7, 0, {})), emptySuccess) << "reset";

    ASSERT_TRUE(linked.chip.waitUntil(
        [](const ChipReport& report) { return report.runningBuild == 2345; }, defaultPatience));
    const ChipReport report = linked.chip.report();
    EXPECT_EQ(report.manifestedImage, image);
    EXPECT_FALSE(report.dfuMode);
    EXPECT_EQ(report.restarts, 2U);
}

TEST(SimulatedChipDfu, RefusesAnOutOfOrderBlockUntilTheErrorIsCleared) {
    Sim::ChipOptions options = chipOptions(1000);
    options.device.functionDescriptorErrors = 2;
    LinkedChip linked(options);
    HostLine& line = linked.line;
    // Two refused descriptor requests, then the descriptor.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const std::optional<Bytes> refused = line.request(dfuRequest(0xC1, 9, 0, Bytes(6, 0)));
        ASSERT_TRUE(refused);
        EXPECT_NE((*refused)[0] | (*refused)[1], 0);
    }
    EXPECT_EQ(line.request(dfuRequest(0xC1, 9, 0, Bytes(6, 0)))->size(), 10U);
    // A download in application mode is refused.
    EXPECT_NE(line.request(dfuRequest(0x21, 1, 0, {1, 2, 3})), emptySuccess);

    EXPECT_EQ(line.request(dfuRequest(0x21, 0, 1000, {})), emptySuccess);
    EXPECT_EQ(line.request(dfuRequest(0x21, 7, 0, {})), emptySuccess);
    line.establish(linked.chip);
    EXPECT_NE(line.request(dfuRequest(0x21, 1, 1, {1, 2, 3})), emptySuccess) << "block 1 first";
    EXPECT_EQ(getState(line), 10) << "dfuERROR";
    EXPECT_EQ(line.request(dfuRequest(0x21, 4, 0, {})), emptySuccess) << "clear status";
    EXPECT_EQ(getState(line), 2);
    EXPECT_EQ(line.request(dfuRequest(0x21, 1, 0, {1, 2, 3})), emptySuccess);
}

TEST(SimulatedChipDfu, StartsInErrorAfterARestartWhenToldAndRestartsUnderARunningLink) {
    Sim::ChipOptions options = chipOptions(1000);
    options.device.startsInError = true;
    options.restartAtRequest = 4;
    LinkedChip linked(options);
    HostLine& line = linked.line;
    EXPECT_EQ(line.request(dfuRequest(0x21, 0, 1000, {})), emptySuccess);
    EXPECT_EQ(line.request(dfuRequest(0x21, 7, 0, {})), emptySuccess);
    line.establish(linked.chip);
    EXPECT_EQ(getState(line), 10) << "dfuERROR after the restart into DFU mode";

    // The fourth request is never answered: the chip starts over, its link down.
    BcspPacket request;
    request.reliable = true;
    request.channel = Sim::dfuChannel;
    request.sequence = 1;
    request.acknowledgement = 1;
    request.payload = dfuRequest(0xA1, 5, 0, {0});
    line.sendPacket(request);
    EXPECT_TRUE(linked.chip.waitUntil(
        [](const ChipReport& report) { return report.dfuRequests == 4 && report.restarts == 2; },
        defaultPatience));
    EXPECT_FALSE(linked.chip.report().linkEstablished);
    EXPECT_FALSE(line.nextPacket(
        [](const BcspPacket& packet) {
            return packet.channel == Sim::dfuChannel && packet.sequence == 1;
        },
        std::chrono::milliseconds(300)))
        << "no answer to the fourth request";
}

}  // namespace
