#include "engine/Normalizer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "engine/QuickCheck.h"
#include "support/NaiveOracle.h"

namespace kavex {
namespace {

using testing::NaiveApplyRules;
using testing::NaiveNormalize;
using testing::NaiveReorderHeh;
using testing::NaiveRules;

constexpr char16_t kHeh = 0x06BE;
constexpr char16_t kFatha = 0x064E;
constexpr char16_t kShadda = 0x0651;
constexpr char16_t kKasratan = 0x064D;

// A loaded normalizer without a file: the rules as given, the matcher built from them.
Normalizer Loaded(const NaiveRules& rules) {
    Normalizer normalizer;
    for (const auto& rule : rules) normalizer.rules.push_back({rule.first, rule.second});
    EXPECT_TRUE(normalizer.Build(testing::NaiveSources(rules)));
    return normalizer;
}

TEST(NormalizerTest, EmptyLoadedAndCleared) {
    Normalizer normalizer;
    EXPECT_FALSE(normalizer.IsLoaded());
    EXPECT_TRUE(normalizer.rules.empty());
    EXPECT_EQ(normalizer.Normalize(u"a\x064E\x06BE"), u"a\x06BE\x064E");  // reordered only

    normalizer = Loaded({{u"a", u"b"}});
    EXPECT_TRUE(normalizer.IsLoaded());
    EXPECT_EQ(normalizer.Normalize(u"aa"), u"bb");
    normalizer.Clear();
    EXPECT_FALSE(normalizer.IsLoaded());
    EXPECT_TRUE(normalizer.rules.empty());
    EXPECT_EQ(normalizer.Normalize(u"aa"), u"aa");
    normalizer.Clear();  // harmless twice
    EXPECT_FALSE(normalizer.IsLoaded());

    // Not loaded: rules go, the matcher is left alone.
    normalizer.rules.push_back({u"x", u"y"});
    normalizer.Clear();
    EXPECT_TRUE(normalizer.rules.empty());
}

TEST(NormalizerTest, CopyAssignmentCarriesRulesAndMatcher) {
    Normalizer source = Loaded({{u"ab", u"x"}, {u"c", u""}});
    Normalizer target = Loaded({{u"q", u"r"}});
    target = source;
    source.Clear();
    EXPECT_EQ(target.rules.size(), 2u);
    EXPECT_EQ(target.Normalize(u"abcq"), u"xq");
}

TEST(NormalizerTest, MarkSetIsExactlyTheEighteen) {
    const std::u16string marks =
        u"\x0610\x0611\x0612\x0613\x0614\x0615\x064B\x064E\x064F\x0650\x0651\x0652\x0653"
        u"\x0654\x0656\x0657\x0658\x0670";
    ASSERT_EQ(marks.size(), 18u);
    int count = 0;
    for (uint32_t unit = 0; unit <= 0xFFFF; ++unit) {
        const bool expected = marks.find(char16_t(unit)) != std::u16string::npos;
        ASSERT_EQ(Normalizer::IsMark(char16_t(unit)), expected) << std::hex << unit;
        count += expected ? 1 : 0;
    }
    EXPECT_EQ(count, 18);
    for (char16_t lookAlike : {u'\x064C', u'\x064D', u'\x0655', kHeh}) {
        EXPECT_FALSE(Normalizer::IsMark(lookAlike));
    }
    // Each of the eighteen carries U+06BE to the front of its run.
    for (char16_t mark : marks) {
        const std::u16string text = {u'a', mark, kFatha, kHeh};
        EXPECT_EQ(Normalizer().ReorderHeh(text), (std::u16string{u'a', kHeh, mark, kFatha}));
    }
}

TEST(NormalizerTest, ReorderHehCases) {
    struct Case {
        const char* name;
        std::u16string text;
        std::u16string expected;
    };
    const Case cases[] = {
        {"empty", u"", u""},
        {"heh at index 0", {kHeh, kFatha, kHeh}, {kHeh, kHeh, kFatha}},
        {"heh first, marks after", {kHeh, kFatha}, {kHeh, kFatha}},
        {"only marks then heh", {kFatha, kShadda, kHeh}, {kHeh, kFatha, kShadda}},
        {"run of two marks",
         {u'a', kFatha, kShadda, kHeh, u'b'},
         {u'a', kHeh, kFatha, kShadda, u'b'}},
        {"two heh in a row", {u'a', kFatha, kHeh, kHeh}, {u'a', kHeh, kFatha, kHeh}},
        {"kasratan is no mark", {u'a', kKasratan, kHeh}, {u'a', kKasratan, kHeh}},
        {"kasratan ends the run", {u'a', kKasratan, kFatha, kHeh}, {u'a', kKasratan, kHeh, kFatha}},
        {"dammatan ends the run", {u'a', 0x064C, kFatha, kHeh}, {u'a', 0x064C, kHeh, kFatha}},
        {"hamza below ends the run", {u'a', 0x0655, kFatha, kHeh}, {u'a', 0x0655, kHeh, kFatha}},
        {"hamza below alone", {u'a', 0x0655, kHeh}, {u'a', 0x0655, kHeh}},
        {"marks without heh stay", {u'a', kFatha, kShadda, u'b'}, {u'a', kFatha, kShadda, u'b'}},
        {"two runs",
         {u'a', kFatha, kHeh, u'b', kShadda, kFatha, kHeh},
         {u'a', kHeh, kFatha, u'b', kHeh, kShadda, kFatha}},
    };
    Normalizer normalizer;
    for (const Case& c : cases) {
        EXPECT_EQ(normalizer.ReorderHeh(c.text), c.expected) << c.name;
        EXPECT_EQ(NaiveReorderHeh(c.text), c.expected) << "oracle: " << c.name;
    }
}

TEST(NormalizerTest, ReorderHehAgreesWithLiteralAlgorithm) {
    std::mt19937 random(7);
    const std::u16string alphabet = {u'a',      kFatha, kShadda, 0x0670, 0x0610,
                                     kKasratan, 0x064C, 0x0655,  kHeh,   kHeh};
    Normalizer normalizer;
    for (int round = 0; round < 5000; ++round) {
        // Mostly short texts; every tenth long enough for the block scans.
        std::u16string text(random() % (round % 10 == 0 ? 300 : 14), u'a');
        for (char16_t& unit : text) unit = alphabet[random() % alphabet.size()];
        ASSERT_EQ(normalizer.ReorderHeh(text), NaiveReorderHeh(text)) << "round " << round;
    }
}

TEST(NormalizerTest, ApplyRulesCases) {
    struct Case {
        const char* name;
        NaiveRules rules;
        std::u16string text;
        std::u16string expected;
    };
    const Case cases[] = {
        {"replacement never searched again", {{u"ab", u"x"}, {u"xd", u"y"}}, u"abd", u"xd"},
        {"empty replacement, units move up", {{u"a", u""}}, u"aab", u"b"},
        {"empty replacement at the end", {{u"a", u""}}, u"ba", u"b"},
        {"whole text", {{u"abc", u"Z"}, {u"c", u"Q"}}, u"abc", u"Z"},
        {"match at the end", {{u"c", u"QQ"}}, u"abc", u"abQQ"},
        {"longer replacement", {{u"a", u"aa"}}, u"aba", u"aabaa"},
        {"no match", {{u"z", u"y"}}, u"abc", u"abc"},
        {"empty text", {{u"a", u"b"}}, u"", u""},
        {"first listed wins over longer", {{u"a", u"1"}, {u"ab", u"2"}}, u"ab", u"1b"},
        {"later identical source wins", {{u"ab", u"1"}, {u"ab", u"2"}}, u"abab", u"22"},
        {"empty source ignored", {{u"", u"E"}, {u"b", u"B"}}, u"abc", u"aBc"},
        {"deletion joins a new match", {{u"b", u""}, {u"ac", u"X"}}, u"abc", u"ac"},
    };
    for (const Case& c : cases) {
        const Normalizer normalizer = Loaded(c.rules);
        std::u16string text = c.text;
        normalizer.ApplyRules(text);
        EXPECT_EQ(text, c.expected) << c.name;
        std::u16string literal = c.text;
        NaiveApplyRules(c.rules, literal);
        EXPECT_EQ(literal, c.expected) << "oracle: " << c.name;
    }
}

// Rules over a tiny alphabet with marks and U+06BE, so reordering, ties, duplicates,
// deletions and growth all occur; the whole pass is compared with the literal one.
TEST(NormalizerTest, NormalizeAgreesWithLiteralPass) {
    std::mt19937 random(99);
    const std::u16string alphabet = {u'a', u'b', u'c', kFatha, kHeh};
    auto word = [&](std::size_t maxLength) {
        std::u16string s(random() % (maxLength + 1), u'a');
        for (char16_t& unit : s) unit = alphabet[random() % alphabet.size()];
        return s;
    };
    for (int round = 0; round < 4000; ++round) {
        NaiveRules rules(random() % 7);
        for (auto& rule : rules) rule = {word(3), word(3)};
        const Normalizer normalizer = Loaded(rules);
        const std::u16string text = word(20);
        ASSERT_EQ(normalizer.Normalize(text), NaiveNormalize(rules, text)) << "round " << round;
    }
}

// Long inputs that a literal in-place pass would make quadratic; here they finish in
// linear time and must still give the obvious result.
TEST(NormalizerTest, LongInputs) {
    const std::size_t pairs = 512 * 1024;  // 1 MB of units
    std::u16string text = u"a";
    std::u16string expected = u"a";
    for (std::size_t i = 0; i < pairs; ++i) {
        text += {kFatha, kHeh};
        expected += {kHeh, kFatha};
    }
    const Normalizer empty;
    EXPECT_EQ(empty.Normalize(text), expected);

    const Normalizer growing = Loaded({{u"a", u"xy"}});
    EXPECT_EQ(growing.Normalize(std::u16string(1 << 20, u'a')), [] {
        std::u16string s;
        for (int i = 0; i < (1 << 20); ++i) s += u"xy";
        return s;
    }());
    const Normalizer deleting = Loaded({{u"a", u""}});
    EXPECT_EQ(deleting.Normalize(std::u16string(1 << 20, u'a') + u"b"), u"b");
}

}  // namespace
}  // namespace kavex

