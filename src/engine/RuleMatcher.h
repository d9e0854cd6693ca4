// Trie over 16-bit code units built from rule sources: one row per state, one column per
// distinct unit of the sources. Most rows are all but empty (a state is followed by a few
// units of a large alphabet), so the rows are packed into one array, overlapping where
// their transitions fall into each other's gaps; each cell names the state it belongs to.
// Search finds the leftmost position where some source occurs and, there, the source
// listed first.
#ifndef KAVEX_ENGINE_RULEMATCHER_H
#define KAVEX_ENGINE_RULEMATCHER_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/BitScan.h"
#include "engine/CodeUnitTable.h"
#include "engine/Platform.h"
#include "engine/UnitMask.h"

namespace kavex {

struct RuleMatch {
    int32_t position;  // -1 for no match
    uint16_t rule;     // kAbsent for no match
};

// Limits of the 16-bit fields; Build returns false beyond them.
constexpr std::size_t kMaxRules = 65535;
constexpr std::size_t kMaxStates = 65536;
constexpr std::size_t kMaxAlphabet = 65535;
// Build refuses a trie whose rows, were each of them stored in full (states times
// alphabet, two bytes a cell), would pass this: the rule sets accepted stay those of the
// dense layout, whatever the packing achieves.
constexpr std::size_t kMaxTableBytes = std::size_t{256} << 20;
// Start positions a scanner tests at once.
constexpr std::size_t kScanBlockUnits = 64;
// Flag of stateInfo: the state has a transition.
constexpr uint32_t kInnerState = uint32_t{1} << 16;
// Flags of a unit in the matcher's key table.
constexpr uint8_t kKeyOneUnit = 1;
constexpr uint8_t kKeyStartsLonger = 2;
constexpr uint8_t kKeySecond = 4;

// Units of a text held as 16-bit units.
struct WideUnits {
    const char16_t* units;
    char16_t operator[](std::size_t i) const { return units[i]; }
};

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
    std::size_t StateCount() const { return ruleAtState.size(); }
    // The state that `column` leads to from `state`; 0 for none.
    uint16_t Transition(uint16_t state, uint16_t column) const {
        if (state >= rowStart.size() || column >= alphabetSize) return 0;
        const uint32_t cell = cells[rowStart[state] + column + 1];
        return cell >> 16 == state ? static_cast<uint16_t>(cell) : 0;
    }
    // Bytes the matcher keeps resident: its arrays, table pages, and the pages of the
    // per-unit tables that hold anything (the others are never written, so never mapped).
    std::size_t MemoryBytes() const;

    // Successive searches over one text (below).
    template <typename Units>
    class Scanner;

    // Search over any kind of units.
    template <typename Units>
    RuleMatch Find(const Units& text, std::size_t length, std::size_t start) const;

    // The smallest unit that starts a source; 0xFFFF when none does.
    char16_t LowestStart() const { return lowestStart; }
    // The rule a match of the unit alone takes (kAbsent for none), and whether a source of
    // two units or more starts with the unit; for a built matcher.
    uint16_t OneUnitRule(char16_t unit) const {
        return static_cast<uint16_t>(unitTables->oneUnitRules[unit] - 1);
    }
    bool StartsLongerSource(char16_t unit) const { return unitTables->pairOffsets[unit] != 0; }

  protected:
    // Source `index` of a list that Build reads in place.
    using SourceAt = const std::u16string& (*)(const void* list, std::size_t index);
    // Build over `count` sources of any list: a normalizer builds from its rules without
    // copying their sources first.
    bool BuildFrom(const void* list, std::size_t count, SourceAt sourceAt);

    uint16_t alphabetSize;
    // Row s: the transition of state s on the (0-based) column c is the cell
    // cells[rowStart[s] + c + 1] when its high half is s, and then its low half is the next
    // state. A cell that belongs to another row, or is 0, means no transition (0 is free:
    // the root is never the target of a transition). Rows of states without transitions
    // start at 0 and own no cell; the array extends an alphabet past every row's start.
    std::vector<uint32_t> rowStart;
    std::vector<uint32_t> cells;
    // Cells written so far: Build's hash table fills more than the rows may need.
    std::size_t writtenCells = 0;
    std::vector<uint16_t> ruleAtState;
    CodeUnitTable columns;
    bool built;

