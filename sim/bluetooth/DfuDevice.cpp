#include "sim/bluetooth/DfuDevice.h"

#include <algorithm>
#include <string_view>

namespace Sim {
namespace {

constexpr std::size_t setupSize = 8;
// Device status values of the USB DFU class.
constexpr std::uint8_t statusOk = 0x00;
constexpr std::uint8_t errorFile = 0x02;
constexpr std::uint8_t errorAddress = 0x08;
constexpr std::uint8_t errorNotDone = 0x09;
constexpr std::uint8_t errorUnknown = 0x0E;
constexpr std::uint8_t errorStalledPacket = 0x0F;

std::uint16_t littleEndian16(std::span<const std::uint8_t> bytes) {
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8U));
}

void append16(std::vector<std::uint8_t>& bytes, std::uint32_t value) {
    bytes.push_back(static_cast<std::uint8_t>(value & 0xFFU));
    bytes.push_back(static_cast<std::uint8_t>((value >> 8U) & 0xFFU));
}

std::vector<std::uint8_t> reply(std::uint16_t replyStatus, std::span<const std::uint8_t> data) {
    std::vector<std::uint8_t> bytes;
    append16(bytes, replyStatus);
    append16(bytes, static_cast<std::uint32_t>(data.size()));
    bytes.insert(bytes.end(), data.begin(), data.end());
    return bytes;
}

bool hasFirmwareMagic(std::span<const std::uint8_t> image) {
    const std::string_view text(reinterpret_cast<const char*>(image.data()), image.size());
    return text.starts_with("CSR-dfu1") || text.starts_with("CSR-dfu2");
}

}  // namespace

std::uint32_t buildNamedIn(std::span<const std::uint8_t> image) {
    const std::string_view text(reinterpret_cast<const char*>(image.data()), image.size());
    const std::size_t found = text.find("build ");
    if (found == std::string_view::npos) {
        return 0;
    }
    std::uint32_t build = 0;
    for (std::size_t at = found + 6; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        build = build * 10 + static_cast<std::uint32_t>(text[at] - '0');
    }
    return build;
}

DfuDevice::DfuDevice(Settings settings)
    : settings_(settings),
      build_(settings.build),
      functionDescriptorErrorsLeft_(settings.functionDescriptorErrors) {}

DfuDevice::Outcome DfuDevice::handle(std::span<const std::uint8_t> request) {
    if (request.size() < setupSize ||
        littleEndian16(request.subspan(6)) != request.size() - setupSize) {
        return refuse(errorStalledPacket);
    }
    const std::uint8_t requestType = request[0];
    const std::uint8_t requestCode = request[1];
    const std::uint16_t value = littleEndian16(request.subspan(2));
    const auto data = request.subspan(setupSize);

    if (requestType == 0xC1 && requestCode == 9 && data.size() == 6) {
        if (functionDescriptorErrorsLeft_ > 0) {
            --functionDescriptorErrorsLeft_;
            return {reply(errorStalledPacket, {}), false};
        }
        std::vector<std::uint8_t> descriptor;
        append16(descriptor, settings_.attributes);
        append16(descriptor, settings_.detachTimeout);
        append16(descriptor, settings_.transferSize);
        return {reply(statusOk, descriptor), false};
    }
    if (requestType == 0x21 && requestCode == 7 && data.empty()) {
        return {reply(statusOk, {}), true};
    }
    if (requestType == 0xA1 && requestCode == 3 && data.size() == 6) {
        return status(statusOk);
    }
    if (requestType == 0xA1 && requestCode == 5 && data.size() == 1) {
        const std::uint8_t state = state_;
        return {reply(statusOk, std::span(&state, 1)), false};
    }
    if (requestType == 0x21 && requestCode == 4 && data.empty()) {
        if (state_ != DfuError) {
            return refuse(errorStalledPacket);
        }
        state_ = dfuMode_ ? DfuIdle : AppIdle;
        errorStatus_ = statusOk;
        return {reply(statusOk, {}), false};
    }
    // A detach is accepted with either request type: the loader sends it as 0xA1.
    if ((requestType == 0x21 || requestType == 0xA1) && requestCode == 0 && data.empty()) {
        if (state_ != AppIdle) {
            return refuse(errorStalledPacket);
        }
        state_ = AppDetach;
        return {reply(statusOk, {}), false};
    }
    if (requestType == 0x21 && requestCode == 1) {
        return download(value, data);
    }
    return refuse(errorStalledPacket);
}

void DfuDevice::restart() {
    if (manifestPending_) {
        build_ = settings_.buildAfterUpdate != 0 ? settings_.buildAfterUpdate
                                                 : buildNamedIn(manifested_);
        manifestPending_ = false;
        dfuMode_ = false;
    } else if (state_ == AppDetach) {
        dfuMode_ = true;
    }
    state_ = !dfuMode_ ? AppIdle : settings_.startsInError ? DfuError : DfuIdle;
    errorStatus_ = state_ == DfuError ? errorUnknown : statusOk;
    busyPollsLeft_ = 0;
    nextBlock_ = 0;
    image_.clear();
}

DfuDevice::Outcome DfuDevice::status(std::uint8_t deviceStatus) {
    if (state_ == DownloadSync || state_ == DownloadBusy) {
        if (busyPollsLeft_ > 0) {
            --busyPollsLeft_;
            state_ = DownloadBusy;
        } else {
            state_ = DfuIdle;
        }
    } else if (state_ == ManifestSync) {
        manifest();
    }
    const std::uint8_t reported = state_ == DfuError ? errorStatus_ : deviceStatus;
    const std::uint8_t data[6] = {reported,
                                  static_cast<std::uint8_t>(settings_.pollTimeout & 0xFFU),
                                  static_cast<std::uint8_t>((settings_.pollTimeout >> 8U) & 0xFFU),
                                  static_cast<std::uint8_t>((settings_.pollTimeout >> 16U) & 0xFFU),
                                  state_,
                                  0};
    return {reply(statusOk, data), false};
}

DfuDevice::Outcome DfuDevice::download(std::uint16_t blockNumber,
                                       std::span<const std::uint8_t> data) {
    if (!dfuMode_ || state_ != DfuIdle) {
        return refuse(errorStalledPacket);
    }
    if (blockNumber != nextBlock_) {
        return refuse(errorAddress);
    }
    if (data.empty()) {
        if (image_.empty()) {
            return refuse(errorNotDone);
        }
        state_ = ManifestSync;
        return {reply(statusOk, {}), false};
    }
    if (data.size() > settings_.transferSize) {
        return refuse(errorStalledPacket);
    }
    image_.insert(image_.end(), data.begin(), data.end());
    ++nextBlock_;
    state_ = DownloadSync;
    busyPollsLeft_ = settings_.busyPollsPerBlock;
    return {reply(statusOk, {}), false};
}

DfuDevice::Outcome DfuDevice::refuse(std::uint8_t deviceStatus) {
    // A refused request in DFU mode leaves the function in dfuERROR until it is cleared.
    if (dfuMode_) {
        state_ = DfuError;
        errorStatus_ = deviceStatus;
    }
    return {reply(deviceStatus, {}), false};
}

void DfuDevice::manifest() {
    if (!hasFirmwareMagic(image_)) {
        state_ = DfuError;
        errorStatus_ = errorFile;
        return;
    }
    manifested_ = image_;
    manifestPending_ = true;
    ++manifestations_;
    state_ = DfuIdle;
}

}  // namespace Sim
