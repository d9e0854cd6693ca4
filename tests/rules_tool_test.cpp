// kavex-rules run as a user runs it, and a compiled rules folder used by kavex-normalize.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
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
    // A shell command in the test's folder, with the tools first on PATH; its standard
    // output as the command redirects it.
    Result Shell(const std::string& command) {
        const std::string script = "cd '" + dir_.Path().string() + "' && PATH='" +
                                   fs::path(KAVEX_RULES_TOOL).parent_path().string() + ":" +
                                   fs::path(KAVEX_NORMALIZE_TOOL).parent_path().string() +
                                   ":'\"$PATH\" && { " + command + "; } </dev/null 2>'" +
                                   dir_.File("stderr.txt") + "'";
        const int status = std::system(script.c_str());
        return Result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, "",
                      ReadFile(dir_.File("stderr.txt"))};
    }
    // The files of the test's folder but "out", which commands write their output to.
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_.Path())) {
            const std::string name = entry.path().filename().string();
            if (name != "out") names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

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
        {"missing.txt", 1, "", "kavex-rules: missing.txt: cannot read"},
    };
    for (const Case& c : cases) {
        const Result result = Rules("check " + c.file);
        EXPECT_EQ(result.exitCode, c.exitCode) << c.file << result.err;
        EXPECT_NE(result.out.find(c.out), std::string::npos) << c.file << ": " << result.out;
        EXPECT_EQ(result.err.rfind(c.err, 0), 0u) << c.file << ": " << result.err;
    }
}

// Every way a run can fail to read or write exits with a message and a status, leaves an
// existing output as it was and no temporary file behind.
TEST_F(RulesToolTest, FailuresExitWithAMessage) {
    const std::string shipped = std::string(KAVEX_SOURCE_DIR) + "/rules/";
    fs::create_directory(dir_.Path() / "urdu");
    fs::create_directory(dir_.Path() / "plain");
    dir_.Write("urdu/config.ini",
               "NFDfilepath=NFD.txt\r\nNFCfilepath=NFC.txt\nNFKDfilepath=/abs/NFKD.txt\n");
    ASSERT_EQ(Rules("decompile '" + shipped + "NFC.txt' -o nfc.kvr").exitCode, 0);
    dir_.Write("empty.txt", "");
    dir_.Write("source.txt", "# yeh\nي -> ی\n");
    dir_.Write("notes.md", "# Notes\n\nNothing here.\n");
    dir_.Write("big-endian.txt", "\xFE\xFF" + std::string("\0a\0:\0b\0\r\0\n", 10));
    const std::string folder =
        ": cannot read: it is a folder; its config.ini names the rules files urdu/NFD.txt, "
        "urdu/NFC.txt, /abs/NFKD.txt\n";
    const std::string noMark = ": no byte-order mark FF FE: not a UTF-16LE rules file";
    // Writes of more than 64 blocks of 512 bytes fail, with EFBIG rather than a signal.
    const std::string limited = "trap '' XFSZ; ulimit -f 64; ";
    struct Case {
        std::string command;
        int exitCode;
        std::string error;  // the start of standard error
    };
    const Case cases[] = {
        {"kavex-rules check urdu >out", 1, "kavex-rules: urdu" + folder},
        {"kavex-rules decompile urdu -o keep.kvr", 1, "kavex-rules: urdu" + folder},
        {"kavex-rules compile nfc.kvr urdu -o keep.txt", 1, "kavex-rules: urdu" + folder},
        {"kavex-rules check plain >out", 1, "kavex-rules: plain: cannot read: it is a folder\n"},
        {"kavex-rules check missing.kvr >out", 1, "kavex-rules: missing.kvr: cannot read: "},
        {"kavex-rules check missing.txt >out", 1, "kavex-rules: missing.txt: cannot read: "},
        {"kavex-rules decompile missing.txt -o keep.kvr", 1,
         "kavex-rules: missing.txt: cannot read: "},
        {"kavex-rules check '" + shipped + "NFC.txt' >/dev/full", 1,
         "kavex-rules: standard output: cannot write: No space left on device\n"},
        {"kavex-rules check nfc.kvr >/dev/full", 1, "kavex-rules: standard output: cannot write"},
        {"kavex-rules decompile '" + shipped + "NFC.txt' >/dev/full", 1,
         "kavex-rules: standard output: cannot write: No space left on device\n"},
        {"kavex-rules --help >/dev/full", 1, "kavex-rules: standard output: cannot write"},
        {"kavex-rules decompile '" + shipped + "NFC.txt' -o plain", 1,
         "kavex-rules: plain: cannot write: it is a folder\n"},
        {limited + "kavex-rules decompile '" + shipped + "NFC.txt' -o keep.kvr", 1,
         "kavex-rules: keep.kvr: cannot write: File too large\n"},
        {limited + "kavex-rules compile nfc.kvr -o keep.txt", 1,
         "kavex-rules: keep.txt: cannot write: File too large\n"},
        {"kavex-rules check empty.txt >out", 65,
         "kavex-rules: empty.txt" + noMark + " (the file is empty)\n"},
        {"kavex-rules decompile big-endian.txt", 65,
         "kavex-rules: big-endian.txt" + noMark + " (FE FF: UTF-16 big-endian)\n"},
        {"kavex-rules check source.txt >out", 65,
         "kavex-rules: source.txt" + noMark +
             "; it reads as a rules source (.kvr), which 'kavex-rules compile source.txt -o "
             "FILE.txt' makes into a rules file\n"},
        {"kavex-rules decompile notes.md", 65,
         "kavex-rules: notes.md" + noMark +
             "; a rules source (.kvr) is made into a rules file with 'kavex-rules compile'\n"},
    };
    for (const Case& c : cases) {
        dir_.Write("keep.kvr", "# as it was\n");
        dir_.Write("keep.txt", "as it was");
        const std::vector<std::string> before = Names();
        const Result result = Shell(c.command);
        EXPECT_EQ(result.exitCode, c.exitCode) << c.command << "\n" << result.err;
        EXPECT_EQ(result.err.substr(0, c.error.size()), c.error) << c.command;
        EXPECT_EQ(ReadFile(dir_.File("keep.kvr")), "# as it was\n") << c.command;
        EXPECT_EQ(ReadFile(dir_.File("keep.txt")), "as it was") << c.command;
        EXPECT_EQ(Names(), before) << c.command;
    }
}

