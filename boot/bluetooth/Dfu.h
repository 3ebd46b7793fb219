#pragma once

#include <cstddef>
#include <cstdint>

// The firmware-download requests to the Bluetooth chip, carried over the link's channel 12, and
// the two procedures built on them. Progress and errors go to standard output. Static state;
// used from one thread after the link is up.
namespace Boot::Bluetooth {

enum class [[nodiscard]] DfuModeResult : int{
    detachAndResetSent = 0,  // each may have failed, as printed
    notInApplication = -1,   // the chip is not idle in its application
    stateUnreadable = -2,
    downloadNotSupported = -4,  // no function descriptor, or it says the chip cannot download
};

enum class [[nodiscard]] DfuDownloadResult : int{
    done = 0,  // downloaded, installed, and the chip reset
    emptyImage = -1,
    notIdle = -3,  // the chip is not idle in download mode, even after clearing an error
    // No function descriptor after three attempts, download not supported, or a transfer size
    // too large for one packet.
    downloadNotSupported = -4,
    statusBeforeBlock = -5,  // the status before a block is missing or an error
    statusAfterBusy = -6,    // the status after waiting out a busy chip is missing or an error
    stateAfterBusy = -7,     // after waiting out a busy chip, the chip is not idle
    blockRefused = -8,       // a data block or the closing empty block was not taken
    finalStatus = -9,        // the status after installing is missing or an error
    finalState = -10,        // after installing, the chip is not idle
};

// Switches a chip that runs its application into download mode.
DfuModeResult dfu_enter_dfu_mode();

// Downloads `length` bytes of `image` (the firmware file without its suffix) and has the chip
// install them.
DfuDownloadResult dfu_download(const std::uint8_t* image, std::size_t length);

}  // namespace Boot::Bluetooth
