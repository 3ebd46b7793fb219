#pragma once

#include <array>
#include <cstdint>
#include <map>

namespace CoreSystem {

// A spot at the display edge next to a hardware key: its icon is drawn with its lower-left
// corner at (x, y), a touch near it counts as its button, and `keyMask` is the bit pattern the
// key driver reports for the hardware key.
struct SoftKey {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::uint32_t keyMask = 0;
};

// One display type: its size and its four soft keys (soft key n is button n).
struct DisplayLayout {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::array<SoftKey, 4> keys{};

    // A soft key's icon is a square of this side; a touch within `touchMargin` of it hits it.
    static constexpr int iconSize = 60;
    static constexpr int touchMargin = 10;

    // The display types the loader knows, by id; id 0 has no usable soft key (all of them
    // off-screen, without a key mask).
    static std::map<int, DisplayLayout> builtIn();
};

}  // namespace CoreSystem