// check lists up to 20 findings and summarizes more: the first 3 of each kind in the
// order of their lines, then how many more of each.
TEST_F(RulesToolTest, CheckSummarizesManyFindings) {
    std::string many;
    for (int i = 0; i < 22; ++i) many += "a -> " + std::to_string(i) + "\n";
    dir_.Write("many.kvr", many);
    dir_.Write("two.kvr", "a -> 1\na -> 2\nb -> x\nbc -> y\nbd -> z\nbe -> w\nbf -> v\na -> 3\n");
    const std::string same = "never applied: line 22 has the same source";
    const std::string shorter = "never applied: its source begins with the source of line 3";
    struct Case {
        const char* arguments;
        std::size_t listed;                 // lines before the size
        std::vector<std::string> findings;  // the start of each, when given
        std::string last;
    };
    const Case cases[] = {
        {"check many.kvr",
         4,
         {"many.kvr:1: " + same, "many.kvr:2: " + same, "many.kvr:3: " + same,
          "many.kvr: 18 more: never applied, a later rule has the same source"},
         "many.kvr: 21 findings, summarized ('kavex-rules check --all many.kvr' lists each)"},
        {"check --all many.kvr", 21, {}, "many.kvr: 21 findings"},
        {"check two.kvr", 6, {}, "two.kvr: 6 findings"},
        {"check --summary two.kvr",
         6,
         {"two.kvr:1: never applied: line 8 has the same source",
          "two.kvr:2: never applied: line 8 has the same source", "two.kvr:4: " + shorter,
          "two.kvr:5: " + shorter, "two.kvr:6: " + shorter,
          "two.kvr: 1 more: never applied, the source begins with a shorter one that stands "
          "before it"},
         "two.kvr: 6 findings, summarized ('kavex-rules check --all two.kvr' lists each)"},
    };
    for (const Case& c : cases) {
        const Result result = Rules(c.arguments);
        EXPECT_EQ(result.exitCode, 1) << c.arguments << result.err;
        std::vector<std::string> lines;
        std::istringstream out(result.out);
        for (std::string line; std::getline(out, line);) lines.push_back(line);
        ASSERT_EQ(lines.size(), c.listed + 2) << c.arguments;
        EXPECT_EQ(lines.back(), c.last) << c.arguments;
        for (std::size_t k = 0; k < c.findings.size(); ++k) {
            EXPECT_EQ(lines[k].rfind(c.findings[k], 0), 0u) << c.arguments << ": " << lines[k];
        }
    }
    EXPECT_EQ(Rules("check --all --summary two.kvr").exitCode, 64);
    EXPECT_EQ(Rules("decompile --all x.txt").exitCode, 64);
}

