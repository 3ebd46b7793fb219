#include "boot/bluetooth/Dfu.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <span>

#include "CoreSystem/ByteOrder.h"
#include "CoreSystem/Console.h"
#include "boot/bluetooth/Bcsp.h"
#include "platform/Clock.h"

namespace Boot::Bluetooth {
namespace {

using CoreSystem::Console;
using CoreSystem::ByteOrder::loadLittleEndian16;
using CoreSystem::ByteOrder::storeLittleEndian16;

constexpr std::size_t setupSize = 8;
constexpr std::size_t replyHeaderSize = 4;
constexpr std::size_t linkHeaderSize = 4;
// A request with its block must fit one send slot.
constexpr std::size_t largestBlock = bcspSlotPayloadSize - setupSize;

constexpr unsigned requestTimeout = 5000;
constexpr unsigned downloadTimeout = 1000;
constexpr unsigned manifestTimeout = 40000;

constexpr std::uint8_t typeVendorIn = 0xC1;
constexpr std::uint8_t typeClassIn = 0xA1;
constexpr std::uint8_t typeClassOut = 0x21;

constexpr std::uint8_t requestDetach = 0;
constexpr std::uint8_t requestDownload = 1;
constexpr std::uint8_t requestGetStatus = 3;
constexpr std::uint8_t requestClearStatus = 4;
constexpr std::uint8_t requestGetState = 5;
constexpr std::uint8_t requestGetFunctional = 9;
constexpr std::uint8_t requestReset = 7;

constexpr int stateAppIdle = 0;
constexpr int stateIdle = 2;
constexpr int stateDownloadBusy = 4;
constexpr int stateError = 10;

struct DfuFunctional {
    std::uint32_t attributes = 0;
    std::uint32_t detachTimeout = 0;
    std::uint32_t transferSize = 0;
};

struct DfuStatus {
    std::uint8_t bStatus = 0;
    std::uint32_t bwPollTimeout = 0;
    std::uint8_t bState = 0;
    std::uint8_t iString = 0;
};

// The request is built here, setup block and data, and reused for every request.
std::array<std::uint8_t, setupSize + largestBlock> requestBuffer{};

// The last reply's status and its data; no data when the length field claims more than the
// packet holds, which no expected length matches.
std::uint16_t lastStatus = 0;
std::optional<std::span<const std::uint8_t>> lastData;

// Sends one request with `length` data bytes (zeros when `data` is null) and waits for the
// reply; true when a reply with status 0 came. Prints the failure otherwise.
bool sendRequest(std::uint8_t bmRequestType, std::uint8_t bRequest, std::uint16_t value,
                 const std::uint8_t* data, std::size_t length, unsigned timeout) {
    requestBuffer[0] = bmRequestType;
    requestBuffer[1] = bRequest;
    storeLittleEndian16(&requestBuffer[2], value);
    storeLittleEndian16(&requestBuffer[4], 0);
    storeLittleEndian16(&requestBuffer[6], static_cast<std::uint16_t>(length));
    if (data != nullptr) {
        std::memcpy(&requestBuffer[setupSize], data, length);
    } else {
        std::memset(&requestBuffer[setupSize], 0, length);
    }
    lastStatus = 0;
    lastData.reset();
    const auto packet =
        bcsp_send_receive(requestBuffer.data(), setupSize + length, bcspDfuChannel, timeout);
    if (!packet) {
        Console::print("ERROR: No response.\n");
        return false;
    }
    // The reply is the packet's payload, after its 4 link header bytes.
    const std::span<const std::uint8_t> reply = packet->subspan(linkHeaderSize);
    if (reply.size() < replyHeaderSize) {
        return false;
    }
    lastStatus = loadLittleEndian16(reply.data());
    const std::size_t claimed = loadLittleEndian16(&reply[2]);
    if (lastStatus != 0) {
        Console::printf("ERROR: dfu command status = 0x%02x\n", lastStatus);
        return false;
    }
    if (replyHeaderSize + claimed <= reply.size()) {
        lastData = reply.subspan(replyHeaderSize, claimed);
    }
    return true;
}

bool lastLengthIs(std::size_t length) {
    return lastData && lastData->size() == length;
}

std::optional<DfuFunctional> dfu_getfunct() {
    if (!sendRequest(typeVendorIn, requestGetFunctional, 0, nullptr, 6, requestTimeout) ||
        !lastLengthIs(6)) {
        return std::nullopt;
    }
    const std::uint8_t* data = lastData->data();
    return DfuFunctional{loadLittleEndian16(data), loadLittleEndian16(data + 2),
                         loadLittleEndian16(data + 4)};
}

std::optional<DfuStatus> dfu_getstatus(unsigned timeout) {
    if (!sendRequest(typeClassIn, requestGetStatus, 0, nullptr, 6, timeout) || !lastLengthIs(6)) {
        return std::nullopt;
    }
    const std::uint8_t* data = lastData->data();
    return DfuStatus{data[0], static_cast<std::uint32_t>(data[1] | data[2] << 8U | data[3] << 16U),
                     data[4], data[5]};
}

int dfu_getstate() {
    if (!sendRequest(typeClassIn, requestGetState, 0, nullptr, 1, requestTimeout) ||
        !lastLengthIs(1)) {
        return -1;
    }
    return (*lastData)[0];
}

int dfu_clrstatus() {
    return sendRequest(typeClassOut, requestClearStatus, 0, nullptr, 0, requestTimeout) &&
                   lastLengthIs(0)
               ? 0
               : -1;
}

int dfu_detach(std::uint16_t detachTimeout) {
    return sendRequest(typeClassIn, requestDetach, detachTimeout, nullptr, 0, requestTimeout) ? 0
                                                                                              : -1;
}

int dfu_dnload(std::uint16_t blockNumber, const std::uint8_t* block, std::size_t length) {
    return sendRequest(typeClassOut, requestDownload, blockNumber, block, length,
                       downloadTimeout) &&
                   lastLengthIs(0)
               ? 0
               : -1;
}

int dfu_reset() {
    return sendRequest(typeClassOut, requestReset, 0, nullptr, 0, requestTimeout) && lastLengthIs(0)
               ? 0
               : -1;
}

// Three attempts at the function descriptor, 100 ms apart.
std::optional<DfuFunctional> getFunctionalWithRetries() {
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (auto functional = dfu_getfunct()) {
            return functional;
        }
        Console::print("try again\n");
        Platform::sleepMilliseconds(100);
    }
    return std::nullopt;
}

// A status that must be OK and idle: done, or `statusFailure` / `stateFailure` as printed.
DfuDownloadResult expectIdle(const std::optional<DfuStatus>& status,
                             DfuDownloadResult statusFailure, DfuDownloadResult stateFailure) {
    if (!status) {
        return statusFailure;
    }
    if (status->bStatus != 0) {
        Console::printf("ERROR: invalid status %d.\n", status->bStatus);
        return statusFailure;
    }
    if (status->bState != stateIdle) {
        Console::printf("ERROR: invalid state %d.\n", status->bState);
        return stateFailure;
    }
    return DfuDownloadResult::done;
}

// The status between blocks; updates the poll delay.
DfuDownloadResult checkStatusBeforeBlock(std::uint32_t& pollDelay) {
    const auto status = dfu_getstatus(requestTimeout);
    if (!status) {
        return DfuDownloadResult::statusBeforeBlock;
    }
    if (status->bStatus != 0) {
        Console::printf("ERROR: invalid status %d, state %d.\n", status->bStatus, status->bState);
        return DfuDownloadResult::statusBeforeBlock;
    }
    if (status->bState != stateDownloadBusy) {
        pollDelay = status->bwPollTimeout;
        return DfuDownloadResult::done;
    }
    // Busy: wait the poll timeout the chip gave with the previous block.
    Console::printf("Busy, sleeping %u ms.\n", pollDelay);
    Platform::sleepMilliseconds(pollDelay);
    return expectIdle(dfu_getstatus(requestTimeout), DfuDownloadResult::statusAfterBusy,
                      DfuDownloadResult::stateAfterBusy);
}

DfuDownloadResult downloadBlocks(const std::uint8_t* image, std::size_t length,
                                 std::size_t blockSize) {
    std::uint16_t blockNumber = 0;
    std::size_t remaining = length;
    std::uint32_t pollDelay = 0;
    while (true) {
        if (const DfuDownloadResult result = checkStatusBeforeBlock(pollDelay);
            result != DfuDownloadResult::done) {
            return result;
        }
        const std::size_t chunk = std::min(remaining, blockSize);
        remaining -= chunk;
        if (chunk > 0) {
            Console::printf("Downloading data, bytes left %zu.\n", remaining);
        } else {
            Console::print("Sending manifest.\n");
        }
        if (dfu_dnload(blockNumber, image, chunk) != 0) {
            Console::printf("ERROR: Unable to download block number %u.\n", blockNumber);
            return DfuDownloadResult::blockRefused;
        }
        if (chunk == 0) {
            return DfuDownloadResult::done;
        }
        ++blockNumber;
        image += chunk;
    }
}

}  // namespace

