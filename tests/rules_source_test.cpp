// The readable rules source, rules files as kavex-rules reads and writes them, and the
// findings of kavex-rules check; the library's own loader and matcher are the oracle.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "RulesCheck.h"
#include "RulesFile.h"
#include "RulesSource.h"
#include "engine/Normalizer.h"
#include "support/TempDir.h"

namespace kavex::rules {
namespace {

using kavex::testing::TempDir;
using kavex::testing::Utf16leBytes;

const std::string kMark = "\xFF\xFE";

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<Rule> RulesOf(const RulesFileImage& image) {
    std::vector<Rule> rules;
    for (const FileLine& line : image.lines) rules.push_back(line.rule);
    return rules;
}

// Compiles the decompilation of `image`, whose line N holds the rule of line N of the file.
std::string RoundTrip(const RulesFileImage& image) {
    std::vector<Rule> rules;
    SourceError error;
    EXPECT_TRUE(ParseRulesSource(WriteRulesSource(image, "x.txt"), rules, error))
        << error.line << ":" << error.column << ": " << error.message;
    for (std::size_t i = 0; i < rules.size(); ++i) {
        if (rules[i].line != i + 1) {
            ADD_FAILURE() << "the rule of line " << i + 1 << " is on line " << rules[i].line;
            break;
        }
    }
    return WriteRulesFile(rules);
}

struct ErrorCase {
    std::string text;
    std::size_t line;
    std::size_t column;
    const char* message;
};

std::vector<ErrorCase> ErrorCases() {
    std::string codePoints;
    for (int i = 0; i < 65536; ++i) codePoints += "U+0627 ";
    return {
        {"a b\n", 1, 4, "expected '->'"},
        {"ي ي  # comment", 1, 4, "expected '->'"},
        {"ي->ی", 1, 2, "expected '->' with a blank on each side"},
        {"x -> y\na ->b\n", 2, 3, "expected '->' with a blank on each side"},
        {"ab-> c", 1, 3, "expected '->' with a blank on each side"},
        {"# c\n\nU+06G1 -> x", 3, 5, "expected 4 to 6 hex digits after 'U+'"},
        {"U+06 -> x", 1, 5, "expected 4 to 6 hex digits after 'U+'"},
        {"a -> U+", 1, 8, "expected 4 to 6 hex digits after 'U+'"},
        {"U+0627AB1 -> x", 1, 9, "more than 6 hex digits after 'U+'"},
        {"U+0627ا -> x", 1, 7, "expected a blank after the code point"},
        {"x -> U+110000", 1, 6, "code point beyond U+10FFFF"},
        {"a -> b -> c", 1, 8, "a second '->'"},
        {"ba:b -> c", 1, 3, "the source holds U+003A ':'"},
        {"a U+003A -> c", 1, 3, "the source holds U+003A ':'"},
        {"U+000D -> c", 1, 1, "the source holds U+000D"},
        {"a -> x:y", 1, 7, "the replacement holds U+003A ':'"},
        {"a -> U+000D", 1, 6, "the replacement holds U+000D"},
        {"a\rb -> c", 1, 2, "carriage return inside a line"},
        {"a -> b\r\r\n", 1, 7, "carriage return inside a line"},
        {"a -> b\n\nاب\xC0\xAF -> x", 3, 3, "invalid UTF-8 (overlong encoding)"},
        {"ا -> \xD8", 1, 6, "invalid UTF-8 (truncated sequence)"},
        {"ab\xD8\n-> x", 1, 3, "invalid UTF-8 (truncated sequence)"},
        {"a\r\xD8", 1, 3, "invalid UTF-8 (truncated sequence)"},
        {"a -> \xED\xA0\x80", 1, 6, "invalid UTF-8 (encoded surrogate)"},
        {std::string(65536, 'a') + " -> x", 1, 65536, "a source longer than 65,535 units"},
        {std::string(65535, 'a') + "\xF0\x9F\x98\x80 -> x", 1, 65536,
         "a source longer than 65,535 units"},
        {codePoints + "-> x", 1, 7 * 65535 + 1, "a source longer than 65,535 units"},
    };
}

struct AcceptedCase {
    const char* name;
    std::string text;
    std::vector<Rule> rules;
};

std::vector<AcceptedCase> AcceptedCases() {
    return {
        {"the example",
         "# Urdu: yeh typed with hamza above becomes the composed letter\n"
         "U+06CC U+0654 -> U+0626\n"
         "ي -> ی            # literal characters work too\n"
         "U+0640 ->         # an empty replacement deletes\n",
         {{u"\u06CC\u0654", u"\u0626", 2}, {u"\u064A", u"\u06CC", 3}, {u"\u0640", u"", 4}}},
        {"blanks separate, they are not units", "ab  cd\t-> e f", {{u"abcd", u"ef", 1}}},
        {"above U+FFFF: two units, either way",
         "U+1F600 -> \xF0\x9F\x98\x80\nU+D83D U+DE00 -> U+DBFF",
         {{u"\U0001F600", u"\U0001F600", 1}, {u"\U0001F600", u"\xDBFF", 2}}},
        {"# inside a token is literal", "a#b -> U+0023 #c", {{u"a#b", u"#", 1}}},
        {"empty sides", "\t-> x\n->\n", {{u"", u"x", 1}, {u"", u"", 2}}},
        {"lower-case u+, blanks as code points", "u+0020 -> U+0009", {{u" ", u"\t", 1}}},
        {"UTF-8 mark, CR LF, no last line end",
         "\xEF\xBB\xBFx -> y\r\n\r\nz -> w",
         {{u"x", u"y", 1}, {u"z", u"w", 3}}},
        {"a CR at the very end", "x -> y\r", {{u"x", u"y", 1}}},
        {"LF and the arrow by code point", "U+000A -> U+002D U+003E", {{u"\n", u"->", 1}}},
        {"'->' inside tokens, beside the arrow", "a->b -> c-> ->d", {{u"a->b", u"c->->d", 1}}},
        {"U, u and - alone are literal", "U u - -> - U", {{u"Uu-", u"-U", 1}}},
        {"nothing but comments", "# a\n   # b\n\n", {}},
        {"the longest source",
         std::string(65535, 'a') + " -> x",
         {{std::u16string(65535, u'a'), u"x", 1}}},
        {"a long replacement",
         "a -> " + std::string(200000, 'b'),
         {{u"a", std::u16string(200000, u'b'), 1}}},
    };
}

bool SameRules(const std::vector<Rule>& a, const std::vector<Rule>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].source != b[i].source || a[i].replacement != b[i].replacement ||
            a[i].line != b[i].line) {
            return false;
        }
    }
    return true;
}

