// Bit masks of the units of a block equal to a value, for the scans that look for one
// unit (U+06BE) in long texts.
#ifndef KAVEX_ENGINE_UNITMASK_H
#define KAVEX_ENGINE_UNITMASK_H

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#include <emmintrin.h>
// SSE2 is there on every x86-64 CPU (and x86 builds that ask for it).
#define KAVEX_SSE2 1
#else
#define KAVEX_SSE2 0
#endif

namespace kavex {

// Bit k is set when units[k] == value, for k < count <= 64.
inline uint64_t EqualMask(const char16_t* units, std::size_t count, char16_t value) {
    uint64_t mask = 0;
    std::size_t k = 0;
#if KAVEX_SSE2
    // Sixteen units a step: two compares packed to one byte per unit, one bit each.
    const __m128i wanted = _mm_set1_epi16(static_cast<short>(value));
    for (; k + 16 <= count; k += 16) {
        const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + k));
        const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + k + 8));
        const __m128i equal =
            _mm_packs_epi16(_mm_cmpeq_epi16(low, wanted), _mm_cmpeq_epi16(high, wanted));
        mask |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(equal))) << k;
    }
#endif
    for (; k < count; ++k) mask |= static_cast<uint64_t>(units[k] == value) << k;
    return mask;
}

}  // namespace kavex

#endif  // KAVEX_ENGINE_UNITMASK_H
