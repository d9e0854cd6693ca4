// Both byte forms of Normalize on every way through the engine against the naive oracle:
// the reference, the library's own choice, each fast path forced alone, and all of them
// forced, at every CPU level this machine has, at every capacity from 0 to the need + 2
// (around the thresholds for long texts), each call writing into a buffer of exactly the
// allowed size (support/ByteFormsOracle.h).
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "engine/DensePass.h"
#include "engine/HehWindows.h"
#include "engine/Marks.h"
#include "engine/Normalizer.h"
#include "engine/QuickCheck.h"
#include "interface/ByteForms.h"
#include "support/ByteFormsOracle.h"
#include "support/NaiveOracle.h"

namespace kavex {
namespace {

using testing::ByteForms;
using testing::ByteFormsExpected;
using testing::CheckByteForms;
using testing::EveryCpuLevel;
using testing::EveryWay;
using testing::ExpectedOf;
using testing::GuardedBuffer;
using testing::NaiveNormalize;
using testing::NaiveRules;
using testing::ThresholdCapacities;

constexpr char16_t kFatha = 0x064E;
constexpr char16_t kKasra = 0x0650;
constexpr char16_t kShadda = 0x0651;
// A mark of the Arabic block that U+06BE is not moved in front of.
constexpr char16_t kSmallHighYeh = 0x06E7;

std::string Show(const std::u16string& text) {
    std::ostringstream out;
    out << std::hex;
    for (std::size_t i = 0; i < text.size() && i < 40; ++i) out << (i ? " " : "") << +text[i];
    if (text.size() > 40) out << " ... (" << std::dec << text.size() << " units)";
    return out.str();
}

// Texts and calls per way and level, printed once at the end.
struct Ran {
    std::size_t texts = 0;
    std::size_t calls = 0;
};
std::map<std::string, Ran>& Tally() {
    static std::map<std::string, Ran> tally;
    return tally;
}

enum class Capacities { kEvery, kAroundThresholds };

// `text` through both forms on every way and level against the oracle.
void ExpectOracle(const Normalizer& normalizer, const NaiveRules& rules, const std::u16string& text,
                  Capacities capacities, const std::string& what) {
    const ByteFormsExpected expected = ExpectedOf(rules, text);
    std::vector<int> sizes;
    if (capacities == Capacities::kAroundThresholds) {
        sizes = ThresholdCapacities(text.size(), expected.SizedNeeded());
    }
    for (CpuLevel cpu : EveryCpuLevel()) {
        for (const auto& [name, paths] : EveryWay(cpu)) {
            Ran& ran = Tally()[name + "\t" + CpuLevelName(cpu)];
            ran.texts += 1;
            // The size query, each capacity, the four-argument form.
            ran.calls += 2 + (sizes.empty() ? expected.SizedNeeded() + 3 : sizes.size());
            const PathChoice way = paths;
            const ByteForms forms{
                [&](const unsigned char* in, int length, unsigned char* out, int capacity) {
                    return NormalizeSized(normalizer, in, length, out, capacity, way);
                },
                [&](unsigned char* in, int length, unsigned char* out) {
                    return NormalizeUnsized(normalizer, in, length, out, way);
                }};
            ASSERT_EQ(CheckByteForms(forms, text, expected, sizes), "")
                << what << " [" << name << ", " << CpuLevelName(cpu) << "] " << Show(text);
        }
    }
}

Normalizer Loaded(const NaiveRules& rules) {
    std::vector<NormalizationRule> list;
    for (const auto& rule : rules) list.push_back(NormalizationRule{rule.first, rule.second});
    Normalizer normalizer;
    EXPECT_TRUE(normalizer.LoadRulesFrom(list));
    EXPECT_TRUE(normalizer.BytePathsOn());
    return normalizer;
}

// Faults the paths once had, each with the rules and text that showed it.
TEST(ByteFormsTest, RegressionsWithExactBuffers) {
    struct Case {
        const char* why;
        NaiveRules rules;
        std::u16string text;
    };
    const Case cases[] = {
        // The quick check copied the units before the first key into the output, the one
        // in front of it included, before the rewrite deleted that one: a byte past the
        // result of the four-argument form.
        {"pair deleted at the end", {{u"\u0628\u064D", u""}}, u"\u0633\u0628\u064D"},
        {"whole text deleted", {{u"\u0640\u0653", u""}}, u"\u0640\u0653"},
        {"pair deleted, later rule shorter",
         {{u"\u064D\u0653", u""}, {u"\u064E", u""}},
         u"\u064D\u0653"},
        // U+06BE moved in front of the mark, then deleted with the space before it.
        {"deletion across a moved U+06BE", {{u"\u0020\u06BE", u""}}, u"\u0020\u0651\u06BE"},
        {"two deletions",
         {{u"\u0610\u0628", u""}, {u"\u000D\u000A", u""}},
         u"\u0610\u0628\u000D\u000A"},
        // The sized form with room for the whole input wrote a unit after the terminator.
        {"sized form, room to spare", {{u"\u0628\u0627", u""}}, u"\u0628\u0627"},
        // A U+06BE moves to the front of the marks before it, and a long source there
        // deletes more than the quick check had passed.
        {"long source over moved U+06BE after marks",
         {{u"\u0020\u06BE" + std::u16string(30, kFatha), u""}},
         u"x\u0020" + std::u16string(30, kFatha) + u"\u06BE"},
        // The same with the run of marks across the blocks the quick check copies by, once
        // where no copy is due and once after plain text it copies.
        {"run of marks across quick check blocks",
         {{u"\u0020\u06BE" + std::u16string(140, kFatha), u""}},
         std::u16string(100, u'z') + u"\u0020" + std::u16string(140, kFatha) + u"\u06BE"},
        {"plain blocks, then a run of marks",
         {{u"\u0020\u06BE" + std::u16string(40, kFatha), u""}},
         std::u16string(300, u'z') + u"\u0020" + std::u16string(40, kFatha) + u"\u06BE"},
    };
    for (const Case& c : cases) {
        const Normalizer normalizer = Loaded(c.rules);
        ExpectOracle(normalizer, c.rules, c.text, Capacities::kEvery, c.why);
    }
}

// A result longer than the int allows is refused before a byte of it is written, in both
// forms (the limit lowered, so the test need not write 2 GB).
TEST(ByteFormsTest, ResultTooLongForTheIntWritesNothing) {
    const NaiveRules rules = {{u"a", u"aa"}};
    const Normalizer normalizer = Loaded(rules);
    const std::u16string text(100, u'a');
    std::string bytes;
    for (char16_t unit : text) bytes += std::string{static_cast<char>(unit), '\0'};
    const auto* input = reinterpret_cast<const unsigned char*>(bytes.data());
    for (CpuLevel cpu : EveryCpuLevel()) {
        for (const auto& [name, paths] : EveryWay(cpu)) {
            for (std::size_t limit : {150, 199}) {
                GuardedBuffer out(1000);
                EXPECT_EQ(NormalizeSized(normalizer, input, 200, out.Data(), 1000, paths, limit), 0)
                    << name;
                EXPECT_EQ(NormalizeUnsized(normalizer, input, 200, out.Data(), paths, limit), 0)
                    << name;
                EXPECT_TRUE(out.Untouched()) << name << ": wrote although the result is refused";
            }
            GuardedBuffer out(401);
            EXPECT_EQ(NormalizeUnsized(normalizer, input, 200, out.Data(), paths, 200), 401);
        }
    }
}

// Rule sets of the shapes that break fast paths: deleting, shrinking and growing sources
// of several units, sources that are prefixes of one another, duplicate sources, U+06BE and
// marks in sources and replacements, replacements longer than a dense pass reads.
std::vector<std::pair<std::string, NaiveRules>> ShapedRuleSets() {
    const std::u16string heh(1, kHeh);
    return {
        {"deleting and shrinking",
         {{u"ab", u""}, {u"bc", u"d"}, {u"abc", u"x"}, {u"c", u""}, {u"\u064E\u0651", u""}}},
        {"growing", {{u"a", u"xyz"}, {u"g", std::u16string(40, u'G')}, {u"bc", u"123456789"}}},
        {"prefixes and duplicates",
         {{u"q", u"Q"}, {u"qr", u"R"}, {u"qrs", u""}, {u"q", u"second q"}, {u"qr", u"r"}}},
        {"prefixes, longer first", {{u"qrs", u"S"}, {u"qr", u"R"}, {u"q", u"QQQQQQQQQ"}}},
        {"U+06BE and marks",
         {{heh + u"\u064E", u"H"},
          {u"b" + heh, u""},
          {u"\u0651\u064E", u"\u064E\u0651"},
          {heh + heh, heh},
          {u"\u064E", u"\u064E\u064E"},
          {u"c" + heh + u"\u0651\u0650", heh}}},
        {"one-unit sources of every length",
         {{u"p", u""},
          {u"s", u"S"},
          {u"t", u"TT"},
          {u"u", u"UUUUUUU"},
          {u"v", u"VVVVVVVV"},
          {u"w", u"WWWWWWWWWWWW"},
          {u"mn", u"N"},
          {u"m", u"M"},
          {u"\u064E", u"F"},
          {u"tt", u"Q"}}},
        {"replacements of U+06BE and marks",
         {{u"h", heh}, {u"k", u"\u064E" + heh}, {u"\u0650", heh + u"\u0651"}}},
    };
}

NaiveRules RandomRules(std::mt19937& random, const std::u16string& alphabet) {
    NaiveRules rules(1 + random() % 8);
    for (auto& rule : rules) {
        rule.first.resize(1 + random() % 4);
        for (char16_t& unit : rule.first) unit = alphabet[random() % alphabet.size()];
        rule.second.resize(random() % 6);
        for (char16_t& unit : rule.second) unit = alphabet[random() % alphabet.size()];
    }
    return rules;
}

// The units of the rules, U+06BE, marks, a unit that starts nothing, and, rarely, units
// that end the text in one form or both.
std::u16string TextAlphabet(const NaiveRules& rules) {
    std::u16string alphabet = {kHeh, kFatha, kShadda, kKasra, kSmallHighYeh, u'z', u' '};
    for (const auto& rule : rules) alphabet += rule.first + rule.second;
    std::sort(alphabet.begin(), alphabet.end());
    alphabet.erase(std::unique(alphabet.begin(), alphabet.end()), alphabet.end());
    return alphabet;
}

std::u16string RandomText(std::mt19937& random, const std::u16string& alphabet,
                          std::size_t length) {
    std::u16string text(length, u'z');
    for (char16_t& unit : text) {
        const unsigned pick = random() % 200;
        unit = pick == 0 ? u'\u0600' : pick == 1 ? u'\0' : alphabet[random() % alphabet.size()];
    }
    return text;
}

// Short texts, every capacity.
TEST(ByteFormsTest, ShortTextsOnEveryPath) {
    std::mt19937 random(2112);
    auto sets = ShapedRuleSets();
    const std::u16string randomAlphabet = {u'a', u'b', u'c', kHeh, kFatha, kShadda, u'\r', u'\n'};
    for (int r = 0; r < 24; ++r) {
        sets.emplace_back("random " + std::to_string(r), RandomRules(random, randomAlphabet));
    }
    for (const auto& [name, rules] : sets) {
        const Normalizer normalizer = Loaded(rules);
        const std::u16string alphabet = TextAlphabet(rules);
        for (int t = 0; t < 40; ++t) {
            ExpectOracle(normalizer, rules, RandomText(random, alphabet, random() % 14),
                         Capacities::kEvery, name);
            if (::testing::Test::HasFatalFailure()) return;
        }
    }
}

// Texts whose matches, U+06BE moves and runs of marks cross the edges of what the paths take
// at once: a quick check vector, a dense pass, a scan block, a reorder window.
TEST(ByteFormsTest, TextsAcrossEveryEdge) {
    std::mt19937 random(4096);
    const std::size_t edges[] = {
        kQuickCheckVectorUnits / 2, kQuickCheckVectorUnits, kDenseUnits + 1,
        2 * kDenseUnits + 1,        kScanBlockUnits,        kWindowUnits};
    const auto sets = ShapedRuleSets();
    for (const auto& [name, rules] : sets) {
        const Normalizer normalizer = Loaded(rules);
        const std::u16string alphabet = TextAlphabet(rules);
        for (std::size_t edge : edges) {
            const std::size_t window =
                edge == kWindowUnits ? WindowUnitsFor(normalizer.LongestSource()) : edge;
            for (std::size_t offset = window > 4 ? window - 4 : 0; offset <= window + 3; ++offset) {
                // Plain units up to the edge, then a piece of the rules' units across it;
                // dense pieces before it too, for edges within reach of a dense pass.
                std::u16string text(offset, u'z');
                if (edge != kWindowUnits) {
                    for (std::size_t i = 0; i < offset; ++i) {
                        if (random() % 3 == 0) text[i] = alphabet[random() % alphabet.size()];
                    }
                }
                text += RandomText(random, alphabet, 1 + random() % 10);
                const Capacities capacities =
                    text.size() < 100 ? Capacities::kEvery : Capacities::kAroundThresholds;
                ExpectOracle(
                    normalizer, rules, text, capacities,
                    name + ", edge " + std::to_string(edge) + ", offset " + std::to_string(offset));
                if (::testing::Test::HasFatalFailure()) return;
            }
        }
        // Runs of marks longer than a window, ending in U+06BE or not.
        const std::size_t window = WindowUnitsFor(normalizer.LongestSource());
        for (std::size_t run : {window - 1, window + 1}) {
            std::u16string marks;
            for (std::size_t i = 0; i < run; ++i) marks += i % 3 == 0 ? kFatha : kShadda;
            ExpectOracle(normalizer, rules, u"zb" + marks + kHeh + u"\u064E q",
                         Capacities::kAroundThresholds, name + ", long run");
            ExpectOracle(normalizer, rules, u"zb" + marks + kHeh + marks + kHeh + kHeh,
                         Capacities::kAroundThresholds, name + ", two long runs");
        }
        // Long random texts, dense and sparse in the rules' units by turns.
        for (int round = 0; round < 3; ++round) {
            std::u16string text(2 * window + random() % 700, u'z');
            bool dense = true;
            for (std::size_t i = 0; i < text.size(); ++i) {
                if (i % 97 == 0) dense = !dense;
                if (dense || random() % 16 == 0) text[i] = alphabet[random() % alphabet.size()];
            }
            ExpectOracle(normalizer, rules, text, Capacities::kAroundThresholds,
                         name + ", long random " + std::to_string(round));
            if (::testing::Test::HasFatalFailure()) return;
        }
    }
}

// The table of what ran: every way at every level, with the number of texts, printed
// when the tests of the process are done.
class TableOfWhatRan : public ::testing::Environment {
  public:
    void TearDown() override {
        if (Tally().empty()) return;
        Ran total;
        std::cout << "way\tCPU level\ttexts\tcalls (size query, each capacity, "
                     "four-argument form)\n";
        for (const auto& [key, ran] : Tally()) {
            std::cout << key << "\t" << ran.texts << "\t" << ran.calls << "\n";
            total.texts += ran.texts;
            total.calls += ran.calls;
        }
        std::cout << "total\t\t" << total.texts << "\t" << total.calls << "\n";
    }
};
const auto* const kTable = ::testing::AddGlobalTestEnvironment(new TableOfWhatRan);

}  // namespace
}  // namespace kavex
