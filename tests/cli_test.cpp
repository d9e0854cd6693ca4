// kavex-normalize run as a user runs it: through the shell, with files, pipes and exit codes.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "Piece.h"
#include "config/ConfigIni.h"
#include "config/ConfigManager.h"
#include "kavex/Normalization.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using kavex::cli::Encoding;
using kavex::cli::Piece;
using kavex::cli::PieceReader;
using kavex::testing::RulesFileBytes;
using kavex::testing::TempDir;
using kavex::testing::Utf16leBytes;
using kavex::testing::Utf8Bytes;
using kavex::testing::WorkingDirectory;

const std::string kTool = KAVEX_NORMALIZE_TOOL;

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Result {
    int exitCode;
    std::string out;
    std::string err;
};

// Tiny rules over Latin letters and a few Arabic ones, enough to tell the forms apart:
// NFD splits é, NFC joins e + U+0301, NFKD splits é and the ligature ﬁ, NFKC joins e +
// U+0301 and splits ﬁ.
class CliTest : public ::testing::Test {
  protected:
    void SetUp() override {
        rules_ = (dir_.Path() / "rules").string();
        fs::create_directory(rules_);
        WriteRules(rules_);
    }

    static void WriteRules(const fs::path& folder) {
        auto write = [&](const std::string& name, const std::string& bytes) {
            std::ofstream(folder / name, std::ios::binary) << bytes;
        };
        write("NFD.txt", RulesFileBytes({{u"\u00E9", u"e\u0301"}, {u"\u0622", u"\u0627\u0653"}}));
        write("NFC.txt", RulesFileBytes({{u"e\u0301", u"\u00E9"}, {u"\u0627\u0653", u"\u0622"}}));
        write("NFKD.txt",
              RulesFileBytes(
                  {{u"\u00E9", u"e\u0301"}, {u"\uFB01", u"fi"}, {u"\u0622", u"\u0627\u0653"}}));
        write("NFKC.txt",
              RulesFileBytes(
                  {{u"e\u0301", u"\u00E9"}, {u"\uFB01", u"fi"}, {u"\u0627\u0653", u"\u0622"}}));
        write("config.ini",
              "NFDfilepath=NFD.txt\nNFCfilepath=NFC.txt\nNFKDfilepath=NFKD.txt\n"
              "NFKCfilepath=NFKC.txt\n");
    }

    // Runs the tool from the temporary folder with `stdinBytes` on its standard input.
    Result Run(const std::string& arguments, const std::string& stdinBytes = "") {
        const std::string in = dir_.Write("stdin.bin", stdinBytes);
        const std::string command = "cd '" + dir_.Path().string() + "' && '" + kTool + "' " +
                                    arguments + " <'" + in + "' >'" + dir_.File("stdout.bin") +
                                    "' 2>'" + dir_.File("stderr.txt") + "'";
        const int status = std::system(command.c_str());
        Result result;
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.out = ReadFile(dir_.File("stdout.bin"));
        result.err = ReadFile(dir_.File("stderr.txt"));
        return result;
    }

    std::string Rules() const { return "--rules '" + rules_ + "' "; }

    TempDir dir_;
    std::string rules_;
};

TEST_F(CliTest, EachFormUsesItsRulesAndNfcIsTheDefault) {
    const std::string input = "cafe\xCC\x81 caf\xC3\xA9 \xEF\xAC\x81 \xD8\xA2\n";
    struct Case {
        std::string option;
        std::string expected;
    };
    const Case cases[] = {
        {"", "caf\xC3\xA9 caf\xC3\xA9 \xEF\xAC\x81 \xD8\xA2\n"},
        {"--form nfc", "caf\xC3\xA9 caf\xC3\xA9 \xEF\xAC\x81 \xD8\xA2\n"},
        {"--form=NFD", "cafe\xCC\x81 cafe\xCC\x81 \xEF\xAC\x81 \xD8\xA7\xD9\x93\n"},
        {"--form nfkd", "cafe\xCC\x81 cafe\xCC\x81 fi \xD8\xA7\xD9\x93\n"},
        {"--form nfkc", "caf\xC3\xA9 caf\xC3\xA9 fi \xD8\xA2\n"},
        {"--form=NFKC", "caf\xC3\xA9 caf\xC3\xA9 fi \xD8\xA2\n"},
    };
    for (const Case& c : cases) {
        const Result result = Run(Rules() + c.option, input);
        EXPECT_EQ(result.exitCode, 0) << c.option << result.err;
        EXPECT_EQ(result.out, c.expected) << c.option;
        EXPECT_EQ(result.err, "") << c.option;
    }
}

TEST_F(CliTest, FilesAndStandardInputAreReadInOrder) {
    dir_.Write("a.txt", "cafe\xCC\x81\n");
    dir_.Write("b.txt", "e\xCC\x81");  // no final line feed: none is added
    const Result files = Run(Rules() + "a.txt b.txt");
    EXPECT_EQ(files.exitCode, 0) << files.err;
    EXPECT_EQ(files.out, "caf\xC3\xA9\n\xC3\xA9");

    const Result mixed = Run(Rules() + "a.txt - b.txt", "x\n");
    EXPECT_EQ(mixed.out, "caf\xC3\xA9\nx\n\xC3\xA9");

    const Result piped = Run(Rules(), "cafe\xCC\x81\r\ne\xCC\x81");
    EXPECT_EQ(piped.exitCode, 0);
    EXPECT_EQ(piped.out, "caf\xC3\xA9\r\n\xC3\xA9");

    const Result empty = Run(Rules(), "");
    EXPECT_EQ(empty.exitCode, 0);
    EXPECT_EQ(empty.out, "");
}

TEST_F(CliTest, ByteOrderMarkZeroAndNonBmpCharactersPassThrough) {
    // U+0000 ends the text for the library, so the tool normalizes around it.
    const std::string input = std::string(
        "\xEF\xBB\xBF"
        "e\xCC\x81\0e\xCC\x81 \xF0\x9F\x98\x80\n",
        16);
    const Result result = Run(Rules(), input);
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, std::string("\xEF\xBB\xBF\xC3\xA9\0\xC3\xA9 \xF0\x9F\x98\x80\n", 14));
}

