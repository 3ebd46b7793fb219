#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/Clock.h"
#include "sim/unitsim/UnitFolder.h"

namespace Sim::Unitsim {

// What the panel does to its unit on a person's request, with unitsim's own code. Each action
// returns a message for the person; a request that does not fit throws UsageError, one that
// cannot be carried out now (the unit is off, a unit runs already, ...) throws CommandFailure.
class UnitControl {
public:
    explicit UnitControl(const UnitFolder& unit) : unit_(unit) {}

    // Starts the loader under a supervisor, keeping every frame in the panel's capture folder.
    std::string boot();
    // Ends the run at once, as pulling the power would.
    std::string powerOff();
    std::string setShutdownRequest(bool high);

    // Holds a hardware key down or lets go of it; the other keys stay as they are. A release
    // comes at least the hold time of a click after its press, as a finger's would.
    std::string pressKey(const std::string& name);
    std::string releaseKey(const std::string& name);
    // A touch press and release at (x, y), y counting upwards from the bottom edge.
    std::string touch(std::int32_t x, std::int32_t y);

    // Where the panel's runs keep their frames.
    static constexpr const char* captureFolder = "/var/sim/panel/frames";

private:
    void clearCaptureFolder() const;

    const UnitFolder& unit_;
    std::mutex keysMutex_;
    std::uint32_t heldMask_ = 0;
    std::array<Platform::Clock::Duration, 4> pressedAt_{};
};

}  // namespace Sim::Unitsim
