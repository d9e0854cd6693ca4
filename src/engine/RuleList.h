// Rules as the engine holds them, and the two ways a rewrite reads them: straight from the
// rule list, or from the packed copy the byte paths keep, whose replacements lie in one
// buffer (12 bytes per rule instead of a rule's two strings).
#ifndef KAVEX_ENGINE_RULELIST_H
#define KAVEX_ENGINE_RULELIST_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kavex {

struct NormalizationRule {
    std::u16string source;
    std::u16string replacement;
};

// A rule as the byte paths keep it: its replacement in the packed units, and the length
// of its source.
struct RuleSpan {
    uint32_t offset;
    uint32_t length;
    uint32_t sourceLength;
};

// The most units a rule writes per unit of its source, rounded up (at least 1): a result
// is at most this many times its text, since every unit no rule takes stays one unit.
inline std::size_t ExpansionOf(const std::vector<NormalizationRule>& rules) {
    std::size_t most = 1;
    for (const NormalizationRule& rule : rules) {
        const std::size_t source = rule.source.size();
        if (source == 0) continue;
        most = std::max(most, (rule.replacement.size() + source - 1) / source);
    }
    return most;
}

struct LiveRules {
    const NormalizationRule* list;
    std::size_t count;
    std::size_t Count() const { return count; }
    const char16_t* Replacement(uint16_t rule) const { return list[rule].replacement.data(); }
    std::size_t ReplacementSize(uint16_t rule) const { return list[rule].replacement.size(); }
    std::size_t SourceSize(uint16_t rule) const { return list[rule].source.size(); }
    // No step table goes with the live list.
    const char16_t* Units() const { return nullptr; }
};

struct PackedRules {
    const RuleSpan* spans;
    const char16_t* units;
    std::size_t count;
    std::size_t Count() const { return count; }
    const char16_t* Replacement(uint16_t rule) const { return units + spans[rule].offset; }
    std::size_t ReplacementSize(uint16_t rule) const { return spans[rule].length; }
    std::size_t SourceSize(uint16_t rule) const { return spans[rule].sourceLength; }
    const char16_t* Units() const { return units; }
};

}  // namespace kavex

#endif  // KAVEX_ENGINE_RULELIST_H
