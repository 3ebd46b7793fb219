#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace CoreSystem {

// The package checksum: polynomial 0x04C11DB7 processed most-significant bit first, started
// from a register derived from a seed, no final XOR. The running register belongs to the caller.
class CRC32 {
public:
    // The seed every user of the checksum starts from; its start value is 0x6826EB82.
    static constexpr std::uint32_t packageSeed = 0xEDB88320;

    static const std::array<std::uint32_t, 256> crc32Table;

    using UpdateFunction = std::uint32_t (*)(std::uint32_t crc, const void* bytes,
                                             std::size_t count);
    // One way of running bytes through the register, named for tests and benchmarks.
    struct Path {
        const char* name;
        UpdateFunction update;
    };
    // Every path this processor can run, from the slowest (the byte table) to the fastest, which
    // update() takes.
    static std::vector<Path> paths();

    // The register after running the four bytes of `seed`, most significant first, from 0.
    std::uint32_t startValue(std::uint32_t seed) const;
    // Runs `count` bytes through the register, on the fastest path this processor allows.
    std::uint32_t update(std::uint32_t crc, const void* bytes, std::size_t count) const;

    // The byte-at-a-time table update, the reference every faster path must match.
    static std::uint32_t updateReference(std::uint32_t crc, const void* bytes, std::size_t count);
    // Eight bytes per step through eight tables; runs on any processor.
    static std::uint32_t updateSlicing(std::uint32_t crc, const void* bytes, std::size_t count);

#if defined(__x86_64__)
    // Whether this processor has the carry-less multiply (and byte shuffle) instructions that
    // updateCarrylessMultiply needs.
    static bool carrylessMultiplySupported();
    // Folds 64-byte blocks with carry-less multiplies; only where carrylessMultiplySupported().
    static std::uint32_t updateCarrylessMultiply(std::uint32_t crc, const void* bytes,
                                                 std::size_t count);
    // Whether this processor also multiplies four 128-bit lanes at once in 512-bit registers
    // (and the system keeps those registers), as updateWideCarrylessMultiply needs.
    static bool wideCarrylessMultiplySupported();
    // Folds 256-byte blocks in 512-bit registers; only where wideCarrylessMultiplySupported().
    static std::uint32_t updateWideCarrylessMultiply(std::uint32_t crc, const void* bytes,
                                                     std::size_t count);
#endif
};

}  // namespace CoreSystem
