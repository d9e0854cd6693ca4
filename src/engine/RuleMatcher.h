// Trie over 16-bit code units built from rule sources, stored as dense rows: one row per
// state, one column per distinct unit of the sources. Search finds the leftmost position
// where some source occurs and, there, the source listed first.
#ifndef KAVEX_ENGINE_RULEMATCHER_H
#define KAVEX_ENGINE_RULEMATCHER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/BitScan.h"
#include "engine/CodeUnitTable.h"

namespace kavex {

struct RuleMatch {
    int32_t position;  // -1 for no match
    uint16_t rule;     // kAbsent for no match
};

// Limits of the 16-bit fields; Build returns false beyond them.
constexpr std::size_t kMaxRules = 65535;
constexpr std::size_t kMaxStates = 65536;
constexpr std::size_t kMaxAlphabet = 65535;
// The rows of a trie are dense, so a small rules file whose sources use thousands of
// distinct units could otherwise ask for gigabytes; Build refuses rows beyond this.
constexpr std::size_t kMaxTableBytes = std::size_t{256} << 20;
// Flag of stateInfo: the state has a transition.
constexpr uint32_t kInnerState = uint32_t{1} << 16;

// Units of a text held as 16-bit units.
struct WideUnits {
    const char16_t* units;
    char16_t operator[](std::size_t i) const { return units[i]; }
};

// Units of a text held as UTF-16LE bytes, read where they lie.
struct ByteUnits {
    const unsigned char* bytes;
    char16_t operator[](std::size_t i) const {
        return static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    }
};

class RuleMatcher {
  public:
    RuleMatcher();
    ~RuleMatcher();
    // Deep copies (rows, rule indices, table); std::bad_alloc leaves nothing leaked.
    RuleMatcher(const RuleMatcher& other);
    RuleMatcher& operator=(const RuleMatcher& other);
    void Swap(RuleMatcher& other) noexcept;

    // Builds the trie from scratch. False, with the matcher unbuilt and nothing leaked,
    // when memory runs out or the sources exceed kMaxRules, kMaxStates, kMaxAlphabet or
    // kMaxTableBytes.
    bool Build(std::vector<std::u16string> sources);

    // The match at the smallest index >= start where a non-empty source occurs; of the
    // sources occurring there, the one with the smallest rule index. Allocates nothing.
    RuleMatch Search(const std::u16string& text, int32_t start) const {
        return Search(text.data(), text.size(), start);
    }
    RuleMatch Search(const char16_t* text, std::size_t length, int32_t start) const {
        if (start < 0) return RuleMatch{-1, kAbsent};
        return Find(WideUnits{text}, length, static_cast<std::size_t>(start));
    }

    void Clear();

    bool IsBuilt() const { return built; }
    uint16_t AlphabetSize() const { return alphabetSize; }
    std::size_t StateCount() const { return transitions.size(); }
    // Bytes held by rows, rule indices, the row pointers and table pages.
    std::size_t MemoryBytes() const;

  protected:
    // Search over any kind of units; inline, so a rewrite loop calling it once per match
    // pays no call.
    template <typename Units>
    RuleMatch Find(const Units& text, std::size_t length, std::size_t start) const;
    // The rule of the match at `start` when it is the one-unit source text[start] and the
    // walk cannot go past that unit; kAbsent when Find must decide. Dense texts of one-unit
    // matches (presentation forms) then pay two lookups per unit.
    template <typename Units>
    uint16_t OneUnitMatch(const Units& text, std::size_t length, std::size_t start) const {
        if (start >= static_cast<std::size_t>(INT32_MAX)) return kAbsent;
        const uint16_t rule = oneUnitRules[text[start]];
        if (rule == kAbsent || start + 1 >= length) return rule;
        return laterColumns[text[start + 1]] == kAbsent ? rule : kAbsent;
    }

    // Whether some source starts with `unit`; only for a built matcher.
    bool StartsSource(char16_t unit) const {
        return ((startUnits[unit >> 6] >> (unit & 63)) & 1) != 0;
    }

    uint16_t alphabetSize;
    std::vector<uint16_t*> transitions;
    std::vector<uint16_t> ruleAtState;
    CodeUnitTable columns;
    bool built;

