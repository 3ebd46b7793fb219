// The checksum by folding with carry-less multiplies (x86-64 only).
//
// Read as a polynomial with the first byte's top bit as the highest coefficient, running n
// bytes D through register R gives R' = (R * x^(8n) + D * x^32) mod P, P = x^32 + 0x04C11DB7.
// From register 0, data whose polynomials are congruent modulo P give the same register, so
// R is XORed into the first four bytes and the data, 16 bytes at a time and byte-reversed so
// that a 128-bit lane holds a block's polynomial, is folded into one 128-bit value congruent
// to everything before the tail; the table path finishes that value's 16 bytes and the tail
// from register 0. The wide path does the same four 128-bit lanes to a 512-bit register, which
// folds 256 bytes per step.
#include "CoreSystem/CRC32.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include <array>

#define CARRYLESS_MULTIPLY_TARGET __attribute__((target("pclmul,sse4.1,ssse3")))
#define WIDE_CARRYLESS_MULTIPLY_TARGET \
    __attribute__((target("vpclmulqdq,avx512f,avx512bw,pclmul,sse4.1,ssse3")))

namespace CoreSystem {
namespace {

constexpr std::uint64_t polynomialWithTopBit = 0x104C11DB7;

// x^power mod P, bit i being the coefficient of x^i.
constexpr std::uint64_t xPowerModulo(unsigned power) {
    std::uint64_t remainder = 1;
    for (unsigned step = 0; step < power; ++step) {
        remainder <<= 1U;
        if ((remainder >> 32U) != 0) {
            remainder ^= polynomialWithTopBit;
        }
    }
    return remainder;
}

// Multiplying a 128-bit value A = Ahigh * x^64 + Alow by x^distance modulo P: Ahigh times
// x^(distance + 64) mod P plus Alow times x^distance mod P, a product below 96 bits.
struct FoldConstants {
    long long high;
    long long low;
};

constexpr FoldConstants foldConstants(unsigned distance) {
    return {static_cast<long long>(xPowerModulo(distance + 64)),
            static_cast<long long>(xPowerModulo(distance))};
}

constexpr std::size_t blockBytes = 16;
constexpr std::size_t lanes = 4;
constexpr std::size_t stripeBytes = blockBytes * lanes;

CARRYLESS_MULTIPLY_TARGET __m128i constantsVector(FoldConstants constants) {
    return _mm_set_epi64x(constants.high, constants.low);
}

CARRYLESS_MULTIPLY_TARGET __m128i byteReversal() {
    return _mm_setr_epi8(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
}

// Unaligned 16 bytes, first byte in the top bits.
CARRYLESS_MULTIPLY_TARGET __m128i loadBlock(const std::uint8_t* data, __m128i reversal) {
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data)), reversal);
}

CARRYLESS_MULTIPLY_TARGET __m128i fold(__m128i value, __m128i constants) {
    return _mm_xor_si128(_mm_clmulepi64_si128(value, constants, 0x11),
                         _mm_clmulepi64_si128(value, constants, 0x00));
}

// Folds lane k's accumulator, `laneBytes` wide, across the lanes after it.
constexpr std::array<FoldConstants, lanes> makeLaneReductions(std::size_t laneBytes) {
    std::array<FoldConstants, lanes> reductions{};
    for (std::size_t lane = 0; lane < lanes; ++lane) {
        reductions.at(lane) =
            foldConstants(static_cast<unsigned>(8 * laneBytes * (lanes - 1 - lane)));
    }
    return reductions;
}

constexpr FoldConstants acrossStripe = foldConstants(8 * stripeBytes);
constexpr FoldConstants acrossBlock = foldConstants(8 * blockBytes);
constexpr std::array<FoldConstants, lanes> laneReductions = makeLaneReductions(blockBytes);