DfuModeResult dfu_enter_dfu_mode() {
    Console::print("Putting device in DFU mode...\n");
    Console::print("sending dfu_getfunct\n");
    const auto functional = dfu_getfunct();
    if (!functional || (functional->attributes & 1U) == 0) {
        Console::print("ERROR: device reports DFU cannot download!\n");
        return DfuModeResult::downloadNotSupported;
    }
    Console::printf("dfu_detach_timeout = %u\n", functional->detachTimeout);
    Console::print("getting state\n");
    int state = dfu_getstate();
    if (state < 0) {
        Console::printf("ERROR: invalid state %d.\n", state);
        return DfuModeResult::stateUnreadable;
    }
    if (state == stateError) {
        Console::print("clearing status\n");
        dfu_clrstatus();
        state = dfu_getstate();
    }
    if (state != stateAppIdle) {
        return DfuModeResult::notInApplication;
    }
    Console::print("DFU state = APP_IDLE, sending DFU_DETACH\n");
    if (dfu_detach(static_cast<std::uint16_t>(functional->detachTimeout)) == 0) {
        Console::print("DFU_DETACH OK\n");
    } else {
        Console::print("unsuccessful\n");
    }
    Platform::sleepMilliseconds(100);
    Console::printf("dfustate=%d\n", dfu_getstate());
    if (dfu_reset() == 0) {
        Console::print("DFU_RESET OK\n");
    } else {
        Console::print("could not reset\n");
    }
    return DfuModeResult::detachAndResetSent;
}