namespace kavex {
namespace {

// The vector search for the first unit in a set of ranges against a unit-by-unit one, for
// ranges at the ends of the unit space and around the sign bit of the signed compare, at
// every length of tail after the last whole vector; and the search that copies what it
// passes (AVX2 where the CPU has it), which must leave the whole text in the output when
// no unit is in the ranges and write nothing past its room.
TEST(UnitRangesTest, FirstInRangesAgreesWithUnitByUnit) {
    struct Case {
        const char* name;
        std::vector<std::pair<uint16_t, uint16_t>> ranges;  // first, last
    };
    const Case cases[] = {
        {"none", {}},
        {"zero", {{0, 0}}},
        {"top", {{0xFFFF, 0xFFFF}}},
        {"sign bit", {{0x7FFF, 0x8001}}},
        {"everything", {{0, 0xFFFF}}},
        {"eight",
         {{0x0009, 0x000A},
          {0x0610, 0x061A},
          {0x0622, 0x0626},
          {0x064B, 0x065F},
          {0x06BE, 0x06C2},
          {0x8000, 0x8000},
          {0xFB50, 0xFEFC},
          {0xFFFE, 0xFFFF}}},
    };
    std::mt19937 random(17);
    for (const Case& c : cases) {
        UnitRanges ranges;
        ranges.count = c.ranges.size();
        std::vector<uint16_t> edges = {0, 1, 0x7FFF, 0x8000, 0xFFFF, 0x0627};
        for (std::size_t r = 0; r < c.ranges.size(); ++r) {
            ranges.first[r] = c.ranges[r].first;
            ranges.span[r] = static_cast<uint16_t>(c.ranges[r].second - c.ranges[r].first);
            for (int d : {-1, 0, 1}) {
                edges.push_back(static_cast<uint16_t>(c.ranges[r].first + d));
                edges.push_back(static_cast<uint16_t>(c.ranges[r].second + d));
            }
        }
        for (int round = 0; round < 400; ++round) {
            std::vector<unsigned char> bytes(2 * (random() % 80));
            for (std::size_t i = 0; i < bytes.size(); i += 2) {
                // Mostly units just outside the ranges, so that a hit lands anywhere.
                uint16_t unit = edges[random() % edges.size()];
                if (random() % 4 != 0) unit = random() % 3 == 0 ? 0x064E : 0x0627;
                bytes[i] = static_cast<unsigned char>(unit & 0xFF);
                bytes[i + 1] = static_cast<unsigned char>(unit >> 8);
            }
            const std::size_t count = bytes.size() / 2;
            std::size_t expected = count;
            for (std::size_t k = 0; k < count && expected == count; ++k) {
                const uint32_t unit = bytes[2 * k] | (bytes[2 * k + 1] << 8);
                for (const auto& range : c.ranges) {
                    if (unit >= range.first && unit <= range.second) expected = k;
                }
            }
            for (CpuLevel cpu : {CpuLevel::kScalar, CpuLevel::kSse2, CpuLevel::kAvx2}) {
                if (!CpuLevelAvailable(cpu)) continue;
                ASSERT_EQ(FindFirstKey(bytes.data(), count, ranges, cpu), expected) << c.name;
                // The quick check copies only what the result keeps, and nothing past it.
                std::vector<unsigned char> out(2 * count + 2, 0xAB);
                const QuickCheckResult check =
                    QuickCheck(bytes.data(), count, ranges, out.data(), cpu);
                ASSERT_EQ(check.firstKey, expected) << c.name << " " << CpuLevelName(cpu);
                ASSERT_LE(check.copied,
                          expected == count ? count : UnchangedBefore(bytes.data(), expected))
                    << c.name << " " << CpuLevelName(cpu);
                ASSERT_TRUE(
                    std::equal(bytes.begin(), bytes.begin() + 2 * check.copied, out.begin()))
                    << c.name;
                ASSERT_TRUE(std::all_of(out.begin() + 2 * check.copied, out.end(),
                                        [](unsigned char b) { return b == 0xAB; }))
                    << c.name << " " << CpuLevelName(cpu);
            }
        }
    }
}

}  // namespace
}  // namespace kavex
