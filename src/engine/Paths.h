// The ways through a rewrite. Every byte path gives the result of the reference, the
// literal pass (U+06BE reordered in a copy of the text, then one matcher search after
// another); the fast paths are named kernels that each take a stretch of text, stop where
// they stop, and hand the rest back. Tests and fuzzers force a path, or the reference, and
// a CPU level; the library takes PathChoice::Auto().
#ifndef KAVEX_ENGINE_PATHS_H
#define KAVEX_ENGINE_PATHS_H

#include <cstdint>

#include "engine/Platform.h"

namespace kavex {

enum class Path : uint8_t {
    // Finds the first unit that can take part in a match, copying the text before it
    // (QuickCheck.h). Text with no such unit is its own result.
    kQuickCheck,
    // Reorders U+06BE a window at a time instead of in a copy of the whole text
    // (HehWindows.h).
    kHehWindows,
    // After a match, one table lookup per unit decides the units that start nothing or only
    // their own one-unit source (StepTable.h).
    kStepTable,
    // Sixteen units at a time without a branch per unit, where every unit is its own
    // one-unit source or starts nothing (DensePass.h).
    kDensePass,
    // Without the step table, the units right after a match are asked of the matcher one
    // at a time before a block search (Rewrite.h).
    kMatcherGaps,
};
constexpr unsigned kPathCount = 5;

inline const char* PathName(Path path) {
    switch (path) {
        case Path::kQuickCheck:
            return "quick check";
        case Path::kHehWindows:
            return "heh windows";
        case Path::kStepTable:
            return "step table";
        case Path::kDensePass:
            return "dense pass";
        case Path::kMatcherGaps:
            return "matcher gaps";
    }
    return "?";
}

struct PathChoice {
    // Bit 1 << Path: the path may run. None: the reference.
    uint32_t enabled = 0;
    // An enabled path runs wherever it can, not only where it pays: its entry tests and
    // exits that exist for speed alone are set aside, so a test reaches all of it.
    bool forced = false;
    CpuLevel cpu = CpuLevel::kScalar;

    bool Has(Path path) const { return (enabled >> static_cast<unsigned>(path) & 1) != 0; }

    // What the library runs: every path where it pays, the best instruction set.
    static PathChoice Auto() { return PathChoice{(1u << kPathCount) - 1, false, BestCpuLevel()}; }
    static PathChoice Reference(CpuLevel cpu = CpuLevel::kScalar) {
        return PathChoice{0, false, cpu};
    }
    // The reference with one fast path, forced.
    static PathChoice Only(Path path, CpuLevel cpu) {
        return PathChoice{1u << static_cast<unsigned>(path), true, cpu};
    }
    // Every path, forced.
    static PathChoice AllForced(CpuLevel cpu) {
        return PathChoice{(1u << kPathCount) - 1, true, cpu};
    }
};

}  // namespace kavex

#endif  // KAVEX_ENGINE_PATHS_H
