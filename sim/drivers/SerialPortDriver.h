#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "sim/bluetooth/ChipOptions.h"
#include "sim/bluetooth/SimulatedChip.h"
#include "sim/drivers/StandinDriver.h"

namespace Sim {

// A serial port with the Bluetooth module behind it ("/dev/ser1", "/dev/serusb1"): the simulated
// chip runs on the master side of a pseudo-terminal and the device path is a symbolic link to
// the slave side. What the chip goes through is recorded to the received "bluetooth.log", one
// line per event (the build it runs, DFU mode, an image downloaded, the build after it), and
// the last image it took to "bluetooth-firmware.bin".
class SerialPortDriver final : public StandinDriver {
public:
    // Throws std::system_error when the link cannot be made (for instance, the path exists).
    SerialPortDriver(std::string hostPath, const ChipOptions& options);
    ~SerialPortDriver() override;

    const SimulatedChip& chip() const { return chip_; }

private:
    void recordEvents();

    const std::string hostPath_;
    SimulatedChip chip_;
    std::atomic<bool> stopping_{false};
    std::thread recorder_;
};

}  // namespace Sim