// Folds the whole blocks left into `folded`, which stands for everything before `data`, and
// runs its bytes and the tail through the table path.
CARRYLESS_MULTIPLY_TARGET std::uint32_t finishBlocks(__m128i folded, const std::uint8_t* data,
                                                     std::size_t count) {
    const __m128i reversal = byteReversal();
    const __m128i blockConstants = constantsVector(acrossBlock);
    for (; count >= blockBytes; data += blockBytes, count -= blockBytes) {
        folded = _mm_xor_si128(fold(folded, blockConstants), loadBlock(data, reversal));
    }
    std::uint8_t foldedBytes[blockBytes];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(foldedBytes), _mm_shuffle_epi8(folded, reversal));
    return CRC32::updateSlicing(CRC32::updateSlicing(0, foldedBytes, blockBytes), data, count);
}

// At least one stripe of `lanes` blocks. The lane loops are unrolled so that the accumulators
// stay in registers.
CARRYLESS_MULTIPLY_TARGET std::uint32_t foldBlocks(std::uint32_t crc, const std::uint8_t* data,
                                                   std::size_t count) {
    const __m128i reversal = byteReversal();

    __m128i accumulators[lanes];
#pragma GCC unroll 8
    for (std::size_t lane = 0; lane < lanes; ++lane) {
        accumulators[lane] = loadBlock(data + lane * blockBytes, reversal);
    }
    // A start register R is the same as R XORed into the first four bytes, started from 0.
    accumulators[0] = _mm_xor_si128(accumulators[0], _mm_set_epi32(static_cast<int>(crc), 0, 0, 0));
    data += stripeBytes;
    count -= stripeBytes;

    const __m128i stripeConstants = constantsVector(acrossStripe);
    for (; count >= stripeBytes; data += stripeBytes, count -= stripeBytes) {
#pragma GCC unroll 8
        for (std::size_t lane = 0; lane < lanes; ++lane) {
            accumulators[lane] = _mm_xor_si128(fold(accumulators[lane], stripeConstants),
                                               loadBlock(data + lane * blockBytes, reversal));
        }
    }

    __m128i folded = accumulators[lanes - 1];
#pragma GCC unroll 8
    for (std::size_t lane = 0; lane + 1 < lanes; ++lane) {
        folded = _mm_xor_si128(folded,
                               fold(accumulators[lane], constantsVector(laneReductions.at(lane))));
    }
    return finishBlocks(folded, data, count);
}

// The wide path: each 512-bit register holds four consecutive blocks, one per 128-bit lane,
// and the carry-less multiplies work on the four lanes at once.
constexpr std::size_t wideRegisterBytes = blockBytes * 4;
constexpr std::size_t wideStripeBytes = wideRegisterBytes * lanes;

constexpr FoldConstants acrossWideStripe = foldConstants(8 * wideStripeBytes);
constexpr FoldConstants acrossWideRegister = foldConstants(8 * wideRegisterBytes);

constexpr std::array<FoldConstants, lanes> wideLaneReductions =
    makeLaneReductions(wideRegisterBytes);

WIDE_CARRYLESS_MULTIPLY_TARGET __m512i wideConstantsVector(FoldConstants constants) {
    return _mm512_set_epi64(constants.high, constants.low, constants.high, constants.low,
                            constants.high, constants.low, constants.high, constants.low);
}

// Four unaligned blocks, each with its first byte in the top bits of its lane.
WIDE_CARRYLESS_MULTIPLY_TARGET __m512i loadWideBlocks(const std::uint8_t* data, __m512i reversal) {
    return _mm512_shuffle_epi8(_mm512_loadu_si512(data), reversal);
}

// value folded across the constants' distance, XORed with `next`.
WIDE_CARRYLESS_MULTIPLY_TARGET __m512i foldWide(__m512i value, __m512i constants, __m512i next) {
    constexpr int exclusiveOrOfThree = 0x96;
    return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(value, constants, 0x11),
                                     _mm512_clmulepi64_epi128(value, constants, 0x00), next,
                                     exclusiveOrOfThree);
}

