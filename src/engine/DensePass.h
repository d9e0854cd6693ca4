// Dense passes: where every unit is its own one-unit source or starts nothing (runs of
// presentation forms, marks among them), kDenseUnits units at a time without a branch per
// unit. Each unit stores a fixed kStepReadUnits units read at its replacement, of which
// the next unit's overwrite all but its length: into a buffer of the pass, copied out as
// long as the pass's result is, since no byte past a result may be written.
#ifndef KAVEX_ENGINE_DENSEPASS_H
#define KAVEX_ENGINE_DENSEPASS_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "engine/Platform.h"
#include "engine/StepTable.h"

namespace kavex {

constexpr std::size_t kDenseUnits = 16;
// A pass with fewer one-unit matches than this leaves the rest to the sparse walk.
constexpr std::size_t kDenseFew = 8;
// The most bytes one pass stores into its buffer.
constexpr std::size_t kDensePassBytes = 2 * (kDenseUnits * kStepMaxLength + kStepReadUnits);

struct DensePassResult {
    std::size_t units;  // units of text taken: kDenseUnits, or fewer where it met a unit
                        // the matcher decides
    std::size_t size;   // what they became: bytes in the pass buffer, or units counted
    uint32_t ones;      // one-unit matches among them
};

// One pass from `p`, writing into `pass` (kDensePassBytes). Reads text[p + kDenseUnits]:
// the caller keeps p + kDenseUnits below the window's decided positions. Little-endian
// hosts only.
template <typename Units>
KAVEX_ALWAYS_INLINE DensePassResult DensePassBytes(const Units& text, std::size_t p,
                                                   const uint32_t* steps, const char16_t* packed,
                                                   unsigned char* pass) {
    unsigned char* to = pass;
    uint32_t ones = 0;
    std::size_t k = 0;
    char16_t unit = text[p];
    uint32_t step = steps[unit];
    for (; k < kDenseUnits; ++k) {
        const char16_t next = text[p + k + 1];
        const uint32_t nextStep = steps[next];
        if (MatcherDecides(step, nextStep)) break;
        ones += (step & kStepKind) != kStartsNothing;
        // A unit that starts nothing is its own replacement, a unit long.
        const uint32_t isOwn = OwnUnit(step);
        const uint64_t own = uint64_t{0} - uint64_t{isOwn};
        const char16_t* source = packed + StepOffset(step);
        uint64_t low;
        uint64_t high;
        std::memcpy(&low, source, 8);
        std::memcpy(&high, source + 4, 8);
        low = (low & ~own) | (unit & own);
        KAVEX_DCHECK(static_cast<std::size_t>(to - pass) + 16 <= kDensePassBytes);
        std::memcpy(to, &low, 8);
        std::memcpy(to + 8, &high, 8);
        to += 2 * (StepLength(step) + isOwn);
        unit = next;
        step = nextStep;
    }
    return DensePassResult{k, static_cast<std::size_t>(to - pass), ones};
}

// The same pass, counting only.
template <typename Units>
KAVEX_ALWAYS_INLINE DensePassResult DensePassCount(const Units& text, std::size_t p,
                                                   const uint32_t* steps) {
    uint32_t ones = 0;
    std::size_t size = 0;
    std::size_t k = 0;
    for (; k < kDenseUnits; ++k) {
        const uint32_t step = steps[text[p + k]];
        if (MatcherDecides(step, steps[text[p + k + 1]])) break;
        ones += (step & kStepKind) != kStartsNothing;
        size += StepLength(step) + OwnUnit(step);
    }
    return DensePassResult{k, size, ones};
}

// Passes from `p` while a whole pass and the unit after it lie below `limit`, the sink has
// room for a pass and the last pass held enough one-unit matches (any number, `forced`);
// returns where they stopped, with everything before it written.
template <typename Units, typename Sink>
KAVEX_ALWAYS_INLINE std::size_t DenseRun(const Units& text, std::size_t p, std::size_t limit,
                                         const uint32_t* steps, const char16_t* packed, Sink& sink,
                                         bool forced) {
    while (limit - p > kDenseUnits && sink.HasRoomForDensePass()) {
        const DensePassResult pass = sink.DensePass(text, p, steps, packed);
        p += pass.units;
        if (pass.units < kDenseUnits || (!forced && pass.ones < kDenseFew)) break;
    }
    return p;
}

}  // namespace kavex

#endif  // KAVEX_ENGINE_DENSEPASS_H
