#include "engine/Normalizer.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <utility>

#include "errors/KavexException.h"
#include "io/FileReader.h"

namespace kavex {

namespace {
constexpr char16_t kHeh = 0x06BE;
constexpr std::size_t kHehBlock = 64;

unsigned LowestSetBit(uint64_t mask) {
#if defined(__GNUC__) || defined(__clang__)
    return static_cast<unsigned>(__builtin_ctzll(mask));
#else
    unsigned bit = 0;
    for (; (mask & 1) == 0; mask >>= 1) ++bit;
    return bit;
#endif
}
constexpr char16_t kColon = 0x003A;
constexpr char16_t kCarriageReturn = 0x000D;
}  // namespace

Normalizer::Normalizer() = default;

Normalizer::~Normalizer() { Clear(); }

Normalizer& Normalizer::operator=(const Normalizer& other) {
    if (this != &other) {
        Normalizer copy(other);
        Swap(copy);
        rules.swap(copy.rules);
        lastReadError.swap(copy.lastReadError);
    }
    return *this;
}

void Normalizer::Clear() {
    if (IsLoaded()) RuleMatcher::Clear();
    std::vector<NormalizationRule>().swap(rules);
}

bool Normalizer::LoadRules(std::string path) {
    if (IsLoaded()) return true;
    // Leftovers of a failed attempt would precede the file's rules and win every tie.
    std::vector<NormalizationRule>().swap(rules);
    if (!ReadRulesFile(path.c_str())) return false;
    std::vector<std::u16string> sources;
    try {
        sources.reserve(rules.size());
        for (const NormalizationRule& rule : rules) sources.push_back(rule.source);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return Build(std::move(sources));
}

bool Normalizer::ReadRulesFile(const char* path) {
    FileReader reader;
    try {
        reader.Open(path, FileMode::Unicode);
        std::u16string accumulator;
        NormalizationRule pending;
        char16_t unit[1] = {0};
        for (;;) {
            reader.ReadUnits(unit, 1);
            if (reader.IsEof()) break;
            if (unit[0] == kColon) {
                pending.source = accumulator;
                accumulator.clear();
            } else if (unit[0] == kCarriageReturn) {
                // The unit after CR is dropped whatever it is; a CR at the very end makes
                // this read raise "End of file encountered.".
                reader.ReadUnits(unit, 1);
                pending.replacement = accumulator;
                rules.push_back(pending);
                pending.replacement.clear();
                accumulator.clear();
            } else {
                accumulator.push_back(unit[0]);
            }
        }
    } catch (IOException& error) {
        error.SetFile("Normalizer");
        error.SetLine(__LINE__);
        error.SetMessage(error.GetMessage() +
                         " File reading problem occurred in Normalization Rules file.");
        lastReadError = error.GetFullMessage();
        return false;
    }
    lastReadError.clear();
    return true;
}

std::u16string Normalizer::Normalize(std::u16string text) const {
    std::u16string reordered = ReorderHeh(std::move(text));
    ApplyRules(reordered);
    return reordered;
}

bool Normalizer::IsMark(char16_t unit) {
    return (unit >= 0x0610 && unit <= 0x0615) || unit == 0x064B ||
           (unit >= 0x064E && unit <= 0x0654) || (unit >= 0x0656 && unit <= 0x0658) ||
           unit == 0x0670;
}

std::u16string Normalizer::ReorderHeh(std::u16string text) const {
    // In place, from one U+06BE to the next: most texts hold none, and the units between
    // two of them are never touched. A move rewrites only its run of marks and the U+06BE
    // itself, all at or before the U+06BE, so every unit after it is still the input's.
    const std::size_t n = text.size();
    char16_t* units = &text[0];
    // The input unit before the current U+06BE is a U+06BE too, even when a move has put
    // a mark in its place; -1 (wrapped) before the first one.
    std::size_t previousHeh = static_cast<std::size_t>(-1);
    // Bit k of `found`: unit base + k is U+06BE. The tests have no branch per unit, so the
    // compiler vectorizes them; a move changes no unit after its U+06BE, so the bits of the
    // rest of the block stay true.
    for (std::size_t base = 0; base < n; base += kHehBlock) {
        const std::size_t count = std::min(kHehBlock, n - base);
        unsigned any = 0;
        for (std::size_t k = 0; k < count; ++k) any |= units[base + k] == kHeh;
        if (any == 0) continue;
        uint64_t found = 0;
        for (std::size_t k = 0; k < count; ++k) {
            found |= static_cast<uint64_t>(units[base + k] == kHeh) << k;
        }
        for (; found != 0; found &= found - 1) {
            const std::size_t i = base + LowestSetBit(found);
            // The run of marks ends at the preceding unit and starts after the last unit
            // that is not a mark; an earlier U+06BE bounds it, moved or not.
            std::size_t runStart = i;
            while (runStart > previousHeh + 1 && IsMark(units[runStart - 1])) --runStart;
            if (runStart < i) {
                std::copy_backward(units + runStart, units + i, units + i + 1);
                units[runStart] = kHeh;
            }
            previousHeh = i;
        }
    }
    return text;
}

void Normalizer::ApplyRules(std::u16string& text) const {
    // Every search starts at or after the end of the previous match, in input the rewrite
    // has not touched, so the input is searched as it is and the result appended to a
    // second buffer; an in-place replace would move the whole tail on every match.
    const char16_t* input = text.data();
    const std::size_t n = text.size();
    RuleMatch match = Search(input, n, 0);
    if (match.position < 0) return;
    std::u16string out;
    out.reserve(n);
    std::size_t copied = 0;
    while (match.position >= 0 && match.rule < rules.size()) {
        const NormalizationRule& rule = rules[match.rule];
        const std::size_t position = static_cast<std::size_t>(match.position);
        out.append(input + copied, position - copied);
        out.append(rule.replacement);
        copied = position + rule.source.size();
        // A match that ends the text leaves nothing to search.
        if (copied >= n) break;
        match = Search(input, n, static_cast<int32_t>(copied));
    }
    if (copied < n) out.append(input + copied, n - copied);
    text.swap(out);
}

}  // namespace kavex
