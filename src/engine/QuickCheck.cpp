#include "engine/QuickCheck.h"

#include <algorithm>
#include <cstring>

#include "engine/BitScan.h"
#include "engine/Marks.h"

#if KAVEX_SSE2
#include <emmintrin.h>
#endif
#if KAVEX_X86_DISPATCH
#include <immintrin.h>
#endif

namespace kavex {

namespace {

inline char16_t UnitAt(const unsigned char* bytes, std::size_t i) {
    return static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
}

// Units that text of the scripts and languages kavex serves is mostly made of: letters,
// digits and punctuation of ASCII and of the Arabic block, the joiners.
struct UnitSpan {
    uint32_t first;
    uint32_t last;
};
constexpr UnitSpan kCommonUnits[] = {{0x000A, 0x000A}, {0x000D, 0x000D}, {0x0020, 0x007E},
                                     {0x060C, 0x060C}, {0x061B, 0x061B}, {0x061F, 0x061F},
                                     {0x0621, 0x064A}, {0x0660, 0x066F}, {0x0671, 0x06D5},
                                     {0x06F0, 0x06FF}, {0x200C, 0x200F}};

// What joining the units [first, last] into a range costs: a common unit in it costs much
// more than a rare one, since it sends ordinary text to the slow test.
uint64_t GapCost(uint32_t first, uint32_t last) {
    if (first > last) return 0;
    uint64_t common = 0;
    for (const UnitSpan& span : kCommonUnits) {
        const uint32_t from = std::max(first, span.first);
        const uint32_t to = std::min(last, span.last);
        if (from <= to) common += to - from + 1;
    }
    const uint64_t all = uint64_t{last} - first + 1;
    return common * 4096 + (all - common);
}

bool CoversEverything(const UnitRanges& ranges) {
    for (std::size_t r = 0; r < ranges.count; ++r) {
        if (ranges.span[r] == 0xFFFF) return true;
    }
    return false;
}

std::size_t FindFirstKeyScalar(const unsigned char* bytes, std::size_t from, std::size_t count,
                               const UnitRanges& ranges) {
    for (std::size_t k = from; k < count; ++k) {
        if (InRanges(UnitAt(bytes, k), ranges)) return k;
    }
    return count;
}

#if KAVEX_SSE2
// For exactly K ranges, none of them the whole unit space, so the constants of every range
// stay in registers. Returns the index of the first unit in a range, or of the first unit
// after the last whole vector.
template <std::size_t K>
std::size_t FindFirstKeySse2(const unsigned char* bytes, std::size_t count,
                             const UnitRanges& ranges) {
    // x in [first, first + span] when x - first, as unsigned, is at most span: flipping the
    // top bit makes that a signed compare, and adding 0x8000 - first does both at once.
    __m128i shift[K];
    __m128i bound[K];
    uint16_t lowest = 0xFFFF;
    for (std::size_t r = 0; r < K; ++r) {
        shift[r] = _mm_set1_epi16(static_cast<short>(0x8000 - ranges.first[r]));
        bound[r] = _mm_set1_epi16(static_cast<short>(-32768 + ranges.span[r] + 1));
        lowest = std::min(lowest, ranges.first[r]);
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

template <template <std::size_t> class Kernel, typename... Args>
auto ForRangeCount(std::size_t count, Args... args) {
    switch (count) {
        case 1:
            return Kernel<1>::Run(args...);
        case 2:
            return Kernel<2>::Run(args...);
        case 3:
            return Kernel<3>::Run(args...);
        case 4:
            return Kernel<4>::Run(args...);
        case 5:
            return Kernel<5>::Run(args...);
        case 6:
            return Kernel<6>::Run(args...);
        case 7:
            return Kernel<7>::Run(args...);
        default:
            return Kernel<kMaxUnitRanges>::Run(args...);
    }
}

template <std::size_t K>
struct FindSse2 {
    static std::size_t Run(const unsigned char* bytes, std::size_t count,
                           const UnitRanges* ranges) {
        return FindFirstKeySse2<K>(bytes, count, *ranges);
    }
};
#endif

#if KAVEX_X86_DISPATCH
// Bit 2k of the mask: unit k of the vector lies in one of the K ranges.
template <std::size_t K>
__attribute__((target("avx2"))) inline unsigned KeysAvx2(__m256i units, const __m256i* shift,
                                                         const __m256i* bound) {
    __m256i in = _mm256_setzero_si256();
    for (std::size_t r = 0; r < K; ++r) {
        in = _mm256_or_si256(in, _mm256_cmpgt_epi16(bound[r], _mm256_add_epi16(units, shift[r])));
    }
    return static_cast<unsigned>(_mm256_movemask_epi8(in));
}

// Vectors of sixteen units tested a block of kBlockVectors at a time, and copied once a
// unit that is not a mark stands after them (UnchangedBefore): the block's last vector is
// asked, and what came before it, tested a moment ago, is copied from the cache. Text with
// no key is read from memory once, not once to test and once to copy.
template <std::size_t K>
__attribute__((target("avx2"))) QuickCheckResult QuickCheckAvx2K(const unsigned char* bytes,
                                                                 std::size_t count,
                                                                 const UnitRanges& ranges,
                                                                 unsigned char* out) {
    constexpr std::size_t kBlockUnits = kQuickCheckBlockUnits;
    constexpr std::size_t kBlockVectors = kBlockUnits / kQuickCheckVectorUnits;
    // As in FindFirstKeySse2: a signed compare after moving each range to the bottom.
    __m256i shift[K];
    __m256i bound[K];
    uint16_t lowest = 0xFFFF;
    for (std::size_t r = 0; r < K; ++r) {
        shift[r] = _mm256_set1_epi16(static_cast<short>(0x8000 - ranges.first[r]));
        bound[r] = _mm256_set1_epi16(static_cast<short>(-32768 + ranges.span[r] + 1));
        lowest = std::min(lowest, ranges.first[r]);
    }
    const __m256i top = _mm256_set1_epi16(static_cast<short>(0x8000));
    const __m256i low = _mm256_set1_epi16(static_cast<short>(lowest ^ 0x8000));
    const __m256i ones = _mm256_set1_epi16(-1);
    std::size_t stored = 0;
    std::size_t k = 0;
    for (; k + kBlockUnits <= count; k += kBlockUnits) {
        __m256i units = _mm256_setzero_si256();
        for (std::size_t v = 0; v < kBlockVectors; ++v) {
            units = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + 2 * (k + 16 * v)));
            const __m256i below = _mm256_cmpgt_epi16(low, _mm256_xor_si256(units, top));
            if (!_mm256_testc_si256(below, ones)) {
                const unsigned keys = KeysAvx2<K>(units, shift, bound);
                if (keys != 0) {
                    return QuickCheckResult{k + 16 * v + LowestSetBit(keys) / 2, stored};
                }
            }
        }
        // Two ranges that hold every mark, and a few units that are none.
        const __m256i marks = _mm256_or_si256(
            _mm256_cmpgt_epi16(_mm256_set1_epi16(static_cast<short>(-32768 + 0x0615 - 0x0610 + 1)),
                               _mm256_add_epi16(units, _mm256_set1_epi16(0x8000 - 0x0610))),
            _mm256_cmpgt_epi16(_mm256_set1_epi16(static_cast<short>(-32768 + 0x0670 - 0x064B + 1)),
                               _mm256_add_epi16(units, _mm256_set1_epi16(0x8000 - 0x064B))));
        if (_mm256_testc_si256(marks, ones)) continue;
        // A unit in the block's last vector is no mark: everything before it is the result's.
        const std::size_t end = k + kBlockUnits - 16;
        for (; stored < end; stored += 16) {
            _mm256_storeu_si256(
                reinterpret_cast<__m256i*>(out + 2 * stored),
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + 2 * stored)));
        }
    }
    static_assert(kFirstHehMark >= 0x0610 && kLastHehMark <= 0x0670, "the ranges hold the marks");
    std::size_t first = FindFirstKeyScalar(bytes, k, count, ranges);
    if (first < count) return QuickCheckResult{first, stored};
    if (count > stored) std::memcpy(out + 2 * stored, bytes + 2 * stored, 2 * (count - stored));
    return QuickCheckResult{count, count};
}

