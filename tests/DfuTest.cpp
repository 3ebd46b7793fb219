// The firmware-download requests and procedures, against a scripted chip on the far end of the
// link that answers each request as the test says.
#include <algorithm>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "BcspTestPeer.h"
#include "boot/bluetooth/Bcsp.h"
#include "boot/bluetooth/BcspFrame.h"
#include "boot/bluetooth/Dfu.h"
#include "platform/testkit/FakeClock.h"

namespace {

using namespace Boot::Bluetooth;
using BcspTestPeer::Frame;

struct Request {
    std::uint8_t type = 0;
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t length = 0;
    std::vector<std::uint8_t> data;
};

struct Reply {
    std::uint16_t status = 0;
    std::vector<std::uint8_t> data;
    // The length field when it must differ from the data's size.
    std::optional<std::uint16_t> claimedLength;
    bool silent = false;
};

constexpr std::uint8_t getStatus = 3;
constexpr std::uint8_t clearStatus = 4;
constexpr std::uint8_t getState = 5;
constexpr std::uint8_t download = 1;
constexpr std::uint8_t detach = 0;
constexpr std::uint8_t reset = 7;
constexpr std::uint8_t getFunctional = 9;

Reply stateReply(std::uint8_t state) {
    return {0, {state}};
}
Reply statusReply(std::uint8_t bStatus, std::uint32_t pollTimeout, std::uint8_t state) {
    return {0,
            {bStatus, static_cast<std::uint8_t>(pollTimeout),
             static_cast<std::uint8_t>(pollTimeout >> 8U),
             static_cast<std::uint8_t>(pollTimeout >> 16U), state, 0}};
}
Reply functionalReply(std::uint16_t attributes, std::uint16_t detachTimeout,
                      std::uint16_t transferSize) {
    return {
        0,
        {static_cast<std::uint8_t>(attributes), static_cast<std::uint8_t>(attributes >> 8U),
         static_cast<std::uint8_t>(detachTimeout), static_cast<std::uint8_t>(detachTimeout >> 8U),
         static_cast<std::uint8_t>(transferSize), static_cast<std::uint8_t>(transferSize >> 8U)}};
}
Reply errorReply(std::uint16_t status) {
    return {status, {}};
}

// A chip in download mode: idle, block size 4, every request accepted. Queued replies for a
// request kind are used first, in order.
struct ChipScript {
    std::uint16_t transferSize = 4;
    std::deque<Reply> states;
    std::deque<Reply> statuses;
    std::deque<Reply> functionals;
    std::function<std::optional<Reply>(const Request&)> special;

    Reply answer(const Request& request) {
        if (special) {
            if (auto reply = special(request)) {
                return *reply;
            }
        }
        const auto next = [](std::deque<Reply>& queue, Reply otherwise) {
            if (queue.empty()) {
                return otherwise;
            }
            Reply reply = queue.front();
            queue.pop_front();
            return reply;
        };
        switch (request.request) {
            case getState:
                return next(states, stateReply(2));
            case getStatus:
                return next(statuses, statusReply(0, 0, 2));
            case getFunctional:
                return next(functionals, functionalReply(1, 1000, transferSize));
            default:
                return {};
        }
    }
};

class DfuTest : public ::testing::Test {
protected:
    void SetUp() override {
        bcsp_open(peer.loaderPort());
        peer.write(std::vector<std::uint8_t>(BcspFrame::confResponseFrame.begin(),
                                             BcspFrame::confResponseFrame.end()));
        ::testing::internal::CaptureStdout();
        bcsp_init();
        ::testing::internal::GetCapturedStdout();
        ASSERT_EQ(bcsp_link_status(), BcspLinkStatus::established);
        peer.readWire();
        clock.onAdvance([this](auto) { answerRequests(); });
    }
    void TearDown() override {
        clock.onAdvance(nullptr);
        bcsp_close();
    }

