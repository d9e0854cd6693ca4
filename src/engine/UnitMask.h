// Bit masks of the units of a block equal to a value, for the scans that look for one
// unit (U+06BE) in long texts, and the search for the first unit in a few ranges, for the
// quick check of text that no rule changes.
#ifndef KAVEX_ENGINE_UNITMASK_H
#define KAVEX_ENGINE_UNITMASK_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/BitScan.h"

#include "engine/Platform.h"

#if KAVEX_SSE2
#include <emmintrin.h>
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

// The three low bits of `count` <= 64 bytes as masks: bit k of planes[b] is bit b of
// bytes[k].
inline void BitPlanes(const uint8_t* bytes, std::size_t count, uint64_t planes[3]) {
    planes[0] = planes[1] = planes[2] = 0;
    std::size_t k = 0;
#if KAVEX_SSE2
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
#endif
    for (; k < count; ++k) {
        for (unsigned b = 0; b < 3; ++b) {
            planes[b] |= static_cast<uint64_t>((bytes[k] >> b) & 1) << k;
        }
    }
}

// At most this many ranges of units, tested together: with SSE2 two operations per range
// and eight units, so a text is passed over at a fraction of a unit a cycle.
constexpr std::size_t kMaxUnitRanges = 8;

struct UnitRanges {
    std::size_t count = 0;
    uint16_t first[kMaxUnitRanges] = {};
    uint16_t span[kMaxUnitRanges] = {};  // last - first
};

inline bool InRanges(char16_t unit, const UnitRanges& ranges) {
    bool in = false;
    for (std::size_t r = 0; r < ranges.count; ++r) {
        in |= static_cast<uint16_t>(unit - ranges.first[r]) <= ranges.span[r];
    }
    return in;
}

#if KAVEX_SSE2
// FirstInRanges for exactly K ranges, none of them the whole unit space: the constants of
// every range stay in registers. Returns the index of the first unit in a range, or the
// index of the first unit after the last whole vector.
template <std::size_t K>
std::size_t FirstInRangesSse2(const unsigned char* bytes, std::size_t count,
                              const UnitRanges& ranges) {
    // x in [first, first + span] when x - first, as unsigned, is at most span: flipping the
    // top bit makes that a signed compare, and adding 0x8000 - first does both at once.
    __m128i shift[K > 0 ? K : 1];
    __m128i bound[K > 0 ? K : 1];
    uint16_t lowest = 0xFFFF;
    for (std::size_t r = 0; r < K; ++r) {
        shift[r] = _mm_set1_epi16(static_cast<short>(0x8000 - ranges.first[r]));
        bound[r] = _mm_set1_epi16(static_cast<short>(-32768 + ranges.span[r] + 1));
        if (ranges.first[r] < lowest) lowest = ranges.first[r];
    }
    // Vectors whose units all lie below every range (ASCII, mostly) pass on one compare.
    const __m128i top = _mm_set1_epi16(static_cast<short>(0x8000));
    const __m128i low = _mm_set1_epi16(static_cast<short>(lowest ^ 0x8000));
    std::size_t k = 0;
    for (; k + 8 <= count; k += 8) {
        const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 2 * k));
        if (_mm_movemask_epi8(_mm_cmplt_epi16(_mm_xor_si128(units, top), low)) == 0xFFFF) {
            continue;
        }
        __m128i in = _mm_setzero_si128();
        for (std::size_t r = 0; r < K; ++r) {
            in = _mm_or_si128(in, _mm_cmplt_epi16(_mm_add_epi16(units, shift[r]), bound[r]));
        }
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(in));
        if (mask != 0) return k + LowestSetBit(mask) / 2;
    }
    return k;
}
#endif

// The index of the first of `count` UTF-16LE units at `bytes` that lies in one of the
// ranges; `count` when none does.
inline std::size_t FirstInRanges(const unsigned char* bytes, std::size_t count,
                                 const UnitRanges& ranges) {
    std::size_t k = 0;
#if KAVEX_SSE2
    bool whole = false;
    for (std::size_t r = 0; r < ranges.count; ++r) whole |= ranges.span[r] == 0xFFFF;
    if (whole) return 0;
    switch (ranges.count) {
        case 0:
            return count;
        case 1:
            k = FirstInRangesSse2<1>(bytes, count, ranges);
            break;
        case 2:
            k = FirstInRangesSse2<2>(bytes, count, ranges);
            break;
        case 3:
            k = FirstInRangesSse2<3>(bytes, count, ranges);
            break;
        case 4:
            k = FirstInRangesSse2<4>(bytes, count, ranges);
            break;
        case 5:
            k = FirstInRangesSse2<5>(bytes, count, ranges);
            break;
        case 6:
            k = FirstInRangesSse2<6>(bytes, count, ranges);
            break;
        case 7:
            k = FirstInRangesSse2<7>(bytes, count, ranges);
            break;
        default:
            k = FirstInRangesSse2<kMaxUnitRanges>(bytes, count, ranges);
            break;
    }
#endif
    for (; k < count; ++k) {
        const char16_t unit = static_cast<char16_t>(bytes[2 * k] | (bytes[2 * k + 1] << 8));
        if (InRanges(unit, ranges)) return k;
    }
    return count;
}

#if KAVEX_AVX2_DISPATCH
// CopyUntilInRanges with AVX2, for 1 to kMaxUnitRanges ranges none of which is the whole
// unit space.
std::size_t CopyUntilInRangesAvx2(const unsigned char* bytes, std::size_t count,
                                  const UnitRanges& ranges, unsigned char* out);
#endif

// FirstInRanges that also copies the units it passes to `out`, which has room for `room`
// units: when it returns `count` and `room` >= `count`, `out` holds all of them (text no
// rule changes is then read once). Otherwise what it wrote, within `room`, is unspecified.
inline std::size_t CopyUntilInRanges(const unsigned char* bytes, std::size_t count,
                                     const UnitRanges& ranges, unsigned char* out,
                                     std::size_t room) {
    if (out == nullptr || room < count || count == 0) return FirstInRanges(bytes, count, ranges);
#if KAVEX_AVX2_DISPATCH
    bool whole = false;
    for (std::size_t r = 0; r < ranges.count; ++r) whole |= ranges.span[r] == 0xFFFF;
    if (!whole && ranges.count > 0 && BestCpuLevel() >= CpuLevel::kAvx2) {
        return CopyUntilInRangesAvx2(bytes, count, ranges, out);
    }
#endif
    const std::size_t first = FirstInRanges(bytes, count, ranges);
    if (first == count) std::memcpy(out, bytes, 2 * count);
    return first;
}

}  // namespace kavex

#endif  // KAVEX_ENGINE_UNITMASK_H
