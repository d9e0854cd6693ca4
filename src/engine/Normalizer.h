// One normalization form: its rule list and the matcher built from the rule sources.
// Normalize reorders U+06BE in front of the marks before it, then rewrites the text left
// to right with the rules.
#ifndef KAVEX_ENGINE_NORMALIZER_H
#define KAVEX_ENGINE_NORMALIZER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/Paths.h"
#include "engine/QuickCheck.h"
#include "engine/RuleList.h"
#include "engine/RuleMatcher.h"
#include "engine/StepTable.h"

namespace kavex {

// One step of Normalize, as Explain reports it.
struct NormalizationStep {
    enum class Kind { kHehMoved, kRuleApplied };
    Kind kind;
    // kHehMoved: the index of the U+06BE in the text as given, and the index it moves to,
    // the front of the run of marks before it.
    // kRuleApplied: the index of the rule's source in the reordered text, and the index of
    // its replacement in the result.
    std::size_t from;
    std::size_t to;
    uint16_t rule;  // kRuleApplied: the rule index (its line in the rules file - 1)
};

class Normalizer : public RuleMatcher {
  public:
    Normalizer();
    ~Normalizer();
    Normalizer(const Normalizer& other);
    // All or nothing: a matcher copied without its rules would report indices into the
    // old list.
    Normalizer& operator=(const Normalizer& other);

    // The matcher's built flag.
    bool IsLoaded() const { return built; }
    void Clear();
    // Builds the matcher only; the byte fast paths stay off until LoadRules describes
    // `rules` and the matcher together.
    bool Build(std::vector<std::u16string> sources);

    // Loads the rules file once and builds the matcher; true at once when already loaded.
    // A normalizer that is not loaded starts from an empty rule list, so rules left by a
    // failed attempt never precede the file's own.
    bool LoadRules(std::string path);
    // What LoadRules does once the file is read, from rules held in memory: the matcher
    // and the byte paths. False, not loaded, when the matcher cannot be built.
    bool LoadRulesFrom(std::vector<NormalizationRule> list);
    // Appends one rule per line of the file to `rules`; false on any IOException.
    bool ReadRulesFile(const char* path);

    std::u16string Normalize(std::u16string text) const;
    // Normalize step by step: the same result, with every move of U+06BE and then every
    // rule applied appended to `steps` in order. Apart from the fast paths, which it
    // leaves untouched.
    std::u16string Explain(std::u16string text, std::vector<NormalizationStep>& steps) const;
    // Moves every U+06BE that directly follows a mark to the front of that run of marks.
    std::u16string ReorderHeh(std::u16string text) const;
    static bool IsMark(char16_t unit);
    // Rewrites `text` with the rules, leftmost match first, never searching a replacement
    // again. Linear in the text: the result is built in a second buffer.
    void ApplyRules(std::u16string& text) const;

    // Normalize from `units` UTF-16LE units at `input` straight to UTF-16LE at `output`:
    // returns the number of units of the result, and writes them (without a terminator)
    // when `output` is not null and they number at most `capacityUnits`. Writes nothing
    // but the result, in order, and never past `capacityUnits` units; when the result does
    // not fit, what it wrote is a part of the result. The same result as Normalize, on
    // whichever `paths` it takes.
    std::size_t NormalizeBytes(const unsigned char* input, std::size_t units, unsigned char* output,
                               std::size_t capacityUnits) const {
        return NormalizeBytes(input, units, output, capacityUnits, PathChoice::Auto());
    }
    std::size_t NormalizeBytes(const unsigned char* input, std::size_t units, unsigned char* output,
                               std::size_t capacityUnits, const PathChoice& paths) const;

    // The most units the result of a text of `units` units can have.
    std::size_t MaxResultUnits(std::size_t units) const;
    // Whether the byte paths are derived (LoadRules or LoadRulesFrom succeeded and memory
    // allowed them); without them NormalizeBytes takes the literal pass.
    bool BytePathsOn() const { return bytePaths; }
    // The longest rule source: a reorder window is at least four times as long.
    std::size_t LongestSource() const { return longestSource; }

    // The annotated report of the last read that failed; empty after a read that succeeded.
    const std::string& LastReadError() const { return lastReadError; }

    std::vector<NormalizationRule> rules;

  private:
    std::string lastReadError;
    // Derived from `rules` when loaded: ExpansionOf(rules) and the longest source.
    std::size_t expansion = 1;
    std::size_t longestSource = 1;
    // For the byte paths, derived by LoadRules once the matcher describes `rules` (Build
    // alone leaves them off): the quick check's ranges (a one-unit source, the second unit
    // of a longer one, U+06BE); every rule's replacement packed into one buffer; the step
    // table.
    bool bytePaths = false;
    UnitRanges quick;
    std::vector<RuleSpan> spans;
    std::vector<char16_t> packedUnits;
    StepTable steps;

    void DropBytePaths();
    void DeriveBytePaths();
    // The step table where a rewrite of `length` units may use it: positions past the
    // matcher's 32-bit reach are left to the matcher.
    const uint32_t* StepsFor(std::size_t length) const {
        return length <= static_cast<std::size_t>(INT32_MAX) ? steps.Entries() : nullptr;
    }
    template <typename Sink>
    std::size_t RewriteText(const unsigned char* input, std::size_t units, std::size_t start,
                            std::size_t firstKey, const PathChoice& paths, Sink& sink) const;
    // Rewrites the text as reordered, a window at a time, from `start` (units before it
    // are written), never holding a copy of it.
    template <typename Sink>
    void RewriteReordered(const ByteUnits& input, std::size_t units, std::size_t start,
                          const PathChoice& paths, Sink& sink) const;
};

}  // namespace kavex

#endif  // KAVEX_ENGINE_NORMALIZER_H
