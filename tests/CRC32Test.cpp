#include "CoreSystem/CRC32.h"

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

namespace {

using CoreSystem::CRC32;

struct UpdatePath {
    std::string name;
    CRC32::UpdateFunction update;
};

// Every way of updating the register that this processor can run, the reference included.
std::vector<UpdatePath> pathsOnThisProcessor() {
    std::vector<UpdatePath> paths = {
        {"fastest", [](std::uint32_t crc, const void* bytes, std::size_t count) {
             return CRC32{}.update(crc, bytes, count);
         }}};
    for (const CRC32::Path& path : CRC32::paths()) {
        paths.push_back({path.name, path.update});
    }
    return paths;
}

std::vector<std::uint8_t> randomBytes(std::mt19937& generator, std::size_t count) {
    std::uniform_int_distribution<unsigned> byte(0, 255);
    std::vector<std::uint8_t> bytes(count);
    for (auto& value : bytes) {
        value = static_cast<std::uint8_t>(byte(generator));
    }
    return bytes;
}

TEST(CRC32Test, TableHoldsTheShiftedPolynomial) {
    EXPECT_EQ(CRC32::crc32Table[0], 0U);
    EXPECT_EQ(CRC32::crc32Table[1], 0x04C11DB7U);
    EXPECT_EQ(CRC32::crc32Table[2], 0x09823B6EU);
    EXPECT_EQ(CRC32::crc32Table[255], 0xB1F740B4U);
}

TEST(CRC32Test, StartValueRunsTheSeedMostSignificantByteFirst) {
    const CRC32 crc;
    EXPECT_EQ(crc.startValue(CRC32::packageSeed), 0x6826EB82U);
    EXPECT_EQ(crc.startValue(0), 0U);
}

TEST(CRC32Test, EveryPathGivesTheKnownRegisters) {
    const std::string_view check = "123456789";
    struct Case {
        std::string_view bytes;
        std::uint32_t start;
        std::uint32_t expected;
    };
    // The package start value, and the same polynomial's catalogued check values: from
    // 0xFFFFFFFF with no final XOR, and from 0 with the final inversion (the register is
    // compared before that inversion here).
    const Case cases[] = {{"abc", 0x6826EB82, 0xC67B880C},
                          {"", 0x6826EB82, 0x6826EB82},
                          {check, 0xFFFFFFFF, 0x0376E6E7},
                          {check, 0, ~0x765E7680U}};
    for (const auto& path : pathsOnThisProcessor()) {
        for (const auto& testCase : cases) {
            SCOPED_TRACE(path.name + " over \"" + std::string(testCase.bytes) + "\"");
            EXPECT_EQ(path.update(testCase.start, testCase.bytes.data(), testCase.bytes.size()),
                      testCase.expected);
        }
    }
}

TEST(CRC32Test, EveryPathMatchesTheReferenceAtAnyLengthAlignmentAndStart) {
    // NOLINTNEXTLINE(cert-msc32-c,cert-msc51-cpp): a fixed seed, so that a failure repeats
    std::mt19937 generator(20240611);
    constexpr std::size_t longest = 5000;
    constexpr std::size_t alignments = 16;
    const std::vector<std::uint8_t> buffer = randomBytes(generator, longest + alignments);

    // Every short length (around every block and fold threshold), then random long ones.
    std::vector<std::size_t> lengths;
    for (std::size_t length = 0; length <= 300; ++length) {
        lengths.push_back(length);
    }
    std::uniform_int_distribution<std::size_t> longLength(301, longest);
    for (int trial = 0; trial < 200; ++trial) {
        lengths.push_back(longLength(generator));
    }
    lengths.push_back(longest);

    std::uniform_int_distribution<std::size_t> alignment(0, alignments - 1);
    std::uniform_int_distribution<std::uint32_t> anyRegister;
    const auto paths = pathsOnThisProcessor();
    for (const std::size_t length : lengths) {
        const std::uint8_t* start = buffer.data() + alignment(generator);
        const std::uint32_t startRegister = anyRegister(generator);
        const std::uint32_t expected = CRC32::updateReference(startRegister, start, length);
        for (const auto& path : paths) {
            SCOPED_TRACE(path.name + ", length " + std::to_string(length));
            ASSERT_EQ(path.update(startRegister, start, length), expected);
        }
    }
}

TEST(CRC32Test, UpdatingInTwoPiecesEqualsUpdatingTheWhole) {
    // NOLINTNEXTLINE(cert-msc32-c,cert-msc51-cpp): a fixed seed, so that a failure repeats
    std::mt19937 generator(7);
    const std::vector<std::uint8_t> bytes = randomBytes(generator, 1500);
    const std::size_t splits[] = {0, 1, 15, 64, 100, 777, 1436, 1499, 1500};
    const std::uint32_t start = CRC32{}.startValue(CRC32::packageSeed);
    for (const auto& path : pathsOnThisProcessor()) {
        const std::uint32_t whole = path.update(start, bytes.data(), bytes.size());
        for (const std::size_t split : splits) {
            SCOPED_TRACE(path.name + ", split at " + std::to_string(split));
            const std::uint32_t first = path.update(start, bytes.data(), split);
            EXPECT_EQ(path.update(first, bytes.data() + split, bytes.size() - split), whole);
        }
    }
}

}  // namespace
