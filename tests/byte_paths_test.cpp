// The byte paths of Normalize against the naive oracle: text the rules cannot change,
// results written straight into the output, built aside or only counted, at capacities
// around the exact size.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/DensePass.h"
#include "engine/HehWindows.h"
#include "kavex/Normalization.h"
#include "support/NaiveOracle.h"
#include "support/TempDir.h"

namespace {

using kavex::kDenseUnits;
using kavex::kWindowUnits;
using kavex::testing::NaiveNormalize;
using kavex::testing::NaiveRules;
using kavex::testing::RulesFileBytes;
using kavex::testing::TempDir;
using kavex::testing::Utf16leBytes;
using kavex::testing::WorkingDirectory;

constexpr unsigned char kFill = 0xAB;

// `count` units of `units` over and over.
std::u16string Cycle(const std::u16string& units, std::size_t count) {
    std::u16string text;
    for (std::size_t i = 0; i < count; ++i) text += units[i % units.size()];
    return text;
}

// Growth (a), a long growth that no bound covers (g), shrinking (bc), deletion (e), a
// one-unit source that also starts a longer one (q, qr) and a mark pair.
const NaiveRules kRules = {
    {u"a", u"xyz"}, {u"g", std::u16string(40, u'G')},  {u"bc", u"d"}, {u"e", u""}, {u"qr", u"R"},
    {u"q", u"Q"},   {u"\u0651\u064E", u"\u064E\u0651"}};

class BytePathsTest : public ::testing::Test {
  protected:
    BytePathsTest() : cwd(dir.Path()) {
        dir.Write("config.ini", "NFDfilepath=r.txt\r\nNFCfilepath=r.txt\r\nNFKDfilepath=r.txt\r\n");
        dir.Write("r.txt", RulesFileBytes({{u"a", u"xyz"},
                                           {u"g", std::u16string(40, u'G')},
                                           {u"bc", u"d"},
                                           {u"e", u""},
                                           {u"qr", u"R"},
                                           {u"q", u"Q"},
                                           {u"\u0651\u064E", u"\u064E\u0651"}}));
        EXPECT_TRUE(norm.Initialize());
    }

