// kavex-rules run as a user runs it, and a compiled rules folder used by kavex-normalize.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/NaiveOracle.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using kavex::testing::TempDir;
using kavex::testing::Utf16leBytes;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Result {
    int exitCode;
    std::string out;
    std::string err;
};

class RulesToolTest : public ::testing::Test {
  protected:
    Result Run(const std::string& tool, const std::string& arguments) {
        const std::string command = "cd '" + dir_.Path().string() + "' && '" + tool + "' " +
                                    arguments + " </dev/null >'" + dir_.File("stdout.bin") +
                                    "' 2>'" + dir_.File("stderr.txt") + "'";
        const int status = std::system(command.c_str());
        return Result{WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                      ReadFile(dir_.File("stdout.bin")), ReadFile(dir_.File("stderr.txt"))};
    }
    Result Rules(const std::string& arguments) { return Run(KAVEX_RULES_TOOL, arguments); }

    TempDir dir_;
};

TEST_F(RulesToolTest, CompileConcatenatesSourcesAndWritesNothingOnError) {
    dir_.Write("a.kvr", "# first\nab -> x\n");
    dir_.Write("b.kvr", "U+0622 -> U+0627 U+0653\n");
    const Result ok = Rules("compile a.kvr b.kvr -o out.txt");
    EXPECT_EQ(ok.exitCode, 0) << ok.err;
    EXPECT_EQ(ok.err, "");
    EXPECT_EQ(ReadFile(dir_.File("out.txt")),
              "\xFF\xFE" + Utf16leBytes(u"ab:x\r\n\u0622:\u0627\u0653\r\n"));

    struct Case {
        const char* source;
        const char* arguments;
        int exitCode;
        const char* error;
    };
    const Case cases[] = {
        {"x -> y\nab cd\n", "compile a.kvr c.kvr -o out.txt", 65, "c.kvr:2:6: expected '->'\n"},
        {"a: -> y\n", "compile c.kvr -o out.txt", 65,
         "c.kvr:1:2: the source holds U+003A ':', which ends a source in a rules file\n"},
        {"", "compile missing.kvr -o out.txt", 1, "kavex-rules: missing.kvr: cannot read"},
        {"", "compile c.kvr", 64, "kavex-rules: compile: missing -o FILE\n"},
        {"", "compile c.kvr -o out.txt --strict", 64, "kavex-rules: unknown option '--strict'"},
        {"", "build c.kvr", 64, "kavex-rules: unknown command 'build'"},
        {"", "", 64, "kavex-rules: missing command"},
    };
    const std::string before = ReadFile(dir_.File("out.txt"));
    for (const Case& c : cases) {
        dir_.Write("c.kvr", c.source);
        const Result result = Rules(c.arguments);
        EXPECT_EQ(result.exitCode, c.exitCode) << c.arguments << result.err;
        EXPECT_EQ(result.err.rfind(c.error, 0), 0u) << c.arguments << ": " << result.err;
        EXPECT_EQ(ReadFile(dir_.File("out.txt")), before) << c.arguments;
    }
}

TEST_F(RulesToolTest, DecompileThenCompileGivesTheShippedFileBack) {
    const std::string shipped = std::string(KAVEX_SOURCE_DIR) + "/rules/NFKD.txt";
    const Result decompiled = Rules("decompile '" + shipped + "' -o NFKD.kvr");
    ASSERT_EQ(decompiled.exitCode, 0) << decompiled.err;
    ASSERT_EQ(Rules("compile NFKD.kvr -o NFKD.txt").exitCode, 0);
    EXPECT_TRUE(ReadFile(dir_.File("NFKD.txt")) == ReadFile(shipped));
}

TEST_F(RulesToolTest, CheckExitStatus) {
    dir_.Write("dead.txt", "\xFF\xFE" + Utf16leBytes(u"a:1\r\nab:2\r\n"));
    dir_.Write("cr.txt", "\xFF\xFE" + Utf16leBytes(u"a:1\r"));
    dir_.Write("dead.kvr", "# comment\n\nab -> 1\nab -> 2\n");
    dir_.Write("bad.kvr", "ab\n");
    struct Case {
        std::string file;
        int exitCode;
        std::string out;  // a line of standard output
        std::string err;
    };
    const Case cases[] = {
        {"'" + std::string(KAVEX_SOURCE_DIR) + "/rules/NFC.txt'", 0, "NFC.txt: clean\n", ""},
        {"dead.txt", 1, "dead.txt:2: never applied: its source begins with the source of line 1",
         ""},
        {"dead.kvr", 1, "dead.kvr:3: never applied: line 4 has the same source", ""},
        {"cr.txt", 65, "", "kavex-rules: cr.txt: the file ends with a CR"},
        {"bad.kvr", 65, "", "bad.kvr:1:3: expected '->'\n"},
        {"missing.txt", 65, "", "kavex-rules: missing.txt: cannot read"},
    };
    for (const Case& c : cases) {
        const Result result = Rules("check " + c.file);
        EXPECT_EQ(result.exitCode, c.exitCode) << c.file << result.err;
        EXPECT_NE(result.out.find(c.out), std::string::npos) << c.file << ": " << result.out;
        EXPECT_EQ(result.err.rfind(c.err, 0), 0u) << c.file << ": " << result.err;
    }
}