    // The chip reads what the loader sent and answers every new request.
    void answerRequests() {
        for (const Frame& frame : peer.readFrames()) {
            if (frame.channel() != bcspDfuChannel || frame.seq() != expectedSeq) {
                continue;
            }
            expectedSeq = (expectedSeq + 1) % 8;
            const std::vector<std::uint8_t> payload = frame.payload();
            Request request{payload.at(0),
                            payload.at(1),
                            static_cast<std::uint16_t>(payload.at(2) | payload.at(3) << 8U),
                            static_cast<std::uint16_t>(payload.at(6) | payload.at(7) << 8U),
                            {payload.begin() + 8, payload.end()}};
            requests.push_back(request);
            const Reply reply = script.answer(request);
            if (reply.silent) {
                continue;
            }
            const auto length =
                reply.claimedLength.value_or(static_cast<std::uint16_t>(reply.data.size()));
            std::vector<std::uint8_t> answer = {static_cast<std::uint8_t>(reply.status),
                                                static_cast<std::uint8_t>(reply.status >> 8U),
                                                static_cast<std::uint8_t>(length),
                                                static_cast<std::uint8_t>(length >> 8U)};
            answer.insert(answer.end(), reply.data.begin(), reply.data.end());
            peer.sendPacket(chipSeq, expectedSeq, bcspDfuChannel, answer);
            chipSeq = (chipSeq + 1) % 8;
        }
    }

    DfuDownloadResult downloadCapturing(const std::vector<std::uint8_t>& image) {
        ::testing::internal::CaptureStdout();
        const DfuDownloadResult result = dfu_download(image.data(), image.size());
        output = ::testing::internal::GetCapturedStdout();
        return result;
    }

    std::vector<Request> requestsOf(std::uint8_t kind) const {
        std::vector<Request> found;
        std::copy_if(requests.begin(), requests.end(), std::back_inserter(found),
                     [&](const Request& request) { return request.request == kind; });
        return found;
    }

    bool printed(const std::string& line) const {
        return output.find(line + "\n") != std::string::npos;
    }

    static std::vector<std::uint8_t> imageOf(std::size_t length) {
        std::vector<std::uint8_t> image(length);
        for (std::size_t index = 0; index < length; ++index) {
            image[index] = static_cast<std::uint8_t>(index * 7 + 1);
        }
        return image;
    }

    Platform::Testkit::FakeClock clock;
    BcspTestPeer::Peer peer;
    unsigned expectedSeq = 0;
    unsigned chipSeq = 0;
    ChipScript script;
    std::vector<Request> requests;
    std::string output;
};

TEST_F(DfuTest, SendsTheImageInBlocksThenAnEmptyManifestRequest) {
    const struct {
        std::size_t length;
        std::vector<std::uint16_t> blockLengths;
    } cases[] = {
        {8, {4, 4, 0}},
        {10, {4, 4, 2, 0}},
        {1, {1, 0}},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.length);
        requests.clear();
        const std::vector<std::uint8_t> image = imageOf(entry.length);
        EXPECT_EQ(downloadCapturing(image), DfuDownloadResult::done);
        const std::vector<Request> blocks = requestsOf(download);
        ASSERT_EQ(blocks.size(), entry.blockLengths.size());
        std::vector<std::uint8_t> received;
        for (std::size_t number = 0; number < blocks.size(); ++number) {
            EXPECT_EQ(blocks[number].type, 0x21);
            EXPECT_EQ(blocks[number].value, number);
            EXPECT_EQ(blocks[number].length, entry.blockLengths[number]);
            received.insert(received.end(), blocks[number].data.begin(), blocks[number].data.end());
        }
        EXPECT_EQ(received, image);
        EXPECT_TRUE(printed("Sending manifest."));
        EXPECT_TRUE(printed("Reseting, done."));
        // The last requests: the status after manifestation, then the reset.
        ASSERT_GE(requests.size(), 2U);
        EXPECT_EQ(requests[requests.size() - 2].request, getStatus);
        EXPECT_EQ(requests.back().request, reset);
    }
}

