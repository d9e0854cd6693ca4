// Trie over 16-bit code units built from rule sources, stored as dense rows: one row per
// state, one column per distinct unit of the sources. Search finds the leftmost position
// where some source occurs and, there, the source listed first.
#ifndef KAVEX_ENGINE_RULEMATCHER_H
#define KAVEX_ENGINE_RULEMATCHER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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
    RuleMatch Search(const char16_t* text, std::size_t length, int32_t start) const;

    void Clear();

    bool IsBuilt() const { return built; }
    uint16_t AlphabetSize() const { return alphabetSize; }
    std::size_t StateCount() const { return transitions.size(); }
    // Bytes held by rows, rule indices, the row pointers and table pages.
    std::size_t MemoryBytes() const;

  protected:
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
    // Bit s is set when state s has a transition: a walk stops at the others at once.
    std::vector<uint64_t> innerStates;
    // The smallest unit that starts a source: a block whose units OR to less than it
    // starts nothing.
    char16_t lowestStart;

    // Appends an all-zero row and an empty rule entry; false beyond kMaxStates or when
    // the row cannot be allocated. Leaves both lists in step on failure.
    bool AddState();
};

}  // namespace kavex

#endif  // KAVEX_ENGINE_RULEMATCHER_H
