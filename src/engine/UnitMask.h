// Bit masks over blocks of at most 64 units: the units equal to a value (the scans for
// U+06BE) and the low bits of per-unit key bytes (the matcher's block test). Each has a
// scalar and an SSE2 form, chosen by the CPU level the caller runs at.
#ifndef KAVEX_ENGINE_UNITMASK_H
#define KAVEX_ENGINE_UNITMASK_H

#include <cstddef>
#include <cstdint>

#include "engine/Platform.h"

#if KAVEX_SSE2
#include <emmintrin.h>
#endif

namespace kavex {

// Bit k is set when units[k] == value, for k < count <= 64.
inline uint64_t EqualMask(const char16_t* units, std::size_t count, char16_t value, CpuLevel cpu) {
    KAVEX_DCHECK(count <= 64);
    uint64_t mask = 0;
    std::size_t k = 0;
#if KAVEX_SSE2
    if (cpu >= CpuLevel::kSse2) {
        // Sixteen units a step: two compares packed to one byte per unit, one bit each.
        const __m128i wanted = _mm_set1_epi16(static_cast<short>(value));
        for (; k + 16 <= count; k += 16) {
            const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + k));
            const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + k + 8));
            const __m128i equal =
                _mm_packs_epi16(_mm_cmpeq_epi16(low, wanted), _mm_cmpeq_epi16(high, wanted));
            mask |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(equal))) << k;
        }
    }
#else
    (void)cpu;
#endif
    for (; k < count; ++k) mask |= static_cast<uint64_t>(units[k] == value) << k;
    return mask;
}

// The three low bits of `count` <= 64 bytes as masks: bit k of planes[b] is bit b of
// bytes[k].
inline void BitPlanes(const uint8_t* bytes, std::size_t count, uint64_t planes[3], CpuLevel cpu) {
    KAVEX_DCHECK(count <= 64);
    planes[0] = planes[1] = planes[2] = 0;
    std::size_t k = 0;
#if KAVEX_SSE2
    if (cpu >= CpuLevel::kSse2) {
        // Shifted up to the top bit of each byte, where movemask reads it.
        for (; k + 16 <= count; k += 16) {
            const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + k));
            planes[0] |= static_cast<uint64_t>(
                             static_cast<unsigned>(_mm_movemask_epi8(_mm_slli_epi16(chunk, 7))))
                         << k;
            planes[1] |= static_cast<uint64_t>(
                             static_cast<unsigned>(_mm_movemask_epi8(_mm_slli_epi16(chunk, 6))))
                         << k;
            planes[2] |= static_cast<uint64_t>(
                             static_cast<unsigned>(_mm_movemask_epi8(_mm_slli_epi16(chunk, 5))))
                         << k;
        }
    }
#else
    (void)cpu;
#endif
    for (; k < count; ++k) {
        for (unsigned b = 0; b < 3; ++b) {
            planes[b] |= static_cast<uint64_t>((bytes[k] >> b) & 1) << k;
        }
    }
}

}  // namespace kavex

#endif  // KAVEX_ENGINE_UNITMASK_H