TEST_F(CliTest, Utf16leInAndOut) {
    const std::string input = "\xFF\xFE" + Utf16leBytes(u"cafe\u0301\r\n\U0001F600\u0622") +
                              std::string(2, '\0') + Utf16leBytes(u"e\u0301\n");
    dir_.Write("in16.txt", input);
    const Result nfc = Run(Rules() + "--encoding utf-16le in16.txt");
    EXPECT_EQ(nfc.exitCode, 0) << nfc.err;
    EXPECT_EQ(nfc.out, "\xFF\xFE" + Utf16leBytes(u"caf\u00E9\r\n\U0001F600\u0622") +
                           std::string(2, '\0') + Utf16leBytes(u"\u00E9\n"));

    const Result nfd = Run(Rules() + "--encoding=UTF-16LE --form nfd", input);
    EXPECT_EQ(nfd.out, "\xFF\xFE" + Utf16leBytes(u"cafe\u0301\r\n\U0001F600\u0627\u0653") +
                           std::string(2, '\0') + Utf16leBytes(u"e\u0301\n"));

    // Lone surrogates are units like any other in this encoding.
    const Result lone = Run(Rules() + "--encoding utf-16le", Utf16leBytes(u"\xD800\u00E9"));
    EXPECT_EQ(lone.exitCode, 0);
    EXPECT_EQ(lone.out, Utf16leBytes(u"\xD800\u00E9"));

    const Result odd = Run(Rules() + "--encoding utf-16le", Utf16leBytes(u"ab\n") + "c");
    EXPECT_EQ(odd.exitCode, 65);
    EXPECT_NE(odd.err.find("standard input: line 2, byte offset 6: invalid UTF-16LE"),
              std::string::npos)
        << odd.err;
}

TEST_F(CliTest, CheckNamesTheFirstChangingLineAndWritesNothing) {
    dir_.Write("good.txt", "caf\xC3\xA9\nplain\n");
    dir_.Write("bad.txt", "one\ntwo\nthree e\xCC\x81\nfour e\xCC\x81\n");
    struct Case {
        std::string arguments;
        int exitCode;
        std::string message;
    };
    const Case cases[] = {
        {"--check good.txt", 0, ""},
        {"--check good.txt bad.txt", 1, "kavex-normalize: bad.txt: line 3 is not in NFC\n"},
        {"--check --form nfd good.txt", 1, "kavex-normalize: good.txt: line 1 is not in NFD\n"},
        {"--check --form nfkd bad.txt", 0, ""},
        {"--check --form nfkc good.txt", 0, ""},
        {"--check --form nfkc good.txt bad.txt", 1,
         "kavex-normalize: bad.txt: line 3 is not in NFKC\n"},
    };
    for (const Case& c : cases) {
        const Result result = Run(Rules() + c.arguments);
        EXPECT_EQ(result.exitCode, c.exitCode) << c.arguments;
        EXPECT_EQ(result.out, "") << c.arguments;
        EXPECT_EQ(result.err, c.message) << c.arguments;
    }
    const Result piped = Run(Rules() + "--check", "x\ny\ne\xCC\x81");
    EXPECT_EQ(piped.exitCode, 1);
    EXPECT_EQ(piped.err, "kavex-normalize: standard input: line 3 is not in NFC\n");
}

TEST_F(CliTest, InvalidUtf8NamesFileLineAndOffset) {
    struct Case {
        std::string bytes;
        std::string where;
    };
    const Case cases[] = {
        {"ok\nab\xC0\x80", "line 2, byte offset 5: invalid UTF-8 (overlong encoding)"},
        {"\xED\xA0\x80", "line 1, byte offset 0: invalid UTF-8 (encoded surrogate)"},
        {"a\n\n\xF4\x90\x80\x80", "line 3, byte offset 3: invalid UTF-8 (code point beyond"},
        {"abc\xE2\x82", "line 1, byte offset 3: invalid UTF-8 (truncated sequence)"},
        {"abc\xE2\x82x", "line 1, byte offset 3: invalid UTF-8 (truncated sequence)"},
        {"\x80", "line 1, byte offset 0: invalid UTF-8 (unexpected continuation byte)"},
    };
    for (const Case& c : cases) {
        dir_.Write("bad.txt", c.bytes);
        const Result result = Run(Rules() + "bad.txt");
        EXPECT_EQ(result.exitCode, 65) << c.where;
        EXPECT_EQ(result.err.rfind("kavex-normalize: bad.txt: " + c.where, 0), 0u) << result.err;
    }

    // An invalid byte past the first read buffer still gets its exact offset, and the
    // lines already written are reported as an incomplete output.
    std::string big(300000, 'a');
    big[1000] = '\n';
    big += "\xFF";
    dir_.Write("big.txt", big);
    const Result late = Run(Rules() + "big.txt");
    EXPECT_EQ(late.exitCode, 65);
    EXPECT_NE(late.err.find("big.txt: line 2, byte offset 300000: invalid UTF-8"),
              std::string::npos)
        << late.err;
    EXPECT_NE(late.err.find("the output is incomplete: it stops before line 2 of big.txt"),
              std::string::npos)
        << late.err;
    EXPECT_EQ(late.out, big.substr(0, 1001));
}

TEST_F(CliTest, OutputFileIsReplacedOnlyOnSuccess) {
    dir_.Write("in.txt", "e\xCC\x81\n");
    const Result made = Run(Rules() + "-o out.txt in.txt");
    EXPECT_EQ(made.exitCode, 0) << made.err;
    EXPECT_EQ(made.out, "");
    EXPECT_EQ(ReadFile(dir_.File("out.txt")), "\xC3\xA9\n");

    // The output may be the input itself.
    const Result inPlace = Run(Rules() + "--form nfd in.txt --output=in.txt");
    EXPECT_EQ(inPlace.exitCode, 0) << inPlace.err;
    EXPECT_EQ(ReadFile(dir_.File("in.txt")), "e\xCC\x81\n");

    dir_.Write("bad.txt", "fine\n\xFF");
    const Result failed = Run(Rules() + "-o out.txt in.txt bad.txt");
    EXPECT_EQ(failed.exitCode, 65);
    EXPECT_NE(failed.err.find("'" + dir_.File("out.txt") + "' was left as it was"),
              std::string::npos)
        << failed.err;
    EXPECT_EQ(ReadFile(dir_.File("out.txt")), "\xC3\xA9\n");

    const Result missing = Run(Rules() + "-o new.txt nothere.txt");
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.err.rfind("kavex-normalize: cannot open nothere.txt: ", 0), 0u)
        << missing.err;
    EXPECT_FALSE(fs::exists(dir_.File("new.txt")));

    const Result noFolder = Run(Rules() + "-o nofolder/out.txt in.txt");
    EXPECT_EQ(noFolder.exitCode, 1);
    EXPECT_NE(noFolder.err.find("cannot create a temporary file next to"), std::string::npos);

    // No temporary file is left behind by any of these runs.
    for (const auto& entry : fs::directory_iterator(dir_.Path())) {
        EXPECT_EQ(entry.path().filename().string().find(".kavex-tmp-"), std::string::npos)
            << entry.path();
    }
}

