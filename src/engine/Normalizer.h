// One normalization form: its rule list and the matcher built from the rule sources.
// Normalize reorders U+06BE in front of the marks before it, then rewrites the text left
// to right with the rules.
#ifndef KAVEX_ENGINE_NORMALIZER_H
#define KAVEX_ENGINE_NORMALIZER_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "engine/RuleMatcher.h"
#include "engine/UnitMask.h"

namespace kavex {

struct NormalizationRule {
    std::u16string source;
    std::u16string replacement;
};

// A rule as the byte paths keep it: its replacement in the packed units, and the length of
// its source.
struct RuleSpan {
    uint32_t offset;
    uint32_t length;
    uint32_t sourceLength;
};

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
    // Appends one rule per line of the file to `rules`; false on any IOException.
    bool ReadRulesFile(const char* path);

    std::u16string Normalize(std::u16string text) const;
    // Normalize step by step: the same result, with every move of U+06BE and then every
    // rule applied appended to `steps` in order. Apart from the fast paths, which it
    // leaves untouched.
    std::u16string Explain(std::u16string text, std::vector<NormalizationStep>& steps) const;
    // Moves every U+06BE that directly follows a mark to the front of that run of marks.
    std::u16string ReorderHeh(std::u16string text) const;
    static void ReorderHehInPlace(char16_t* units, std::size_t count);
    static bool IsMark(char16_t unit);
    // Rewrites `text` with the rules, leftmost match first, never searching a replacement
    // again. Linear in the text: the result is built in a second buffer.
    void ApplyRules(std::u16string& text) const;

    // Normalize from `units` UTF-16LE units at `input` straight to UTF-16LE at `output`:
    // returns the number of units of the result, and writes them (without a terminator)
    // when `output` is not null and they number at most `capacityUnits`. Never writes past
    // `capacityUnits` units; what it wrote is unspecified when the result does not fit.
    // The same result as Normalize, with fewer copies and no copy of the text.
    std::size_t NormalizeBytes(const unsigned char* input, std::size_t units, unsigned char* output,
                               std::size_t capacityUnits) const;

    // The annotated report of the last read that failed; empty after a read that succeeded.
    const std::string& LastReadError() const { return lastReadError; }

    std::vector<NormalizationRule> rules;

  private:
    std::string lastReadError;
    // For the byte paths, derived by LoadRules once the matcher describes `rules` (Build
    // alone leaves them off): the most units a rule writes per unit of its source, rounded
    // up, so a result is at most this many times its text (0 while the paths are off);
    // every rule's replacement packed into one buffer, so the
    // rewrite reads 12 bytes per rule instead of a rule's strings; and the longest source,
    // which bounds how far past a position a match there can read.
    std::size_t expansion = 0;
    std::size_t longestSource = 1;
    // The quick check: ranges holding every unit that can take part in a match (a one-unit
    // source, the second unit of a longer one) and U+06BE, widened to at most
    // kMaxUnitRanges. A text with no unit in them is its own result, and no match starts
    // before the unit in front of the first one that is.
    UnitRanges quick;
    std::vector<RuleSpan> spans;
    std::vector<char16_t> packedUnits;
    // Per unit, what a rewrite does at it without the matcher: nothing starts there, or only
    // its own one-unit source, or the matcher decides (see Normalizer.cpp). Null while the
    // byte paths are off. Zeroed memory from the system: only the entries of units that
    // start a source are written, so only their pages are mapped.
    struct FreeSteps {
        void operator()(uint32_t* table) const { std::free(table); }
    };
    std::unique_ptr<uint32_t, FreeSteps> stepTable;

    void DeriveBytePaths();
    void DeriveSteps();
    // The step table where a rewrite of `length` units may use it: positions past the
    // matcher's 32-bit reach are left to the matcher.
    const uint32_t* StepsFor(std::size_t length) const {
        return length <= static_cast<std::size_t>(INT32_MAX) ? stepTable.get() : nullptr;
    }
    // Rewrites text[0, length) into `sink` from `match` on, taking the matches that start
    // before `limit`; returns where the units not written yet start (`length` when `limit`
    // is `length`). `stepsByUnit`: the step table, or null for the matcher alone.
    template <typename Units, typename Rules, typename Sink>
    std::size_t Rewrite(const Units& text, std::size_t length, std::size_t limit, RuleMatch match,
                        Scanner<Units> scanner, const Rules& list, Sink& sink,
                        const uint32_t* stepsByUnit) const;
    // Rewrites the text as reordered, a window at a time, never holding a copy of it.
    template <typename Sink>
    void RewriteReordered(const ByteUnits& input, std::size_t units, Sink& sink) const;
    template <typename Units>
    std::size_t RewriteBytes(const Units& text, std::size_t length, std::size_t start,
                             unsigned char* output, std::size_t capacityUnits) const;
};

}  // namespace kavex

#endif  // KAVEX_ENGINE_NORMALIZER_H