TEST_F(DfuTest, ABusyChipIsGivenThePollTimeoutReportedOneBlockEarlier) {
    const struct {
        std::vector<Reply> statuses;
        const char* line;
    } cases[] = {
        {{statusReply(0, 30, 2), statusReply(0, 70, 4), statusReply(0, 0, 2)},
         "Busy, sleeping 30 ms."},
        {{statusReply(0, 50, 4), statusReply(0, 0, 2)}, "Busy, sleeping 0 ms."},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.line);
        script.statuses.assign(entry.statuses.begin(), entry.statuses.end());
        EXPECT_EQ(downloadCapturing(imageOf(8)), DfuDownloadResult::done);
        EXPECT_TRUE(printed(entry.line)) << output;
        EXPECT_EQ(output.find("Busy"), output.rfind("Busy")) << output;
    }
}

TEST_F(DfuTest, ClearsAnErrorStateBeforeDownloading) {
    script.states = {stateReply(10), stateReply(2)};
    EXPECT_EQ(downloadCapturing(imageOf(8)), DfuDownloadResult::done);
    EXPECT_TRUE(printed("clearing status"));
    ASSERT_EQ(requestsOf(clearStatus).size(), 1U);
    EXPECT_EQ(requestsOf(clearStatus)[0].type, 0x21);

    script.states = {stateReply(10), stateReply(10)};
    requests.clear();
    EXPECT_EQ(downloadCapturing(imageOf(8)), DfuDownloadResult::notIdle);
    EXPECT_TRUE(printed("ERROR: invalid state 10."));
    EXPECT_TRUE(requestsOf(download).empty());
}

TEST_F(DfuTest, AsksForTheFunctionDescriptorUpToThreeTimes) {
    script.functionals = {errorReply(1), errorReply(1)};
    EXPECT_EQ(downloadCapturing(imageOf(8)), DfuDownloadResult::done);
    EXPECT_EQ(requestsOf(getFunctional).size(), 3U);
    EXPECT_TRUE(printed("ERROR: dfu command status = 0x01"));
    std::size_t tries = 0;
    for (std::size_t at = output.find("try again\n"); at != std::string::npos;
         at = output.find("try again\n", at + 1)) {
        ++tries;
    }
    EXPECT_EQ(tries, 2U);

    script.functionals = {errorReply(1), errorReply(1), errorReply(1)};
    requests.clear();
    EXPECT_EQ(downloadCapturing(imageOf(8)), DfuDownloadResult::downloadNotSupported);
    EXPECT_TRUE(printed("ERROR: attribute error."));
    EXPECT_TRUE(requestsOf(download).empty());
}

TEST_F(DfuTest, RefusesATransferSizeThatDoesNotFitOnePacket) {
    const struct {
        std::uint16_t transferSize;
        DfuDownloadResult result;
    } cases[] = {{3439, DfuDownloadResult::done},
                 {3440, DfuDownloadResult::downloadNotSupported},
                 {0, DfuDownloadResult::downloadNotSupported}};
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.transferSize);
        script.transferSize = entry.transferSize;
        requests.clear();
        EXPECT_EQ(downloadCapturing(imageOf(3439)), entry.result);
        if (entry.result == DfuDownloadResult::done) {
            ASSERT_EQ(requestsOf(download).size(), 2U);
            EXPECT_EQ(requestsOf(download)[0].data.size(), 3439U);
        } else {
            EXPECT_TRUE(requestsOf(download).empty());
            EXPECT_TRUE(printed("ERROR: transfer size " + std::to_string(entry.transferSize) +
                                " not supported (1 to 3439 bytes)."))
                << output;
        }
    }
}

TEST_F(DfuTest, AReplyClaimingMoreDataThanItHoldsHasTheWrongLength) {
    Reply shortDescriptor = functionalReply(1, 1000, 4);
    shortDescriptor.data.resize(2);
    shortDescriptor.claimedLength = 6;
    script.functionals = {shortDescriptor, shortDescriptor, shortDescriptor};
    EXPECT_EQ(downloadCapturing(imageOf(8)), DfuDownloadResult::downloadNotSupported);

    Reply emptyState = stateReply(2);
    emptyState.data.clear();
    emptyState.claimedLength = 1;
    script.states = {emptyState, emptyState};
    EXPECT_EQ(downloadCapturing(imageOf(8)), DfuDownloadResult::notIdle);
    EXPECT_TRUE(printed("ERROR: invalid state -1."));
}

