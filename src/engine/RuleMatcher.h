// Trie over 16-bit code units built from rule sources, stored as dense rows: one row per
// state, one column per distinct unit of the sources. Search finds the leftmost position
// where some source occurs and, there, the source listed first.
#ifndef KAVEX_ENGINE_RULEMATCHER_H
#define KAVEX_ENGINE_RULEMATCHER_H

#include <cstddef>
#include <cstdint>
#include <cstring>
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

#if defined(_WIN32) || (defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__)
// UTF-16LE bytes are the host's own 16-bit units: one load or copy instead of two bytes.
constexpr bool kLittleEndianHost = true;
#else
constexpr bool kLittleEndianHost = false;
#endif

// Units of a text held as UTF-16LE bytes, read where they lie.
struct ByteUnits {
    const unsigned char* bytes;
    char16_t operator[](std::size_t i) const {
        if (kLittleEndianHost) {
            uint16_t unit;
            std::memcpy(&unit, bytes + 2 * i, sizeof unit);
            return static_cast<char16_t>(unit);
        }
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
    // Start positions tested together, one bit each, and kept between calls: a rewrite
    // that resumes after a match goes on with the bits of its block instead of testing
    // the same units again.
    struct ScanBlock {
        std::size_t base = 0;     // the position of bit 0
        std::size_t end = 0;      // positions [base, end) are tested
        uint64_t candidates = 0;  // bit k: a source may start at base + k
    };

    // Search over any kind of units; inline, so a rewrite loop calling it once per match
    // pays no call.
    template <typename Units>
    RuleMatch Find(const Units& text, std::size_t length, std::size_t start) const {
        ScanBlock block;
        return Find(text, length, start, block);
    }
    // The same, reusing the bits of `block` when `start` lies in it. Every call on one
    // block must pass the same text and length.
    template <typename Units>
    RuleMatch Find(const Units& text, std::size_t length, std::size_t start,
                   ScanBlock& block) const;
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

    // The smallest unit that starts a source; 0xFFFF when none does.
    char16_t LowestStart() const { return lowestStart; }

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
    // The first two steps of every walk in one small table: pairStates[pairOffsets[a] +
    // pairColumns[b]] is the state the units a b lead to from the root, 0 for none. Row
    // and column 0 are all 0, for units that start no source of two units or more and
    // units that are no second unit. Lets a block's start positions be tested without a
    // branch per unit, and keeps the steps every walk takes in a few cache lines where
    // the rows would spread them over many.
    std::vector<uint32_t> pairOffsets;
    std::vector<uint16_t> pairColumns;
    std::vector<uint16_t> pairStates;
    // Per unit, 1 when it is a one-unit source or stands second in a source, else 0.
    std::vector<uint8_t> keyUnits;
    // The smallest unit that starts a source: a block whose units OR to less than it
    // starts nothing.
    char16_t lowestStart;

    // Appends an all-zero row and an empty rule entry; false beyond kMaxStates or when
    // the row cannot be allocated. Leaves both lists in step on failure.
    bool AddState();
};

template <typename Units>
RuleMatch RuleMatcher::Find(const Units& text, std::size_t length, std::size_t start,
                            ScanBlock& block) const {
    RuleMatch result{-1, kAbsent};
    if (!built) return result;
    constexpr std::size_t kBlockUnits = 64;
    // A position must fit the signed 32-bit result.
    const std::size_t last =
        length < static_cast<std::size_t>(INT32_MAX) ? length : static_cast<std::size_t>(INT32_MAX);
    if (start >= block.base && start < block.end) {
        block.candidates &= ~uint64_t{0} << (start - block.base);
    } else {
        block.base = block.end = start;
        block.candidates = 0;
    }
    const uint16_t* const* rows = transitions.data();
    const uint32_t* info = stateInfo.data();
    const uint16_t* later = laterColumns.data();
    const uint16_t* single = oneUnitRules.data();
    const uint32_t* offsets = pairOffsets.data();
    const uint16_t* pairColumn = pairColumns.data();
    const uint16_t* pairs = pairStates.data();
    const uint8_t* keys = keyUnits.data();
    for (;;) {
        for (uint64_t bits = block.candidates; bits != 0; bits &= bits - 1) {
            const std::size_t from = block.base + LowestSetBit(bits);
            const char16_t unit = text[from];
            uint16_t best = single[unit];
            // Walk the whole path: a longer source may still have a smaller rule index.
            if (from + 1 < length) {
                uint16_t state = pairs[offsets[unit] + pairColumn[text[from + 1]]];
                for (std::size_t q = from + 1; state != 0;) {
                    const uint32_t here = info[state];
                    const uint16_t rule = static_cast<uint16_t>(here);
                    if (rule < best) best = rule;
                    // A state without transitions ends the walk before its row is read:
                    // the rows are large and mostly out of cache.
                    if (here < kInnerState || ++q >= length) break;
                    const uint16_t col = later[text[q]];
                    if (col == kAbsent) break;
                    state = rows[state][col];
                }
            }
            if (best != kAbsent) {
                // The bit stays: a later call starting at `from` walks it again.
                block.candidates = bits;
                result.position = static_cast<int32_t>(from);
                result.rule = best;
                return result;
            }
        }
        block.candidates = 0;
        const std::size_t p = block.end;
        if (p >= last) return result;
        const std::size_t count = kBlockUnits < last - p ? kBlockUnits : last - p;
        block.base = p;
        block.end = p + count;
        // Most text below every source (ASCII in Arabic rules) is passed over by the OR of
        // its units alone, at vector speed.
        char16_t any = 0;
        for (std::size_t k = 0; k < count; ++k) any = static_cast<char16_t>(any | text[p + k]);
        if (any < lowestStart) continue;
        // A source starts at a position only when its unit is a one-unit source or the
        // next unit stands second in a source: text of letters that start sources only
        // before marks (unmarked Arabic) is passed over with one load per unit.
        const std::size_t keyed = p + count < length ? count + 1 : count;
        uint8_t key = 0;
        for (std::size_t k = 0; k < keyed; ++k) key = static_cast<uint8_t>(key | keys[text[p + k]]);
        if (key == 0) continue;
        // Bit k: a one-unit source is text[p + k], or the pair at p + k starts a longer
        // source. No branch per unit; the text's last unit has no pair.
        const std::size_t paired = p + count < length ? count : count - 1;
        uint64_t candidates = 0;
        for (std::size_t k = 0; k < paired; ++k) {
            const char16_t unit = text[p + k];
            const uint16_t state = pairs[offsets[unit] + pairColumn[text[p + k + 1]]];
            candidates |= static_cast<uint64_t>((state != 0) | (single[unit] != kAbsent)) << k;
        }
        if (paired < count) {
            candidates |= static_cast<uint64_t>(single[text[p + paired]] != kAbsent) << paired;
        }
        block.candidates = candidates;
    }
}

}  // namespace kavex

#endif  // KAVEX_ENGINE_RULEMATCHER_H