    TempDir dir;
    WorkingDirectory cwd;
    Normalization norm;
};

std::u16string Decode(const std::vector<unsigned char>& out, std::size_t units) {
    std::u16string text;
    for (std::size_t i = 0; i < units; ++i) {
        text.push_back(static_cast<char16_t>(out[2 * i] | (out[2 * i + 1] << 8)));
    }
    return text;
}

// `text` through the size query, the sized form at exactly the room of the literal pass's
// result and one unit less (with a guard byte after the room), and the four-argument form.
void ExpectLiteralResult(Normalization& norm, const NaiveRules& rules, const std::u16string& text,
                         Normalization::NormMode mode, const std::string& what) {
    const std::u16string expected = NaiveNormalize(rules, text);
    const std::string bytes = Utf16leBytes(text);
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    const int length = static_cast<int>(bytes.size());
    const int needed = static_cast<int>(2 * expected.size() + 1);
    ASSERT_EQ(norm.Normalize(in, length, mode, nullptr, 0), -needed) << what;
    for (int capacity : {needed, needed - 1}) {
        std::vector<unsigned char> out(static_cast<std::size_t>(capacity) + 1, kFill);
        const int got = norm.Normalize(in, length, mode, out.data(), capacity);
        ASSERT_EQ(out[static_cast<std::size_t>(capacity)], kFill) << what;
        if (capacity < needed) {
            ASSERT_EQ(got, -needed) << what;
        } else {
            ASSERT_EQ(got, needed) << what;
            ASSERT_EQ(Decode(out, expected.size()), expected) << what;
        }
    }
    std::string copy = bytes;
    std::vector<unsigned char> four(static_cast<std::size_t>(needed), kFill);
    ASSERT_EQ(norm.Normalize(reinterpret_cast<unsigned char*>(&copy[0]), length, mode, four.data()),
              needed)
        << what;
    ASSERT_EQ(Decode(four, expected.size()), expected) << what;
}

TEST_F(BytePathsTest, SizedFormAtEveryCapacityAroundTheResult) {
    const std::u16string texts[] = {
        u"",
        u"plain text only",
        u"za",                                 // one-unit rule at the last unit
        u"zzbc",                               // two-unit rule ending the text
        u"zq",                                 // q at the end: its longer source cannot fit
        u"qqrqzq",                             // one-unit matches beside a longer one
        u"z\u064E\u06BE",                      // U+06BE at the last unit, after a mark
        u"\u06BE",                             // U+06BE alone
        u"k\u0651\u064E\u06BEabc",             // moved U+06BE before a rule
        u"bcbcbcbcbcbcbcbcbcbc e e e",         // shorter result
        u"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa",  // longer result, every unit a match
        u"zgz",                                // growth beyond any bound
        u"\u0651\u064E and \u0651 and a",
    };
    for (const std::u16string& text : texts) {
        const std::u16string expected = NaiveNormalize(kRules, text);
        const int needed = static_cast<int>(2 * expected.size() + 1);
        const std::string bytes = Utf16leBytes(text);
        const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
        const int length = static_cast<int>(bytes.size());
        EXPECT_EQ(norm.Normalize(in, length, Normalization::NFC, nullptr, 0), -needed);
        for (int capacity : {needed - 2, needed - 1, needed, needed + 1, length + 1, 4 * needed}) {
            if (capacity < 0) continue;
            std::vector<unsigned char> out(static_cast<std::size_t>(capacity) + 8, kFill);
            const int got = norm.Normalize(in, length, Normalization::NFC, out.data(), capacity);
            if (capacity < needed) {
                // The contents are unspecified then, but nothing lies past the capacity.
                EXPECT_EQ(got, -needed);
                for (std::size_t i = static_cast<std::size_t>(capacity); i < out.size(); ++i) {
                    ASSERT_EQ(out[i], kFill) << "byte " << i << ", capacity " << capacity;
                }
                continue;
            }
            ASSERT_EQ(got, needed) << "capacity " << capacity;
            EXPECT_EQ(Decode(out, expected.size()), expected) << "capacity " << capacity;
            EXPECT_EQ(out[2 * expected.size()], 0);
            for (std::size_t i = static_cast<std::size_t>(needed); i < out.size(); ++i) {
                ASSERT_EQ(out[i], kFill) << "byte " << i << ", capacity " << capacity;
            }

            std::vector<unsigned char> four(static_cast<std::size_t>(needed) + 8, kFill);
            std::string copy = bytes;
            EXPECT_EQ(norm.Normalize(reinterpret_cast<unsigned char*>(&copy[0]), length,
                                     Normalization::NFD, four.data()),
                      needed);
            EXPECT_EQ(Decode(four, expected.size()), expected);
            EXPECT_EQ(four[static_cast<std::size_t>(needed)], kFill);
        }
    }
}

TEST_F(BytePathsTest, EndOfTextRulesOfEachForm) {
    // The four-argument form ends at a zero low byte (U+0600), the sized form only at a
    // zero unit; a rule source after U+0600 is thus seen by the sized form alone.
    const std::u16string text = u"q\u0600a";
    std::string bytes = Utf16leBytes(text) + std::string(2, '\0') + "a";
    std::vector<unsigned char> out(64, kFill);
    const int length = static_cast<int>(bytes.size());
    auto* in = reinterpret_cast<unsigned char*>(&bytes[0]);
    ASSERT_EQ(norm.Normalize(in, length, Normalization::NFKD, out.data()), 3);
    EXPECT_EQ(Decode(out, 1), u"Q");
    const std::u16string sized = NaiveNormalize(kRules, text);
    ASSERT_EQ(norm.Normalize(in, length, Normalization::NFKD, out.data(), 64),
              static_cast<int>(2 * sized.size() + 1));
    EXPECT_EQ(Decode(out, sized.size()), sized);
}

TEST_F(BytePathsTest, LongTextsThroughEveryPath) {
    // Long enough for the block scans; each variant takes another path: unchanged, in
    // place, built aside (growth beyond the bound), with U+06BE moves.
    const std::u16string pieces[] = {u"plain words ", u"bc a e ", u"g q ", u"\u064E\u06BEq "};
    std::u16string text;
    for (int round = 0; round < 200; ++round) {
        for (std::size_t k = 0; k <= static_cast<std::size_t>(round) % 4; ++k) {
            text += pieces[k];
        }
        const std::u16string expected = NaiveNormalize(kRules, text);
        const std::string bytes = Utf16leBytes(text);
        std::vector<unsigned char> out(2 * expected.size() + 1);
        const int got = norm.Normalize(reinterpret_cast<const unsigned char*>(bytes.data()),
                                       static_cast<int>(bytes.size()), Normalization::NFD,
                                       out.data(), static_cast<int>(out.size()));
        ASSERT_EQ(got, static_cast<int>(out.size())) << round;
        ASSERT_EQ(Decode(out, expected.size()), expected) << round;
    }
}

}  // namespace

