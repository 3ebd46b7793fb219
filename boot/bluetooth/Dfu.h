#pragma once

#include <cstddef>
#include <cstdint>

// The firmware-download requests to the Bluetooth chip, carried over the link's channel 12, and
// the two procedures built on them. Progress and errors go to standard output. Static state;
// used from one thread after the link is up.
namespace Boot::Bluetooth {

// Switches a chip that runs its application into download mode: 0 detach and reset sent (each
// may have failed, as printed), -1 chip not idle in its application, -2 state unreadable,
// -4 function descriptor missing or download not supported.
int dfu_enter_dfu_mode();

// Downloads `length` bytes of `image` (the firmware file without its suffix) and has the chip
// install them. 0 on success; -1 empty image; -3 chip not idle; -4 no function descriptor,
// download not supported, or a transfer size too large for one packet; -5 .. -7 status errors
// between blocks; -8 a block refused; -9, -10 final status errors.
int dfu_download(const std::uint8_t* image, std::size_t length);

}  // namespace Boot::Bluetooth
