// The engine side of the PostgreSQL extension: a text normalized a piece at a time must be
// the text normalized whole (the engine's own Normalize is the oracle), invalid UTF-8 and
// results a text value cannot hold are refused with where and why, and the rules are found,
// cached and refused as the SQL functions report them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "engine/Normalizer.h"
#include "interface/RulesFolder.h"
#include "kavex_pieces.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using kavex::testing::Utf8Bytes;

const std::string kShipped = KAVEX_SOURCE_DIR "/rules";

// What the SQL functions do: pieces of about `wanted` bytes, each normalized on its own.
std::string InPieces(const KavexRules* rules, const std::string& text, std::size_t wanted) {
    std::string out;
    std::size_t done = 0;
    while (done < text.size()) {
        const std::size_t end =
            kavex_piece_end(rules, text.data() + done, text.size() - done, wanted);
        EXPECT_GT(end, 0u);
        const char* result = nullptr;
        std::size_t size = 0;
        KavexError error;
        EXPECT_EQ(kavex_normalize_piece(rules, text.data() + done, end, &result, &size, &error),
                  KAVEX_OK)
            << error.message;
        out.append(result, size);
        done += end;
    }
    return out;
}

// A rules folder of its own: config.ini naming `files` ({key, file, rules}), each rule a
// pair of UTF-16 strings.
class TempRules {
  public:
    struct File {
        std::string key;
        std::string name;
        std::vector<std::pair<std::u16string, std::u16string>> rules;
    };
    explicit TempRules(const std::vector<File>& files) {
        static int count = 0;
        folder_ = fs::temp_directory_path() /
                  ("kavex_pieces_" + std::to_string(::getpid()) + "_" + std::to_string(count++));
        fs::create_directories(folder_);
        std::ofstream config(folder_ / "config.ini", std::ios::binary);
        for (const File& file : files) {
            config << file.key << "=" << file.name << "\n";
            std::u16string units = u"\xFEFF";
            for (const auto& rule : file.rules) units += rule.first + u":" + rule.second + u"\r\n";
            std::ofstream out(folder_ / file.name, std::ios::binary);
            for (const char16_t unit : units) {
                out.put(static_cast<char>(unit & 0xFF));
                out.put(static_cast<char>(unit >> 8));
            }
        }
    }
    ~TempRules() {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }
    std::string Path() const { return folder_.string(); }

  private:
    fs::path folder_;
};

// Arabic letters, harakat and Quranic marks, U+06BE, presentation forms, a supplementary
// character, and the ASCII bytes a piece may or may not start with.
std::u16string RandomText(std::mt19937& random, std::size_t length) {
    static const std::u16string kUnits =
        u"\u0627\u0628\u062A\u0647\u064A\u06CC\u0622\u0623\u0625\u0649\u0629\u06C1\u06D2"
        u"\u064B\u064E\u0650\u0651\u0652\u0653\u0654\u0670\u0610\u06E1\u0640\u06BE\u06BE"
        u"\uFEFB\uFE8D\uFDF2\u200C  ,x\n.";
    std::u16string text;
    std::uniform_int_distribution<std::size_t> pick(0, kUnits.size());
    while (text.size() < length) {
        const std::size_t at = pick(random);
        if (at == kUnits.size()) {
            text += u"\U0001F600";
        } else {
            text += kUnits[at];
        }
    }
    return text;
}

const KavexRules* Find(const std::string& folder, const char* form, const char* profile) {
    KavexError error;
    const KavexRules* rules = kavex_rules_find(folder.c_str(), form, profile, &error);
    EXPECT_NE(rules, nullptr) << error.message;
    return rules;
}

TEST(PostgresPieces, PiecesPutTogetherTheTextNormalizedWhole) {
    // Shipped forms and profiles, and rules of one's own whose sources hold ASCII bytes
    // (space, comma, x, line feed), so that fewer places may be cut.
    const TempRules own(
        {{"NFCfilepath",
          "own.txt",
          {{u" \u0627", u"_"}, {u",.", u";"}, {u"x\u0651", u"\u0651x"}, {u"\u06BE.", u"\u06C1"}}}});
    struct Case {
        std::string folder;
        const char* form;
        const char* profile;
    };
    const std::vector<Case> cases = {
        {kShipped, "NFC", nullptr},    {kShipped, "NFD", nullptr},
        {kShipped, "NFKD", nullptr},   {kShipped, "NFC", "urdu"},
        {kShipped, "NFKD", "persian"}, {kShipped, "NFKD", "arabic-search"},
        {own.Path(), "NFC", nullptr},
    };
    std::mt19937 random(26);
    for (const Case& c : cases) {
        const KavexRules* rules = Find(c.folder, c.form, c.profile);
        ASSERT_NE(rules, nullptr);
        kavex::RulesFolder folder(c.profile ? kavex::RulesFolder::ProfileFolder(c.folder, c.profile)
                                            : c.folder);
        kavex::Form form;
        ASSERT_TRUE(kavex::FormFromName(c.form, form));
        const kavex::Normalizer& oracle = folder.Get(form);
        for (int round = 0; round < 300; ++round) {
            const std::u16string text = RandomText(random, 1 + round % 60);
            const std::string whole = Utf8Bytes(oracle.Normalize(text));
            for (const std::size_t wanted : {1u, 2u, 5u, 13u, 1000u}) {
                ASSERT_EQ(InPieces(rules, Utf8Bytes(text), wanted), whole)
                    << c.folder << " " << c.form << " " << (c.profile ? c.profile : "") << " round "
                    << round << " pieces of " << wanted;
            }
        }
    }
}