  private:
    // Per-unit tables derived from the sources when built, in one allocation whose every
    // "nothing" is 0: memory the system hands over already zeroed needs no filling, and a
    // small rules file touches few of its pages (a fuzzer builds thousands of matchers).
    struct UnitTables {
        // Bit u: unit u starts some source.
        uint64_t startUnits[65536 / 64];
        // The first two steps of every walk in one small table: pairStates[pairOffsets[a]
        // + pairColumns[b]] is the state the units a b lead to from the root, 0 for none.
        // Row and column 0 are all 0, for units that start no source of two units or more
        // and units that are no second unit. Lets a block's start positions be tested
        // without a branch per unit, and keeps the steps every walk takes in a few cache
        // lines where the rows would spread them over many.
        uint32_t pairOffsets[65536];
        uint16_t pairColumns[65536];
        // 1 + the column of a unit that stands after the first unit of some source: a walk
        // stops at other units before it reads a row.
        uint16_t laterColumns[65536];
        // 1 + the rule whose source is the unit alone.
        uint16_t oneUnitRules[65536];
        // kKeyOneUnit when the unit is a one-unit source, kKeyStartsLonger when it starts a
        // source of two units or more, kKeySecond when it stands second in one.
        uint8_t keyUnits[65536];
    };
    struct FreeTables {
        void operator()(UnitTables* tables) const { std::free(tables); }
    };
    std::unique_ptr<UnitTables, FreeTables> unitTables;
    // Per state, its rule index (kAbsent for none) in the low 16 bits and kInnerState when
    // it has a transition: a walk stops at the others at once. One load a step for both.
    std::vector<uint32_t> stateInfo;
    std::vector<uint16_t> pairStates;
    // The smallest unit that starts a source: a block whose units OR to less than it
    // starts nothing.
    char16_t lowestStart;

    // What Build keeps beside the trie while it is lists: the root's children by column,
    // and the unit of each column.
    struct BuildLists {
        std::vector<uint16_t> rootRow;
        std::vector<char16_t> unitOfColumn;
    };
    bool BuildTrie(const void* list, std::size_t count, SourceAt sourceAt, BuildLists& lists);
    void DeriveUnitTables(const BuildLists& lists);
    void PackRows();
};

// Successive searches over one text, each starting at or after the last match: the
// tables are read through pointers held here, which writes of a rewrite's output (bytes,
// which may alias anything) do not force the compiler to load again, and the start
// positions of a block are tested once, the bits kept between calls.
template <typename Units>
class RuleMatcher::Scanner {
  public:
    Scanner(const RuleMatcher& matcher, const Units& text, std::size_t length,
            CpuLevel cpu = BestCpuLevel())
        : text(text),
          length(length),
          // A position must fit the signed 32-bit result.
          last(length < static_cast<std::size_t>(INT32_MAX) ? length
                                                            : static_cast<std::size_t>(INT32_MAX)),
          built(matcher.built),
          lowestStart(matcher.lowestStart),
          rowStart(matcher.rowStart.data()),
          cells(matcher.cells.data()),
          info(matcher.stateInfo.data()),
          later(matcher.built ? matcher.unitTables->laterColumns : nullptr),
          single(matcher.built ? matcher.unitTables->oneUnitRules : nullptr),
          offsets(matcher.built ? matcher.unitTables->pairOffsets : nullptr),
          pairColumn(matcher.built ? matcher.unitTables->pairColumns : nullptr),
          pairs(matcher.pairStates.data()),
          keys(matcher.built ? matcher.unitTables->keyUnits : nullptr),
          cpu(cpu) {}

    // The match at the smallest position >= start, as Search gives it.
    RuleMatch Next(std::size_t start);