namespace {

std::string RulesBytes(const NaiveRules& rules) {
    std::string bytes = "\xFF\xFE";
    for (const auto& rule : rules) {
        bytes += Utf16leBytes(rule.first + u":" + rule.second + u"\r\n");
    }
    return bytes;
}

// Random rules and texts long enough to cross many blocks of the scan, matches on both
// sides of every block edge: each capacity path against the literal pass.
TEST(BytePathsRandomTest, LongTextsAgreeWithLiteralPass) {
    std::mt19937 random(2026);
    const std::u16string alphabet = {u'a', u'b', u'c', u' ', 0x064E, 0x0651, 0x06BE};
    auto word = [&](std::size_t minLength, std::size_t maxLength) {
        std::u16string s(minLength + random() % (maxLength - minLength + 1), u'a');
        for (char16_t& unit : s) unit = alphabet[random() % alphabet.size()];
        return s;
    };
    TempDir dir;
    WorkingDirectory cwd(dir.Path());
    dir.Write("config.ini", "NFDfilepath=r.txt\r\nNFCfilepath=r.txt\r\nNFKDfilepath=r.txt\r\n");
    for (int round = 0; round < 300; ++round) {
        NaiveRules rules(1 + random() % 10);
        for (auto& rule : rules) rule = {word(1, 4), word(0, 5)};
        dir.Write("r.txt", RulesBytes(rules));
        Normalization norm;
        ASSERT_TRUE(norm.Initialize());
        for (int text = 0; text < 10; ++text) {
            const std::u16string input = word(0, 400);
            const std::u16string expected = NaiveNormalize(rules, input);
            const std::string bytes = Utf16leBytes(input);
            const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
            const int length = static_cast<int>(bytes.size());
            const int needed = static_cast<int>(2 * expected.size() + 1);
            ASSERT_EQ(norm.Normalize(in, length, Normalization::NFC, nullptr, 0), -needed) << round;
            for (int capacity : {needed, needed - 1, 8 * length + 64}) {
                std::vector<unsigned char> out(static_cast<std::size_t>(capacity) + 1, kFill);
                const int got =
                    norm.Normalize(in, length, Normalization::NFC, out.data(), capacity);
                if (capacity < needed) {
                    ASSERT_EQ(got, -needed) << round;
                    ASSERT_EQ(out[static_cast<std::size_t>(capacity)], kFill) << round;
                } else {
                    ASSERT_EQ(got, needed) << round;
                    ASSERT_EQ(Decode(out, expected.size()), expected) << round;
                    ASSERT_EQ(out[static_cast<std::size_t>(needed)], kFill) << round;
                }
            }
        }
    }
}

}  // namespace

