#include "engine/HehWindows.h"

#include <cstring>

#include "engine/BitScan.h"
#include "engine/Marks.h"
#include "engine/UnitMask.h"

namespace kavex {

bool ContainsHeh(const ByteUnits& text, std::size_t units) {
    // Without a branch per unit, so the compiler vectorizes it, but one per piece: text
    // that holds U+06BE (Urdu) mostly holds one early on.
    constexpr std::size_t kPiece = 1024;
    for (std::size_t from = 0; from < units; from += kPiece) {
        const std::size_t to = std::min(units, from + kPiece);
        unsigned heh = 0;
        for (std::size_t i = from; i < to; ++i) heh |= text[i] == kHeh;
        if (heh != 0) return true;
    }
    return false;
}

void ReorderHehInPlace(char16_t* units, std::size_t n, CpuLevel cpu) {
    // From one U+06BE to the next: most texts hold none, and the units between two of them
    // are never touched. A move rewrites only its run of marks and the U+06BE itself, all
    // at or before the U+06BE, so every unit after it is still the input's.
    // The input unit before the current U+06BE is a U+06BE too, even when a move has put
    // a mark in its place; -1 (wrapped) before the first one.
    std::size_t previousHeh = static_cast<std::size_t>(-1);
    // Bit k of `found`: unit base + k is U+06BE, found for the whole block before any move;
    // a move changes no unit after its U+06BE, so the bits of the rest stay true.
    for (std::size_t base = 0; base < n; base += 64) {
        const std::size_t count = std::min<std::size_t>(64, n - base);
        for (uint64_t found = EqualMask(units + base, count, kHeh, cpu); found != 0;
             found &= found - 1) {
            const std::size_t i = base + LowestSetBit(found);
            // The run of marks ends at the preceding unit and starts after the last unit
            // that is not a mark; an earlier U+06BE bounds it, moved or not. Each mark moves
            // up one place as the run is found: runs are a unit or two.
            std::size_t runStart = i;
            while (runStart > previousHeh + 1 && IsHehMark(units[runStart - 1])) {
                units[runStart] = units[runStart - 1];
                --runStart;
            }
            units[runStart] = kHeh;
            previousHeh = i;
        }
    }
}

void HehReorder::Fill(char16_t* window, std::size_t from, std::size_t count) {
    KAVEX_DCHECK(count > 0 && from + count <= n);
    const std::size_t end = from + count;
    if (kLittleEndianHost) {
        std::memcpy(window, input.bytes + 2 * from, 2 * count);
    } else {
        for (std::size_t k = 0; k < count; ++k) window[k] = input[from + k];
    }
    // A run that starts before the window and ends in a U+06BE inside or after it: the
    // window opens with that run, one place up.
    bool leading = false;
    if (from > 0 && IsHehMark(input[from - 1])) {
        const std::size_t e = RunEnd(from - 1);
        if (e < n && input[e] == kHeh) {
            leading = true;
            const std::size_t last = std::min(e, end - 1);
            for (std::size_t j = from; j <= last; ++j) window[j - from] = input[j - 1];
        }
    }
    // The U+06BE inside the window (that of a leading run is overwritten by then). A move
    // writes only at or before its U+06BE, so the bits found for a block stay true.
    for (std::size_t base = 0; base < count; base += 64) {
        const std::size_t units = std::min<std::size_t>(64, count - base);
        for (uint64_t found = EqualMask(window + base, units, kHeh, cpu); found != 0;
             found &= found - 1) {
            Move(window, from, from + base + LowestSetBit(found));
        }
    }
    // A run inside the window that goes on past its end to a U+06BE: its U+06BE comes into
    // the window, the run's last mark goes out.
    if (end < n && IsHehMark(input[end - 1])) {
        const std::size_t e = RunEnd(end - 1);
        if (e < n && input[e] == kHeh) {
            std::size_t r = end - 1;
            while (r > from && IsHehMark(input[r - 1])) --r;
            if (!(leading && r == from)) {
                for (std::size_t j = end - 1; j > r; --j) window[j - from] = input[j - 1];
                window[r - from] = kHeh;
            }
        }
    }
}

// The end of the run of marks that goes on from `p`, a mark.
std::size_t HehReorder::RunEnd(std::size_t p) {
    if (p >= runFrom && p < runEnd) return runEnd;
    std::size_t e = p;
    while (e < n && IsHehMark(input[e])) ++e;
    runFrom = p;
    runEnd = e;
    return e;
}

// The U+06BE at `heh` in front of the marks before it, inside the window; the run starts
// inside it, or the U+06BE would have been a leading run's.
void HehReorder::Move(char16_t* window, std::size_t from, std::size_t heh) const {
    std::size_t r = heh;
    while (r > from && IsHehMark(input[r - 1])) {
        window[r - from] = input[r - 1];
        --r;
    }
    window[r - from] = kHeh;
}

}  // namespace kavex
