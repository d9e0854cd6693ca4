// Differential: small random rule lists and texts through the trie matcher, the linear
// rewrite and the reordering, against the naive oracle of the tests. Any difference aborts.
//
// Input: a rule count, then per rule a length byte (source and replacement lengths) and
// their units, then the text. Units come mostly from a small alphabet, so sources share
// prefixes, repeat and overlap; the marker values 0x0000, 0xFFFF, colon and CR are in it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "engine/Normalizer.h"
#include "support/NaiveOracle.h"

namespace {

using kavex::fuzz::Check;

constexpr std::size_t kMaxRules = 24;
constexpr std::size_t kMaxText = 96;

char16_t NextUnit(kavex::fuzz::Reader& reader) {
    static const char16_t kAlphabet[] = {u'a',   u'b',   u'c',   0x064E, 0x0651,
                                         0x06BE, 0x0627, 0x0653, 0x0610, 0x0670,
                                         0xFFFF, 0x0000, 0x003A, 0x000D, 0x0100};
    constexpr uint8_t kCount = sizeof(kAlphabet) / sizeof(kAlphabet[0]);
    const uint8_t b = reader.Byte();
    if (b < 0xF0) return kAlphabet[b % kCount];
    return reader.Unit();
}

std::u16string NextString(kavex::fuzz::Reader& reader, std::size_t length) {
    std::u16string s;
    for (std::size_t i = 0; i < length && !reader.Empty(); ++i) s.push_back(NextUnit(reader));
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    kavex::fuzz::Reader reader(data, size);
    const std::size_t ruleCount = reader.Byte() % (kMaxRules + 1);
    kavex::testing::NaiveRules rules;
    for (std::size_t i = 0; i < ruleCount && !reader.Empty(); ++i) {
        const uint8_t lengths = reader.Byte();
        std::u16string source = NextString(reader, lengths & 7);
        std::u16string replacement = NextString(reader, (lengths >> 3) % 6);
        rules.emplace_back(std::move(source), std::move(replacement));
    }
    std::u16string text;
    while (!reader.Empty() && text.size() < kMaxText) text.push_back(NextUnit(reader));

    kavex::Normalizer normalizer;
    for (const auto& rule : rules) normalizer.rules.push_back({rule.first, rule.second});
    const std::vector<std::u16string> sources = kavex::testing::NaiveSources(rules);
    Check(normalizer.Build(sources), "small rule lists build");

    for (std::size_t start = 0; start <= text.size() + 1; ++start) {
        const kavex::RuleMatch found = normalizer.Search(text, static_cast<int32_t>(start));
        const kavex::testing::NaiveMatch expected =
            kavex::testing::NaiveSearch(sources, text, static_cast<int64_t>(start));
        Check(found.position == expected.position && found.rule == expected.rule,
              "Search differs from the oracle");
    }

    std::u16string rewritten = text;
    normalizer.ApplyRules(rewritten);
    std::u16string expected = text;
    kavex::testing::NaiveApplyRules(rules, expected);
    Check(rewritten == expected, "ApplyRules differs from the oracle");

    Check(normalizer.ReorderHeh(text) == kavex::testing::NaiveReorderHeh(text),
          "ReorderHeh differs from the oracle");
    Check(normalizer.Normalize(text) == kavex::testing::NaiveNormalize(rules, text),
          "Normalize differs from the oracle");

    // Explain gives the same result and the oracle's trace.
    std::vector<kavex::NormalizationStep> steps;
    std::vector<kavex::testing::NaiveStep> naiveSteps;
    Check(normalizer.Explain(text, steps) == kavex::testing::NaiveExplain(rules, text, naiveSteps),
          "Explain differs from the oracle");
    Check(steps.size() == naiveSteps.size(), "Explain takes the oracle's steps");
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const bool moved = steps[i].kind == kavex::NormalizationStep::Kind::kHehMoved;
        Check(moved == naiveSteps[i].heh && steps[i].from == naiveSteps[i].from &&
                  steps[i].to == naiveSteps[i].to && (moved || steps[i].rule == naiveSteps[i].rule),
              "Explain reports the oracle's step");
    }

    // A rebuilt matcher answers the same.
    kavex::Normalizer copy(normalizer);
    Check(copy.Build(sources), "rebuild");
    std::u16string again = text;
    copy.ApplyRules(again);
    Check(again == expected, "rebuilt matcher differs");
    return 0;
}
