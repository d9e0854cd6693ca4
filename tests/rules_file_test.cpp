#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/Normalizer.h"
#include "support/TempDir.h"

namespace kavex {
namespace {

using testing::RulesFileBytes;
using testing::TempDir;
using testing::Utf16leBytes;

const std::string kMark = "\xFF\xFE";

std::vector<std::pair<std::u16string, std::u16string>> RulesOf(const Normalizer& normalizer) {
    std::vector<std::pair<std::u16string, std::u16string>> rules;
    for (const NormalizationRule& rule : normalizer.rules) {
        rules.emplace_back(rule.source, rule.replacement);
    }
    return rules;
}

struct FileCase {
    const char* name;
    std::string bytes;
    bool loads;
    std::vector<std::pair<std::u16string, std::u16string>> rules;  // afterwards, either way
};

TEST(RulesFileTest, Parsing) {
    const FileCase cases[] = {
        {"worked example",
         kMark + Utf16leBytes(u"ab:c\r\nd:\r\ne\r\nf:g\r\nh:i"),
         true,
         {{u"ab", u"c"}, {u"d", u""}, {u"d", u"e"}, {u"f", u"g"}}},
        {"only the mark", kMark, true, {}},
        {"zero bytes", "", false, {}},
        {"big-endian mark", "\xFE\xFF" + Utf16leBytes(u"a:b\r\n").substr(0), false, {}},
        {"no mark", Utf16leBytes(u"a:b\r\n"), false, {}},
        {"bare CR: next unit dropped",
         kMark + Utf16leBytes(u"ab:c\rXd:e\rYf:g\r\n"),
         true,
         {{u"ab", u"c"}, {u"d", u"e"}, {u"f", u"g"}}},
        {"ends in CR",
         kMark + Utf16leBytes(u"ab:c\r\nd:e\r"),
         false,
         {{u"ab", u"c"}, {u"d", u"e"}}},
        {"last line without end", kMark + Utf16leBytes(u"ab:c\r\nd:e"), true, {{u"ab", u"c"}}},
        {"odd trailing byte", kMark + Utf16leBytes(u"ab:c\r\n") + "x", true, {{u"ab", u"c"}}},
        {"line without colon",
         kMark + Utf16leBytes(u"ab:c\r\nd\r\n"),
         true,
         {{u"ab", u"c"}, {u"ab", u"d"}}},
        {"no colon before the first", kMark + Utf16leBytes(u"d\r\n"), true, {{u"", u"d"}}},
        {"several colons", kMark + Utf16leBytes(u"a:b:c\r\n"), true, {{u"b", u"c"}}},
        {"lines without colon after several colons",
         kMark + Utf16leBytes(u"a:b:c\r\nd\r\ne\r\nf:g\r\n"),
         true,
         {{u"b", u"c"}, {u"b", u"d"}, {u"b", u"e"}, {u"f", u"g"}}},
        {"lines longer than a short string",
         kMark + Utf16leBytes(u"abcdefghijklmnop:qrstuvwxyzABCDEFGHIJ\r\nK\r\n"),
         true,
         {{u"abcdefghijklmnop", u"qrstuvwxyzABCDEFGHIJ"}, {u"abcdefghijklmnop", u"K"}}},
        {"empty source", kMark + Utf16leBytes(u":x\r\nb:y\r\n"), true, {{u"", u"x"}, {u"b", u"y"}}},
        {"empty replacement", kMark + Utf16leBytes(u"ab:\r\n"), true, {{u"ab", u""}}},
        {"spaces are text", kMark + Utf16leBytes(u" a : b\t\r\n"), true, {{u" a ", u" b\t"}}},
        {"LF alone and later marks are text",
         kMark + Utf16leBytes(u"a\n\xFEFF:b\r\n"),
         true,
         {{u"a\n\xFEFF", u"b"}}},
        {"CR as the dropped unit",
         kMark + Utf16leBytes(u"a:b\r\rc:d\r\n"),
         true,
         {{u"a", u"b"}, {u"c", u"d"}}},
    };
    TempDir dir;
    for (const FileCase& c : cases) {
        Normalizer normalizer;
        const std::string path = dir.Write("rules.txt", c.bytes);
        EXPECT_EQ(normalizer.LoadRules(path), c.loads) << c.name;
        EXPECT_EQ(normalizer.IsLoaded(), c.loads) << c.name;
        EXPECT_EQ(RulesOf(normalizer), c.rules) << c.name;
    }
}

TEST(RulesFileTest, LoadedRulesDriveTheMatcher) {
    TempDir dir;
    Normalizer normalizer;
    ASSERT_TRUE(
        normalizer.LoadRules(dir.Write("r.txt", kMark + Utf16leBytes(u":x\r\nab:c\r\nd\r\n"))));
    const RuleMatch match = normalizer.Search(u"ab", 0);  // the later "ab" is found
    EXPECT_EQ(match.position, 0);
    EXPECT_EQ(match.rule, 2);
    EXPECT_EQ(normalizer.Normalize(u"xaby"), u"xdy");
}

TEST(RulesFileTest, LoadOnceClearAndReload) {
    TempDir dir;
    const std::string path = dir.Write("r.txt", RulesFileBytes({{u"a", u"b"}}));
    Normalizer normalizer;
    ASSERT_TRUE(normalizer.LoadRules(path));
    dir.Write("r.txt", RulesFileBytes({{u"a", u"c"}}));
    EXPECT_TRUE(normalizer.LoadRules(path));
    EXPECT_TRUE(normalizer.LoadRules(dir.File("missing.txt")));  // the path is not looked at
    EXPECT_EQ(normalizer.rules.size(), 1u);
    EXPECT_EQ(normalizer.Normalize(u"a"), u"b");

    normalizer.Clear();
    ASSERT_TRUE(normalizer.LoadRules(path));
    EXPECT_EQ(normalizer.Normalize(u"a"), u"c");
}

TEST(RulesFileTest, FailedLoadLeavesNothingInFrontOfTheNextOne) {
    TempDir dir;
    const std::string path = dir.Write("r.txt", kMark + Utf16leBytes(u"a:stale\r\nq:r\r"));
    Normalizer normalizer;
    EXPECT_FALSE(normalizer.LoadRules(path));
    EXPECT_EQ(normalizer.rules.size(), 2u);  // what was read before the failure

    dir.Write("r.txt", RulesFileBytes({{u"a", u"fresh"}, {u"b", u"c"}}));
    ASSERT_TRUE(normalizer.LoadRules(path));
    EXPECT_EQ(RulesOf(normalizer), (std::vector<std::pair<std::u16string, std::u16string>>{
                                       {u"a", u"fresh"}, {u"b", u"c"}}));
    EXPECT_EQ(normalizer.Normalize(u"ab"), u"freshc");
}

// Read on its own, the file appends behind rules already in the list; its first line
// without a colon still has the empty source, not that of a rule it did not read.
TEST(RulesFileTest, ReadAppendsBehindRulesItDidNotRead) {
    TempDir dir;
    Normalizer normalizer;
    normalizer.rules.push_back({u"old", u"x"});
    ASSERT_TRUE(
        normalizer.ReadRulesFile(dir.Write("r.txt", kMark + Utf16leBytes(u"d\r\n")).c_str()));
    EXPECT_EQ(RulesOf(normalizer), (std::vector<std::pair<std::u16string, std::u16string>>{
                                       {u"old", u"x"}, {u"", u"d"}}));
}

TEST(RulesFileTest, UnreadablePathsFailPromptlyWithAnnotatedReport) {
    TempDir dir;
    const std::string cases[] = {"", dir.File("missing.txt"), dir.Path().string()};
    for (const std::string& path : cases) {
        Normalizer normalizer;
        EXPECT_FALSE(normalizer.LoadRules(path)) << path;
        EXPECT_FALSE(normalizer.IsLoaded());
        EXPECT_TRUE(normalizer.rules.empty());
        const std::string& report = normalizer.LastReadError();
        EXPECT_NE(report.find("in Normalizer ("), std::string::npos) << report;
        EXPECT_NE(report.find(" File reading problem occurred in Normalization Rules file."),
                  std::string::npos)
            << report;
    }
    // A read past the end keeps its code and message, with the sentence appended.
    Normalizer normalizer;
    EXPECT_FALSE(normalizer.LoadRules(dir.Write("cr.txt", kMark + Utf16leBytes(u"a:b\r"))));
    EXPECT_NE(normalizer.LastReadError().find("(0x11) in Normalizer ("), std::string::npos)
        << normalizer.LastReadError();
    EXPECT_NE(normalizer.LastReadError().find(
                  "End of file encountered. File reading problem occurred in Normalization "
                  "Rules file."),
              std::string::npos)
        << normalizer.LastReadError();
    ASSERT_TRUE(normalizer.LoadRules(dir.Write("ok.txt", kMark)));
    EXPECT_EQ(normalizer.LastReadError(), "");
}

TEST(RulesFileTest, TooManyRulesDoNotLoad) {
    TempDir dir;
    std::u16string lines;
    for (std::size_t i = 0; i <= kMaxRules; ++i) lines += u"a:b\r\n";
    Normalizer normalizer;
    EXPECT_FALSE(normalizer.LoadRules(dir.Write("big.txt", kMark + Utf16leBytes(lines))));
    EXPECT_FALSE(normalizer.IsLoaded());
    EXPECT_EQ(normalizer.rules.size(), kMaxRules + 1);
    EXPECT_EQ(normalizer.Normalize(u"a"), u"a");
}

// A large realistic rule set: every decomposition of the Unicode data file, one code
// point to its decomposition. Each source must find its own rule.
TEST(RulesFileTest, UnicodeDecompositions) {
    std::ifstream data("/usr/share/unicode/UnicodeData.txt");
    if (!data) GTEST_SKIP() << "UnicodeData.txt not installed";
    auto utf16 = [](unsigned long cp) {
        if (cp < 0x10000) return std::u16string(1, char16_t(cp));
        cp -= 0x10000;
        return std::u16string{char16_t(0xD800 + (cp >> 10)), char16_t(0xDC00 + (cp & 0x3FF))};
    };
    std::u16string lines;
    std::vector<std::u16string> sources;
    std::string line;
    while (std::getline(data, line)) {
        std::vector<std::string> fields;
        std::stringstream split(line);
        for (std::string field; std::getline(split, field, ';');) fields.push_back(field);
        if (fields.size() < 6 || fields[5].empty()) continue;
        std::stringstream decomposition(fields[5]);
        std::u16string replacement;
        for (std::string part; decomposition >> part;) {
            if (part[0] != '<') replacement += utf16(std::stoul(part, nullptr, 16));
        }
        // The format has no escape for a colon or CR in a replacement.
        if (replacement.find_first_of(u":\r") != std::u16string::npos) continue;
        sources.push_back(utf16(std::stoul(fields[0], nullptr, 16)));
        lines += sources.back() + u":" + replacement + u"\r\n";
    }
    TempDir dir;
    Normalizer normalizer;
    ASSERT_TRUE(normalizer.LoadRules(dir.Write("nfkd.txt", kMark + Utf16leBytes(lines))));
    ASSERT_EQ(normalizer.rules.size(), sources.size());
    for (std::size_t i = 0; i < sources.size(); ++i) {
        ASSERT_EQ(normalizer.Search(u"." + sources[i], 0).rule, i);
    }
    std::printf("rules %zu, states %zu, alphabet %u, matcher bytes %zu\n", sources.size(),
                normalizer.StateCount(), unsigned(normalizer.AlphabetSize()),
                normalizer.MemoryBytes());
}

}  // namespace
}  // namespace kavex