    // What a rewrite may decide at `start` without a search: kNothingStarts when no source
    // starts there, the rule of the match when it is the one-unit source text[start] and no
    // longer source starts with text[start] text[start + 1], kSearch when Next must decide.
    // Dense texts of one-unit matches (presentation forms, marks among them) then pay a few
    // lookups per unit.
    static constexpr int32_t kNothingStarts = -1;
    static constexpr int32_t kSearch = -2;
    int32_t StepAt(std::size_t start) const {
        if (start >= last) return kSearch;
        const char16_t unit = text[start];
        const int32_t rule = static_cast<int32_t>(single[unit]) - 1;
        const uint32_t row = offsets[unit];
        // Units that start no source of two units or more have row 0, all empty.
        if (row == 0 || start + 1 >= length) return rule;
        if (pairs[row + pairColumn[text[start + 1]]] == 0) return rule;
        return kSearch;
    }

    // The rule of the match at `start` (below the 32-bit reach), kAbsent for none.
    uint16_t MatchAt(std::size_t start) const {
        const char16_t unit = text[start];
        uint16_t best = static_cast<uint16_t>(single[unit] - 1);
        // Walk the whole path: a longer source may still have a smaller rule index.
        if (start + 1 < length) {
            uint16_t state = pairs[offsets[unit] + pairColumn[text[start + 1]]];
            for (std::size_t q = start + 1; state != 0;) {
                const uint32_t here = info[state];
                const uint16_t rule = static_cast<uint16_t>(here);
                if (rule < best) best = rule;
                // A state without transitions ends the walk before its row is read.
                if (here < kInnerState || ++q >= length) break;
                const uint16_t column = later[text[q]];
                if (column == 0) break;
                const uint32_t cell = cells[rowStart[state] + column];
                state = cell >> 16 == state ? static_cast<uint16_t>(cell) : 0;
            }
        }
        return best;
    }

  private:
    static constexpr std::size_t kBlockUnits = kScanBlockUnits;
    // Positions to test from which a test of every position costs less than one per bit,
    // and candidates found from which the next block is tested that way at once.
    static constexpr unsigned kDenseMaybe = 40;
    static constexpr unsigned kDenseCandidates = 32;

    Units text;
    std::size_t length;
    std::size_t last;
    bool built;
    char16_t lowestStart;
    const uint32_t* rowStart;
    const uint32_t* cells;
    const uint32_t* info;
    const uint16_t* later;
    const uint16_t* single;
    const uint32_t* offsets;
    const uint16_t* pairColumn;
    const uint16_t* pairs;
    const uint8_t* keys;
    CpuLevel cpu;
    // The block of start positions [base, end) tested so far; bit k of `candidates`: a
    // source may start at base + k.
    std::size_t base = 0;
    std::size_t end = 0;
    uint64_t candidates = 0;
    // The last block tested had many candidates.
    bool lastDense = false;

    // Tests the block of positions from `p` on.
    void TestBlock(std::size_t p);
    // The exact test at each of the `count` positions from `p`.
    void TestEveryPosition(std::size_t p, std::size_t count, bool hasNext);
};

template <typename Units>
RuleMatch RuleMatcher::Find(const Units& text, std::size_t length, std::size_t start) const {
    Scanner<Units> scanner(*this, text, length);
    return scanner.Next(start);
}

template <typename Units>
RuleMatch RuleMatcher::Scanner<Units>::Next(std::size_t start) {
    RuleMatch result{-1, kAbsent};
    if (!built) return result;
    if (start >= base && start < end) {
        candidates &= ~uint64_t{0} << (start - base);
    } else {
        base = end = start;
        candidates = 0;
    }
    for (;;) {
        for (uint64_t bits = candidates; bits != 0; bits &= bits - 1) {
            const std::size_t from = base + LowestSetBit(bits);
            const uint16_t best = MatchAt(from);
            if (best != kAbsent) {
                // The bit stays: a later call starting at `from` walks it again.
                candidates = bits;
                result.position = static_cast<int32_t>(from);
                result.rule = best;
                return result;
            }
        }
        candidates = 0;
        if (end >= last) return result;
        TestBlock(end);
    }
}

