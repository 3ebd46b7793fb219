// Feeds arbitrary factory data to the hardware manager: the input is the three data blocks as
// the IPL control driver hands them out (256 bytes each; a short input gives a short reply)
// followed by the boot-parameter area in physical memory. Every board value is read afresh
// for each input and must stay within its range.

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "CoreSystem/HardwareManager.h"
#include "fuzz/FuzzSupport.h"
#include "platform/DeviceCommands.h"
#include "platform/testkit/DeviceServer.h"

namespace {

using CoreSystem::Hardware::DataBlockEnum;
using CoreSystem::Hardware::Manager;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t blockSize = 256;
constexpr std::size_t blockCount = 3;
constexpr std::uint64_t bootParameterAddress = 0xE63C0000;
constexpr std::size_t bootParameterSize = 80;
// Covers every physical address the manager maps.
constexpr off_t memorySize = 0xE6400000;

std::mutex blocksMutex;
std::array<Bytes, blockCount> blocks;
std::unique_ptr<Platform::Testkit::DeviceServer> iplDriver;

std::int32_t answer(std::uint32_t command, Bytes& data) {
    const std::lock_guard lock(blocksMutex);
    for (std::size_t index = 0; index < blockCount; ++index) {
        if (command == Platform::DeviceCommands::iplReadDataBlock(static_cast<int>(index + 1))) {
            data = blocks.at(index);
            return 0;
        }
    }
    return EINVAL;
}

void writeBootParameters(std::span<const std::uint8_t> bytes) {
    std::array<std::uint8_t, bootParameterSize> area{};
    area.fill(0xFF);
    std::copy(bytes.begin(),
              bytes.begin() + static_cast<std::ptrdiff_t>(std::min(bytes.size(), area.size())),
              area.begin());
    const std::string path = FuzzSupport::workFolder() + "/dev/mem";
    const int handle = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (handle < 0 ||
        pwrite(handle, area.data(), area.size(), static_cast<off_t>(bootParameterAddress)) !=
            static_cast<ssize_t>(area.size())) {
        std::abort();
    }
    close(handle);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    FuzzSupport::makeWorkFolder("factory");
    const std::string& root = FuzzSupport::workFolder();
    setenv("UNIT_ROOT", root.c_str(), 1);
    setenv("DEVICEFAMILY", "M2", 1);
    std::filesystem::create_directories(root + "/dev");
    FuzzSupport::writeFile(root + "/dev/mem", nullptr, 0);
    if (truncate((root + "/dev/mem").c_str(), memorySize) != 0) {
        std::abort();
    }
    iplDriver = std::make_unique<Platform::Testkit::DeviceServer>(
        root + "/dev/iplctl", Platform::Testkit::DeviceServer::Handlers{.devctl = answer});
    std::atexit([] { iplDriver.reset(); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    {
        const std::lock_guard lock(blocksMutex);
        for (std::size_t index = 0; index < blockCount; ++index) {
            const std::size_t start = std::min(size, index * blockSize);
            const std::size_t end = std::min(size, start + blockSize);
            blocks.at(index).assign(input.begin() + static_cast<std::ptrdiff_t>(start),
                                    input.begin() + static_cast<std::ptrdiff_t>(end));
        }
    }
    writeBootParameters(input.subspan(std::min(size, blockCount * blockSize)));
    Manager::resetCachedState();

    for (const DataBlockEnum kind :
         {DataBlockEnum::block1, DataBlockEnum::block2, DataBlockEnum::block3}) {
        const Bytes block = Manager::readDataBlock(kind);
        if (Manager::isDataBlockValid(kind, block) &&
            block.size() != Manager::dataBlockSize(kind)) {
            std::abort();
        }
    }
    if (Manager::displayType() > 12 || Manager::variantCode() > 2) {
        std::abort();
    }
    static_cast<void>(Manager::partNumber());
    static_cast<void>(Manager::serialNumber());
    static_cast<void>(Manager::bootParameters());
    return 0;
}
