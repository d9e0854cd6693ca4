// The shipped rules: the Unicode conformance file, the cases users get wrong most (hamza,
// the three hehs, lam-alef ligatures, the spaces, dots and accents of the mixed blocks), and
// the limits the engine sets on a rules file.
#include <gtest/gtest.h>

#include <fstream>
#include <initializer_list>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/Normalizer.h"
#include "support/RulesHarness.h"

namespace {

using kavex::FormName;
using kavex::testing::Hex;
using kavex::testing::InMixedScope;
using kavex::testing::InScope;
using kavex::testing::RulesHarness;

using kavex::Form;
constexpr auto NFD = Form::kNfd;
constexpr auto NFC = Form::kNfc;
constexpr auto NFKD = Form::kNfkd;
constexpr auto NFKC = Form::kNfkc;

std::u16string FromCodePoints(const std::string& hex) {
    std::u16string text;
    std::istringstream in(hex);
    std::string field;
    while (in >> field) {
        char32_t c = static_cast<char32_t>(std::stoul(field, nullptr, 16));
        if (c >= 0x10000) {
            text.push_back(static_cast<char16_t>(0xD7C0 + (c >> 10)));
            text.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            text.push_back(static_cast<char16_t>(c));
        }
    }
    return text;
}

// Characters of the Arabic blocks, the mixed blocks, the Combining Diacritical Marks and
// ASCII.
bool ScopeOrAscii(const std::u16string& text) {
    icu::UnicodeString s = kavex::testing::ToIcu(text);
    for (int32_t i = 0; i < s.length(); i = s.moveIndex32(i, 1)) {
        UChar32 c = s.char32At(i);
        if (c >= 0x80 && !InScope(c) && !InMixedScope(c) && !(c >= 0x0300 && c <= 0x036F)) {
            return false;
        }
    }
    return true;
}

// Each line gives c1;c2;c3;c4;c5. Where the source column lies in the target:
// NFC: c2 = NFC(c1) = NFC(c2) = NFC(c3), c4 = NFC(c4) = NFC(c5);
// NFD: c3 = NFD(c1) = NFD(c2) = NFD(c3), c5 = NFD(c4) = NFD(c5);
// NFKD: c5 = NFKD(c1) = ... = NFKD(c5); NFKC: c4 = NFKC(c1) = ... = NFKC(c5).
TEST(ShippedRulesConformance, NormalizationTestLinesOfTheScope) {
    std::ifstream file(KAVEX_NORMALIZATION_TEST);
    ASSERT_TRUE(file) << "cannot read " << KAVEX_NORMALIZATION_TEST
                      << " (Debian package unicode-data)";
    const RulesHarness& harness = RulesHarness::Get();
    size_t lines = 0, checks = 0;
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#' || line[0] == '@') continue;
        std::vector<std::u16string> c;
        std::istringstream fields(line);
        std::string field;
        for (int k = 0; k < 5 && std::getline(fields, field, ';'); ++k) {
            c.push_back(FromCodePoints(field));
        }
        ASSERT_EQ(c.size(), 5u) << line;
        if (!ScopeOrAscii(c[0])) continue;
        ++lines;
        struct Relation {
            Form form;
            int expected;
            std::vector<int> inputs;
        };
        const Relation relations[] = {
            {NFC, 1, {0, 1, 2}}, {NFC, 3, {3, 4}},           {NFD, 2, {0, 1, 2}},
            {NFD, 4, {3, 4}},    {NFKD, 4, {0, 1, 2, 3, 4}}, {NFKC, 3, {0, 1, 2, 3, 4}},
        };
        for (const Relation& r : relations) {
            for (int input : r.inputs) {
                // A composed column may hold a letter outside the scope (U+1E14).
                if (!ScopeOrAscii(c[input]) || !harness.InTarget(r.form, c[input])) continue;
                ++checks;
                EXPECT_EQ(Hex(harness.Kavex(r.form, c[input])), Hex(c[r.expected]))
                    << FormName(r.form) << " of column " << input + 1 << " of: " << line;
            }
        }
    }
    std::printf("%zu lines of the scope, %zu relations checked\n", lines, checks);
    EXPECT_GT(lines, 800u);
    EXPECT_GT(checks, 10 * 800u);
}

