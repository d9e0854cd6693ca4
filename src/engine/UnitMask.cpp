#include "engine/UnitMask.h"

#if KAVEX_AVX2_DISPATCH
#include <immintrin.h>

namespace kavex {

namespace {

// Sixteen units a step, each stored as soon as it is tested: text with no unit in the
// ranges is read once, not once to test and once to copy.
template <std::size_t K>
__attribute__((target("avx2"))) std::size_t CopyUntilInRangesAvx2K(const unsigned char* bytes,
                                                                   std::size_t count,
                                                                   const UnitRanges& ranges,
                                                                   unsigned char* out) {
    // As in FirstInRangesSse2: a signed compare after moving each range to the bottom.
    __m256i shift[K];
    __m256i bound[K];
    uint16_t lowest = 0xFFFF;
    for (std::size_t r = 0; r < K; ++r) {
        shift[r] = _mm256_set1_epi16(static_cast<short>(0x8000 - ranges.first[r]));
        bound[r] = _mm256_set1_epi16(static_cast<short>(-32768 + ranges.span[r] + 1));
        if (ranges.first[r] < lowest) lowest = ranges.first[r];
    }
    const __m256i top = _mm256_set1_epi16(static_cast<short>(0x8000));
    const __m256i low = _mm256_set1_epi16(static_cast<short>(lowest ^ 0x8000));
    std::size_t k = 0;
    for (; k + 16 <= count; k += 16) {
        const __m256i units = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + 2 * k));
        const __m256i below = _mm256_cmpgt_epi16(low, _mm256_xor_si256(units, top));
        if (static_cast<unsigned>(_mm256_movemask_epi8(below)) != 0xFFFFFFFFu) {
            __m256i in = _mm256_setzero_si256();
            for (std::size_t r = 0; r < K; ++r) {
                in = _mm256_or_si256(
                    in, _mm256_cmpgt_epi16(bound[r], _mm256_add_epi16(units, shift[r])));
            }
            const unsigned mask = static_cast<unsigned>(_mm256_movemask_epi8(in));
            if (mask != 0) return k + LowestSetBit(mask) / 2;
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * k), units);
    }
    for (; k < count; ++k) {
        const char16_t unit = static_cast<char16_t>(bytes[2 * k] | (bytes[2 * k + 1] << 8));
        if (InRanges(unit, ranges)) return k;
        out[2 * k] = bytes[2 * k];
        out[2 * k + 1] = bytes[2 * k + 1];
    }
    return count;
}

}  // namespace

std::size_t CopyUntilInRangesAvx2(const unsigned char* bytes, std::size_t count,
                                  const UnitRanges& ranges, unsigned char* out) {
    switch (ranges.count) {
        case 1:
            return CopyUntilInRangesAvx2K<1>(bytes, count, ranges, out);
        case 2:
            return CopyUntilInRangesAvx2K<2>(bytes, count, ranges, out);
        case 3:
            return CopyUntilInRangesAvx2K<3>(bytes, count, ranges, out);
        case 4:
            return CopyUntilInRangesAvx2K<4>(bytes, count, ranges, out);
        case 5:
            return CopyUntilInRangesAvx2K<5>(bytes, count, ranges, out);
        case 6:
            return CopyUntilInRangesAvx2K<6>(bytes, count, ranges, out);
        case 7:
            return CopyUntilInRangesAvx2K<7>(bytes, count, ranges, out);
        default:
            return CopyUntilInRangesAvx2K<kMaxUnitRanges>(bytes, count, ranges, out);
    }
}

}  // namespace kavex

#endif  // KAVEX_AVX2_DISPATCH
