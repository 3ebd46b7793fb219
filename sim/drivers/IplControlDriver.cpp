#include "sim/drivers/IplControlDriver.h"

#include <cerrno>
#include <fstream>

#include "platform/DeviceCommands.h"

namespace Sim {

namespace Commands = Platform::DeviceCommands;

IplControlDriver::IplControlDriver(const std::string& hostPath, std::string factoryFolder)
    : factoryFolder_(std::move(factoryFolder)),
      server_(hostPath, {.devctl = [this](std::uint32_t command, std::vector<std::uint8_t>& data) {
                  return answer(command, data);
              }}) {}

std::int32_t IplControlDriver::answer(std::uint32_t command, std::vector<std::uint8_t>& data) {
    for (const int kind : {1, 2, 3}) {
        if (command == Commands::iplReadDataBlock(kind)) {
            return readBlock(kind, data);
        }
    }
    switch (command) {
        case Commands::firmwareData: {
            const std::lock_guard lock(mutex_);
            pendingPieces_.push_back(data);
            return 0;
        }
        case Commands::programmingStatus:
            return finishImage(ipl_, data);
        case Commands::bootstrapProgrammingStatus:
            return finishImage(bootstrap_, data);
        default:
            return ENOSYS;
    }
}

int IplControlDriver::blockReads() const {
    const std::lock_guard lock(mutex_);
    return blockReads_;
}

std::int32_t IplControlDriver::readBlock(int kind, std::vector<std::uint8_t>& data) {
    {
        const std::lock_guard lock(mutex_);
        ++blockReads_;
    }
    if (data.size() != blockSize) {
        return EINVAL;
    }
    std::ifstream file(factoryFolder_ + "block" + std::to_string(kind) + ".bin", std::ios::binary);
    std::vector<char> block(blockSize + 1);
    file.read(block.data(), static_cast<std::streamsize>(block.size()));
    if (file.gcount() != static_cast<std::streamsize>(blockSize)) {
        return EIO;
    }
    data.assign(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(blockSize));
    return 0;
}

std::int32_t IplControlDriver::finishImage(FirmwareSink& sink, std::vector<std::uint8_t>& data) {
    std::vector<std::vector<std::uint8_t>> pieces;
    {
        const std::lock_guard lock(mutex_);
        pieces.swap(pendingPieces_);
    }
    for (const std::vector<std::uint8_t>& piece : pieces) {
        sink.receivePiece(piece);
    }
    return sink.answerStatus(data);
}

}  // namespace Sim