struct Case {
    Form form;
    std::u16string text, expected;
};

// kavex gives the expected text, and so does ICU for every text of the target.
void ExpectCases(std::initializer_list<Case> cases) {
    const RulesHarness& harness = RulesHarness::Get();
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(FormName(c.form)) + " of " + Hex(c.text));
        EXPECT_EQ(Hex(harness.Kavex(c.form, c.text)), Hex(c.expected));
        if (harness.InTarget(c.form, c.text)) {
            EXPECT_EQ(Hex(harness.Reference(c.form, c.text)), Hex(c.expected));
        }
    }
}

// A hamza (or madda) is never lost: decomposed and composed back, also across lower marks.
TEST(ShippedRulesCases, HamzaIsNeverLost) {
    ExpectCases(
        {Case{NFD, u"\u0623", u"\u0627\u0654"}, Case{NFD, u"\u0624", u"\u0648\u0654"},
         Case{NFD, u"\u0626", u"\u064A\u0654"}, Case{NFD, u"\u06C2", u"\u06C1\u0654"},
         Case{NFD, u"\u06D3", u"\u06D2\u0654"}, Case{NFD, u"\u0625", u"\u0627\u0655"},
         Case{NFD, u"\u0622", u"\u0627\u0653"}, Case{NFD, u"\u06C0", u"\u06D5\u0654"},
         Case{NFD, u"\u0623\u0651\u064E", u"\u0627\u064E\u0651\u0654"},
         Case{NFC, u"\u0627\u0654", u"\u0623"}, Case{NFC, u"\u0648\u0654", u"\u0624"},
         Case{NFC, u"\u064A\u0654", u"\u0626"}, Case{NFC, u"\u06C1\u0654", u"\u06C2"},
         Case{NFC, u"\u06D2\u0654", u"\u06D3"}, Case{NFC, u"\u06D5\u0654", u"\u06C0"},
         Case{NFC, u"\u0627\u0655", u"\u0625"}, Case{NFC, u"\u0627\u0653", u"\u0622"},
         Case{NFC, u"\u0623", u"\u0623"}, Case{NFC, u"\u06D3", u"\u06D3"},
         Case{NFC, u"\u0627\u064E\u0654", u"\u0623\u064E"},
         Case{NFC, u"\u0627\u0654\u064E", u"\u0623\u064E"},
         Case{NFC, u"\u0627\u0651\u064E\u0654", u"\u0623\u064E\u0651"},
         Case{NFC, u"\u0623\u0655", u"\u0625\u0654"}, Case{NFC, u"\u0622\u0654", u"\u0622\u0654"},
         Case{NFC, u"\u0627\u0654\u0654", u"\u0623\u0654"},
         Case{NFC, u"\u0626\u0650", u"\u0626\u0650"}, Case{NFKD, u"\uFE8B", u"\u064A\u0654"},
         Case{NFKD, u"\uFE83", u"\u0627\u0654"}, Case{NFKD, u"\uFE85", u"\u0648\u0654"},
         Case{NFKD, u"\uFBB0", u"\u06D2\u0654"}, Case{NFKD, u"\uFBA4", u"\u06D5\u0654"},
         Case{NFKD, u"\u0623", u"\u0627\u0654"}, Case{NFKD, u"\uFE8B\u064E", u"\u064A\u064E\u0654"},
         Case{NFKD, u"\u0675", u"\u0627\u0674"},
         // NFKC folds the presentation forms and keeps the letters composed.
         Case{NFKC, u"\uFE8B", u"\u0626"}, Case{NFKC, u"\uFE8B\u064E", u"\u0626\u064E"},
         Case{NFKC, u"\uFE83\u0651\u064E", u"\u0623\u064E\u0651"},
         Case{NFKC, u"\uFE8D\u0654", u"\u0623"}, Case{NFKC, u"\uFEFB\u0655", u"\u0644\u0625"},
         Case{NFKC, u"\uFBB0", u"\u06D3"},
         Case{NFKC, u"\u0627\u0651\u064E\u0654", u"\u0623\u064E\u0651"},
         Case{NFKC, u"\u0675", u"\u0627\u0674"}});
}