  private:
    // Derived from the sources when built: bit u is set when unit u starts some source.
    // Lets Search pass over the units that start nothing, the bulk of most texts, a block
    // at a time and without a branch per unit.
    std::vector<uint64_t> startUnits;
    // Per state, its rule index (kAbsent for none) in the low 16 bits and kInnerState when
    // it has a transition: a walk stops at the others at once. One load a step for both.
    std::vector<uint32_t> stateInfo;
    // Per unit, its column when it stands after the first unit of some source, else
    // kAbsent: a walk stops at other units before it reads a row.
    std::vector<uint16_t> laterColumns;
    // Per unit, the rule whose source is that unit alone (kAbsent for none).
    std::vector<uint16_t> oneUnitRules;
    // Per unit, the state the root's row leads to (0 for none): the first step of a walk
    // without the column lookup and the root row.
    std::vector<uint16_t> firstStates;
    // The smallest unit that starts a source: a block whose units OR to less than it
    // starts nothing.
    char16_t lowestStart;

    // Appends an all-zero row and an empty rule entry; false beyond kMaxStates or when
    // the row cannot be allocated. Leaves both lists in step on failure.
    bool AddState();
};

template <typename Units>
RuleMatch RuleMatcher::Find(const Units& text, std::size_t length, std::size_t start) const {
    RuleMatch result{-1, kAbsent};
    if (!built) return result;
    // Units tested together, one bit each in a mask, before a walk from any of them.
    constexpr std::size_t kBlockUnits = 32;
    // The first block of a call is short: after a match the next starter is often only a
    // unit or two away, as after the space between two words.
    constexpr std::size_t kFirstBlockUnits = 8;
    // A position must fit the signed 32-bit result.
    const std::size_t last =
        length < static_cast<std::size_t>(INT32_MAX) ? length : static_cast<std::size_t>(INT32_MAX);
    const uint16_t* const* rows = transitions.data();
    const uint16_t* first = firstStates.data();
    const uint64_t* starts = startUnits.data();
    const uint32_t* info = stateInfo.data();
    const uint16_t* later = laterColumns.data();
    const auto startsSource = [starts](char16_t unit) -> uint64_t {
        return (starts[unit >> 6] >> (unit & 63)) & 1;
    };
    std::size_t p = start;
    std::size_t blockUnits = kFirstBlockUnits;
    while (p < last) {
        // Bit k of `candidates`: unit base + k starts some source. A unit that starts one
        // is walked from at once (dense texts and consecutive matches); otherwise a whole
        // block is tested without a branch per unit, first by its units' bits alone, which
        // passes over text below every source (ASCII in Arabic rules) at vector speed.
        const std::size_t base = p;
        uint64_t candidates;
        if (startsSource(text[p]) != 0) {
            candidates = 1;
            p += 1;
        } else {
            const std::size_t count = blockUnits < last - p ? blockUnits : last - p;
            blockUnits = kBlockUnits;
            char16_t bits = 0;
            for (std::size_t k = 0; k < count; ++k)
                bits = static_cast<char16_t>(bits | text[p + k]);
            candidates = 0;
            if (bits >= lowestStart) {
                for (std::size_t k = 0; k < count; ++k) {
                    candidates |= startsSource(text[p + k]) << k;
                }
            }
            p += count;
        }
        for (; candidates != 0; candidates &= candidates - 1) {
            const std::size_t from = base + LowestSetBit(candidates);
            // Walk the whole path: a longer source may still have a smaller rule index.
            uint16_t state = first[text[from]];
            uint16_t best = kAbsent;
            for (std::size_t q = from;;) {
                const uint32_t here = info[state];
                const uint16_t rule = static_cast<uint16_t>(here);
                if (rule < best) best = rule;
                // A state without transitions ends the walk before its row is read: the
                // rows are large and mostly out of cache.
                if (here < kInnerState || ++q >= length) break;
                const uint16_t col = later[text[q]];
                if (col == kAbsent) break;
                state = rows[state][col];
                if (state == 0) break;
            }
            if (best != kAbsent) {
                result.position = static_cast<int32_t>(from);
                result.rule = best;
                return result;
            }
        }
    }
    return result;
}

}  // namespace kavex

#endif  // KAVEX_ENGINE_RULEMATCHER_H