TEST_F(CliTest, RulesThatCannotBeLoadedExitWithTwo) {
    const Result missing = Run("--rules nowhere", "x");
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_EQ(missing.err,
              "kavex-normalize: rules folder '" + dir_.File("nowhere") + "' does not exist\n");

    fs::create_directory(dir_.Path() / "empty");
    const Result empty = Run("--rules empty", "x");
    EXPECT_EQ(empty.exitCode, 2);
    EXPECT_EQ(empty.err,
              "kavex-normalize: rules folder '" + dir_.File("empty") + "' has no config.ini\n");

    // Only the form asked for is loaded: a missing NFKD file stops NFKD alone.
    fs::remove(fs::path(rules_) / "NFKD.txt");
    EXPECT_EQ(Run(Rules(), "x").exitCode, 0);
    const Result broken = Run(Rules() + "--form nfkd", "x");
    EXPECT_EQ(broken.exitCode, 2);
    EXPECT_EQ(broken.err.rfind("kavex-normalize: cannot load the rules in '" + rules_ + "'", 0), 0u)
        << broken.err;
    EXPECT_EQ(broken.out, "");

    // NFKC has a key of its own, which a folder made for the library's three slots lacks.
    std::ofstream(fs::path(rules_) / "config.ini", std::ios::binary)
        << "NFDfilepath=NFD.txt\nNFCfilepath=NFC.txt\nNFKDfilepath=NFD.txt\n";
    EXPECT_EQ(Run(Rules() + "--form nfkd", "x").exitCode, 0);
    const Result noKey = Run(Rules() + "--form nfkc", "x");
    EXPECT_EQ(noKey.exitCode, 2);
    EXPECT_NE(noKey.err.find("its config.ini has no NFKCfilepath"), std::string::npos) << noKey.err;
    EXPECT_EQ(noKey.out, "");
}

// --explain --form nfkc names the rules of NFKC.txt, by their line there.
TEST_F(CliTest, ExplainNamesTheRulesOfTheFormAskedFor) {
    const Result nfkc = Run(Rules() + "--form nfkc --explain",
                            "\xEF\xAC\x81"
                            "e\xCC\x81\n");
    EXPECT_EQ(nfkc.exitCode, 0) << nfkc.err;
    EXPECT_EQ(nfkc.out,
              "fi\xC3\xA9\n"
              "  at 0 (0 in the result), line 2: U+FB01 -> U+0066 U+0069\n"
              "  at 1 (2 in the result), line 1: U+0065 U+0301 -> U+00E9\n");
    const Result nfc = Run(Rules() + "--explain",
                           "\xEF\xAC\x81"
                           "e\xCC\x81\n");
    EXPECT_EQ(nfc.out,
              "\xEF\xAC\x81\xC3\xA9\n"
              "  at 1 (1 in the result), line 1: U+0065 U+0301 -> U+00E9\n");
}

// --profile NAME uses the folder profiles/NAME of the rules; list names those with a
// config.ini; an unknown name is a usage error naming the known ones.
TEST_F(CliTest, ProfilesAreFoldersOfTheRules) {
    for (const char* name : {"search", "alpha"}) {
        const fs::path folder = fs::path(rules_) / "profiles" / name;
        fs::create_directories(folder);
        WriteRules(folder);
        std::ofstream(folder / "NFC.txt", std::ios::binary)
            << RulesFileBytes({{u"e\u0301", std::u16string(u"<") + char16_t(name[0]) + u">"}});
    }
    fs::create_directories(fs::path(rules_) / "profiles" / "no-config");

    const Result list = Run(Rules() + "--profile list");
    EXPECT_EQ(list.exitCode, 0) << list.err;
    EXPECT_EQ(list.out, "alpha\nsearch\n");

    const Result search = Run(Rules() + "--profile search", "cafe\xCC\x81\n");
    EXPECT_EQ(search.exitCode, 0) << search.err;
    EXPECT_EQ(search.out, "caf<s>\n");
    EXPECT_EQ(Run(Rules() + "--profile=alpha --form nfd", "\xD8\xA2").out, "\xD8\xA7\xD9\x93");
    EXPECT_EQ(Run(Rules() + "--profile=alpha --form nfkc", "\xEF\xAC\x81").out, "fi");

    for (const std::string bad : {"--profile nope", "--profile no-config", "--profile ''"}) {
        const Result result = Run(Rules() + bad, "x");
        EXPECT_EQ(result.exitCode, 64) << bad;
        EXPECT_EQ(result.out, "") << bad;
        if (bad != "--profile ''") {
            EXPECT_EQ(result.err.rfind("kavex-normalize: unknown profile '", 0), 0u) << result.err;
            EXPECT_NE(result.err.find("(known: alpha, search)"), std::string::npos) << result.err;
        }
    }

    // The shipped profiles, found next to the tool.
    EXPECT_EQ(Run("--profile list").out, "arabic-search\npersian\nurdu\n");
    EXPECT_EQ(Run("--profile urdu", "\xD9\x83\xD9\x8A\n").out, "\xDA\xA9\xDB\x8C\n");
    EXPECT_EQ(Run("--profile arabic-search --form nfkd", "\xD8\xA3\xD9\x8E\n").out, "\xD8\xA7\n");
    // Only the compatibility forms fold presentation forms: NFC keeps ﻳ, NFKC gives
    // Urdu's yeh and keeps hamza on its letter.
    EXPECT_EQ(Run("--profile urdu --form nfc", "\xEF\xBB\xB3\n").out, "\xEF\xBB\xB3\n");
    EXPECT_EQ(Run("--profile urdu --form nfkc", "\xEF\xBB\xB3\xEF\xBA\x8B\n").out,
              "\xDB\x8C\xD8\xA6\n");
    EXPECT_EQ(Run("--profile urdu --check --form nfkc", "\xDB\x8C\xD8\xA6\n").exitCode, 0);
}

TEST_F(CliTest, UsageHelpAndVersion) {
    const Result help = Run("--help");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("a rule match never spans a\nline feed"), std::string::npos);
    EXPECT_NE(help.out.find("--encoding utf-8|utf-16le"), std::string::npos);
    EXPECT_NE(help.out.find("--form nfd|nfc|nfkd|nfkc"), std::string::npos);

    const Result version = Run("--version");
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind("kavex-normalize ", 0), 0u);

    for (const std::string bad :
         {"--form nfkx", "--frobnicate", "--encoding latin1", "--rules", "--check -o x.txt",
          "--check=yes", "--jobs 0", "--jobs x", "--jobs=2k"}) {
        const Result result = Run(Rules() + bad);
        EXPECT_EQ(result.exitCode, 64) << bad;
        EXPECT_EQ(result.err.rfind("kavex-normalize: ", 0), 0u) << bad;
        EXPECT_EQ(result.out, "") << bad;
    }
}