// U+06BE, U+06C1 and U+0647 stay three letters in every form, presentation forms included.
TEST(ShippedRulesCases, HehLettersStayApart) {
    ExpectCases(
        {Case{NFD, u"\u06BE\u06C1\u0647", u"\u06BE\u06C1\u0647"},
         Case{NFC, u"\u06BE\u06C1\u0647", u"\u06BE\u06C1\u0647"},
         Case{NFKD, u"\u06BE\u06C1\u0647", u"\u06BE\u06C1\u0647"},
         Case{NFKD, u"\uFBAA\uFBAD", u"\u06BE\u06BE"}, Case{NFKD, u"\uFBA6\uFBA9", u"\u06C1\u06C1"},
         Case{NFKD, u"\uFEE9\uFEEC", u"\u0647\u0647"}, Case{NFKD, u"\uFBA4", u"\u06D5\u0654"},
         Case{NFD, u"\u0647\u0651\u064E", u"\u0647\u064E\u0651"},
         // The built-in reordering moves U+06BE before the marks, unlike Unicode.
         Case{NFD, u"\u0628\u064E\u06BE", u"\u0628\u06BE\u064E"},
         Case{NFC, u"\u0628\u0651\u064E\u06BE", u"\u0628\u06BE\u064E\u0651"}});
}

// Lam-alef ligatures keep their madda or hamza under NFKD, also before marks.
TEST(ShippedRulesCases, LamAlefKeepsItsHamzaOrMadda) {
    ExpectCases(
        {Case{NFKD, u"\uFEF5", u"\u0644\u0627\u0653"}, Case{NFKD, u"\uFEF6", u"\u0644\u0627\u0653"},
         Case{NFKD, u"\uFEF7", u"\u0644\u0627\u0654"}, Case{NFKD, u"\uFEF8", u"\u0644\u0627\u0654"},
         Case{NFKD, u"\uFEF9", u"\u0644\u0627\u0655"}, Case{NFKD, u"\uFEFA", u"\u0644\u0627\u0655"},
         Case{NFKD, u"\uFEFB\uFEFC", u"\u0644\u0627\u0644\u0627"},
         Case{NFKD, u"\uFEF7\u064E", u"\u0644\u0627\u064E\u0654"},
         Case{NFKD, u"\uFEF9\u0650\u0651", u"\u0644\u0627\u0650\u0651\u0655"},
         Case{NFKC, u"\uFEF7", u"\u0644\u0623"}, Case{NFKC, u"\uFEF5", u"\u0644\u0622"},
         Case{NFKC, u"\uFEF7\u064E", u"\u0644\u0623\u064E"},
         Case{NFKC, u"\uFEF9\u0650\u0651", u"\u0644\u0625\u0650\u0651"},
         Case{NFC, u"\uFEF7", u"\uFEF7"}, Case{NFD, u"\uFEF7", u"\uFEF7"}});
}