namespace {

// Every length of the unchanged stretch between two matches, through the direct path (room
// to spare, a guard byte after the result) and the side buffer (exact room).
TEST_F(BytePathsTest, EveryGapLengthBetweenMatches) {
    for (std::size_t gap = 0; gap <= 100; ++gap) {
        const std::u16string text =
            u"q" + std::u16string(gap, u'w') + u"q" + std::u16string(gap % 7, u'w');
        const std::u16string expected = NaiveNormalize(kRules, text);
        const std::string bytes = Utf16leBytes(text);
        const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
        const int needed = static_cast<int>(2 * expected.size() + 1);
        for (int capacity : {needed, 64 * needed}) {
            std::vector<unsigned char> out(static_cast<std::size_t>(capacity) + 1, kFill);
            ASSERT_EQ(norm.Normalize(in, static_cast<int>(bytes.size()), Normalization::NFD,
                                     out.data(), capacity),
                      needed)
                << gap;
            ASSERT_EQ(Decode(out, expected.size()), expected) << gap;
            ASSERT_EQ(out[static_cast<std::size_t>(needed)], kFill) << gap;
        }
    }
}

}  // namespace

namespace {

// Texts with U+06BE are reordered and rewritten a window of a few thousand units at a
// time: U+06BE at every offset around the first window's edge, runs of marks before and
// after it, runs longer than a window, and random texts of several windows, against the
// literal pass. Rules read U+06BE and the marks around it, and one source is long, so that
// matches reach across the edges.
TEST(BytePathsHehTest, WindowsAgreeWithLiteralPass) {
    const NaiveRules rules = {{u"b\u06BE", u"B"},
                              {u"\u06BE\u064E\u0651", u"H"},
                              {u"\u0651\u064E", u"\u064E\u0651"},
                              {u"\u06BE\u06BE", u"hh"},
                              {u"ab\u064Eb\u06BE\u0651cd", u"L"},
                              {u"c", u"CC"},
                              {u"\u064E", u""}};
    TempDir dir;
    WorkingDirectory cwd(dir.Path());
    dir.Write("config.ini", "NFDfilepath=r.txt\r\nNFCfilepath=r.txt\r\nNFKDfilepath=r.txt\r\n");
    dir.Write("r.txt", RulesBytes(rules));
    Normalization norm;
    ASSERT_TRUE(norm.Initialize());

    const auto check = [&](const std::u16string& text, const std::string& what) {
        ExpectLiteralResult(norm, rules, text, Normalization::NFD, what);
    };

    const std::u16string marks[] = {u"", u"\u064E", u"\u0651\u064E", u"\u064E\u0651\u064E\u0651",
                                    std::u16string(9, u'\u0651')};
    const std::u16string after[] = {u"", u"\u064E\u0651", u"\u0651cd"};
    for (std::size_t offset = kWindowUnits - 24; offset <= kWindowUnits + 12; ++offset) {
        for (const std::u16string& before : marks) {
            for (const std::u16string& tail : after) {
                std::u16string text(offset, u'x');
                for (std::size_t i = 0; i < offset; i += 97) text[i] = u'c';
                // The U+06BE lands at `offset` in the input.
                text.replace(offset - before.size() - 1, before.size() + 1, u"b" + before);
                text += u"\u06BE" + tail + u"ab\u064Eb\u06BE\u0651cd x";
                check(text, "U+06BE at " + std::to_string(offset) + " after " +
                                std::to_string(before.size()) + " marks");
            }
        }
    }

    // Runs of marks longer than a window, ending in U+06BE or not.
    for (std::size_t run :
         {kWindowUnits - 1, kWindowUnits, kWindowUnits + 904, 2 * kWindowUnits + 808}) {
        for (std::size_t lead : {0, 1, 7}) {
            std::u16string marked;
            for (std::size_t i = 0; i < run; ++i) marked += i % 3 == 0 ? u'\u064E' : u'\u0651';
            const std::u16string prefix = std::u16string(lead, u'c') + u"b";
            check(prefix + marked + u"\u06BE\u064E\u0651 tail", "run " + std::to_string(run));
            check(prefix + marked + u"xx\u0651\u06BE tail", "run without U+06BE");
            check(prefix + marked + u"\u06BE" + marked + u"\u06BE\u06BE", "two runs");
        }
    }

    // Random texts of several windows, dense in U+06BE and marks.
    std::mt19937 random(612);
    const std::u16string alphabet = {u'a', u'b', u'c', u'd', u' ', 0x064E, 0x0651, 0x06BE};
    for (int round = 0; round < 12; ++round) {
        std::u16string text(9000 + random() % 5000, u'a');
        for (char16_t& unit : text) unit = alphabet[random() % alphabet.size()];
        check(text, "random round " + std::to_string(round));
    }
}

}  // namespace

