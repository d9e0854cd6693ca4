#include "engine/Normalizer.h"

#include <new>
#include <utility>

#include "errors/KavexException.h"
#include "io/FileReader.h"

namespace kavex {

namespace {
constexpr char16_t kHeh = 0x06BE;
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
    const std::size_t n = text.size();
    std::u16string out;
    out.reserve(n);
    // Index of the last unit that is not a mark, plus one: where the current run of marks
    // starts, in the output as in the input (a move never crosses a non-mark).
    std::size_t runStart = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const char16_t c = text[i];
        // The previous input unit being a mark is the same test as the last output unit
        // being one, except right after a move, where the literal scan stops at once.
        if (c == kHeh && i > 0 && IsMark(text[i - 1])) {
            // Shifts only the run of marks, which sits at the end of the output.
            out.insert(out.begin() + static_cast<std::ptrdiff_t>(runStart), c);
        } else {
            out.push_back(c);
        }
        if (!IsMark(c)) runStart = i + 1;
    }
    return out;
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