template <std::size_t K>
struct QuickCheckAvx2 {
    static QuickCheckResult Run(const unsigned char* bytes, std::size_t count,
                                const UnitRanges* ranges, unsigned char* out) {
        return QuickCheckAvx2K<K>(bytes, count, *ranges, out);
    }
};
#endif

}  // namespace

UnitRanges CoveringRanges(std::vector<char16_t> keys) {
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    std::vector<UnitSpan> ranges;
    for (char16_t unit : keys) {
        if (!ranges.empty() && ranges.back().last + 1 == unit) {
            ranges.back().last = unit;
        } else {
            ranges.push_back(UnitSpan{unit, unit});
        }
    }
    // Joins the two neighbours with the cheapest gap between them until few enough are
    // left.
    std::vector<uint64_t> gapCost;
    for (std::size_t r = 0; r + 1 < ranges.size(); ++r) {
        gapCost.push_back(GapCost(ranges[r].last + 1, ranges[r + 1].first - 1));
    }
    while (ranges.size() > kMaxUnitRanges) {
        // The gaps on either side of the joined pair keep their costs.
        const auto cheapest = std::min_element(gapCost.begin(), gapCost.end());
        const std::size_t r = static_cast<std::size_t>(cheapest - gapCost.begin());
        ranges[r].last = ranges[r + 1].last;
        ranges.erase(ranges.begin() + static_cast<std::ptrdiff_t>(r + 1));
        gapCost.erase(cheapest);
    }
    UnitRanges covering;
    covering.count = ranges.size();
    for (std::size_t r = 0; r < ranges.size(); ++r) {
        covering.first[r] = static_cast<uint16_t>(ranges[r].first);
        covering.span[r] = static_cast<uint16_t>(ranges[r].last - ranges[r].first);
    }
    return covering;
}

