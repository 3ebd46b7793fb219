#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace Sim {

// The chip's DFU function: the requests of the USB DFU class carried as control requests
// (8-byte setup block, then wLength data bytes), plus the vendor requests that read the
// function descriptor (0xC1/9) and reset the chip (0x21/7). Replies are status u16, length u16
// and the data, little-endian.
class DfuDevice {
public:
    // DFU states as numbered by the USB DFU class.
    enum State : std::uint8_t {
        AppIdle = 0,
        AppDetach = 1,
        DfuIdle = 2,
        DownloadSync = 3,
        DownloadBusy = 4,
        ManifestSync = 6,
        DfuError = 10,
    };
    struct Settings {
        std::uint32_t build = 0;
        std::uint16_t attributes = 0x0001;  // bit 0: can download
        std::uint16_t detachTimeout = 5000;
        std::uint16_t transferSize = 1024;
        std::uint32_t pollTimeout = 10;  // bwPollTimeout reported in every status
        unsigned busyPollsPerBlock = 0;  // status polls answered dfuDNBUSY after each block
        unsigned functionDescriptorErrors =
            0;                               // descriptor requests refused before one is answered
        bool startsInError = false;          // every start in DFU mode is in dfuERROR
        std::uint32_t buildAfterUpdate = 0;  // 0: take the build number from the image
    };
    struct Outcome {
        std::vector<std::uint8_t> reply;
        bool resetAfterReply = false;
    };

    explicit DfuDevice(Settings settings);

    Outcome handle(std::span<const std::uint8_t> request);
    // The chip restarts: into DFU mode after a detach, with the new firmware after a
    // manifestation, otherwise as it was.
    void restart();

    std::uint32_t runningBuild() const { return build_; }
    State state() const { return state_; }
    bool inDfuMode() const { return dfuMode_; }
    // The last image manifested, as it was received.
    const std::vector<std::uint8_t>& manifestedImage() const { return manifested_; }
    unsigned manifestations() const { return manifestations_; }

private:
    Outcome status(std::uint8_t deviceStatus);
    Outcome download(std::uint16_t blockNumber, std::span<const std::uint8_t> data);
    Outcome refuse(std::uint8_t deviceStatus);
    void manifest();

    Settings settings_;
    std::uint32_t build_;
    bool dfuMode_ = false;
    State state_ = AppIdle;
    std::uint8_t errorStatus_ = 0;
    unsigned functionDescriptorErrorsLeft_;
    unsigned busyPollsLeft_ = 0;
    std::uint16_t nextBlock_ = 0;
    std::vector<std::uint8_t> image_;
    std::vector<std::uint8_t> manifested_;
    bool manifestPending_ = false;
    unsigned manifestations_ = 0;
};

// The build number a firmware image names: the decimal number after its first "build ", or 0.
std::uint32_t buildNamedIn(std::span<const std::uint8_t> image);

}  // namespace Sim
