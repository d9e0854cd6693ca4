// U+06BE reordered a window at a time: the rules match the reordered text, which differs
// from the input only around each U+06BE that follows marks, so windows of it are made
// in a buffer of fixed size from the input as it lies and rewritten in turn, never holding
// a copy of the whole text. The reference reorders a copy (ReorderHehInPlace).
#ifndef KAVEX_ENGINE_HEHWINDOWS_H
#define KAVEX_ENGINE_HEHWINDOWS_H

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "engine/Platform.h"
#include "engine/RuleMatcher.h"

namespace kavex {

// Units of reordered text a window holds, unless the longest rule source asks for more.
constexpr std::size_t kWindowUnits = 4096;

// A window decides the positions at least longestSource - 1 units before its end (a match
// must lie wholly inside it); four times the longest source keeps most of every window
// decided.
inline std::size_t WindowUnitsFor(std::size_t longestSource) {
    return std::max(kWindowUnits, 4 * longestSource);
}

// Whether U+06BE occurs among `units` units.
bool ContainsHeh(const ByteUnits& text, std::size_t units);

// Moves every U+06BE that directly follows a mark to the front of that run of marks.
void ReorderHehInPlace(char16_t* units, std::size_t count, CpuLevel cpu);

// The reordered text a window at a time, made from the input as it is. A window needs the
// input it covers and, where a run of marks crosses one of its edges, whether a U+06BE
// ends that run; the end of the last run looked up is kept, so a run longer than a window
// is walked once, not once per window.
class HehReorder {
  public:
    HehReorder(const ByteUnits& input, std::size_t n, CpuLevel cpu)
        : input(input), n(n), cpu(cpu) {}

    // Units [from, from + count) of the reordered text into `window`; `from` never goes
    // back from one call to the next.
    void Fill(char16_t* window, std::size_t from, std::size_t count);

  private:
    ByteUnits input;
    std::size_t n;
    CpuLevel cpu;
    // [runFrom, runEnd) holds marks only, and runEnd is n or no mark.
    std::size_t runFrom = 0;
    std::size_t runEnd = 0;

    std::size_t RunEnd(std::size_t p);
    void Move(char16_t* window, std::size_t from, std::size_t heh) const;
};

}  // namespace kavex

#endif  // KAVEX_ENGINE_HEHWINDOWS_H
