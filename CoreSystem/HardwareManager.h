#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace CoreSystem::Hardware {

// Kinds of the unit's 256-byte factory data blocks.
enum class DataBlockEnum : int { block1 = 1, block2 = 2, block3 = 3 };

// Board-dependent operations: device family, factory data blocks (through the IPL control
// driver), the boot-parameter area in on-chip RAM, display type, variant code, part and serial
// numbers, the shutdown through the power-management IC, the boot counter and the data-partition
// check. All static; results are computed on first use and cached, each group under its mutex.
class Manager {
public:
    static constexpr int familyUnknown = 0;
    static constexpr int familyIMX35 = 1;
    static constexpr int familyM2 = 2;

    static int deviceFamily();
    static bool isM2();
    // The 80-byte boot-parameter area, or null when there is no valid one.
    static const std::uint8_t* bootParameters();
    // The block's bytes, or an empty vector when the driver could not supply them.
    static std::vector<std::uint8_t> readDataBlock(DataBlockEnum kind);
    static bool isDataBlockValid(DataBlockEnum kind, const std::vector<std::uint8_t>& bytes);
    // 256 for the known kinds, 0 otherwise.
    static std::size_t dataBlockSize(DataBlockEnum kind);
    static std::uint32_t displayType();
    static std::uint32_t variantCode();
    static std::uint32_t partNumber();
    static std::uint32_t serialNumber();
    static void shutdown();
    static std::uint32_t getBootCount();
    static void incrementBootCount();
    [[nodiscard]] static bool checkDataPartition();
    // Descriptor of "/dev/iplctl", or a negative value.
    [[nodiscard]] static int iplControlHandle();

    // Forgets every cached value (device family, data blocks, boot-parameter area, boot count)
    // and closes the IPL control handle, as at process start; pointers from bootParameters()
    // become invalid. For tests, which change the environment and the unit between cases.
    static void resetCachedState();
};

}  // namespace CoreSystem::Hardware