// The characters that text in Arabic script mixes in, as ICU gives them: an ellipsis and
// spaces under the compatibility forms, an accented letter in a name in every form, Latin
// ligatures, superscripts, fractions, the letterlike signs that are letters, and an accent
// typed after its letter.
TEST(ShippedRulesCases, MixedBlocks) {
    ExpectCases({Case{NFKD, u"\u0628\u2026", u"\u0628..."},
                 Case{NFKC, u"\u0628\u2026", u"\u0628..."},
                 Case{NFC, u"\u0628\u2026", u"\u0628\u2026"},
                 Case{NFKC, u"\u0628\u00A0\u0628\u2009\u202F\u200C", u"\u0628 \u0628  \u200C"},
                 Case{NFD, u"\u00AB\u0072\u00E9\u00BB", u"\u00AB\u0072\u0065\u0301\u00BB"},
                 Case{NFC, u"\u0072\u0065\u0301\u0073", u"\u0072\u00E9\u0073"},
                 Case{NFKC, u"\u0065\u0301\u0628\u064E", u"\u00E9\u0628\u064E"},
                 Case{NFC, u"\u0041\u030A", u"\u00C5"},
                 Case{NFC, u"\u212B", u"\u00C5"},
                 Case{NFD, u"\u212B", u"\u0041\u030A"},
                 Case{NFC, u"\u0061\u0340", u"\u00E0"},
                 Case{NFD, u"\u0075\u0344", u"\u0075\u0308\u0301"},
                 Case{NFC, u"\u0075\u0344", u"\u01D8"},
                 Case{NFC, u"\u003D\u0338", u"\u2260"},
                 Case{NFKD, u"\uFB01", u"fi"},
                 Case{NFKC, u"\uFB01\u0301", u"f\u00ED"},
                 Case{NFKD, u"\u00B2\u00BD", u"21\u20442"},
                 Case{NFKC, u"\u2126\u0301", u"\u038F"},
                 Case{NFKD, u"\u00A8", u" \u0308"},
                 Case{NFKC, u"\u0133\u2163", u"ijIV"},
                 Case{NFD, u"\u0152\u0151", u"\u0152\u006F\u030B"}});
}

// The engine's limits: 65,535 rules and 65,536 states per file, and 32 MB of matcher rows
// written (states with a transition x alphabet x 2 bytes, plus 512 bytes per table page;
// the rows of final states stay zero and untouched); and the engine loads each file. All
// four forms, profiles included.
TEST(ShippedRulesFiles, StayWithinTheEngineLimits) {
    std::vector<std::string> names;
    for (const char* folder :
         {"", "profiles/urdu/", "profiles/persian/", "profiles/arabic-search/"}) {
        for (const char* form : {"NFD", "NFC", "NFKD", "NFKC"}) {
            names.push_back(std::string(folder) + form + ".txt");
        }
    }
    for (const std::string& name : names) {
        const std::string path = KAVEX_SOURCE_DIR "/rules/" + name;
        kavex::Normalizer engine;
        EXPECT_TRUE(engine.LoadRules(path)) << name;
        std::ifstream file(path, std::ios::binary);
        ASSERT_TRUE(file) << name;
        std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        ASSERT_GE(bytes.size(), 2u);
        ASSERT_EQ(bytes.substr(0, 2), "\xFF\xFE") << name;
        std::set<std::u16string> prefixes, inner;
        std::set<char16_t> alphabet;
        size_t rules = 0;
        std::u16string source;
        bool inSource = true;
        for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
            char16_t u = static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                               static_cast<unsigned char>(bytes[i + 1]) << 8);
            if (u == u':' && inSource) {
                inSource = false;
            } else if (u == u'\r') {
                ASSERT_FALSE(inSource) << name << ": a line without a colon";
                ++rules;
                source.clear();
                inSource = true;
                i += 2;  // the line feed
            } else if (inSource) {
                inner.insert(source);
                source.push_back(u);
                alphabet.insert(u);
                prefixes.insert(source);
            }
        }
        ASSERT_EQ(bytes.size() % 2, 0u) << name;
        std::set<int> pages;
        for (char16_t u : alphabet) pages.insert(u >> 8);
        const size_t states = prefixes.size() + 1;
        const size_t memory = states * alphabet.size() * 2 + pages.size() * 512;
        const size_t written = inner.size() * alphabet.size() * 2 + pages.size() * 512;
        std::printf(
            "%s: %zu rules, %zu states, alphabet %zu, matcher %zu bytes, rows written "
            "%zu bytes\n",
            name.c_str(), rules, states, alphabet.size(), memory, written);
        EXPECT_LT(rules, 65535u) << name;
        EXPECT_LE(states, 65536u) << name;
        EXPECT_LT(written, 32u << 20) << name;
    }
}

}  // namespace