TEST(PostgresPieces, CutsOnlyBeforeBytesNoRuleReaches) {
    const TempRules own({{"NFCfilepath", "own.txt", {{u" x", u"y"}}}});
    const KavexRules* rules = Find(own.Path(), "NFC", nullptr);
    // A space may not start a piece (a rule starts with it), nor x; a comma may; a mark or
    // U+06BE never does, and a text with nowhere to cut is one piece.
    const std::string text = Utf8Bytes(u"\u0628 x \u0628, \u0628");
    EXPECT_EQ(kavex_piece_end(rules, text.data(), text.size(), 1), text.find(','));
    EXPECT_EQ(kavex_piece_end(rules, text.data(), text.size(), text.size()), text.size());
    const std::string none = Utf8Bytes(u"\u0628\u0651\u06BE  xx \u0628");
    EXPECT_EQ(kavex_piece_end(rules, none.data(), none.size(), 1), none.size());
}

TEST(PostgresPieces, InvalidUtf8IsRefusedWithItsOffset) {
    const KavexRules* rules = Find(kShipped, "NFC", nullptr);
    struct Case {
        std::string text;
        std::size_t offset;
    };
    const std::vector<Case> cases = {
        {"ab\xFF", 2},             // a byte UTF-8 never has
        {"\xD8\xA8\x80", 2},       // a stray continuation byte
        {"a\xC0\xAF", 1},          // an overlong form
        {"\xED\xA0\x80z", 0},      // an encoded surrogate
        {"\xF4\x90\x80\x80", 0},   // past U+10FFFF
        {"\xD8\xA8\xD8", 2},       // cut short at the end
        {"\xD8\xA8 \xE2\x82", 3},  // cut short at the end, after a space
    };
    for (const Case& c : cases) {
        const char* result = nullptr;
        std::size_t size = 0;
        KavexError error;
        ASSERT_EQ(
            kavex_normalize_piece(rules, c.text.data(), c.text.size(), &result, &size, &error),
            KAVEX_INVALID_UTF8)
            << c.offset;
        EXPECT_EQ(error.offset, c.offset);
        EXPECT_NE(std::string(error.detail), "");
    }
}

TEST(PostgresPieces, ResultsATextCannotHoldAreRefused) {
    const TempRules own({{"NFCfilepath", "nul.txt", {{u"z", std::u16string(1, u'\0')}}},
                         {"NFDfilepath", "surrogate.txt", {{u"z", u"\xD800"}}}});
    for (const char* form : {"NFC", "NFD"}) {
        const KavexRules* rules = Find(own.Path(), form, nullptr);
        const char* result = nullptr;
        std::size_t size = 0;
        KavexError error;
        EXPECT_EQ(kavex_normalize_piece(rules, "aza", 3, &result, &size, &error), KAVEX_UNENCODABLE)
            << form;
        EXPECT_EQ(kavex_normalize_piece(rules, "aa", 2, &result, &size, &error), KAVEX_OK);
        EXPECT_EQ(std::string(result, size), "aa");
    }
}

TEST(PostgresPieces, RulesAreFoundOnceAndRefusedWithTheirCause) {
    EXPECT_EQ(Find(kShipped, "nfc", nullptr), Find(kShipped, "NFC", nullptr));
    EXPECT_NE(Find(kShipped, "NFC", "urdu"), Find(kShipped, "NFC", nullptr));

    struct Case {
        std::string folder;
        const char* form;
        const char* profile;
        KavexStatus status;
        const char* named;  // in the message or the hint
    };
    const TempRules noKey({{"NFCfilepath", "own.txt", {{u"a", u"b"}}}});
    const std::vector<Case> cases = {
        {kShipped, "NFX", nullptr, KAVEX_UNKNOWN_FORM, "NFC, NFD, NFKC, NFKD"},
        {kShipped, "", nullptr, KAVEX_UNKNOWN_FORM, "NFC, NFD, NFKC, NFKD"},
        {kShipped, "NFC", "pashto", KAVEX_UNKNOWN_PROFILE, "arabic-search, persian, urdu"},
        {noKey.Path(), "NFC", "urdu", KAVEX_UNKNOWN_PROFILE, "no profiles"},
        {noKey.Path(), "NFKC", nullptr, KAVEX_RULES_MISSING_KEY, "NFKCfilepath"},
        {noKey.Path() + "/missing", "NFC", nullptr, KAVEX_RULES_FOLDER, "does not exist"},
    };
    for (const Case& c : cases) {
        KavexError error;
        EXPECT_EQ(kavex_rules_find(c.folder.c_str(), c.form, c.profile, &error), nullptr);
        EXPECT_EQ(error.status, c.status) << c.form;
        EXPECT_NE((std::string(error.message) + error.hint).find(c.named), std::string::npos)
            << error.message << " / " << error.hint;
    }
}

TEST(PostgresPieces, AFolderThatFailedLoadsOnceItIsMended) {
    const TempRules own({{"NFCfilepath", "own.txt", {{u"a", u"b"}}}});
    const fs::path rulesFile = fs::path(own.Path()) / "own.txt";
    const fs::path kept = fs::path(own.Path()) / "kept";
    fs::rename(rulesFile, kept);
    KavexError error;
    EXPECT_EQ(kavex_rules_find(own.Path().c_str(), "NFC", nullptr, &error), nullptr);
    EXPECT_EQ(error.status, KAVEX_RULES_FILE);
    EXPECT_NE(std::string(error.message).find("own.txt"), std::string::npos) << error.message;
    fs::rename(kept, rulesFile);
    const KavexRules* rules = Find(own.Path(), "NFC", nullptr);
    ASSERT_NE(rules, nullptr);
    EXPECT_EQ(InPieces(rules, "aXa", 1), "bXb");
}

}  // namespace