namespace {

// Rules whose units lie in more ranges than the quick check tests, so that it joins some
// across gaps: texts of units in the ranges, in the joined gaps and beside them, against
// the literal pass.
TEST(BytePathsQuickCheckTest, JoinedRangesAgreeWithLiteralPass) {
    NaiveRules rules;
    for (char16_t unit = 0x0610; unit <= 0x0630; unit = static_cast<char16_t>(unit + 3)) {
        rules.push_back({std::u16string(1, unit), u"<" + std::u16string(1, unit) + u">"});
    }
    rules.push_back({u"a\u0700", u"A"});
    rules.push_back({u"\u0627\u0653", u"\u0622"});
    rules.push_back({u"b\uFB50", u""});
    TempDir dir;
    WorkingDirectory cwd(dir.Path());
    dir.Write("config.ini", "NFDfilepath=r.txt\r\nNFCfilepath=r.txt\r\nNFKDfilepath=r.txt\r\n");
    dir.Write("r.txt", RulesBytes(rules));
    Normalization norm;
    ASSERT_TRUE(norm.Initialize());
    std::u16string alphabet = u"ab \u0627\u0628\u0653\u0700\u0701\u06FF\uFB50\uFB4F\u06BE";
    for (char16_t unit = 0x060F; unit <= 0x0632; ++unit) alphabet.push_back(unit);
    std::mt19937 random(99);
    for (int round = 0; round < 440; ++round) {
        // Long runs of a common letter, so that the first unit to look at lands anywhere;
        // first a match whose first unit is outside the ranges, at every offset.
        std::u16string text(random() % 300, u'\u0628');
        if (round < 40) {
            text = std::u16string(static_cast<std::size_t>(round), u'\u0628') + u"a\u0700 b";
        }
        for (char16_t& unit : text) {
            if (round >= 40 && random() % 8 == 0) unit = alphabet[random() % alphabet.size()];
        }
        const std::u16string expected = NaiveNormalize(rules, text);
        const std::string bytes = Utf16leBytes(text);
        const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
        const int length = static_cast<int>(bytes.size());
        const int needed = static_cast<int>(2 * expected.size() + 1);
        std::vector<unsigned char> out(static_cast<std::size_t>(needed) + 1, kFill);
        ASSERT_EQ(norm.Normalize(in, length, Normalization::NFD, out.data(), needed), needed)
            << round;
        ASSERT_EQ(Decode(out, expected.size()), expected) << round;
        ASSERT_EQ(out[static_cast<std::size_t>(needed)], kFill) << round;
    }
}

}  // namespace

