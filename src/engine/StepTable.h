// The step table: per unit, what a rewrite does at it without the matcher. A unit that
// starts no source is its own result; one whose only source is itself writes its packed
// replacement; the matcher decides the others. After a match, StepWalk takes the units
// that follow with one lookup each, while they are one-unit matches or few units that start
// nothing between them; longer gaps go back to the matcher's block search.
#ifndef KAVEX_ENGINE_STEPTABLE_H
#define KAVEX_ENGINE_STEPTABLE_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "engine/Platform.h"
#include "engine/RuleList.h"
#include "engine/RuleMatcher.h"

namespace kavex {

// Entries: a unit that starts no source is 0 (most of the table, never written); one whose
// only source is itself holds where its replacement lies in the packed units (above bit
// kStepOffsetShift) and its length (bits 2-4); the others, the matcher decides.
constexpr uint32_t kStartsNothing = 0;
constexpr uint32_t kOneUnitOnly = 1;
constexpr uint32_t kStartsLonger = 2;
constexpr uint32_t kMatcherDecides = 3;
constexpr uint32_t kStepKind = 3;
constexpr uint32_t kStepLengthShift = 2;
constexpr uint32_t kStepMaxLength = 7;
// A unit that starts a longer source (kStartsLonger) matches only its one-unit source, if
// any, where the next unit stands second in no source: that replacement is held as for
// kOneUnitOnly, or kStepOwn when there is none. kMatcherDecides: one that does not fit.
constexpr uint32_t kStepOwn = 1u << 5;
constexpr uint32_t kStepSecond = 1u << 6;
constexpr uint32_t kStepOffsetShift = 7;
// A dense pass reads this many units at the replacement of every entry it takes, whatever
// its length: the packed units extend that far past the last replacement.
constexpr std::size_t kStepReadUnits = 8;

// Whether the unit with `step`, followed by one with `nextStep`, is left to the matcher.
inline bool MatcherDecides(uint32_t step, uint32_t nextStep) {
    const uint32_t kind = step & kStepKind;
    return ((kind >> 1) & ((kind & 1) | ((nextStep & kStepSecond) != 0))) != 0;
}

// 1 when the unit's replacement is itself.
inline uint32_t OwnUnit(uint32_t step) {
    return ((step & kStepKind) == kStartsNothing) | ((step & kStepOwn) != 0);
}
inline uint32_t StepLength(uint32_t step) { return (step >> kStepLengthShift) & kStepMaxLength; }
inline uint32_t StepOffset(uint32_t step) { return step >> kStepOffsetShift; }

class StepTable {
  public:
    // From the first unit of each source and what the matcher holds for it; only units
    // that start a source are written. Pads `packedUnits` by kStepReadUnits (room reserved
    // for it never moves them). False, with no table, when memory runs out.
    bool Build(const std::vector<NormalizationRule>& rules, const RuleMatcher& matcher,
               const std::vector<RuleSpan>& spans, std::vector<char16_t>& packedUnits);
    void Reset() { entries.reset(); }
    // Null when there is no table.
    const uint32_t* Entries() const { return entries.get(); }

  private:
    // Zeroed memory from the system: only the entries of units that start a source are
    // written, so only their pages are mapped.
    struct FreeEntries {
        void operator()(uint32_t* table) const { std::free(table); }
    };
    std::unique_ptr<uint32_t, FreeEntries> entries;
};

// Where a rewrite stands: units before `copied` are written; [copied, p) start nothing and
// wait to be copied; `dense`: the last two matches stood close together.
struct RewriteCursor {
    std::size_t copied;
    std::size_t p;
    bool dense;
};

// Units a walk passes that start nothing, before it leaves the rest to the matcher's block
// search: a lookup per unit is cheaper than the matcher where matches are dense (a gap of
// a unit or two), dearer where they are rare (a mark every few dozen units).
constexpr std::size_t kStepGapDense = 16;
constexpr std::size_t kStepGapSparse = 2;
// Matches this close count as dense.
constexpr std::size_t kDenseGap = 2;

// The walk from cursor.p, which must be below `limit`. Returns true when the matcher must
// search from cursor.p on, false when the rewrite of text[0, limit) is done: a match ended
// the text (cursor.copied is then its end) or the walk reached `limit` (everything before
// it written, cursor.copied = limit). `dense(cursor)` runs dense passes at a one-unit match
// right after a close one and returns where they stopped (cursor.p when they took
// nothing); `forced` walks to `limit` whatever the gaps.
template <typename Units, typename Rules, typename Sink, typename Scanner, typename Dense>
KAVEX_ALWAYS_INLINE bool StepWalk(const Units& text, std::size_t length, std::size_t limit,
                                  const uint32_t* steps, const Rules& list, const Scanner& scanner,
                                  Sink& sink, RewriteCursor& cursor, bool forced, Dense&& dense) {
    const std::size_t ruleCount = list.Count();
    std::size_t copied = cursor.copied;
    std::size_t p = cursor.p;
    bool close = cursor.dense;
    KAVEX_DCHECK(copied <= p && p < limit && limit <= length);
    for (;;) {
        const uint32_t step = steps[text[p]];
        if ((step & kStepKind) == kOneUnitOnly) {
            if (p == copied && close) {
                // Passes without a branch per unit take what follows while it stays dense;
                // after them the text is taken as sparse until two matches stand close.
                const std::size_t to = dense(RewriteCursor{copied, p, close});
                if (to != p) {
                    KAVEX_DCHECK(to > p && to <= limit);
                    p = copied = to;
                    close = false;
                    if (p >= limit) break;
                    continue;
                }
            }
            close = p - copied <= kDenseGap;
            if (p != copied) sink.Copy(text, copied, p - copied);
            sink.Put(list.Units() + StepOffset(step), StepLength(step));
            copied = p + 1;
            if (copied >= length || ++p >= limit) {
                cursor.copied = copied;
                return false;
            }
            continue;
        }
        const uint16_t rule = (step & kStepKind) != kStartsNothing ? scanner.MatchAt(p) : kAbsent;
        if (rule < ruleCount) {
            close = p - copied <= kDenseGap;
            if (p != copied) sink.Copy(text, copied, p - copied);
            sink.Put(list.Replacement(rule), list.ReplacementSize(rule));
            copied = p + list.SourceSize(rule);
            KAVEX_DCHECK(copied <= length);
            if (copied >= length || copied >= limit) {
                cursor.copied = copied;
                return false;
            }
            p = copied;
            continue;
        }
        if (!forced && p - copied >= (close ? kStepGapDense : kStepGapSparse)) {
            cursor = RewriteCursor{copied, p, close};
            return true;
        }
        if (++p >= limit) break;
    }
    // Nothing starts in [copied, limit): written as it is.
    if (copied < limit) sink.Copy(text, copied, limit - copied);
    cursor.copied = copied < limit ? limit : copied;
    return false;
}

}  // namespace kavex

#endif  // KAVEX_ENGINE_STEPTABLE_H
