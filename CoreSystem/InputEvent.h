#pragma once

#include <cstdint>
#include <type_traits>

namespace CoreSystem {

// One input event as the input queue hands it out: twelve 32-bit words, copied by value. Words
// that the event's type does not use carry no meaning.
struct InputEvent {
    static constexpr std::uint32_t typeNone = 0;
    static constexpr std::uint32_t typeTouch = 1;
    static constexpr std::uint32_t typeKey = 2;

    static constexpr std::uint32_t touchPress = 1;
    static constexpr std::uint32_t touchMove = 4;
    static constexpr std::uint32_t touchRelease = 32;

    // The set of pressed keys grew to two or more keys.
    static constexpr std::uint32_t keyMultiKey = 1;
    static constexpr std::uint32_t keyPress = 2;
    static constexpr std::uint32_t keyRelease = 3;

    std::uint32_t type = typeNone;
    // Touch: words 1-7 are the touch driver's message.
    std::uint32_t touchKind = 0;
    std::int32_t x = 0;
    std::int32_t y = 0;
    // Identifies one touch from its press to its release.
    std::uint32_t contact = 0;
    // The driver's remaining words, passed on unread.
    std::uint32_t touchRest[3] = {};
    // Key: the edge and the key mask (one bit per hardware key, low 16 bits).
    std::uint32_t keyState = 0;
    std::uint32_t keyMask = 0;
    // When the event was queued, on the monotonic clock.
    std::uint32_t seconds = 0;
    std::uint32_t nanoseconds = 0;

    bool operator==(const InputEvent&) const = default;
};

static_assert(sizeof(InputEvent) == 48 && std::is_standard_layout_v<InputEvent>,
              "an input event is twelve 32-bit words");

}  // namespace CoreSystem