TEST(RulesSourceTest, ErrorsAndTheirPositions) {
    for (const ErrorCase& c : ErrorCases()) {
        const std::string name = c.text.substr(0, 40);
        std::vector<Rule> rules;
        SourceError error;
        EXPECT_FALSE(ParseRulesSource(c.text, rules, error)) << name;
        EXPECT_EQ(error.line, c.line) << name;
        EXPECT_EQ(error.column, c.column) << name;
        EXPECT_EQ(error.message.compare(0, std::string(c.message).size(), c.message), 0)
            << name << ": " << error.message;
    }
}

TEST(RulesSourceTest, AcceptedSources) {
    for (const AcceptedCase& c : AcceptedCases()) {
        std::vector<Rule> rules;
        SourceError error;
        ASSERT_TRUE(ParseRulesSource(c.text, rules, error)) << c.name << ": " << error.message;
        EXPECT_TRUE(SameRules(rules, c.rules)) << c.name;
    }
}

// kavex-rules feeds a source a block at a time: cut anywhere, inside a character, between
// CR and LF, inside '->' or 'U+', it reads as the whole text does.
TEST(RulesSourceTest, PiecesReadAsTheWhole) {
    std::vector<std::string> texts;
    for (const ErrorCase& c : ErrorCases()) texts.push_back(c.text);
    for (const AcceptedCase& c : AcceptedCases()) texts.push_back(c.text);
    texts.push_back("\xEF\xBB\xBFU+0627 U+0653 -> \xD8\xA2\r\nU+1F600 -> \xF0\x9F\x98\x80\r\n");
    for (const std::string& text : texts) {
        std::vector<Rule> whole;
        SourceError wholeError;
        const bool wholeRead = ParseRulesSource(text, whole, wholeError);
        // Two pieces cut at every offset of a short text; pieces of a few sizes for all.
        std::vector<std::vector<std::size_t>> cuttings;
        if (text.size() < 1000) {
            for (std::size_t at = 0; at <= text.size(); ++at) cuttings.push_back({at});
        }
        for (std::size_t size : {1, 2, 3, 7, 4096}) {
            cuttings.emplace_back();
            for (std::size_t at = size; at < text.size(); at += size) cuttings.back().push_back(at);
        }
        for (const std::vector<std::size_t>& cuts : cuttings) {
            std::vector<Rule> rules;
            RulesSourceParser parser(rules);
            bool read = true;
            std::size_t from = 0;
            for (std::size_t k = 0; k <= cuts.size() && read; ++k) {
                const std::size_t to = k < cuts.size() ? cuts[k] : text.size();
                read = parser.Feed(text.data() + from, to - from);
                from = to;
            }
            read = read && parser.Finish();
            const std::string where = text.substr(0, 40) + " cut at " +
                                      std::to_string(cuts.empty() ? 0 : cuts[0]) + " (" +
                                      std::to_string(cuts.size()) + " cuts)";
            ASSERT_EQ(read, wholeRead) << where;
            if (read) {
                ASSERT_TRUE(SameRules(rules, whole)) << where;
            } else {
                ASSERT_EQ(parser.Error().line, wholeError.line) << where;
                ASSERT_EQ(parser.Error().column, wholeError.column) << where;
                ASSERT_EQ(parser.Error().message, wholeError.message) << where;
            }
        }
    }
}