DfuDownloadResult dfu_download(const std::uint8_t* image, std::size_t length) {
    Console::print("getting state\n");
    int state = dfu_getstate();
    if (state < 0 || state == stateError) {
        Console::print("clearing status\n");
        dfu_clrstatus();
        state = dfu_getstate();
    }
    if (state != stateIdle) {
        Console::printf("ERROR: invalid state %d.\n", state);
        return DfuDownloadResult::notIdle;
    }

    Console::print("sending dfu_getfunct\n");
    const auto functional = getFunctionalWithRetries();
    if (!functional || (functional->attributes & 1U) == 0) {
        Console::print("ERROR: attribute error.\n");
        return DfuDownloadResult::downloadNotSupported;
    }
    // Each block travels in one packet with its 8-byte setup; an empty block would end the
    // download at once with nothing sent.
    const std::size_t blockSize = functional->transferSize;
    if (blockSize == 0 || blockSize > largestBlock) {
        Console::printf("ERROR: transfer size %zu not supported (1 to %zu bytes).\n", blockSize,
                        largestBlock);
        Console::print("ERROR: attribute error.\n");
        return DfuDownloadResult::downloadNotSupported;
    }

    if (length == 0) {
        Console::printf("ERROR: Invalid dfu file length %zu.\n", length);
        return DfuDownloadResult::emptyImage;
    }
    if (const DfuDownloadResult result = downloadBlocks(image, length, blockSize);
        result != DfuDownloadResult::done) {
        return result;
    }

    Console::print("Flashing, please wait...\n");
    if (const DfuDownloadResult result =
            expectIdle(dfu_getstatus(manifestTimeout), DfuDownloadResult::finalStatus,
                       DfuDownloadResult::finalState);
        result != DfuDownloadResult::done) {
        return result;
    }
    Console::print("Flashing, done.\n");
    Console::print("Reseting device...\n");
    dfu_reset();
    Platform::sleepMilliseconds(5000);
    Console::print("Reseting, done.\n");
    return DfuDownloadResult::done;
}

}  // namespace Boot::Bluetooth
