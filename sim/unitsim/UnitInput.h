#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "CoreSystem/DisplayLayout.h"
#include "sim/unitsim/UnitFolder.h"

// What a person does to a unit's inputs: its hardware keys, its touch screen and the
// shutdown-request input. Shared by unitsim's input commands and the front panel.
namespace Sim::Unitsim {

// How long a click or a touch holds before it lets go.
inline constexpr int holdMilliseconds = 100;

// The hardware keys by name; soft key n is button n.
inline constexpr std::array<std::string_view, 4> keyNames = {"cancel", "select", "up", "down"};

// The index of a key by name; UsageError for an unknown name.
std::size_t keyIndex(const std::string& name);
// The soft key for the unit's display type; CommandFailure when that display has no such key.
CoreSystem::SoftKey softKey(const UnitFolder& unit, const std::string& name);

// Tells the key driver which keys are down (one bit per key; 0 lets go of every key).
void writeKeyMask(const UnitFolder& unit, std::uint32_t mask);
// A touch at (x, y), y counting upwards from the bottom edge: pressed, held, released.
void tap(const UnitFolder& unit, std::int32_t x, std::int32_t y);
// The touch point at the centre of a soft key's icon.
std::array<std::int32_t, 2> softKeyCentre(const CoreSystem::SoftKey& key);

// Whether a shutdown-request level, "high" or "low", is high; UsageError for any other word.
bool isHighShutdownLevel(const std::string& level);
// Raises or lowers the shutdown-request input in the unit's physical memory. The unit must be
// named in UNIT_ROOT (UnitFolder::exportAsUnitRoot).
void setShutdownRequest(const UnitFolder& unit, bool high);
bool shutdownRequested(const UnitFolder& unit);

}  // namespace Sim::Unitsim