template <typename Units>
void RuleMatcher::Scanner<Units>::TestBlock(std::size_t p) {
    const std::size_t count = kBlockUnits < last - p ? kBlockUnits : last - p;
    base = p;
    end = p + count;
    candidates = 0;
    // Most text below every source (ASCII in Arabic rules) is passed over by the OR of
    // its units alone, at vector speed.
    char16_t any = 0;
    for (std::size_t k = 0; k < count; ++k) any = static_cast<char16_t>(any | text[p + k]);
    if (any < lowestStart) {
        lastDense = false;
        return;
    }
    // After a dense block the next one most likely is dense too (every unit a key, as in
    // presentation forms or the matcher's worst case): the marking below would only add
    // to the exact test.
    const bool hasNext = p + count < length;
    if (lastDense) {
        TestEveryPosition(p, count, hasNext);
        return;
    }
    // A source starts at a position only when its unit is a one-unit source, or starts a
    // longer one and the next unit stands second in a source: one load per unit marks the
    // few positions the exact test need look at (most Arabic text has such a position
    // every few dozen units, so a test of every position would mostly find nothing). The
    // lookups go to bytes first and to bits in vector steps: no shift by a varying count,
    // no chain from unit to unit.
    uint8_t keyBytes[kBlockUnits];
    std::size_t k = 0;
    for (; k + 4 <= count; k += 4) {
        keyBytes[k] = keys[text[p + k]];
        keyBytes[k + 1] = keys[text[p + k + 1]];
        keyBytes[k + 2] = keys[text[p + k + 2]];
        keyBytes[k + 3] = keys[text[p + k + 3]];
    }
    for (; k < count; ++k) keyBytes[k] = keys[text[p + k]];
    static_assert(kKeyOneUnit == 1 && kKeyStartsLonger == 2 && kKeySecond == 4, "bit planes");
    uint64_t planes[3];
    BitPlanes(keyBytes, count, planes, cpu);
    uint64_t nextIsSecond = planes[2] >> 1;
    if (hasNext && (keys[text[p + count]] & kKeySecond) != 0) {
        nextIsSecond |= uint64_t{1} << (count - 1);
    }
    const uint64_t maybe = planes[0] | (planes[1] & nextIsSecond);
    if (BitCount(maybe) >= kDenseMaybe) {
        TestEveryPosition(p, count, hasNext);
        return;
    }
    // Bit j: a one-unit source is text[p + j], or the pair at p + j starts a longer
    // source; the text's last unit has no pair.
    uint64_t found = 0;
    for (uint64_t bits = maybe; bits != 0; bits &= bits - 1) {
        const std::size_t j = LowestSetBit(bits);
        const char16_t unit = text[p + j];
        bool starts = single[unit] != 0;
        if (hasNext || j + 1 < count) {
            starts |= pairs[offsets[unit] + pairColumn[text[p + j + 1]]] != 0;
        }
        found |= static_cast<uint64_t>(starts) << j;
    }
    candidates = found;
    lastDense = false;
}

template <typename Units>
void RuleMatcher::Scanner<Units>::TestEveryPosition(std::size_t p, std::size_t count,
                                                    bool hasNext) {
    // Bit k: a one-unit source is text[p + k], or the pair at p + k starts a longer
    // source. No branch per unit; the text's last unit has no pair.
    const std::size_t paired = hasNext ? count : count - 1;
    uint64_t found = 0;
    for (std::size_t k = 0; k < paired; ++k) {
        const char16_t unit = text[p + k];
        const uint16_t state = pairs[offsets[unit] + pairColumn[text[p + k + 1]]];
        found |= static_cast<uint64_t>((state != 0) | (single[unit] != 0)) << k;
    }
    if (paired < count) found |= static_cast<uint64_t>(single[text[p + paired]] != 0) << paired;
    candidates = found;
    lastDense = BitCount(found) >= kDenseCandidates;
}

}  // namespace kavex

#endif  // KAVEX_ENGINE_RULEMATCHER_H