// Several megabytes in many lines, with one line longer than the piece limit that has
// spaces to cut after, give the same text as one library call over the whole input.
TEST_F(CliTest, StreamedOutputEqualsOneCallOnTheWholeText) {
    const std::u16string words[] = {u"cafe\u0301 ", u"caf\u00E9 ", u"\u0627\u0653\u0628 ",
                                    u"\u0622 ",     u"\uFB01 ",    u"\U0001F600",
                                    u"plain ",      u"\u0627",     u"\u0653\u0653 "};
    std::u16string text;
    std::uint32_t random = 12345;
    auto next = [&random]() {
        random = random * 1103515245u + 12345u;
        return random >> 16;
    };
    while (text.size() < 2'000'000) {
        text += words[next() % 9];
        if (next() % 16 == 0) text += u"\n";
    }
    text += u"\n";
    while (text.size() < 3'400'000) text += words[next() % 9];  // a line of 1.4 Mi units
    text += u"\r\n";
    const std::string input = Utf16leBytes(text);
    dir_.Write("big16.txt", input);

    Normalization normalization;
    {
        WorkingDirectory inRules(rules_);
        ASSERT_TRUE(normalization.Initialize());
    }
    for (auto mode : {Normalization::NFD, Normalization::NFC, Normalization::NFKD}) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(input.data());
        const int needed =
            normalization.Normalize(bytes, static_cast<int>(input.size()), mode, nullptr, 0);
        ASSERT_LT(needed, 0);
        std::vector<unsigned char> expected(static_cast<std::size_t>(-needed));
        ASSERT_EQ(normalization.Normalize(bytes, static_cast<int>(input.size()), mode,
                                          expected.data(), -needed),
                  -needed);
        const std::string form = mode == Normalization::NFD   ? "nfd"
                                 : mode == Normalization::NFC ? "nfc"
                                                              : "nfkd";
        const Result result =
            Run(Rules() + "--encoding utf-16le --form " + form + " -o out16.txt big16.txt");
        ASSERT_EQ(result.exitCode, 0) << result.err;
        const std::string written = ReadFile(dir_.File("out16.txt"));
        EXPECT_TRUE(written == std::string(expected.begin(), expected.end() - 1)) << form;
    }
}