// A source too long for the matcher is refused in the block that passes the limit, not
// after its line has been read: a line of any length costs a bounded amount.
TEST(RulesSourceTest, AnOverLongSourceStopsTheReading) {
    for (const std::string& unit : {std::string("a"), std::string("U+0627 ")}) {
        std::string block;
        while (block.size() < 4096) block += unit;
        std::vector<Rule> rules;
        RulesSourceParser parser(rules);
        std::size_t units = 0;
        while (parser.Feed(block.data(), block.size())) {
            units += block.size() / unit.size();
            ASSERT_LE(units, kMaxSourceUnits) << unit;
        }
        EXPECT_EQ(parser.Error().column, 65536 * unit.size() - unit.size() + 1) << unit;
        EXPECT_FALSE(parser.Feed("\n", 1));
        EXPECT_FALSE(parser.Finish());
    }
}

// Odd files: kavex-rules reads what the library loads, its decompilation compiles to a
// well-formed file with the same rules, and a well-formed file comes back byte for byte.
TEST(RulesFileTest, ReadsAsTheLoaderAndRoundTrips) {
    struct Case {
        const char* name;
        std::string bytes;
        bool wellFormed;
    };
    const Case cases[] = {
        {"well formed", kMark + Utf16leBytes(u"ab:c\r\nd:\r\n:e\r\n \t: \n\r\n"), true},
        {"only the mark", kMark, true},
        {"no colon", kMark + Utf16leBytes(u"ab:c\r\nd\r\n"), false},
        {"no colon first", kMark + Utf16leBytes(u"d\r\nx:y\r\n"), false},
        {"several colons", kMark + Utf16leBytes(u"a:b:c\r\n::\r\n"), false},
        {"bare CR", kMark + Utf16leBytes(u"ab:c\rXd:e\r:f:g\r\n"), false},
        {"text after the last line end", kMark + Utf16leBytes(u"ab:c\r\nh:i"), false},
        {"a colon after the last line end", kMark + Utf16leBytes(u"ab:c\r\n:"), false},
        {"LF line ends only", kMark + Utf16leBytes(u"ab:c\nd:e\n"), false},
        {"odd byte", kMark + Utf16leBytes(u"ab:c\r\n") + "x", false},
        {"second mark",
         kMark + Utf16leBytes(u"\xFEFF"
                              u"a:b\r\n"),
         true},
    };
    TempDir dir;
    for (const Case& c : cases) {
        const RulesFileImage image = ReadRulesFileBytes(c.bytes);
        Normalizer loaded;
        ASSERT_TRUE(loaded.LoadRules(dir.Write("rules.txt", c.bytes))) << c.name;
        ASSERT_EQ(image.status, RulesFileImage::Status::kLoads) << c.name;
        const auto same = [&](const Normalizer& normalizer) {
            if (normalizer.rules.size() != image.lines.size()) return false;
            for (std::size_t i = 0; i < image.lines.size(); ++i) {
                if (normalizer.rules[i].source != image.lines[i].rule.source ||
                    normalizer.rules[i].replacement != image.lines[i].rule.replacement) {
                    return false;
                }
            }
            return true;
        };
        EXPECT_TRUE(same(loaded)) << c.name;
        const std::string compiled = RoundTrip(image);
        EXPECT_EQ(compiled == c.bytes, c.wellFormed) << c.name;
        Normalizer again;
        ASSERT_TRUE(again.LoadRules(dir.Write("again.txt", compiled))) << c.name;
        EXPECT_TRUE(same(again)) << c.name;
    }
    for (const std::string& bytes :
         {std::string(), std::string("\xFE\xFF", 2), Utf16leBytes(u"a:b\r\n"),
          kMark + Utf16leBytes(u"a:b\r\nc:d\r"), kMark + Utf16leBytes(u"a:b\r") + "x"}) {
        Normalizer loaded;
        EXPECT_FALSE(loaded.LoadRules(dir.Write("bad.txt", bytes)));
        EXPECT_NE(ReadRulesFileBytes(bytes).status, RulesFileImage::Status::kLoads);
    }
}

