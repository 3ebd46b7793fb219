#include "sim/drivers/FirmwareSink.h"

#include <cerrno>
#include <cstring>
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
    file.write(reinterpret_cast<const char*>(piece.data()),
               static_cast<std::streamsize>(piece.size()));
    recordLocked("data " + std::to_string(piece.size()) + " bytes");
}

std::int32_t FirmwareSink::answerStatus(std::vector<std::uint8_t>& data) {
    std::function<void()> hook;
    {
        const std::lock_guard lock(mutex_);
        hook = statusHook_;
    }
    // Outside the lock: the hook may look at what the sink received.
    if (hook) {
        hook();
    }
    const std::lock_guard lock(mutex_);
    if (data.size() < sizeof statusWord_) {
        recordLocked("status request with a " + std::to_string(data.size()) + "-byte buffer");
        return EINVAL;
    }
    std::memcpy(data.data(), &statusWord_, sizeof statusWord_);
    recordLocked("status " + std::to_string(statusWord_));
    return 0;
}

void FirmwareSink::setStatusWord(std::int32_t status) {
    const std::lock_guard lock(mutex_);
    statusWord_ = status;
}

void FirmwareSink::setStatusHook(std::function<void()> hook) {
    const std::lock_guard lock(mutex_);
    statusHook_ = std::move(hook);
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
