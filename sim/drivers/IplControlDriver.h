#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/testkit/DeviceServer.h"
#include "sim/drivers/FirmwareSink.h"
#include "sim/drivers/StandinDriver.h"

namespace Sim {

// "/dev/iplctl": the IPL control driver. It reads the 256-byte factory data blocks 1 to 3 from
// `factoryFolder` + "blockN.bin" at every request (EIO when the file is missing or not a whole
// block), and takes IPL and bootstrap images for the QSPI-NOR flash. Both images arrive through
// the same firmware-data request; only the status request that ends an image says which one it
// was, so the pieces wait until then and go to "ipl-firmware" or "bootstrap-firmware".
class IplControlDriver final : public StandinDriver {
public:
    static constexpr std::size_t blockSize = 256;

    IplControlDriver(const std::string& hostPath, std::string factoryFolder);

    FirmwareSink& iplFirmware() { return ipl_; }
    FirmwareSink& bootstrapFirmware() { return bootstrap_; }
    // Data block requests answered so far, whatever their result.
    int blockReads() const;

private:
    std::int32_t answer(std::uint32_t command, std::vector<std::uint8_t>& data);
    std::int32_t readBlock(int kind, std::vector<std::uint8_t>& data);
    std::int32_t finishImage(FirmwareSink& sink, std::vector<std::uint8_t>& data);

    const std::string factoryFolder_;
    mutable std::mutex mutex_;
    int blockReads_ = 0;
    std::vector<std::vector<std::uint8_t>> pendingPieces_;
    FirmwareSink ipl_{"ipl-firmware"};
    FirmwareSink bootstrap_{"bootstrap-firmware"};
    Platform::Testkit::DeviceServer server_;  // last: stops before what it serves goes away
};

}  // namespace Sim
