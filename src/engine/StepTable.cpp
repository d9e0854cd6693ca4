#include "engine/StepTable.h"

#include <new>

namespace kavex {

bool StepTable::Build(const std::vector<NormalizationRule>& rules, const RuleMatcher& matcher,
                      const std::vector<RuleSpan>& spans, std::vector<char16_t>& packedUnits) {
    entries.reset();
    // Replacements are packed in rule order: the last one ends last.
    const std::size_t packedEnd = spans.empty() ? 0 : spans.back().offset + spans.back().length;
    try {
        if (packedUnits.size() < packedEnd + kStepReadUnits) {
            packedUnits.resize(packedEnd + kStepReadUnits);
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    entries.reset(static_cast<uint32_t*>(std::calloc(65536, sizeof(uint32_t))));
    if (!entries) return false;
    uint32_t* table = entries.get();
    for (const NormalizationRule& rule : rules) {
        if (rule.source.size() >= 2) table[rule.source[1]] |= kStepSecond;
    }
    for (const NormalizationRule& rule : rules) {
        if (rule.source.empty()) continue;
        const char16_t unit = rule.source[0];
        if ((table[unit] & kStepKind) != kStartsNothing) continue;
        const uint32_t second = table[unit] & kStepSecond;
        const uint16_t one = matcher.OneUnitRule(unit);
        const uint32_t kind = matcher.StartsLongerSource(unit) ? kStartsLonger : kOneUnitOnly;
        table[unit] = second | kMatcherDecides;
        if (one >= spans.size()) {
            if (kind == kStartsLonger) table[unit] = second | kStepOwn | kStartsLonger;
            continue;
        }
        const RuleSpan& span = spans[one];
        if (span.length <= kStepMaxLength &&
            span.offset < (uint32_t{1} << (32 - kStepOffsetShift)) &&
            span.offset + kStepReadUnits <= packedUnits.size()) {
            table[unit] =
                second | span.offset << kStepOffsetShift | span.length << kStepLengthShift | kind;
        }
    }
    // Every entry a dense pass takes reads kStepReadUnits units at its offset; the entries
    // never written read at offset 0.
    KAVEX_DCHECK(packedUnits.size() >= kStepReadUnits);
    for (const NormalizationRule& rule : rules) {
        if (rule.source.empty()) continue;
        KAVEX_DCHECK(StepOffset(table[rule.source[0]]) + kStepReadUnits <= packedUnits.size());
    }
    return true;
}

}  // namespace kavex