TEST(RulesFileTest, ShippedFilesRoundTripByteForByte) {
    for (const std::string form : {"NFD", "NFC", "NFKD", "NFKC"}) {
        const std::string bytes =
            ReadAll(std::string(KAVEX_SOURCE_DIR) + "/rules/" + form + ".txt");
#ifdef _WIN32
        // Under Wine the source tree may be out of reach.
        if (bytes.empty()) GTEST_SKIP() << "rules/" << form << ".txt not reachable";
#endif
        const RulesFileImage image = ReadRulesFileBytes(bytes);
        ASSERT_EQ(image.status, RulesFileImage::Status::kLoads) << form;
        EXPECT_FALSE(image.lines.empty()) << form;
        EXPECT_TRUE(RoundTrip(image) == bytes) << form;
        // The shipped rules check clean: no dead rule, nothing read unexpectedly, in limits;
        // but the compatibility forms make spaces U+0020, at the end of a replacement.
        const std::vector<Rule> rules = RulesOf(image);
        EXPECT_TRUE(CheckRules(rules).empty()) << form;
        const std::vector<Finding> reading = CheckLoaderReading(image);
        EXPECT_EQ(reading.empty(), form == "NFD" || form == "NFC") << form;
        for (const Finding& finding : reading) {
            EXPECT_EQ(finding.message, "the replacement ends with a blank, which is part of it")
                << form << ":" << finding.line;
            ASSERT_TRUE(finding.line >= 1 && finding.line <= image.lines.size()) << form;
            EXPECT_EQ(image.lines[finding.line - 1].rule.replacement.back(), u' ')
                << form << ":" << finding.line;
        }
    }
}

struct Expected {
    std::size_t line;
    Finding::Kind kind;
    const char* message;
};

