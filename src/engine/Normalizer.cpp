#include "engine/Normalizer.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "engine/HehWindows.h"
#include "engine/Marks.h"
#include "engine/Rewrite.h"
#include "engine/Sinks.h"
#include "errors/KavexException.h"
#include "io/FileReader.h"

namespace kavex {

namespace {
constexpr char16_t kColon = 0x003A;
constexpr char16_t kCarriageReturn = 0x000D;
}  // namespace

Normalizer::Normalizer() = default;

Normalizer::~Normalizer() { Clear(); }

Normalizer::Normalizer(const Normalizer& other)
    : RuleMatcher(other),
      rules(other.rules),
      lastReadError(other.lastReadError),
      expansion(other.expansion),
      longestSource(other.longestSource),
      bytePaths(other.bytePaths),
      quick(other.quick),
      spans(other.spans),
      packedUnits(other.packedUnits) {
    // Made again rather than copied: a copy of the whole table would map every page of it.
    if (other.steps.Entries() != nullptr) steps.Build(rules, *this, spans, packedUnits);
}

Normalizer& Normalizer::operator=(const Normalizer& other) {
    if (this != &other) {
        Normalizer copy(other);
        Swap(copy);
        rules.swap(copy.rules);
        lastReadError.swap(copy.lastReadError);
        std::swap(expansion, copy.expansion);
        std::swap(longestSource, copy.longestSource);
        std::swap(bytePaths, copy.bytePaths);
        std::swap(quick, copy.quick);
        spans.swap(copy.spans);
        packedUnits.swap(copy.packedUnits);
        std::swap(steps, copy.steps);
    }
    return *this;
}

void Normalizer::Clear() {
    if (IsLoaded()) RuleMatcher::Clear();
    std::vector<NormalizationRule>().swap(rules);
    expansion = 1;
    longestSource = 1;
    DropBytePaths();
}

bool Normalizer::Build(std::vector<std::u16string> sources) {
    DropBytePaths();
    expansion = ExpansionOf(rules);
    return RuleMatcher::Build(std::move(sources));
}

void Normalizer::DropBytePaths() {
    bytePaths = false;
    steps.Reset();
    std::vector<RuleSpan>().swap(spans);
    std::vector<char16_t>().swap(packedUnits);
}

void Normalizer::DeriveBytePaths() {
    DropBytePaths();
    std::size_t total = 0;
    for (const NormalizationRule& rule : rules) total += rule.replacement.size();
    // Offsets and lengths are 32-bit; beyond them the byte paths stay off.
    if (total > UINT32_MAX) return;
    std::vector<RuleSpan> packedSpans;
    std::vector<char16_t> units;
    packedSpans.reserve(rules.size());
    // Room for the padding the step table adds, so that it never moves the units.
    units.reserve(total + kStepReadUnits);
    for (const NormalizationRule& rule : rules) {
        packedSpans.push_back(RuleSpan{
            static_cast<uint32_t>(units.size()), static_cast<uint32_t>(rule.replacement.size()),
            static_cast<uint32_t>(std::min<std::size_t>(rule.source.size(), UINT32_MAX))});
        units.insert(units.end(), rule.replacement.begin(), rule.replacement.end());
    }
    // Units that can take part in a match: a one-unit source, the second unit of a longer
    // one; and U+06BE, which may move.
    std::vector<char16_t> keys = {kHeh};
    for (const NormalizationRule& rule : rules) {
        if (rule.source.size() == 1) keys.push_back(rule.source[0]);
        if (rule.source.size() >= 2) keys.push_back(rule.source[1]);
    }
    quick = CoveringRanges(std::move(keys));
    spans.swap(packedSpans);
    packedUnits.swap(units);
    // Without memory for the step table the rewrite asks the matcher at every unit.
    steps.Build(rules, *this, spans, packedUnits);
    bytePaths = true;
}

bool Normalizer::LoadRules(std::string path) {
    if (IsLoaded()) return true;
    // Leftovers of a failed attempt would precede the file's rules and win every tie.
    std::vector<NormalizationRule>().swap(rules);
    if (!ReadRulesFile(path.c_str())) return false;
    return LoadRulesFrom(std::move(rules));
}

bool Normalizer::LoadRulesFrom(std::vector<NormalizationRule> list) {
    rules = std::move(list);
    DropBytePaths();
    expansion = ExpansionOf(rules);
    longestSource = 1;
    for (const NormalizationRule& rule : rules) {
        longestSource = std::max(longestSource, rule.source.size());
    }
    // The matcher reads the sources where they are: a copy of them all would cost as much
    // memory again as the rules while it is built.
    const auto sourceOfRule = [](const void* rulesList,
                                 std::size_t index) -> const std::u16string& {
        return (*static_cast<const std::vector<NormalizationRule>*>(rulesList))[index].source;
    };
    if (!BuildFrom(&rules, rules.size(), sourceOfRule)) return false;
    try {
        DeriveBytePaths();
    } catch (const std::bad_alloc&) {
        // The byte paths stay off; Normalize works as ever.
        DropBytePaths();
    }
    return true;
}

std::size_t Normalizer::MaxResultUnits(std::size_t units) const {
    return units > SIZE_MAX / expansion ? SIZE_MAX : units * expansion;
}

bool Normalizer::ReadRulesFile(const char* path) {
    FileReader reader;
    try {
        reader.Open(path, FileMode::Unicode);
        // Each rule takes at least two units (CR and the unit after it) after the mark:
        // room for as many as the file can hold and the line left open at its end, up to
        // the most a matcher takes, so the list never moves while it fills. Room never
        // filled is never touched.
        const int size = reader.GetFileSize();
        if (size > 2 && rules.empty()) {
            try {
                rules.reserve(std::min<std::size_t>((static_cast<std::size_t>(size) - 2) / 4 + 1,
                                                    kMaxRules + 1));
            } catch (const std::bad_alloc&) {
                // Then the list grows as it fills.
            }
        }
        // Units go straight into the rule of their line, appended when the line starts:
        // into its source until a colon, into its replacement after it. Another colon makes
        // the text since the colon before the source; a line without a colon takes the
        // source of the line before. The rule of a line that no CR ends is taken back.
        bool open = false;
        bool colonInLine = false;
        bool appended = false;
        std::u16string* text = nullptr;
        char16_t unit[1] = {0};
        try {
            for (;;) {
                reader.ReadUnits(unit, 1);
                if (reader.IsEof()) break;
                if (!open) {
                    rules.emplace_back();
                    open = true;
                    colonInLine = false;
                    text = &rules.back().source;
                }
                if (unit[0] == kColon) {
                    NormalizationRule& rule = rules.back();
                    if (colonInLine) {
                        rule.source.swap(rule.replacement);
                        rule.replacement.clear();
                    }
                    colonInLine = true;
                    text = &rule.replacement;
                } else if (unit[0] == kCarriageReturn) {
                    // The unit after CR is dropped whatever it is; a CR at the very end
                    // makes this read raise "End of file encountered.".
                    reader.ReadUnits(unit, 1);
                    if (!colonInLine) {
                        NormalizationRule& rule = rules.back();
                        rule.replacement.swap(rule.source);
                        if (appended) rule.source = rules[rules.size() - 2].source;
                    }
                    appended = true;
                    open = false;
                } else {
                    text->push_back(unit[0]);
                }
            }
        } catch (...) {
            if (open) rules.pop_back();
            throw;
        }
        if (open) rules.pop_back();
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

bool Normalizer::IsMark(char16_t unit) { return IsHehMark(unit); }

std::u16string Normalizer::ReorderHeh(std::u16string text) const {
    if (!text.empty()) ReorderHehInPlace(&text[0], text.size(), BestCpuLevel());
    return text;
}

void Normalizer::ApplyRules(std::u16string& text) const {
    // Every search starts at or after the end of the previous match, in input the rewrite
    // has not touched, so the input is searched as it is and the result appended to a
    // second buffer; an in-place replace would move the whole tail on every match.
    const WideUnits units{text.data()};
    const std::size_t n = text.size();
    Scanner<WideUnits> scanner(*this, units, n);
    const RuleMatch first = scanner.Next(0);
    if (first.position < 0 || first.rule >= rules.size()) return;
    WideSink sink(n + n / 8 + 16);
    Rewrite(units, n, n, 0, first, scanner, LiveRules{rules.data(), rules.size()}, sink,
            RewritePaths::From(PathChoice::Auto(), nullptr));
    text = sink.Take();
}

namespace {

// The reference's way with U+06BE: the whole text reordered in a copy, then rewritten
// from `start` (the units before it are written already and no match starts there).
template <typename Rules, typename Sink>
void RewriteReorderedCopy(const Normalizer& normalizer, const unsigned char* input,
                          std::size_t units, std::size_t start, const Rules& list,
                          const RewritePaths& paths, CpuLevel cpu, Sink& sink) {
    std::u16string text = WideFromBytes(input, units);
    if (units > 0) ReorderHehInPlace(&text[0], units, cpu);
    const WideUnits wide{text.data()};
    RuleMatcher::Scanner<WideUnits> scanner(normalizer, wide, units, cpu);
    const RuleMatch first = scanner.Next(start);
    Rewrite(wide, units, units, start, first, scanner, list, sink, paths);
}

}  // namespace

std::size_t Normalizer::NormalizeBytes(const unsigned char* input, std::size_t units,
                                       unsigned char* output, std::size_t capacityUnits,
                                       const PathChoice& paths) const {
    if (output == nullptr) capacityUnits = 0;
    std::size_t written = 0;
    std::size_t result = 0;
    if (!bytePaths) {
        // Without the derived tables: the literal pass from the rule list.
        const LiveRules live{rules.data(), rules.size()};
        const RewritePaths rewritePaths = RewritePaths::From(paths, nullptr);
        if (capacityUnits == 0) {
            CountSink count;
            RewriteReorderedCopy(*this, input, units, 0, live, rewritePaths, paths.cpu, count);
            return count.Size();
        }
        ByteSink sink(output, capacityUnits);
        RewriteReorderedCopy(*this, input, units, 0, live, rewritePaths, paths.cpu, sink);
        result = sink.Size();
        written = sink.WrittenBytes();
    } else {
        // Units before the first that can take part in a match start nothing: text without
        // one is its own result, copied as it is tested where it fits; otherwise the quick
        // check copies the units the result is sure to keep, and the rewrite goes on from
        // there.
        std::size_t start = 0;
        std::size_t firstKey = 0;
        if (paths.Has(Path::kQuickCheck)) {
            if (units > 0 && capacityUnits >= units) {
                const QuickCheckResult check = QuickCheck(input, units, quick, output, paths.cpu);
                if (check.firstKey == units) return units;
                firstKey = check.firstKey;
                start = check.copied;
            } else {
                firstKey = FindFirstKey(input, units, quick, paths.cpu);
                if (firstKey == units) return units;
            }
        }
        if (capacityUnits == 0) {
            CountSink count;
            RewriteText(input, units, start, firstKey, paths, count);
            return start + count.Size();
        }
        ByteSink sink(output + 2 * start, capacityUnits - start);
        RewriteText(input, units, start, firstKey, paths, sink);
        result = start + sink.Size();
        written = 2 * start + sink.WrittenBytes();
    }
    // The contract of every path: the result in order and nothing else, within the room.
    KAVEX_DCHECK(written <= 2 * capacityUnits && written <= 2 * result);
    KAVEX_DCHECK(result > capacityUnits || written == 2 * result);
    return result;
}

template <typename Sink>
std::size_t Normalizer::RewriteText(const unsigned char* input, std::size_t units,
                                    std::size_t start, std::size_t firstKey,
                                    const PathChoice& paths, Sink& sink) const {
    const PackedRules packed{spans.data(), packedUnits.data(), spans.size()};
    // U+06BE is a key, so none stands before the first one.
    const bool heh = ContainsHeh(ByteUnits{input + 2 * firstKey}, units - firstKey);
    if (paths.Has(Path::kHehWindows) && (heh || paths.forced)) {
        RewriteReordered(ByteUnits{input}, units, start, paths, sink);
        return sink.Size();
    }
    const RewritePaths rewritePaths = RewritePaths::From(paths, StepsFor(units));
    if (heh) {
        RewriteReorderedCopy(*this, input, units, start, packed, rewritePaths, paths.cpu, sink);
        return sink.Size();
    }
    // Nothing to reorder: the text is rewritten where it lies. A match starts at the
    // earliest one unit before the first key.
    const ByteUnits bytes{input};
    Scanner<ByteUnits> scanner(*this, bytes, units, paths.cpu);
    const RuleMatch first = scanner.Next(std::max(start, firstKey == 0 ? 0 : firstKey - 1));
    Rewrite(bytes, units, units, start, first, scanner, packed, sink, rewritePaths);
    return sink.Size();
}

template <typename Sink>
void Normalizer::RewriteReordered(const ByteUnits& input, std::size_t n, std::size_t start,
                                  const PathChoice& paths, Sink& sink) const {
    // A match must lie wholly inside its window, so a window decides only the positions
    // at least longestSource - 1 units before its end, and the next one starts where the
    // rewrite stopped.
    const std::size_t windowUnits = WindowUnitsFor(longestSource);
    KAVEX_DCHECK(windowUnits >= 4 * longestSource);
    char16_t fixed[kWindowUnits];
    std::unique_ptr<char16_t[]> large;
    char16_t* window = fixed;
    if (windowUnits > kWindowUnits) {
        large.reset(new char16_t[windowUnits]);
        window = large.get();
    }
    const PackedRules packed{spans.data(), packedUnits.data(), spans.size()};
    const RewritePaths rewritePaths = RewritePaths::From(paths, steps.Entries());
    HehReorder reorder(input, n, paths.cpu);
    for (std::size_t from = start; from < n;) {
        const std::size_t count = std::min(windowUnits, n - from);
        reorder.Fill(window, from, count);
        const bool final = from + count == n;
        const std::size_t limit = final ? count : count - (longestSource - 1);
        KAVEX_DCHECK(limit > 0);
        const WideUnits units{window};
        Scanner<WideUnits> scanner(*this, units, count, paths.cpu);
        const RuleMatch first = scanner.Next(0);
        from += Rewrite(units, count, limit, 0, first, scanner, packed, sink, rewritePaths);
    }
}

}  // namespace kavex
