// Feeds arbitrary bytes to the firmware file reader, printing the details as the installer does:
// it must accept exactly the files the checks pass and return them unchanged.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "boot/bluetooth/DfuFile.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    FuzzSupport::makeWorkFolder("dfufile");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace Boot::Bluetooth;
    const std::string path = FuzzSupport::workFolder() + "/input.dfu";
    FuzzSupport::writeFile(path, data, size);
    std::size_t length = 0;
    const auto file = dfu_read_file(path, length, false);
    const std::vector<std::uint8_t> input(data, data + size);
    const bool passes = dfuParseFile(input).check == DfuFileCheck::ok;
    if (file.has_value() != passes ||
        (file && (*file != input || length != size - dfuSuffixSize))) {
        std::abort();
    }
    return 0;
}