// Over 64 MiB of input: a progress line on standard error only when it is a terminal.
TEST_F(CliTest, ProgressOnlyOnATerminal) {
    {
        std::ofstream big(dir_.File("big.txt"), std::ios::binary);
        const std::string line = std::string(1023, 'a') + "\n";
        for (int i = 0; i < 65 * 1024; ++i) big << line;
    }
    const Result piped = Run(Rules() + "--check big.txt");
    EXPECT_EQ(piped.exitCode, 0);
    EXPECT_EQ(piped.err, "");

    // script(1) gives the tool a terminal; its log records what the terminal showed.
    if (std::system("command -v script >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "no script(1) to provide a terminal";
    }
    const std::string command = "cd '" + dir_.Path().string() + "' && script -qec \"'" + kTool +
                                "' " + Rules() + "--check big.txt\" terminal.log >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string shown = ReadFile(dir_.File("terminal.log"));
    EXPECT_NE(shown.find("kavex-normalize: big.txt: 0 of 65 MiB (0%)"), std::string::npos) << shown;
}

// The samples, with the shipped rules found next to the tool and no option but the form.
TEST(CliSamplesTest, SamplesMatchTheirExpectedForms) {
    const fs::path rules = fs::path(kTool).parent_path() / "rules" / "config.ini";
    if (!fs::exists(rules)) GTEST_SKIP() << "no shipped rules next to the tool";
    int checked = 0;
    for (const auto& entry : fs::directory_iterator(fs::path(KAVEX_SOURCE_DIR) / "samples")) {
        if (entry.path().extension() != ".txt") continue;
        for (const std::string form : {"nfd", "nfc", "nfkd", "nfkc"}) {
            fs::path expected = entry.path();
            expected.replace_extension("." + form);
            ASSERT_TRUE(fs::exists(expected)) << expected;
            TempDir dir;
            const std::string command = "'" + kTool + "' --form " + form + " '" +
                                        entry.path().string() + "' >'" + dir.File("out") + "'";
            ASSERT_EQ(std::system(command.c_str()), 0) << command;
            EXPECT_EQ(ReadFile(dir.File("out")), ReadFile(expected)) << expected;
            ++checked;
        }
    }
    EXPECT_GE(checked, 16);
}

// ---------------------------------------------------------------------------------------
// The pieces and threads of the tool against one pass over the text, line by line, through
// the public library: a line ends after a line feed, U+0000 is passed through between the
// runs around it, and a line reaching 1 Mi units is cut after the last space or tab of its
// second half, else at the limit but not inside a surrogate pair.

constexpr std::size_t kLineLimit = std::size_t{1} << 20;

std::u16string LineByLine(const Normalization& norm, Normalization::NormMode mode,
                          const std::u16string& text) {
    std::u16string out;
    std::u16string pending;
    std::vector<unsigned char> result;
    auto run = [&](const char16_t* units, std::size_t count) {
        if (count == 0) return;
        const std::string bytes = Utf16leBytes(std::u16string(units, count));
        const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
        const int length = static_cast<int>(bytes.size());
        const int needed = norm.Normalize(in, length, mode, nullptr, 0);
        result.resize(static_cast<std::size_t>(-needed));
        norm.Normalize(in, length, mode, result.data(), -needed);
        for (std::size_t i = 0; i + 1 < result.size(); i += 2) {
            out += static_cast<char16_t>(result[i] | result[i + 1] << 8);
        }
    };
    auto flush = [&](std::size_t count) {
        std::size_t start = 0;
        for (std::size_t i = 0; i <= count; ++i) {
            if (i < count && pending[i] != 0) continue;
            run(pending.data() + start, i - start);
            if (i < count) out += u'\0';
            start = i + 1;
        }
        pending.erase(0, count);
    };
    for (char16_t unit : text) {
        pending += unit;
        if (unit == u'\n') {
            flush(pending.size());
        } else if (pending.size() == kLineLimit) {
            std::size_t cut = kLineLimit;
            while (cut > kLineLimit / 2 && pending[cut - 1] != u' ' && pending[cut - 1] != u'\t') {
                --cut;
            }
            if (cut == kLineLimit / 2) {
                cut = (pending.back() >= 0xD800 && pending.back() <= 0xDBFF) ? kLineLimit - 1
                                                                             : kLineLimit;
            }
            flush(cut);
        }
    }
    flush(pending.size());
    return out;
}

// Lines of every length, with marks, U+06BE after marks, presentation forms, characters
// beyond U+FFFF, U+0000, CR LF and tabs; then three lines over the limit: one with spaces,
// one of characters beyond U+FFFF whose 1 Mi-th unit is a high surrogate, and one where it
// is a low surrogate.
std::u16string RandomText(std::size_t units) {
    const std::u16string words[] = {u"\u0628\u0651\u064E",
                                    u"\u067E\u0651\u06BE",
                                    u"\u0627\u0653",
                                    u"\u0622",
                                    u"\uFEFB",
                                    u"\uFDF2",
                                    u"cafe\u0301",
                                    u"caf\u00E9",
                                    u"\uFB01",
                                    u"\U0001F600",
                                    u"\u200C",
                                    u"plain",
                                    u"\u06A9\u062A\u0627\u0628",
                                    std::u16string(1, u'\0'),
                                    u"\u0647\u0654"};
    const std::u16string gaps[] = {u" ", u" ", u" ", u"\t", u"\n", u"\r\n", u""};
    std::mt19937 random(20261209);
    std::u16string text = u"\uFEFF";
    while (text.size() < units) {
        text += words[random() % std::size(words)];
        text += gaps[random() % std::size(gaps)];
        if (random() % 5000 == 0) text.append(random() % 3000, u'\u0650');  // a long run
    }
    text += u"\n";
    for (std::size_t i = 0; i < kLineLimit + 5000; i += 7) text += u"\u0628\u0651 word ";
    text += u"\nx";
    for (std::size_t i = 0; i < kLineLimit / 2 + 100; ++i) text += u"\U0001F600";
    text += u"\n";
    for (std::size_t i = 0; i < kLineLimit / 2 + 100; ++i) text += u"\U0001F600";
    return text;
}

class CliPipelineTest : public CliTest {
  protected:
    // The shipped rules next to the tool, or the tiny rules with a source holding a line
    // feed and one holding U+0000, which the tool must then take line by line.
    fs::path Folder(bool shipped) {
        if (shipped) return fs::path(kTool).parent_path() / "rules";
        const fs::path folder = dir_.Path() / "lined";
        if (!fs::exists(folder)) {
            fs::create_directory(folder);
            WriteRules(folder);
            std::ofstream(folder / "NFC.txt", std::ios::binary)
                << RulesFileBytes({{u"e\u0301", u"\u00E9"},
                                   {u"\nb", u"<joined>"},
                                   {std::u16string(u"x\0", 2), u"<zero>"},
                                   {u"\u0627\u0653", u"\u0622"}});
        }
        return folder;
    }
};

TEST_F(CliPipelineTest, PiecesOnAnyNumberOfThreadsMatchLineByLine) {
    const std::u16string text = RandomText(1'200'000);
    dir_.Write("in8.txt", Utf8Bytes(text));
    dir_.Write("in16.txt", Utf16leBytes(text));
    struct Case {
        bool shipped;
        Normalization::NormMode mode;
        const char* form;
    };
    const Case cases[] = {{true, Normalization::NFD, "nfd"},
                          {true, Normalization::NFC, "nfc"},
                          {true, Normalization::NFKD, "nfkd"},
                          {false, Normalization::NFC, "nfc"}};
    for (const Case& c : cases) {
        const fs::path folder = Folder(c.shipped);
        if (!fs::exists(folder / "config.ini")) GTEST_SKIP() << "no shipped rules next to the tool";
        Normalization norm;
        {
            WorkingDirectory inRules(folder);
            ASSERT_TRUE(norm.Initialize());
        }
        const std::u16string expected = LineByLine(norm, c.mode, text);
        const std::string where = folder.string() + " " + c.form;
        const std::string common = "--rules '" + folder.string() + "' --form " + c.form + " ";
        for (const char* jobs : {"1", "3"}) {
            const Result utf8 = Run(common + "--jobs " + jobs + " -o out8.txt in8.txt");
            ASSERT_EQ(utf8.exitCode, 0) << where << utf8.err;
            EXPECT_TRUE(ReadFile(dir_.File("out8.txt")) == Utf8Bytes(expected)) << where << jobs;
            const Result utf16 =
                Run(common + "--jobs " + jobs + " --encoding utf-16le -o out16.txt in16.txt");
            ASSERT_EQ(utf16.exitCode, 0) << where << utf16.err;
            EXPECT_TRUE(ReadFile(dir_.File("out16.txt")) == Utf16leBytes(expected))
                << where << jobs;
        }
        const Result check = Run(common + "--check --jobs 3 in8.txt");
        EXPECT_EQ(check.exitCode, expected == text ? 0 : 1) << where;
    }
}

// Errors and changes found in a later piece are reported as one pass reports them: the
// first in the input, with its line and offset, after the output of the lines before it.
TEST_F(CliPipelineTest, ErrorsAndChangesAreTheFirstInTheInputWhateverTheJobs) {
    std::string lines;
    std::mt19937 random(7);
    while (lines.size() < 2'500'000) {
        lines += std::string(random() % 120, 'a') + "\xD9\xBE\n";
    }
    // Invalid bytes around the edges of reads (256 KiB) and pieces, and in the first line.
    const std::size_t edge = std::size_t{1} << 18;
    for (std::size_t at :
         {std::size_t{0}, edge - 1, edge, edge + 1, 3 * edge - 2, 5 * edge, lines.size() - 1}) {
        std::string bytes = lines;
        bytes[at] = '\xC0';
        if (at < bytes.size() - 1000) bytes.insert(bytes.size() - 1000, "\xFF");  // and later
        dir_.Write("bad.txt", bytes);
        const std::size_t lineStart = bytes.rfind('\n', at == 0 ? 0 : at - 1);
        const std::size_t kept = at == 0 || lineStart == std::string::npos ? 0 : lineStart + 1;
        const std::string line =
            std::to_string(1 + std::count(bytes.begin(), bytes.begin() + at, '\n'));
        const std::string message = "kavex-normalize: bad.txt: line " + line + ", byte offset " +
                                    std::to_string(at) + ": invalid UTF-8 (";
        for (const char* jobs : {"1", "2", "5"}) {
            const Result result = Run(Rules() + "--jobs " + jobs + " bad.txt");
            EXPECT_EQ(result.exitCode, 65) << at << " " << jobs;
            EXPECT_EQ(result.err.rfind(message, 0), 0u) << at << " " << jobs << result.err;
            EXPECT_TRUE(result.out == bytes.substr(0, kept)) << at << " " << jobs;
            const Result check = Run(Rules() + "--check --jobs " + jobs + " bad.txt");
            EXPECT_EQ(check.exitCode, 65) << at << " " << jobs;
            EXPECT_EQ(check.err.rfind(message, 0), 0u) << at << " " << jobs << check.err;
        }
    }
    // A change late in the input, and invalid bytes after it: the change is named.
    std::string changed = lines;
    const std::size_t at = changed.size() - 300'000;
    const std::size_t lineEnd = changed.find('\n', at);
    changed.insert(lineEnd, "e\xCC\x81");
    changed += "\xFF";
    dir_.Write("late.txt", changed);
    const std::string line =
        std::to_string(1 + std::count(changed.begin(), changed.begin() + lineEnd, '\n'));
    for (const char* jobs : {"1", "2", "5"}) {
        const Result check = Run(Rules() + "--check --jobs " + jobs + " late.txt");
        EXPECT_EQ(check.exitCode, 1) << jobs;
        EXPECT_EQ(check.err, "kavex-normalize: late.txt: line " + line + " is not in NFC\n")
            << jobs;
    }
}

// A long line is cut only where one pass would have cut it: invalid bytes before its
// 1 Mi-th unit stop it with nothing of it written, even after a space it could be cut at.
TEST_F(CliPipelineTest, InvalidBytesInALongLineStopItWhereOnePassStops) {
    const std::size_t n = kLineLimit;
    struct Case {
        std::string bytes;
        std::size_t offset;
        std::size_t written;
    };
    const Case cases[] = {
        {std::string(n / 2 + 10, 'a') + " \x80" + std::string(n, 'a'), n / 2 + 11, 0},
        {std::string(n, 'a') + std::string(3 * n, '\x80') + "\n", n, n},
        {std::string(n + 5000, 'a') + "\xFF", n + 5000, n},
        {std::string(n - 1, 'a') + "\xE2\x82x", n - 1, 0},
        {std::string(n - 1, 'a') + "\xF0\x9F\x98", n - 1, 0},
    };
    for (const Case& c : cases) {
        dir_.Write("long.txt", c.bytes);
        for (const char* jobs : {"1", "2"}) {
            const Result result = Run(Rules() + "--jobs " + jobs + " long.txt");
            EXPECT_EQ(result.exitCode, 65) << c.offset;
            EXPECT_NE(result.err.find("line 1, byte offset " + std::to_string(c.offset) + ":"),
                      std::string::npos)
                << result.err;
            EXPECT_TRUE(result.out == c.bytes.substr(0, c.written)) << c.offset << " " << jobs;
            // Where the output stops, when part of line 1 went out.
            const std::string stops =
                "the output is incomplete: it stops inside line 1 of "
                "long.txt, after its first " +
                std::to_string(c.written) + " bytes\n";
            EXPECT_EQ(result.err.find(stops) != std::string::npos, c.written > 0) << result.err;
        }
    }
}

// ---------------------------------------------------------------------------------------
// The cut search, in the process: a line longer than the limit read in small reads is
// searched and decoded once (the work stays a small multiple of the input), and is cut where
// one pass over its units cuts it.

// Unit offsets where one pass cuts a line without line feeds.
std::vector<std::size_t> OnePassCuts(const std::u16string& line) {
    std::vector<std::size_t> cuts;
    std::size_t start = 0;
    while (line.size() - start >= kLineLimit) {
        std::size_t cut = start + kLineLimit;
        while (cut > start + kLineLimit / 2 && line[cut - 1] != u' ' && line[cut - 1] != u'\t') {
            --cut;
        }
        if (cut == start + kLineLimit / 2) {
            const char16_t last = line[start + kLineLimit - 1];
            cut = start + (last >= 0xD800 && last <= 0xDBFF ? kLineLimit - 1 : kLineLimit);
        }
        cuts.push_back(cut);
        start = cut;
    }
    return cuts;
}

std::size_t Utf8Bytes(const std::u16string& text, std::size_t units) {
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < units; ++i) {
        const char16_t unit = text[i];
        bytes += unit < 0x80 ? 1 : unit < 0x800 ? 2 : unit >= 0xD800 && unit <= 0xDFFF ? 2 : 3;
    }
    return bytes;
}