std::size_t FindFirstKey(const unsigned char* bytes, std::size_t count, const UnitRanges& ranges,
                         CpuLevel cpu) {
    if (ranges.count == 0) return count;
    if (CoversEverything(ranges)) return 0;
    std::size_t k = 0;
#if KAVEX_SSE2
    if (cpu >= CpuLevel::kSse2) k = ForRangeCount<FindSse2>(ranges.count, bytes, count, &ranges);
#else
    (void)cpu;
#endif
    return FindFirstKeyScalar(bytes, k, count, ranges);
}

std::size_t UnchangedBefore(const unsigned char* bytes, std::size_t firstKey) {
    std::size_t runStart = firstKey;
    while (runStart > 0 && IsHehMark(UnitAt(bytes, runStart - 1))) --runStart;
    return runStart == 0 ? 0 : runStart - 1;
}

QuickCheckResult QuickCheck(const unsigned char* bytes, std::size_t count, const UnitRanges& ranges,
                            unsigned char* out, CpuLevel cpu) {
    QuickCheckResult result{0, 0};
#if KAVEX_X86_DISPATCH
    if (cpu >= CpuLevel::kAvx2 && ranges.count > 0 && !CoversEverything(ranges)) {
        result = ForRangeCount<QuickCheckAvx2>(ranges.count, bytes, count, &ranges, out);
    } else
#endif
    {
        // Tested first, then copied: twice over the text, without the wide registers.
        result.firstKey = FindFirstKey(bytes, count, ranges, cpu);
        result.copied = result.firstKey == count ? count : UnchangedBefore(bytes, result.firstKey);
        if (result.copied > 0) std::memcpy(out, bytes, 2 * result.copied);
    }
    KAVEX_DCHECK(result.firstKey == FindFirstKey(bytes, count, ranges, CpuLevel::kScalar));
    KAVEX_DCHECK(result.copied == count ? result.firstKey == count
                                        : result.copied <= UnchangedBefore(bytes, result.firstKey));
    return result;
}

}  // namespace kavex
