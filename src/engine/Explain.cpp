// Normalizer::Explain: the two steps of Normalize done plainly, recording each move and
// each rule applied. It shares nothing with the fast paths but the matcher's Scanner, so
// a trace also cross-checks them.
#include <utility>

#include "engine/Normalizer.h"

namespace kavex {

std::u16string Normalizer::Explain(std::u16string text,
                                   std::vector<NormalizationStep>& steps) const {
    constexpr char16_t kHeh = 0x06BE;
    // Each U+06BE right after a mark moves to the front of the run of marks before it.
    // Runs of marks hold no U+06BE, so each move leaves the others' places alone and is
    // read off the text as given.
    const std::u16string input = text;
    for (std::size_t i = 1; i < input.size(); ++i) {
        if (input[i] != kHeh || !IsMark(input[i - 1])) continue;
        std::size_t front = i - 1;
        while (front > 0 && IsMark(input[front - 1])) --front;
        for (std::size_t k = i; k > front; --k) text[k] = text[k - 1];
        text[front] = kHeh;
        steps.push_back(NormalizationStep{NormalizationStep::Kind::kHehMoved, i, front, 0});
    }

    // Every search starts at or after the end of the last match, in units no rule has
    // touched, so the reordered text is searched as it is and the result built apart.
    const std::size_t n = text.size();
    Scanner<WideUnits> scanner(*this, WideUnits{text.data()}, n);
    std::u16string result;
    std::size_t copied = 0;
    for (RuleMatch match = scanner.Next(0); match.position >= 0 && match.rule < rules.size();) {
        const std::size_t at = static_cast<std::size_t>(match.position);
        const NormalizationRule& rule = rules[match.rule];
        result.append(text, copied, at - copied);
        steps.push_back(NormalizationStep{NormalizationStep::Kind::kRuleApplied, at, result.size(),
                                          match.rule});
        result += rule.replacement;
        copied = at + rule.source.size();
        if (copied >= n) break;
        match = scanner.Next(copied);
    }
    result.append(text, copied, std::u16string::npos);
    return result;
}

}  // namespace kavex