// At least one stripe of `lanes` 512-bit registers.
WIDE_CARRYLESS_MULTIPLY_TARGET std::uint32_t foldWideBlocks(std::uint32_t crc,
                                                            const std::uint8_t* data,
                                                            std::size_t count) {
    // The masked forms leave no lane undefined, which GCC 12 would warn about.
    constexpr __mmask16 everyLane = 0xFFFF;
    const __m512i reversal = _mm512_maskz_broadcast_i32x4(everyLane, byteReversal());

    __m512i accumulators[lanes];
#pragma GCC unroll 8
    for (std::size_t lane = 0; lane < lanes; ++lane) {
        accumulators[lane] = loadWideBlocks(data + lane * wideRegisterBytes, reversal);
    }
    // The start register goes into the top of the first block, as in foldBlocks.
    accumulators[0] = _mm512_xor_si512(
        accumulators[0],
        _mm512_set_epi32(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, static_cast<int>(crc), 0, 0, 0));
    data += wideStripeBytes;
    count -= wideStripeBytes;

    const __m512i stripeConstants = wideConstantsVector(acrossWideStripe);
    for (; count >= wideStripeBytes; data += wideStripeBytes, count -= wideStripeBytes) {
#pragma GCC unroll 8
        for (std::size_t lane = 0; lane < lanes; ++lane) {
            accumulators[lane] =
                foldWide(accumulators[lane], stripeConstants,
                         loadWideBlocks(data + lane * wideRegisterBytes, reversal));
        }
    }

    __m512i folded = accumulators[lanes - 1];
#pragma GCC unroll 8
    for (std::size_t lane = 0; lane + 1 < lanes; ++lane) {
        folded =
            foldWide(accumulators[lane], wideConstantsVector(wideLaneReductions.at(lane)), folded);
    }
    const __m512i registerConstants = wideConstantsVector(acrossWideRegister);
    for (; count >= wideRegisterBytes; data += wideRegisterBytes, count -= wideRegisterBytes) {
        folded = foldWide(folded, registerConstants, loadWideBlocks(data, reversal));
    }

    // The register's four blocks, folded onto its last one.
    constexpr __mmask8 wholeBlock = 0xF;
    __m128i narrow = _mm512_maskz_extracti32x4_epi32(wholeBlock, folded, 3);
    narrow = _mm_xor_si128(narrow, fold(_mm512_maskz_extracti32x4_epi32(wholeBlock, folded, 0),
                                        constantsVector(laneReductions.at(0))));
    narrow = _mm_xor_si128(narrow, fold(_mm512_maskz_extracti32x4_epi32(wholeBlock, folded, 1),
                                        constantsVector(laneReductions.at(1))));
    narrow = _mm_xor_si128(narrow, fold(_mm512_maskz_extracti32x4_epi32(wholeBlock, folded, 2),
                                        constantsVector(laneReductions.at(2))));
    return finishBlocks(narrow, data, count);
}

}  // namespace

bool CRC32::carrylessMultiplySupported() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") != 0 && __builtin_cpu_supports("sse4.1") != 0 &&
           __builtin_cpu_supports("ssse3") != 0;
}

std::uint32_t CRC32::updateCarrylessMultiply(std::uint32_t crc, const void* bytes,
                                             std::size_t count) {
    if (count < stripeBytes) {
        return updateSlicing(crc, bytes, count);
    }
    return foldBlocks(crc, static_cast<const std::uint8_t*>(bytes), count);
}

bool CRC32::wideCarrylessMultiplySupported() {
    __builtin_cpu_init();
    return carrylessMultiplySupported() && __builtin_cpu_supports("vpclmulqdq") != 0 &&
           __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512bw") != 0;
}

std::uint32_t CRC32::updateWideCarrylessMultiply(std::uint32_t crc, const void* bytes,
                                                 std::size_t count) {
    if (count < wideStripeBytes) {
        return updateCarrylessMultiply(crc, bytes, count);
    }
    return foldWideBlocks(crc, static_cast<const std::uint8_t*>(bytes), count);
}

}  // namespace CoreSystem

#endif