namespace {

// Runs of one-unit sources are taken a unit at a time from a table of their replacements,
// sources that start a longer one walked where they stand, and gaps of units that start
// nothing passed over there or left to the block test by their length. Replacements of
// every length around what the table holds, duplicate one-unit sources, one-unit sources
// that start longer ones listed before and after them, marks; runs and gaps of every length around
// the block and the window, with and without U+06BE, against the literal pass in every form of the
// call.
TEST(BytePathsStepTest, RunsAndGapsAgreeWithLiteralPass) {
    const NaiveRules rules = {{u"p", u""},
                              {u"s", u"S"},
                              {u"t", u"TT"},
                              {u"u", u"UUUUUUU"},
                              {u"v", u"VVVVVVVV"},
                              {u"w", u"W1"},
                              {u"w", u"W2"},
                              {u"mn", u"N"},
                              {u"m", u"M"},
                              {u"\u064E\u0651", u"X"},
                              {u"\u06BE\u064E", u"H"},
                              {u"tt", u"Q"},
                              {u"a", u"AA"},
                              {u"b", u"BBB"},
                              {u"c", u"CCCC"},
                              {u"d", u"DDDDD"},
                              {u"e", u"EEEEEE"}};
    TempDir dir;
    WorkingDirectory cwd(dir.Path());
    dir.Write("config.ini", "NFDfilepath=r.txt\r\nNFCfilepath=r.txt\r\nNFKDfilepath=r.txt\r\n");
    dir.Write("r.txt", RulesBytes(rules));
    Normalization norm;
    ASSERT_TRUE(norm.Initialize());

    const auto check = [&](const std::u16string& text, const std::string& what) {
        ExpectLiteralResult(norm, rules, text, Normalization::NFKD, what);
    };

    // A run of sources, then a gap of units that start nothing, repeated past a block.
    const std::u16string runs[] = {
        u"s", u"stuvw", u"pppp", u"mmnm", u"v\u064E\u0651u", u"\u064Es\u0651t", u"ws ws",
        // Dense one-unit sources of every length the table holds, a longer or unknown one
        // (v, m, t) inside them at either end of a dense pass.
        u"psabcdeu", u"sz", u"szz", Cycle(u"abcde", kDenseUnits - 1) + u"v",
        u"v" + Cycle(u"abcde", kDenseUnits - 1), std::u16string(kDenseUnits, u's') + u"m",
        u"sasbscsdseztszs"};
    for (const std::u16string& run : runs) {
        for (std::size_t gap = 0; gap <= 70; ++gap) {
            std::u16string text;
            while (text.size() < 200) text += run + std::u16string(gap, u'z');
            check(text, "run " + std::to_string(run.size()) + " gap " + std::to_string(gap));
            // The same across the first window's edge, reordered there.
            std::u16string windowed(kWindowUnits - 3 - gap % 5, u'z');
            windowed += u"\u064E\u06BE" + text;
            check(windowed, "windowed, gap " + std::to_string(gap));
        }
    }

    // Dense text of one-unit sources ending at every offset around a pass, and around the
    // first window's edge where it is reordered; units that start a longer source (m, t,
    // U+064E) stand before a second unit and before others.
    const std::u16string dense = u"zpsabcdemuzsmnaz\u064Es\u064E\u0651tstts";
    for (std::size_t length = 0; length <= 80; ++length) {
        std::u16string text;
        for (std::size_t i = 0; i < length; ++i) text += dense[i % dense.size()];
        check(text, "dense " + std::to_string(length));
    }
    for (std::size_t length = kWindowUnits - 36; length <= kWindowUnits + 44; ++length) {
        std::u16string text = u"\u064E\u06BE";
        while (text.size() < length) text += dense[text.size() % dense.size()];
        check(text, "dense windowed " + std::to_string(length));
        text[length - 20] = u'v';
        check(text, "dense windowed, v " + std::to_string(length));
    }

    // Random texts, dense and sparse in sources, and switching between the two every block
    // or so.
    std::mt19937 random(1209);
    const std::u16string sources = u"pstuvwmnabcde\u064E\u0651\u06BE";
    for (int round = 0; round < 60; ++round) {
        const unsigned density = 1 + round % 8;
        std::u16string text(500 + random() % 5000, u'z');
        std::size_t stretch = 0;
        bool dense = true;
        for (char16_t& unit : text) {
            if (round >= 40 && stretch-- == 0) {
                stretch = 40 + random() % 100;
                dense = !dense;
            }
            const unsigned every = round < 40 ? density : dense ? 1 : density * 8;
            if (random() % every == 0) {
                unit = sources[random() % sources.size()];
            }
        }
        check(text, "random round " + std::to_string(round));
    }
}

}  // namespace
