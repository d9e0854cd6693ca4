// Normalizer::Explain against the naive oracle's trace: the same result as Normalize, and
// the same moves of U+06BE and rules applied, at the same offsets.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/Normalizer.h"
#include "support/NaiveOracle.h"
#include "support/TempDir.h"

namespace kavex {
namespace {

using testing::NaiveRules;
using testing::NaiveStep;

std::vector<NaiveStep> AsNaive(const std::vector<NormalizationStep>& steps) {
    std::vector<NaiveStep> out;
    for (const NormalizationStep& step : steps) {
        out.push_back(
            NaiveStep{step.kind == NormalizationStep::Kind::kHehMoved, step.from, step.to,
                      step.kind == NormalizationStep::Kind::kHehMoved ? uint16_t{0} : step.rule});
    }
    return out;
}

std::string Describe(const std::vector<NaiveStep>& steps) {
    std::string out;
    for (const NaiveStep& step : steps) {
        out += (step.heh ? "heh " : "rule " + std::to_string(step.rule) + " ") +
               std::to_string(step.from) + "->" + std::to_string(step.to) + "; ";
    }
    return out;
}

// Explain on `normalizer` agrees with Normalize and with the oracle over `rules`.
void ExpectLikeOracle(const Normalizer& normalizer, const NaiveRules& rules,
                      const std::u16string& text, const std::string& label) {
    std::vector<NormalizationStep> steps;
    const std::u16string result = normalizer.Explain(text, steps);
    std::vector<NaiveStep> expected;
    const std::u16string naive = testing::NaiveExplain(rules, text, expected);
    EXPECT_EQ(result, naive) << label;
    EXPECT_EQ(result, normalizer.Normalize(text)) << label;
    EXPECT_EQ(Describe(AsNaive(steps)), Describe(expected)) << label;
}

Normalizer Built(const NaiveRules& rules) {
    Normalizer normalizer;
    for (const auto& rule : rules) normalizer.rules.push_back({rule.first, rule.second});
    EXPECT_TRUE(normalizer.Build(testing::NaiveSources(rules)));
    return normalizer;
}

constexpr char16_t kFatha = 0x064E;
constexpr char16_t kShadda = 0x0651;
constexpr char16_t kHeh = 0x06BE;
constexpr char16_t kKasratan = 0x064D;

TEST(ExplainTest, TracesMatchTheOracle) {
    const std::u16string heh(1, kHeh);
    const std::u16string fatha(1, kFatha);
    const std::u16string shadda(1, kShadda);
    struct Case {
        const char* name;
        NaiveRules rules;
        std::u16string text;
    };
    const Case cases[] = {
        {"empty text", {{u"a", u"b"}}, u""},
        {"no rules, moves only", {}, u"a" + fatha + shadda + heh + u"b"},
        {"heh at 0 stays", {}, heh + fatha},
        {"only marks then heh", {}, fatha + shadda + heh},
        {"second heh stays", {}, u"a" + fatha + heh + heh},
        {"kasratan ends the run", {}, u"a" + std::u16string(1, kKasratan) + fatha + heh},
        {"replacement never searched", {{u"ab", u"x"}, {u"xd", u"y"}}, u"abd"},
        {"deletion searches what moves up", {{u"a", u""}}, u"aab"},
        {"match at the end", {{u"a", u""}}, u"ba"},
        {"whole text", {{u"abc", u"xyzw"}}, u"abc"},
        {"first listed wins", {{u"ab", u"1"}, {u"a", u"2"}, {u"abc", u"3"}}, u"xabcd"},
        {"later duplicate wins", {{u"ab", u"1"}, {u"ab", u"2"}}, u"abab"},
        {"growing and shrinking",
         {{u"a", u"xyz"}, {u"bc", u""}, {heh + fatha, u"H"}},
         u"abcab" + fatha + heh + u"cbca"},
    };
    for (const Case& c : cases) ExpectLikeOracle(Built(c.rules), c.rules, c.text, c.name);
}

TEST(ExplainTest, RandomRulesAndTextsMatchTheOracle) {
    const char16_t alphabet[] = {u'a', u'b', u'c', kFatha, kShadda, kHeh, kKasratan};
    std::mt19937 random(14);
    const auto unit = [&] { return alphabet[random() % (sizeof alphabet / sizeof *alphabet)]; };
    const auto string = [&](std::size_t most) {
        std::u16string s(random() % (most + 1), u'a');
        for (char16_t& u : s) u = unit();
        return s;
    };
    for (int round = 0; round < 2000; ++round) {
        NaiveRules rules(random() % 8);
        for (auto& rule : rules) rule = {string(3), string(3)};
        const Normalizer normalizer = Built(rules);
        for (int text = 0; text < 4; ++text) {
            ExpectLikeOracle(normalizer, rules, string(24), "round " + std::to_string(round));
        }
        if (::testing::Test::HasFailure()) break;
    }
}

TEST(ExplainTest, ShippedRulesMatchTheOracle) {
    const std::u16string texts[] = {
        u"پّھ",
        u"وَٱلشَّمْسِ وَضُحَىٰهَا",
        u"ﻻ ﷲ ﷺ ﻼ",
        u"آئینہ کھّلا، یہ ہے",
    };
    for (const char* form : {"NFD", "NFC", "NFKD"}) {
        Normalizer normalizer;
        const bool loaded =
            normalizer.LoadRules(std::string(KAVEX_SOURCE_DIR) + "/rules/" + form + ".txt");
#ifdef _WIN32
        // Under Wine the source tree may be out of reach.
        if (!loaded) GTEST_SKIP() << "rules/" << form << ".txt not reachable";
#endif
        ASSERT_TRUE(loaded);
        NaiveRules rules;
        for (const auto& rule : normalizer.rules) rules.emplace_back(rule.source, rule.replacement);
        for (const std::u16string& text : texts) ExpectLikeOracle(normalizer, rules, text, form);
    }
}

}  // namespace
}  // namespace kavex