TEST(CliCutTest, LongLinesAreSearchedOnceAndCutWhereOnePassCutsThem) {
    struct Case {
        const char* name;
        std::u16string line;
    };
    std::u16string arabic;
    while (arabic.size() < 4 * kLineLimit + 12345)
        arabic += u"\u0643\u062A\u0627\u0628 \u067E\u06BE\u0651\t";
    std::u16string pairs = u"x";
    while (pairs.size() < 3 * kLineLimit) pairs += u"\U0001F600";
    const Case cases[] = {
        {"arabic words", arabic},
        {"no space", std::u16string(3 * kLineLimit + 7, u'\u0628')},
        {"pairs across the limit", pairs},
        {"pairs then a space", pairs.substr(0, kLineLimit - 1) + u" " + pairs},
        {"one unit short", std::u16string(kLineLimit - 1, u'a')},
    };
    for (const Case& c : cases) {
        const std::vector<std::size_t> cuts = OnePassCuts(c.line);
        for (Encoding encoding : {Encoding::Utf8, Encoding::Utf16le}) {
            const std::string bytes =
                encoding == Encoding::Utf8 ? Utf8Bytes(c.line) : Utf16leBytes(c.line);
            std::vector<std::size_t> expected;
            for (std::size_t cut : cuts) {
                expected.push_back(encoding == Encoding::Utf8 ? Utf8Bytes(c.line, cut) : 2 * cut);
            }
            expected.push_back(bytes.size());
            for (std::size_t pieceBytes : {std::size_t{1} << 16, std::size_t{4093}}) {
                const std::string where = std::string(c.name) + " " +
                                          (encoding == Encoding::Utf8 ? "UTF-8" : "UTF-16LE") +
                                          " reads of " + std::to_string(pieceBytes);
                std::FILE* file = std::tmpfile();
                ASSERT_NE(file, nullptr);
                std::fwrite(bytes.data(), 1, bytes.size(), file);
                std::rewind(file);
                PieceReader reader(file, encoding, "line", pieceBytes);
                Piece piece;
                std::vector<std::size_t> ends;
                while (reader.Next(piece)) ends.push_back(piece.offset + piece.input.Size());
                std::fclose(file);
                EXPECT_EQ(ends, expected) << where;
                // Each byte is searched once and decoded once, plus the carried tail of a
                // read and the look back for a space: a search from the start of the line
                // after every read costs ten times the input and more.
                EXPECT_LE(reader.CutWork(), 3 * bytes.size() + 4 * pieceBytes) << where;
            }
        }
    }
}