// The worked example of the README: one source per form, compiled into a folder with its
// config.ini, used through kavex-normalize --rules.
TEST_F(RulesToolTest, CompiledFolderServesKavexNormalize) {
    fs::create_directory(dir_.Path() / "urdu");
    dir_.Write("urdu/nfc.kvr", "U+06CC U+0654 -> U+0626\nي -> ی\n");
    dir_.Write("urdu/nfd.kvr", "U+0626 -> U+06CC U+0654\n");
    dir_.Write("urdu/nfkd.kvr", "U+0626 -> U+06CC U+0654\nU+FEFB -> ل ا\n");
    dir_.Write("urdu/config.ini",
               "NFDfilepath=NFD.txt\nNFCfilepath=NFC.txt\nNFKDfilepath=NFKD.txt\n");
    for (const char* form : {"nfc", "nfd", "nfkd"}) {
        std::string upper = form;
        for (char& c : upper) c = static_cast<char>(c - 'a' + 'A');
        const Result result =
            Rules(std::string("compile urdu/") + form + ".kvr -o urdu/" + upper + ".txt");
        ASSERT_EQ(result.exitCode, 0) << result.err;
    }
    dir_.Write("in.txt", "\xDB\x8C\xD9\x94 \xD9\x8A \xEF\xBB\xBB\n");
    const Result nfc = Run(KAVEX_NORMALIZE_TOOL, "--rules urdu --form nfc in.txt");
    EXPECT_EQ(nfc.exitCode, 0) << nfc.err;
    EXPECT_EQ(nfc.out, "\xD8\xA6 \xDB\x8C \xEF\xBB\xBB\n");
    const Result nfkd = Run(KAVEX_NORMALIZE_TOOL, "--rules urdu --form nfkd in.txt");
    EXPECT_EQ(nfkd.out, "\xDB\x8C\xD9\x94 \xD9\x8A \xD9\x84\xD8\xA7\n");
}

// --explain writes each line, then the oracle's steps: the moves of U+06BE, then each
// rule with its offset in the line and in the result, its line in the rules file, its
// source and replacement.
TEST_F(RulesToolTest, ExplainGivesTheOraclesTrace) {
    const kavex::testing::NaiveRules rules = {
        {u"ab", u"x"}, {u"xd", u"y"}, {u"a", u""}, {u"\u06BE\u064E", u"H"}, {u"b", u"bbb"}};
    fs::create_directory(dir_.Path() / "r");
    dir_.Write("r/nfc.kvr", "a b -> x\nx d -> y\na ->\nU+06BE U+064E -> H\nb -> bbb\n");
    dir_.Write("r/config.ini", "NFDfilepath=NFC.txt\nNFCfilepath=NFC.txt\nNFKDfilepath=NFC.txt\n");
    ASSERT_EQ(Rules("compile r/nfc.kvr -o r/NFC.txt").exitCode, 0);

    const std::u16string lines[] = {u"abd\n", u"ba\u064E\u06BEab\n", u"\n", u"aab"};
    std::string input;
    std::string expected;
    const auto notation = [](const std::u16string& units) {
        std::string out;
        char buffer[16];
        for (char16_t unit : units) {
            std::snprintf(buffer, sizeof buffer, " U+%04X", static_cast<unsigned>(unit));
            out += buffer;
        }
        return out;
    };
    const auto utf8 = [](const std::u16string& units) {
        std::string out;
        for (char16_t unit : units) {
            if (unit < 0x80) {
                out.push_back(static_cast<char>(unit));
            } else {
                out.push_back(static_cast<char>(0xC0 | (unit >> 6)));
                out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
            }
        }
        return out;
    };
    for (const std::u16string& line : lines) {
        input += utf8(line);
        std::vector<kavex::testing::NaiveStep> steps;
        const std::u16string result = kavex::testing::NaiveExplain(rules, line, steps);
        expected += utf8(result);
        if (result.empty() || result.back() != u'\n') expected += "\n";
        for (const auto& step : steps) {
            if (step.heh) {
                expected += "  U+06BE moved from " + std::to_string(step.from) + " to " +
                            std::to_string(step.to) + "\n";
            } else {
                expected += "  at " + std::to_string(step.from) + " (" + std::to_string(step.to) +
                            " in the result), line " + std::to_string(step.rule + 1) + ":" +
                            notation(rules[step.rule].first) + " ->" +
                            notation(rules[step.rule].second) + "\n";
            }
        }
    }
    dir_.Write("in.txt", input);
    const Result explained = Run(KAVEX_NORMALIZE_TOOL, "--rules r --explain in.txt");
    EXPECT_EQ(explained.exitCode, 0) << explained.err;
    EXPECT_EQ(explained.out, expected);
    EXPECT_EQ(Run(KAVEX_NORMALIZE_TOOL, "--rules r --explain --check in.txt").exitCode, 64);
}

}  // namespace