void ExpectFindings(const std::string& name, const std::vector<Finding>& found,
                    const std::vector<Expected>& expected) {
    EXPECT_EQ(found.size(), expected.size()) << name;
    for (const Expected& e : expected) {
        const bool present = std::any_of(found.begin(), found.end(), [&](const Finding& f) {
            return f.line == e.line && f.kind == e.kind &&
                   f.message.find(e.message) != std::string::npos;
        });
        EXPECT_TRUE(present) << name << ": line " << e.line << ": " << e.message;
    }
}

TEST(RulesCheckTest, FindingsOfCraftedFiles) {
    using K = Finding::Kind;
    struct Case {
        const char* name;
        std::u16string text;
        std::vector<Expected> expected;
    };
    const Case cases[] = {
        {"clean", u"ab:x\r\na:y\r\nb:\r\n", {}},
        {"same source later",
         u"ab:x\r\nc:z\r\nab:y\r\n",
         {{1, K::kDeadRule, "line 3 has the same source"}}},
        {"shorter source first",
         u"a:1\r\nab:2\r\nabc:3\r\n",
         {{2, K::kDeadRule, "begins with the source of line 1 (U+0061)"},
          {3, K::kDeadRule, "begins with the source of line 1"}}},
        // The last of the identical shorter sources is the one found, and it stands after.
        {"shorter source found after",
         u"a:1\r\nab:2\r\na:3\r\n",
         {{1, K::kDeadRule, "line 3 has the same source"}}},
        {"empty source", u":x\r\na:b\r\n", {{1, K::kDeadRule, "empty source"}}},
        {"no colon",
         u"ab:c\r\nd\r\n",
         {{1, K::kDeadRule, "line 2 has the same source"},
          {2, K::kLoader, "no colon: the loader keeps the source of the line before"}}},
        {"no colon first",
         u"d\r\n",
         {{1, K::kLoader, "no colon: the loader reads an empty source"},
          {1, K::kDeadRule, "empty source"}}},
        {"several colons", u"a:b:c\r\n", {{1, K::kLoader, "2 colons"}}},
        {"bare CR",
         u"a:b\rXc:d\r\n",
         {{1, K::kLoader, "CR without LF: the loader drops the unit after it (U+0058)"}}},
        {"trailing blanks",
         u"a :b\t\r\n",
         {{1, K::kLoader, "the source ends with a blank"},
          {1, K::kLoader, "the replacement ends with a blank"}}},
        {"LF inside",
         u"a\n:b\nc\r\n",
         {{1, K::kLoader, "the source holds a LF"}, {1, K::kLoader, "the replacement holds a LF"}}},
        {"last line without CR LF",
         u"a:b\r\nc:d",
         {{2, K::kLoader, "no CR LF after the last line"}}},
    };
    for (const Case& c : cases) {
        const RulesFileImage image = ReadRulesFileBytes(kMark + Utf16leBytes(c.text));
        std::vector<Finding> found = CheckLoaderReading(image);
        const std::vector<Finding> dead = CheckRules(RulesOf(image));
        found.insert(found.end(), dead.begin(), dead.end());
        ExpectFindings(c.name, found, c.expected);
    }
    ExpectFindings("odd byte",
                   CheckLoaderReading(ReadRulesFileBytes(kMark + Utf16leBytes(u"a:b\r\n") + "x")),
                   {{0, K::kLoader, "a single byte"}});
}