TEST_F(DfuTest, ReportsEachFailureWithItsResult) {
    const struct {
        const char* name;
        std::function<std::optional<Reply>(const Request&)> special;
        DfuDownloadResult result;
        const char* line;
    } cases[] = {
        {"empty image", nullptr, DfuDownloadResult::emptyImage,
         "ERROR: Invalid dfu file length 0."},
        {"no status before a block",
         [](const Request& request) -> std::optional<Reply> {
             return request.request == getStatus ? std::optional(Reply{.silent = true})
                                                 : std::nullopt;
         },
         DfuDownloadResult::statusBeforeBlock, "ERROR: No response."},
        {"block refused",
         [](const Request& request) -> std::optional<Reply> {
             return request.request == download && request.value == 1 ? std::optional(errorReply(3))
                                                                      : std::nullopt;
         },
         DfuDownloadResult::blockRefused, "ERROR: Unable to download block number 1."},
        {"not idle after manifestation",
         [](const Request& request) -> std::optional<Reply> {
             static int statusCount = 0;
             return request.request == getStatus && ++statusCount == 4
                        ? std::optional(statusReply(0, 0, 7))
                        : std::nullopt;
         },
         DfuDownloadResult::finalState, "ERROR: invalid state 7."},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.name);
        script.special = entry.special;
        requests.clear();
        const std::size_t length = std::string(entry.name) == "empty image" ? 0 : 8;
        EXPECT_EQ(downloadCapturing(imageOf(length)), entry.result);
        EXPECT_TRUE(printed(entry.line)) << output;
        EXPECT_FALSE(printed("Reseting, done."));
    }
}

TEST_F(DfuTest, EntersDownloadModeWithDetachAndReset) {
    script.states = {stateReply(0), stateReply(2)};
    script.functionals = {functionalReply(1, 1234, 4)};
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(dfu_enter_dfu_mode(), DfuModeResult::detachAndResetSent);
    output = ::testing::internal::GetCapturedStdout();
    ASSERT_EQ(requests.size(), 5U);
    const std::vector<std::pair<std::uint8_t, std::uint8_t>> expected = {
        {0xC1, getFunctional}, {0xA1, getState}, {0xA1, detach}, {0xA1, getState}, {0x21, reset}};
    for (std::size_t index = 0; index < expected.size(); ++index) {
        EXPECT_EQ(requests[index].type, expected[index].first) << index;
        EXPECT_EQ(requests[index].request, expected[index].second) << index;
    }
    EXPECT_EQ(requests[2].value, 1234);
    EXPECT_EQ(requests[0].data, std::vector<std::uint8_t>(6, 0));
    EXPECT_TRUE(printed("dfu_detach_timeout = 1234"));
    EXPECT_TRUE(printed("DFU_DETACH OK"));
    EXPECT_TRUE(printed("dfustate=2"));
    EXPECT_TRUE(printed("DFU_RESET OK"));
}

TEST_F(DfuTest, StaysOutOfDownloadModeWhenTheChipCannotOrIsNotIdle) {
    const struct {
        std::deque<Reply> functionals;
        std::deque<Reply> states;
        DfuModeResult result;
    } cases[] = {
        {{functionalReply(0, 1000, 4)}, {}, DfuModeResult::downloadNotSupported},
        {{}, {errorReply(2)}, DfuModeResult::stateUnreadable},
        {{}, {stateReply(2)}, DfuModeResult::notInApplication},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(static_cast<int>(entry.result));
        script.functionals = entry.functionals;
        script.states = entry.states;
        requests.clear();
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(dfu_enter_dfu_mode(), entry.result);
        output = ::testing::internal::GetCapturedStdout();
        EXPECT_TRUE(requestsOf(detach).empty());
        EXPECT_TRUE(requestsOf(reset).empty());
    }
}

}  // namespace
