// Reference implementations for differential tests: the matcher, the rewrite and the
// reordering written as plainly as their definitions, with no trie and no second buffer.
// Header-only and standard library only, so fuzzers can include it too.
#ifndef KAVEX_TESTS_SUPPORT_NAIVEORACLE_H
#define KAVEX_TESTS_SUPPORT_NAIVEORACLE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/Marks.h"

namespace kavex::testing {

struct NaiveMatch {
    int32_t position = -1;   // -1 for no match
    uint16_t rule = 0xFFFF;  // 0xFFFF for no match
    bool operator==(const NaiveMatch& other) const {
        return position == other.position && rule == other.rule;
    }
};

// (source, replacement) in rule-list order.
using NaiveRules = std::vector<std::pair<std::u16string, std::u16string>>;

inline std::vector<std::u16string> NaiveSources(const NaiveRules& rules) {
    std::vector<std::u16string> sources;
    for (const auto& rule : rules) sources.push_back(rule.first);
    return sources;
}

// Tries every index from `start` on and, at each, every rule in list order. A source that
// reappears later in the list is shadowed by the later copy; empty sources never match.
inline NaiveMatch NaiveSearch(const std::vector<std::u16string>& sources,
                              const std::u16string& text, int64_t start) {
    NaiveMatch none;
    if (start < 0) return none;
    for (std::size_t p = static_cast<std::size_t>(start); p < text.size(); ++p) {
        for (std::size_t i = 0; i < sources.size(); ++i) {
            const std::u16string& source = sources[i];
            if (source.empty() || text.compare(p, source.size(), source) != 0) continue;
            bool shadowed = false;
            for (std::size_t later = i + 1; later < sources.size() && !shadowed; ++later) {
                shadowed = sources[later] == source;
            }
            if (shadowed) continue;
            return NaiveMatch{static_cast<int32_t>(p), static_cast<uint16_t>(i)};
        }
    }
    return none;
}

// The rewrite done in place, literally: replace, then search again after the replacement.
inline void NaiveApplyRules(const NaiveRules& rules, std::u16string& text) {
    const std::vector<std::u16string> sources = NaiveSources(rules);
    NaiveMatch match = NaiveSearch(sources, text, 0);
    while (match.position != -1) {
        const auto& rule = rules[match.rule];
        const std::size_t p = static_cast<std::size_t>(match.position);
        const std::size_t k = rule.first.size();
        const bool reachedEnd = p + k == text.size();
        text.replace(p, k, rule.second);
        if (reachedEnd) break;
        match = NaiveSearch(sources, text, static_cast<int64_t>(p + rule.second.size()));
    }
}

// A search of the one list of marks, not the engine's bit test of it.
inline bool NaiveIsMark(char16_t unit) {
    for (char16_t mark : kHehMarks) {
        if (unit == mark) return true;
    }
    return false;
}

// Looks at the last output unit, scans the input back over marks, inserts in the middle.
inline std::u16string NaiveReorderHeh(const std::u16string& text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c == 0x06BE && i > 0 && NaiveIsMark(out.back())) {
            std::ptrdiff_t j = static_cast<std::ptrdiff_t>(i) - 1;
            while (j >= 0 && NaiveIsMark(text[static_cast<std::size_t>(j)])) --j;
            out.insert(static_cast<std::size_t>(j + 1), 1, c);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

// The text each byte form of Normalize reads from the same units: the four-argument form
// ends at a zero low byte (U+0000, U+0600, U+FC00, ...), the sized form at U+0000.
inline std::u16string NaiveTextAsRead(const std::u16string& text, bool sized) {
    std::size_t end = 0;
    while (end < text.size() && (sized ? text[end] != 0 : (text[end] & 0xFF) != 0)) ++end;
    return text.substr(0, end);
}

inline std::u16string NaiveNormalize(const NaiveRules& rules, const std::u16string& text) {
    std::u16string result = NaiveReorderHeh(text);
    NaiveApplyRules(rules, result);
    return result;
}

// One step of a normalization: a U+06BE moved (from its index in the text to the front of
// its run of marks), or a rule applied (from the index of its source in the reordered
// text, to the index of its replacement in the result).
struct NaiveStep {
    bool heh = false;
    std::size_t from = 0;
    std::size_t to = 0;
    uint16_t rule = 0;
    bool operator==(const NaiveStep& other) const {
        return heh == other.heh && from == other.from && to == other.to && rule == other.rule;
    }
};

// NaiveNormalize, recording its steps: the index where the reordering inserts each U+06BE,
// and the index of each in-place replacement, which is the index of the replacement in the
// result; units before it are never touched again.
inline std::u16string NaiveExplain(const NaiveRules& rules, const std::u16string& text,
                                   std::vector<NaiveStep>& steps) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c == 0x06BE && i > 0 && NaiveIsMark(out.back())) {
            std::ptrdiff_t j = static_cast<std::ptrdiff_t>(i) - 1;
            while (j >= 0 && NaiveIsMark(text[static_cast<std::size_t>(j)])) --j;
            out.insert(static_cast<std::size_t>(j + 1), 1, c);
            // Right after a moved U+06BE the insert is an append: no move.
            if (static_cast<std::size_t>(j + 1) != i) {
                steps.push_back(NaiveStep{true, i, static_cast<std::size_t>(j + 1), 0});
            }
        } else {
            out.push_back(c);
        }
    }
    const std::vector<std::u16string> sources = NaiveSources(rules);
    // Units the replacements so far added to the text, to find a source in the reordered text.
    std::ptrdiff_t grown = 0;
    NaiveMatch match = NaiveSearch(sources, out, 0);
    while (match.position != -1) {
        const auto& rule = rules[match.rule];
        const std::size_t p = static_cast<std::size_t>(match.position);
        const std::size_t k = rule.first.size();
        steps.push_back(
            NaiveStep{false, static_cast<std::size_t>(match.position - grown), p, match.rule});
        const bool reachedEnd = p + k == out.size();
        out.replace(p, k, rule.second);
        grown += static_cast<std::ptrdiff_t>(rule.second.size()) - static_cast<std::ptrdiff_t>(k);
        if (reachedEnd) break;
        match = NaiveSearch(sources, out, static_cast<int64_t>(p + rule.second.size()));
    }
    return out;
}

}  // namespace kavex::testing

#endif  // KAVEX_TESTS_SUPPORT_NAIVEORACLE_H