// A rule is reported never applied exactly when the matcher, given its own source as the
// text, does not pick it: wherever a source occurs, what occurs at that place is the
// source and its prefixes.
TEST(RulesCheckTest, DeadRulesAgreeWithTheMatcher) {
    std::mt19937 random(14);
    for (int round = 0; round < 3000; ++round) {
        std::vector<Rule> rules(1 + random() % 8);
        std::vector<std::u16string> sources;
        for (std::size_t i = 0; i < rules.size(); ++i) {
            rules[i].source.assign(random() % 4, u'a');
            for (char16_t& unit : rules[i].source)
                unit = static_cast<char16_t>(u'a' + random() % 3);
            rules[i].line = i + 1;
            sources.push_back(rules[i].source);
        }
        RuleMatcher matcher;
        ASSERT_TRUE(matcher.Build(sources));
        const std::vector<Finding> findings = CheckRules(rules);
        for (std::size_t i = 0; i < rules.size(); ++i) {
            const bool reported = std::any_of(findings.begin(), findings.end(),
                                              [&](const Finding& f) { return f.line == i + 1; });
            const RuleMatch match = matcher.Search(rules[i].source, 0);
            const bool picked = match.position == 0 && match.rule == i;
            ASSERT_EQ(reported, !picked) << "round " << round << " rule " << i;
        }
    }
}

// kavex-rules refuses exactly what the matcher refuses to build, and says where.
TEST(RulesCheckTest, LimitsAgreeWithTheMatcher) {
    struct Case {
        const char* name;
        std::vector<Rule> rules;
        std::size_t passedAt;  // MatcherSize::kWithin when within every limit
        const char* message;
    };
    const auto repeated = [](std::size_t count, const std::u16string& source) {
        return std::vector<Rule>(count, Rule{source, u"", 0});
    };
    const auto chain = [](std::size_t length) {
        return std::vector<Rule>{Rule{std::u16string(length, u'a'), u"", 0}};
    };
    const auto distinctUnits = [](std::size_t count) {
        std::vector<Rule> rules;
        for (std::size_t u = 0; u < count; ++u) {
            rules.push_back(Rule{std::u16string(1, static_cast<char16_t>(u)), u"", 0});
        }
        return rules;
    };
    std::vector<Case> cases = {
        {"65,535 rules", repeated(65535, u"a"), MatcherSize::kWithin, ""},
        {"65,536 rules", repeated(65536, u"a"), 65535, "passes the limit of 65,535 rules"},
        {"65,536 states", chain(65535), MatcherSize::kWithin, ""},
        {"65,537 states", chain(65536), 0, "limit of 65,536 matcher states"},
        {"65,536 distinct units", distinctUnits(65536), 65535, "65,535 distinct units"},
    };
    cases.push_back(cases[4]);
    cases.back().name = "rows past their bytes";
    cases.back().rules.resize(20000);
    cases.back().passedAt = 6709;
    cases.back().message = "past 268,435,456 bytes";
    for (Case& c : cases) {
        for (std::size_t i = 0; i < c.rules.size(); ++i) c.rules[i].line = i + 1;
        const MatcherSize size = MeasureMatcher(c.rules);
        const std::vector<Finding> findings = LimitFindings(size, c.rules);
        if (c.passedAt == MatcherSize::kWithin) {
            EXPECT_TRUE(size.Fits()) << c.name;
            EXPECT_TRUE(findings.empty()) << c.name;
        } else {
            // Each distinct unit takes a state of its own: past 65,535 of them the states
            // are past their limit too.
            const bool present =
                std::any_of(findings.begin(), findings.end(), [&](const Finding& f) {
                    return f.line == c.passedAt + 1 &&
                           f.message.find(c.message) != std::string::npos;
                });
            EXPECT_TRUE(present) << c.name;
            EXPECT_FALSE(size.Fits()) << c.name;
        }
        // The rows case would make the matcher allocate its 256 MB before refusing.
        if (c.rules.size() == 20000) continue;
        std::vector<std::u16string> sources;
        for (const Rule& rule : c.rules) sources.push_back(rule.source);
        RuleMatcher matcher;
        EXPECT_EQ(matcher.Build(sources), size.Fits()) << c.name;
        if (size.Fits()) {
            EXPECT_EQ(matcher.StateCount(), size.states) << c.name;
            EXPECT_EQ(matcher.AlphabetSize(), size.alphabet) << c.name;
        }
    }
}

}  // namespace
}  // namespace kavex::rules
