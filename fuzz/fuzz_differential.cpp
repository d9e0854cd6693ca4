// Differential: small random rule lists and texts through the trie matcher, the linear
// rewrite and the reordering, then through both byte forms of Normalize on every way
// through the engine (the reference, each fast path forced, the library's own choice) at
// every CPU level, with buffers of exactly the allowed size, all against the naive oracle
// of the tests. Any difference aborts.
//
// Input: a rule count, then per rule a length byte (source and replacement lengths) and
// their units, then a placement byte, then the text. Units come mostly from a small
// alphabet, so sources share prefixes, repeat and overlap; the marker values 0x0000,
// 0xFFFF, colon and CR are in it. The placement byte may put the text after plain units
// that end a few units short of a reorder window, so its matches and moves cross the edge.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "engine/HehWindows.h"
#include "engine/Normalizer.h"
#include "interface/ByteForms.h"
#include "support/ByteFormsOracle.h"
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
    const uint8_t placement = reader.Byte();
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

    // The byte paths, built from the rules in memory as LoadRules builds them from a file.
    kavex::Normalizer loaded;
    std::vector<kavex::NormalizationRule> list;
    for (const auto& rule : rules) list.push_back({rule.first, rule.second});
    Check(loaded.LoadRulesFrom(list), "small rule lists load");
    Check(loaded.BytePathsOn(), "the byte paths are on");
    if ((placement & 0xE0) == 0xE0) {
        const std::size_t window = kavex::WindowUnitsFor(loaded.LongestSource());
        text.insert(0, window - (placement & 0x1F) % window, u'z');
    }
    // Every capacity of a short result; around the thresholds, and one drawn, otherwise.
    const kavex::testing::ByteFormsExpected oracle = kavex::testing::ExpectedOf(rules, text);
    const int needed = oracle.SizedNeeded();
    std::vector<int> capacities;
    if (needed > 40) {
        capacities = kavex::testing::ThresholdCapacities(text.size(), needed);
        capacities.push_back(placement % (needed + 3));
    }
    // Every way at one CPU level each run, the level drawn: all of them over a campaign.
    const std::vector<kavex::CpuLevel> levels = kavex::testing::EveryCpuLevel();
    const kavex::CpuLevel cpu = levels[(placement >> 5) % levels.size()];
    for (const auto& way : kavex::testing::EveryWay(cpu)) {
        const kavex::PathChoice paths = way.second;
        const kavex::testing::ByteForms forms{
            [&](const unsigned char* in, int length, unsigned char* out, int capacity) {
                return kavex::NormalizeSized(loaded, in, length, out, capacity, paths);
            },
            [&](unsigned char* in, int length, unsigned char* out) {
                return kavex::NormalizeUnsized(loaded, in, length, out, paths);
            }};
        const std::string failure = kavex::testing::CheckByteForms(forms, text, oracle, capacities);
        if (!failure.empty()) {
            std::fprintf(stderr, "%s, %s: %s\n", way.first.c_str(), kavex::CpuLevelName(cpu),
                         failure.c_str());
            kavex::fuzz::Fail("a byte form differs from the oracle");
        }
    }
    return 0;
}
