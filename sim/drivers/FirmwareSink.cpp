#include "sim/drivers/FirmwareSink.h"

#include <algorithm>
#include <cerrno>
#include <fstream>

#include "platform/DeviceCommands.h"
#include "sim/common/StandinProcess.h"

namespace Sim {

std::int32_t FirmwareSink::handle(std::uint32_t command, std::uint32_t statusCommand,
                                  std::vector<std::uint8_t>& data) {
    if (command == Platform::DeviceCommands::firmwareData) {
        receivePiece(data);
        return 0;
    }
    if (command == statusCommand) {
        return answerStatus(data);
    }
    return ENOSYS;
}

void FirmwareSink::receivePiece(std::span<const std::uint8_t> piece) {
    const std::lock_guard lock(mutex_);
    received_.insert(received_.end(), piece.begin(), piece.end());
    std::ofstream file(StandinProcess::receivedFile(name_ + ".bin"),
                       std::ios::binary | std::ios::app);
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): streams write chars
    file.write(reinterpret_cast<const char*>(piece.data()),
               static_cast<std::streamsize>(piece.size()));
    recordLocked("data " + std::to_string(piece.size()) + " bytes");
}

std::int32_t FirmwareSink::answerStatus(std::vector<std::uint8_t>& data) {
    const std::lock_guard lock(mutex_);
    constexpr std::size_t statusSize = 4;
    if (data.size() < statusSize) {
        recordLocked("status request with a " + std::to_string(data.size()) + "-byte buffer");
        return EINVAL;
    }
    std::fill_n(data.begin(), statusSize, std::uint8_t{0});
    recordLocked("status 0");
    return 0;
}

void FirmwareSink::recordRequest(std::string_view line) {
    const std::lock_guard lock(mutex_);
    recordLocked(line);
}

std::vector<std::uint8_t> FirmwareSink::received() const {
    const std::lock_guard lock(mutex_);
    return received_;
}

std::vector<std::string> FirmwareSink::requests() const {
    const std::lock_guard lock(mutex_);
    return requests_;
}

void FirmwareSink::recordLocked(std::string_view line) {
    requests_.emplace_back(line);
    StandinProcess::appendReceivedLine(name_ + ".log", line);
}

}  // namespace Sim
