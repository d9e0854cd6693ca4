// The quick check: where in a text the first unit stands that can take part in a match or
// a move (a one-unit source, the second unit of a longer source, U+06BE). Units before it
// start nothing; text without one is its own result, and is copied as it is tested.
#ifndef KAVEX_ENGINE_QUICKCHECK_H
#define KAVEX_ENGINE_QUICKCHECK_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/Platform.h"

namespace kavex {

// At most this many ranges of units, tested together: two operations per range and vector,
// so a text is passed over at a fraction of a cycle per unit.
constexpr std::size_t kMaxUnitRanges = 8;

// Units a quick check tests at once, at its widest (an AVX2 vector; SSE2 takes eight), and
// the block after which the AVX2 kernel copies what it has passed.
constexpr std::size_t kQuickCheckVectorUnits = 16;
constexpr std::size_t kQuickCheckBlockUnits = 128;

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

// Ranges that hold every unit of `keys`, joined where they are more than kMaxUnitRanges;
// the gaps joined first are those that take in the fewest units common in Arabic-script
// text, since each such unit sends plain text to the slow test.
UnitRanges CoveringRanges(std::vector<char16_t> keys);

// The index of the first of `count` UTF-16LE units at `bytes` that lies in the ranges;
// `count` when none does.
std::size_t FindFirstKey(const unsigned char* bytes, std::size_t count, const UnitRanges& ranges,
                         CpuLevel cpu);

// How many units before `firstKey` every rewrite leaves as they are. A match starts at the
// earliest one unit before a key; a U+06BE (a key) moves to the front of the marks right
// before it, and a match may start one unit before that.
std::size_t UnchangedBefore(const unsigned char* bytes, std::size_t firstKey);

struct QuickCheckResult {
    std::size_t firstKey;  // FindFirstKey's answer
    std::size_t copied;    // units copied to the output: a prefix of the result
};

// FindFirstKey that copies to `out`, which has room for `count` units, the units it has
// passed that the result keeps: all `count` when there is no key, and otherwise at most
// UnchangedBefore(firstKey). Nothing else of `out` is written, so what it wrote holds
// whatever the result turns out to be.
QuickCheckResult QuickCheck(const unsigned char* bytes, std::size_t count, const UnitRanges& ranges,
                            unsigned char* out, CpuLevel cpu);

}  // namespace kavex

#endif  // KAVEX_ENGINE_QUICKCHECK_H