// decompile keeps each rule on the line it has in the rules file, so the line that
// kavex-normalize --explain names is that line of the decompiled source.
TEST_F(RulesToolTest, ExplainedLinesAreThoseOfTheDecompiledSource) {
    const std::string source = KAVEX_SOURCE_DIR;
    std::size_t steps = 0;
    for (const char* form : {"NFD", "NFC", "NFKD", "NFKC"}) {
        std::string lower = form;
        for (char& c : lower) c = static_cast<char>(c - 'A' + 'a');
        ASSERT_EQ(Rules("decompile '" + source + "/rules/" + form + ".txt' -o x.kvr").exitCode, 0);
        std::vector<std::string> decompiled;
        std::istringstream kvr(ReadFile(dir_.File("x.kvr")));
        for (std::string line; std::getline(kvr, line);) decompiled.push_back(line);
        for (const char* sample :
             {"arabic-diacritics", "persian", "presentation-forms", "urdu-heh"}) {
            const Result explained =
                Run(KAVEX_NORMALIZE_TOOL,
                    "--form " + lower + " --explain '" + source + "/samples/" + sample + ".txt'");
            ASSERT_EQ(explained.exitCode, 0) << explained.err;
            std::istringstream out(explained.out);
            for (std::string line; std::getline(out, line);) {
                const std::size_t at = line.find("), line ");
                if (at == std::string::npos) continue;
                const std::size_t colon = line.find(": ", at);
                const std::size_t number = std::stoul(line.substr(at + 8, colon - at - 8));
                const std::string rule = line.substr(colon + 2);
                ASSERT_LE(number, decompiled.size()) << form << " " << line;
                EXPECT_EQ(decompiled[number - 1].substr(0, rule.size() + 1), rule + " ")
                    << form << " " << line;
                ++steps;
            }
        }
    }
    EXPECT_GT(steps, 40u);
}

// The README's samples that start with "$ kavex-rules", run in order in one folder (where
// rules/ is the shipped rules), print what the README shows.
TEST_F(RulesToolTest, ReadmeSamplesAreWhatTheToolsPrint) {
    fs::create_directory_symlink(fs::path(KAVEX_SOURCE_DIR) / "rules", dir_.Path() / "rules");
    std::istringstream readme(ReadFile(fs::path(KAVEX_SOURCE_DIR) / "README.md"));
    std::vector<std::vector<std::string>> blocks;
    bool inBlock = false;
    std::size_t indent = 0;
    for (std::string line; std::getline(readme, line);) {
        const std::size_t start = line.find_first_not_of(' ');
        if (start != std::string::npos && line.compare(start, 3, "```") == 0) {
            inBlock = !inBlock;
            indent = start;
            if (inBlock) blocks.emplace_back();
            continue;
        }
        if (inBlock) blocks.back().push_back(line.size() >= indent ? line.substr(indent) : "");
    }
    std::size_t samples = 0;
    for (const std::vector<std::string>& block : blocks) {
        const bool sample = std::any_of(block.begin(), block.end(), [](const std::string& line) {
            return line.rfind("$ kavex-rules ", 0) == 0;
        });
        if (!sample) continue;
        for (std::size_t k = 0; k < block.size(); ++k) {
            if (block[k].rfind("$ ", 0) != 0) continue;
            std::string shown;
            for (std::size_t next = k + 1; next < block.size() && block[next].rfind("$ ", 0) != 0;
                 ++next) {
                shown += block[next] + "\n";
            }
            Shell("{ " + block[k].substr(2) + "; } >'" + dir_.File("sample.out") + "'");
            EXPECT_EQ(ReadFile(dir_.File("sample.out")), shown)
                << block[k] << "\nUpdate the README with what the command prints.";
            ++samples;
        }
    }
    EXPECT_GE(samples, 7u);
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
