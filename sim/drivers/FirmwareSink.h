#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace Sim {

// One firmware target of a driver (touch controller, I/O microcontroller, IPL, bootstrap): takes
// the image pieces and the programming-status request the loader's installers send, answers as
// a successful programming does, and records what arrived: every data byte appended to the
// received NAME.bin, one line per request to NAME.log, and the same kept in memory for tests.
class FirmwareSink {
public:
    // NAME of the received files, e.g. "touch-firmware".
    explicit FirmwareSink(std::string name) : name_(std::move(name)) {}

    // Answers a firmware-data request (the piece is taken whole) or the status request
    // `statusCommand`; any other command is not this sink's and gets ENOSYS.
    std::int32_t handle(std::uint32_t command, std::uint32_t statusCommand,
                        std::vector<std::uint8_t>& data);
    void receivePiece(std::span<const std::uint8_t> piece);
    // The status word (0, programmed, unless a test set another) over the caller's buffer, after
    // the status hook ran; EINVAL when the buffer cannot hold the word.
    std::int32_t answerStatus(std::vector<std::uint8_t>& data);
    // Records a request that carries no image data.
    void recordRequest(std::string_view line);

    // For tests: the status word to answer, and a hook run at every status request (on the
    // driver's thread, before the answer), for instance to see the unit as programming left it.
    void setStatusWord(std::int32_t status);
    void setStatusHook(std::function<void()> hook);

    // Every byte received so far, in order, over all images.
    std::vector<std::uint8_t> received() const;
    // One line per request: "data N bytes", "status 0", or what recordRequest was given.
    std::vector<std::string> requests() const;

private:
    void recordLocked(std::string_view line);

    const std::string name_;
    mutable std::mutex mutex_;
    std::vector<std::uint8_t> received_;
    std::vector<std::string> requests_;
    std::int32_t statusWord_ = 0;
    std::function<void()> statusHook_;
};

}  // namespace Sim