// Each failure names what is wrong and, where there is one, what to do instead.
TEST_F(CliTest, MessagesSayWhatIsWrong) {
    const fs::path rules(rules_);
    dir_.Write("a-file", "x");
    dir_.Write("u16.txt", "\xFF\xFE" + Utf16leBytes(u"caf\u00E9\n"));
    // A folder of profiles alone, with no config.ini of its own.
    const fs::path profiles = dir_.Path() / "profiles-only";
    fs::create_directories(profiles / "profiles" / "one");
    WriteRules(profiles / "profiles" / "one");
    // A rule that makes a lone surrogate, which UTF-8 cannot carry.
    const fs::path lone = dir_.Path() / "lone";
    fs::create_directory(lone);
    WriteRules(lone);
    std::ofstream(lone / "NFC.txt", std::ios::binary) << RulesFileBytes({{u"x", u"\xD800"}});

    struct Case {
        const char* name;
        std::string nfcRules;   // written over NFC.txt when not empty
        std::string configIni;  // written over config.ini when not empty
        std::string arguments;
        std::string input;
        int exitCode;
        std::string message;  // a part of standard error
    };
    const std::string loadNfc = "cannot load the rules in '" + rules_ +
                                "': the NFC rules file 'NFC.txt' (NFCfilepath in its config.ini) ";
    const Case cases[] = {
        {"--rules names a file", "", "", "--rules a-file", "x", 2,
         "rules folder '" + dir_.File("a-file") +
             "' is not a folder: --rules takes the folder that holds config.ini"},
        {"rules file without FF FE", "e\xCC\x81:\xC3\xA9\r\n", "", Rules(), "x", 2,
         loadNfc + "has no byte-order mark FF FE at its start"},
        {"rules file in UTF-8 with its mark",
         "\xEF\xBB\xBF"
         "a:b\r\n",
         "", Rules(), "x", 2, "this one begins as UTF-8 text does (EF BB BF)"},
        {"rules file ending in CR", "\xFF\xFE" + Utf16leBytes(u"a:b\r"), "", Rules(), "x", 2,
         loadNfc + "ends in a CR with no unit after it"},
        {"missing rules file", "", "NFCfilepath=empty.txt\n", Rules(), "x", 2,
         "'empty.txt' (NFCfilepath in its config.ini) does not exist"},
        {"section header", "", "[kavex]\nNFCfilepath=NFC.txt\n", Rules(), "x", 2,
         "its config.ini has no NFCfilepath: line 1 has no \"=\", so the library reads it and "
         "line 2 as one key and never sees the NFCfilepath of line 2"},
        {"UTF-16LE read as UTF-8", "", "", Rules() + "u16.txt", "", 65,
         "u16.txt: line 1, byte offset 0: invalid UTF-8 (byte that never occurs in UTF-8); it "
         "begins with FF FE, the byte-order mark of UTF-16LE: read it with --encoding utf-16le"},
        {"the same with --explain", "", "", Rules() + "--explain u16.txt", "", 65,
         "read it with --encoding utf-16le"},
        {"--check names the profile", "", "",
         "--rules '" + profiles.string() + "' --profile one --check", "e\xCC\x81\n", 1,
         "standard input: line 1 is not in NFC (profile one)\n"},
        {"a lone surrogate inside a line", "", "", "--rules '" + lone.string() + "'", "ab\ncdx\n",
         65,
         "the output is incomplete: it stops inside line 2 of standard input, after its first "
         "2 bytes\n"},
        {"an odd byte after the cut of a long UTF-16LE line", "", "",
         Rules() + "--encoding utf-16le",
         Utf16leBytes(u"x\n" + std::u16string(kLineLimit + 3, u'a')) + "z", 65,
         "the output is incomplete: it stops inside line 2 of standard input, after its first " +
             std::to_string(2 * kLineLimit) + " bytes\n"},
    };
    const std::string nfc = ReadFile(rules / "NFC.txt");
    const std::string config = ReadFile(rules / "config.ini");
    for (const Case& c : cases) {
        std::ofstream(rules / "NFC.txt", std::ios::binary)
            << (c.nfcRules.empty() ? nfc : c.nfcRules);
        std::ofstream(rules / "config.ini", std::ios::binary)
            << (c.configIni.empty() ? config : c.configIni);
        const Result result = Run(c.arguments, c.input);
        EXPECT_EQ(result.exitCode, c.exitCode) << c.name << "\n" << result.err;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << c.name << "\n" << result.err;
    }

    // --profile list needs only the profiles.
    const Result list = Run("--rules '" + profiles.string() + "' --profile list");
    EXPECT_EQ(list.exitCode, 0) << list.err;
    EXPECT_EQ(list.out, "one\n");
}

// -o through a symbolic link replaces the file the link names, with its mode, and leaves
// the link; a file with other hard links is refused and left as it was.
TEST_F(CliTest, OutputThroughLinks) {
    const fs::path folder = dir_.Path();
    fs::create_directory(folder / "texts");
    dir_.Write("texts/target.txt", "e\xCC\x81\n");
    fs::permissions(folder / "texts" / "target.txt", fs::perms(0640));
    fs::create_symlink("texts/target.txt", folder / "link");
    fs::create_symlink("link", folder / "link-to-link");
    fs::create_symlink("texts/new.txt", folder / "dangling");

    struct Case {
        const char* output;  // written through
        const char* input;
        fs::path file;  // what must hold the result
    };
    const Case cases[] = {
        {"link", "link", folder / "texts" / "target.txt"},
        {"link-to-link", "link-to-link", folder / "texts" / "target.txt"},
        {"dangling", "texts/target.txt", folder / "texts" / "new.txt"},
    };
    for (const Case& c : cases) {
        dir_.Write("texts/target.txt", "e\xCC\x81\n");
        const Result result = Run(Rules() + "-o " + c.output + " " + c.input);
        EXPECT_EQ(result.exitCode, 0) << c.output << result.err;
        EXPECT_TRUE(fs::is_symlink(folder / c.output)) << c.output;
        EXPECT_EQ(ReadFile(c.file), "\xC3\xA9\n") << c.output;
        EXPECT_EQ(fs::status(folder / "texts" / "target.txt").permissions(), fs::perms(0640))
            << c.output;
    }

    dir_.Write("texts/target.txt", "e\xCC\x81\n");
    fs::create_hard_link(folder / "texts" / "target.txt", folder / "hard");
    const Result hard = Run(Rules() + "-o hard hard");
    EXPECT_EQ(hard.exitCode, 1);
    EXPECT_NE(hard.err.find("cannot replace '" + dir_.File("hard") + "': it has 2 hard links"),
              std::string::npos)
        << hard.err;
    EXPECT_NE(hard.err.find("write to another file and copy that over it"), std::string::npos);
    EXPECT_EQ(fs::hard_link_count(folder / "hard"), 2u);
    EXPECT_EQ(ReadFile(folder / "hard"), "e\xCC\x81\n");
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        EXPECT_EQ(entry.path().filename().string().find(".kavex-tmp-"), std::string::npos)
            << entry.path();
    }
}

// ---------------------------------------------------------------------------------------
// The tools' reader of config.ini explains what the library reads; it must read what the
// library reads, or its explanations would be about another file.

// The NFD, NFC and NFKD paths the library reads from `bytes`.
std::vector<std::string> LibraryPaths(const fs::path& folder, const std::string& bytes) {
    std::ofstream(folder / "config.ini", std::ios::binary) << bytes;
    WorkingDirectory here(folder);
    kavex::ConfigManager config;
    EXPECT_TRUE(config.ReadConfigFile());
    return {config.nfdFilePath, config.nfcFilePath, config.nfkdFilePath};
}

TEST(CliConfigIniTest, ReadsWhatTheLibraryReads) {
    std::vector<std::string> configs = {
        "NFDfilepath=NFD.txt\nNFCfilepath=NFC.txt\nNFKDfilepath=NFKD.txt\n",
        "  NFCfilepath \t=  spaced.txt \r\nNFDfilepath=crlf.txt\r\n",
        "NFCfilepath=first.txt\nNFCfilepath=last.txt",
        "[kavex]\nNFCfilepath=NFC.txt\nNFDfilepath=NFD.txt\n",
        "# comment\n\n; another\nNFKDfilepath=k.txt\n",
        "NFCfilepath=" + std::string(600, 'v') + "\nNFDfilepath=d.txt\n",
        "NFCfilepath=" + std::string(512, 'v') + "\nNFDfilepath=d.txt\n",
        "NFCfilepath=" + std::string(511, 'v') + "\nNFDfilepath=d.txt\n",
        std::string(70, 'k') + "=x\nNFCfilepath=c.txt\n",
        std::string(64, 'k') + "NFCfilepath=c.txt\n",
        "=orphan\nNFCfilepath=c.txt\nNFDfilepath=d.txt\n",
        "NFCfilepath=\nNFDfilepath=   \nNFKDfilepath=a=b.txt\n",
        "NFCfilepath=c.txt\nNFCfilepath=   \n",
        "NFCfilepath",
        "NFCfilepath=c.txt\nNFDfilepath=",
        std::string("NFCfilepath=c\0.txt\nNF\0Dfilepath=d.txt\n", 37),
        "nfcfilepath=lower.txt\nNFCFILEPATH=upper.txt\n",
        "\xEF\xBB\xBFNFCfilepath=bom.txt\nNFDfilepath=d\xC3\xA9.txt\n",
        "",
        "\n\n\n",
    };
    // And configs made of the pieces that trip the reader, at random.
    const std::string pieces[] = {"NFCfilepath",
                                  "NFDfilepath",
                                  "NFKDfilepath",
                                  "=",
                                  "=",
                                  "\n",
                                  "\r\n",
                                  " ",
                                  "\t",
                                  "[x]",
                                  "a.txt",
                                  std::string(40, 'k'),
                                  std::string(300, 'v')};
    std::mt19937 random(22);
    for (int i = 0; i < 400; ++i) {
        std::string config;
        const int count = 1 + static_cast<int>(random() % 24);
        for (int k = 0; k < count; ++k) config += pieces[random() % std::size(pieces)];
        configs.push_back(config);
    }
    TempDir dir;
    for (const std::string& config : configs) {
        const kavex::ConfigIni mirror(config);
        const std::vector<std::string> mirrored = {
            mirror.Value("NFDfilepath"), mirror.Value("NFCfilepath"), mirror.Value("NFKDfilepath")};
        ASSERT_EQ(mirrored, LibraryPaths(dir.Path(), config)) << "in:\n" << config;
    }
}

TEST(CliConfigIniTest, ExplainsWhyAKeyIsMissing) {
    struct Case {
        std::string config;
        std::string explanation;  // of NFCfilepath
    };
    const Case cases[] = {
        {"[kavex]\nNFCfilepath=NFC.txt\n",
         "line 1 has no \"=\", so the library reads it and line 2 as one key and never sees the "
         "NFCfilepath of line 2; config.ini takes key=value lines only"},
        {"NFDfilepath=d.txt\n# paths\n\n# more\nNFCfilepath=NFC.txt\n",
         "line 2 has no \"=\", so the library reads lines 2 to 5 as one key and never sees the "
         "NFCfilepath of line 5; config.ini takes key=value lines only"},
        {"NFDfilepath=" + std::string(530, 'v') + "\nNFCfilepath=c.txt\n",
         "the value on line 1 is longer than 512 bytes, so the library reads the rest of it and "
         "line 2 as one key and never sees the NFCfilepath of line 2; config.ini takes "
         "key=value lines only"},
        {"=d.txt\n  NFCfilepath = c.txt\n",
         "line 1 has nothing before its \"=\", so the library reads what follows it and line 2 "
         "as one key and never sees the NFCfilepath of line 2; config.ini takes key=value lines "
         "only"},
        {"NFCfilepath=\n", "line 1 gives NFCfilepath no value"},
        {"NFDfilepath=d.txt\nNfcFilePath=c.txt\n",
         "line 2 has \"NfcFilePath\", but keys are case-sensitive: write NFCfilepath"},
        {"NFCfilepath\n", "line 1 has NFCfilepath but no \"=\" after it"},
        {"NFDfilepath=d.txt\n", ""},
    };
    TempDir dir;
    for (const Case& c : cases) {
        // Each config lacks the key for the library: the explanation is of a real failure.
        EXPECT_EQ(LibraryPaths(dir.Path(), c.config)[1], "") << c.config;
        EXPECT_EQ(kavex::ConfigIni(c.config).ExplainMissing("NFCfilepath"), c.explanation)
            << c.config;
    }
    EXPECT_EQ(
        kavex::ConfigIni("NFCfilepath=" + std::string(600, 'v') + "\n").ExplainValue("NFCfilepath"),
        "the value of NFCfilepath on line 1 is longer than 512 bytes, and the library reads "
        "only the first 512");
    EXPECT_EQ(kavex::ConfigIni("NFCfilepath=c.txt\n").ExplainValue("NFCfilepath"), "");
}

}  // namespace