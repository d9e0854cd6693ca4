// The language profiles (rules/profiles/NAME) against their definition: in form F a
// profile gives F(fold(G(text))), G being NFC for the NFD and NFC files and NFKC for the
// NFKD and NFKC files, with ICU for F and G and the profile's fold table applied
// literally. Every string of up to three units over each profile's alphabet, every run of up to
// three marks after a tatweel, strings of up to five units in strata, seeded random text, the
// Debian word lists, and a case for each row of the tables and each trap.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "engine/Marks.h"
#include "support/RulesHarness.h"

namespace {

using kavex::FormName;
using kavex::testing::CompareWithIcu;
using kavex::testing::Describe;
using kavex::testing::Hex;
using kavex::testing::IsArabicBlock;
using kavex::testing::IsCompatibility;
using kavex::testing::IsHarakaMark;
using kavex::testing::kForms;
using kavex::testing::Mismatch;
using kavex::testing::RulesHarness;
using kavex::testing::ScopeMarks;

constexpr auto NFD = kavex::Form::kNfd;
constexpr auto NFC = kavex::Form::kNfc;
constexpr auto NFKD = kavex::Form::kNfkd;
constexpr auto NFKC = kavex::Form::kNfkc;

const char* const kProfiles[] = {"urdu", "persian", "arabic-search"};

// The units a profile's rules treat specially: the letters and digits of its fold table,
// the letters that compose or decompose canonically, U+06BE, a plain letter, ASCII, space
// and ZWNJ, spaces, dots and an accent of the mixed blocks, and for NFKD and NFKC presentation
// forms of the folded letters and of tatweel with a mark; with the 52 marks of the Arabic block
// (every mark the tables name outside the tatweel rows) and one of each other block.
std::u16string Alphabet(const RulesHarness& harness, kavex::Form form) {
    std::u16string units =
        u"\u0622\u0623\u0624\u0625\u0626\u06C0\u06C2\u06D3\u0627\u0648\u064A\u06C1\u06D2\u06D5"
        u"\u06BE\u0628\u06CC\u0647\u0640a \u200C\u0750\u08A0\u0898\u08FF"
        u"\u00A0\u2009\u00E9e\u0301\u2026";  // mixed blocks
    if (IsCompatibility(form))
        units += u"\uFEF1\uFEF3\uFEE9\uFBA6\uFED9\uFE8B\uFE7D\uFE71\uFEF7\uFC5E";
    for (const auto& rule : harness.Fold()) {
        for (char16_t c : rule.first + rule.second) {
            if (u_getCombiningClass(c) == 0) units.push_back(c);
        }
    }
    for (char16_t c = 0x0610; c <= 0x06FF; ++c) {
        if (u_getCombiningClass(c) != 0) units.push_back(c);
    }
    std::u16string alphabet;
    for (char16_t c : units) {
        if (alphabet.find(c) == std::u16string::npos) alphabet.push_back(c);
    }
    return alphabet;
}

std::u16string Nth(const std::u16string& alphabet, int length, size_t index) {
    std::u16string text(static_cast<size_t>(length), u'\0');
    for (int k = length - 1; k >= 0; --k) {
        text[static_cast<size_t>(k)] = alphabet[index % alphabet.size()];
        index /= alphabet.size();
    }
    return text;
}

size_t Power(size_t base, int exponent) {
    size_t result = 1;
    while (exponent-- > 0) result *= base;
    return result;
}

void ExpectNone(const std::vector<Mismatch>& mismatches) {
    for (const Mismatch& m : mismatches) ADD_FAILURE() << Describe(m);
}

class ProfileVsDefinition : public ::testing::TestWithParam<std::tuple<const char*, kavex::Form>> {
  protected:
    const RulesHarness& Harness() const { return RulesHarness::Profile(std::get<0>(GetParam())); }
    kavex::Form TestForm() const { return std::get<1>(GetParam()); }
};

TEST_P(ProfileVsDefinition, EveryStringOfUpToThreeUnits) {
    const RulesHarness& harness = Harness();
    const std::u16string alphabet = Alphabet(harness, TestForm());
    std::vector<Mismatch> mismatches;
    size_t compared = 0;
    for (int length = 1; length <= 3; ++length) {
        compared += CompareWithIcu(
            TestForm(), Power(alphabet.size(), length),
            [&](size_t i) { return Nth(alphabet, length, i); }, mismatches, harness);
    }
    std::printf("%s %s: %zu strings of up to 3 units over %zu units agree\n",
                std::get<0>(GetParam()), FormName(TestForm()), compared, alphabet.size());
    EXPECT_GT(compared, Power(alphabet.size(), 2));
    ExpectNone(mismatches);
}

TEST_P(ProfileVsDefinition, SeededRandomText) {
    const RulesHarness& harness = Harness();
    const std::u16string alphabet = Alphabet(harness, TestForm());
    std::u16string starters, marks;
    for (char16_t c : alphabet) (u_getCombiningClass(c) ? marks : starters).push_back(c);
    for (char16_t c = 0x0621; c <= 0x064A; ++c) starters.push_back(c);
    const std::u16string harakat = u"\u064B\u064C\u064D\u064E\u064F\u0650\u0651\u0652\u0654\u0670";
    constexpr size_t kTexts = 20000;
    std::vector<Mismatch> mismatches;
    size_t compared = CompareWithIcu(
        TestForm(), kTexts,
        [&](size_t i) {
            std::mt19937 random(static_cast<uint32_t>(i * 7919) +
                                static_cast<uint32_t>(TestForm()));
            std::u16string text;
            for (int k = 1 + static_cast<int>(random() % 8); k > 0; --k) {
                text.push_back(starters[random() % starters.size()]);
                const std::u16string& pool = random() % 10 < 7 ? harakat : marks;
                for (int run = static_cast<int>(random() % 4); run > 0; --run) {
                    text.push_back(pool[random() % pool.size()]);
                }
            }
            return text;
        },
        mismatches, harness);
    std::printf("%s %s: %zu random texts agree\n", std::get<0>(GetParam()), FormName(TestForm()),
                compared);
    EXPECT_GT(compared, kTexts / 4);
    ExpectNone(mismatches);
}

// Every run of one to three marks after a tatweel, alone and between letters (the second
// tatweel carries nothing and goes), and under NFKD and NFKC every run of one or two after
// the presentation forms of tatweel with a haraka: a profile that keeps the tatweel takes its
// first mark along in one rule, so each run whose first mark does not sort first needs a
// rule of its own. Runs of three are drawn from the Arabic block; one with a mark of another
// block lies outside the target.
TEST_P(ProfileVsDefinition, EveryRunOfUpToThreeMarksAfterATatweel) {
    const RulesHarness& harness = Harness();
    const std::vector<char16_t>& marks = ScopeMarks();
    std::vector<char16_t> arabic;
    std::copy_if(marks.begin(), marks.end(), std::back_inserter(arabic), IsArabicBlock);
    std::vector<std::u16string> runs;
    for (char16_t a : marks) runs.push_back({a});
    for (char16_t a : marks) {
        for (char16_t b : marks) runs.push_back({a, b});
    }
    const size_t shortRuns = runs.size();
    for (char16_t a : arabic) {
        for (char16_t b : arabic) {
            for (char16_t c : arabic) runs.push_back({a, b, c});
        }
    }
    std::vector<std::u16string> texts;
    for (const std::u16string& run : runs) {
        texts.push_back(u"\u0640" + run);
        texts.push_back(u"\u0628\u0640" + run + u"\u0640");
    }
    size_t presentationForms = 0;
    for (char16_t form = 0xFE70; IsCompatibility(TestForm()) && form <= 0xFE7F; ++form) {
        const std::u16string decomposed =
            RulesHarness::Apply(harness.Icu(NFKD), std::u16string(1, form));
        if (decomposed.size() != 2 || decomposed[0] != 0x0640) continue;
        ++presentationForms;
        for (size_t i = 0; i < shortRuns; ++i) texts.push_back(form + runs[i]);
    }
    std::vector<Mismatch> mismatches;
    size_t compared = CompareWithIcu(
        TestForm(), texts.size(), [&](size_t i) { return texts[i]; }, mismatches, harness);
    std::printf(
        "%s %s: %zu runs after a tatweel and %zu presentation forms of it, %zu texts, %zu in "
        "the target agree\n",
        std::get<0>(GetParam()), FormName(TestForm()), runs.size(), presentationForms, texts.size(),
        compared);
    EXPECT_EQ(presentationForms, IsCompatibility(TestForm()) ? 6u : 0u);
    // Every run of one or two at least, and for urdu and persian the runs of three with
    // at most one mark outside the harakat.
    EXPECT_GT(compared, harness.KeepsTatweel() ? size_t{60000} : size_t{1000});
    ExpectNone(mismatches);
}

// Strings of up to five units over the tatweel, U+06BE, the letters of the fold sources
// (with alef, which composes, and beh) and every mark of the scope. Exhaustively that is
// some 10^10 strings per profile and form, so they are taken in strata: each string is a
// shape, a class per unit (tatweel, U+06BE, letter, haraka, other mark of the Arabic block,
// mark of another block), and every shape contributes all its strings or a seeded sample.
// Shapes with four marks in a row, or three with a mark of another block, lie wholly
// outside the target and are left out.
TEST_P(ProfileVsDefinition, StringsOfUpToFiveUnitsInStrata) {
    const RulesHarness& harness = Harness();
    std::u16string letters = u"\u0627\u0628";
    for (const auto& rule : harness.Fold()) {
        for (char16_t c : rule.first) {
            if (u_getCombiningClass(c) == 0 && c != 0x0640 &&
                letters.find(c) == std::u16string::npos) {
                letters.push_back(c);
            }
        }
    }
    std::u16string harakat, arabicMarks, otherMarks;
    for (char16_t m : ScopeMarks()) {
        (IsHarakaMark(m) ? harakat : IsArabicBlock(m) ? arabicMarks : otherMarks).push_back(m);
    }
    enum { kTatweel, kHehUnit, kLetter, kHaraka, kArabicMark, kOtherMark, kClasses };
    const std::u16string classes[kClasses] = {u"\u0640", u"\u06BE",   letters,
                                              harakat,   arabicMarks, otherMarks};
    const size_t perShape = 48;

    std::vector<std::u16string> texts;
    size_t shapes = 0;
    std::mt19937 random(static_cast<uint32_t>(TestForm()) * 7919u + 17u);
    for (int length = 1; length <= 5; ++length) {
        std::vector<int> shape(static_cast<size_t>(length), 0);
        for (size_t code = 0; code < Power(kClasses, length); ++code) {
            size_t rest = code;
            for (int& c : shape) {
                c = static_cast<int>(rest % kClasses);
                rest /= kClasses;
            }
            int run = 0;
            bool otherInRun = false, hopeless = false;
            size_t strings = 1;
            for (int c : shape) {
                const bool mark = c >= kHaraka;
                run = mark ? run + 1 : 0;
                otherInRun = mark && (otherInRun || c == kOtherMark);
                hopeless = hopeless || run >= 4 || (run == 3 && otherInRun);
                strings *= classes[c].size();
            }
            if (hopeless) continue;
            ++shapes;
            std::u16string text(static_cast<size_t>(length), u'\0');
            if (strings <= perShape) {
                for (size_t index = 0; index < strings; ++index) {
                    size_t digits = index;
                    for (size_t k = 0; k < shape.size(); ++k) {
                        const std::u16string& pool = classes[shape[k]];
                        text[k] = pool[digits % pool.size()];
                        digits /= pool.size();
                    }
                    texts.push_back(text);
                }
                continue;
            }
            for (size_t sample = 0; sample < perShape; ++sample) {
                for (size_t k = 0; k < shape.size(); ++k) {
                    const std::u16string& pool = classes[shape[k]];
                    text[k] = pool[random() % pool.size()];
                }
                texts.push_back(text);
            }
        }
    }
    std::vector<Mismatch> mismatches;
    size_t compared = CompareWithIcu(
        TestForm(), texts.size(), [&](size_t i) { return texts[i]; }, mismatches, harness);
    std::printf("%s %s: %zu shapes, %zu strings of up to 5 units, %zu in the target agree\n",
                std::get<0>(GetParam()), FormName(TestForm()), shapes, texts.size(), compared);
    EXPECT_GT(compared, texts.size() / 4);
    ExpectNone(mismatches);
}

// Seeded random texts of twenty units: letters of the profile's alphabet and tatweels, each
// with a run of up to three marks; after a tatweel a run of three may carry one other mark
// of the Arabic block among its harakat, as vowelled Quranic text does.
TEST_P(ProfileVsDefinition, SeededRandomTextsOfTwentyUnits) {
    const RulesHarness& harness = Harness();
    const std::u16string alphabet = Alphabet(harness, TestForm());
    std::u16string starters, marks;
    for (char16_t c : alphabet) (u_getCombiningClass(c) ? marks : starters).push_back(c);
    for (char16_t c = 0x0621; c <= 0x064A; ++c) starters.push_back(c);
    std::u16string harakat, arabicMarks;
    for (char16_t m : ScopeMarks()) {
        if (IsHarakaMark(m)) harakat.push_back(m);
        if (IsArabicBlock(m) && !IsHarakaMark(m)) arabicMarks.push_back(m);
    }
    const size_t texts = 20000;
    std::vector<Mismatch> mismatches;
    size_t compared = CompareWithIcu(
        TestForm(), texts,
        [&](size_t i) {
            std::mt19937 random(static_cast<uint32_t>(i * 104729) +
                                static_cast<uint32_t>(TestForm()));
            std::u16string text;
            while (text.size() < 20) {
                const bool tatweel = random() % 4 == 0;
                text.push_back(tatweel ? u'\u0640' : starters[random() % starters.size()]);
                const size_t length = random() % 4;
                const size_t other = tatweel && length == 3 ? random() % 4 : length;
                // Runs of one or two take any mark; of three, the harakat.
                for (size_t k = 0; k < length; ++k) {
                    const std::u16string& pool = k == other                        ? arabicMarks
                                                 : length < 3 && random() % 10 < 4 ? marks
                                                                                   : harakat;
                    text.push_back(pool[random() % pool.size()]);
                }
            }
            text.resize(20);
            return text;
        },
        mismatches, harness);
    std::printf("%s %s: %zu random texts of 20 units, %zu in the target agree\n",
                std::get<0>(GetParam()), FormName(TestForm()), texts, compared);
    EXPECT_GT(compared, texts / 10);
    ExpectNone(mismatches);
}

INSTANTIATE_TEST_SUITE_P(Profiles, ProfileVsDefinition,
                         ::testing::Combine(::testing::ValuesIn(kProfiles),
                                            ::testing::ValuesIn(kForms)),
                         [](const auto& info) {
                             std::string name = std::get<0>(info.param);
                             for (char& c : name) {
                                 if (c == '-') c = '_';
                             }
                             return name + "_" + FormName(std::get<1>(info.param));
                         });

// The words of a hunspell dictionary: the first line is a count, and a word may carry
// affix flags after a slash or a tab.
std::vector<std::u16string> ReadWords(const std::string& path) {
    std::vector<std::u16string> words;
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    while (std::getline(file, line)) {
        line = line.substr(0, line.find_first_of("/\t\r"));
        if (!line.empty()) {
            words.push_back(kavex::testing::FromIcu(icu::UnicodeString::fromUTF8(line)));
        }
    }
    return words;
}

// Persian words for the Urdu and Persian profiles (Debian has no Urdu list), Arabic words
// for the search profile.
TEST(ProfileWordLists, AgreeWithTheDefinitionInEveryForm) {
    const std::pair<const char*, const char*> runs[] = {
        {"urdu", "/usr/share/hunspell/fa_IR.dic"},
        {"persian", "/usr/share/hunspell/fa_IR.dic"},
        {"arabic-search", "/usr/share/hunspell/ar.dic"}};
    for (const auto& run : runs) {
        const std::vector<std::u16string> words = ReadWords(run.second);
        ASSERT_GT(words.size(), 100000u) << run.second << " (Debian hunspell-ar, myspell-fa)";
        const RulesHarness& harness = RulesHarness::Profile(run.first);
        for (kavex::Form form : kForms) {
            std::vector<Mismatch> mismatches;
            size_t compared = CompareWithIcu(
                form, words.size(), [&](size_t i) { return words[i]; }, mismatches, harness);
            std::printf("%s %s on %s: %zu words, %zu in the target, %zu agree\n", run.first,
                        FormName(form), run.second, words.size(), compared,
                        compared - mismatches.size());
            ExpectNone(mismatches);
        }
    }
}

struct Case {
    const char* profile;
    kavex::Form form;
    std::u16string text, expected;
};

// kavex gives the expected text, and so does the definition.
void ExpectCases(std::initializer_list<Case> cases) {
    for (const Case& c : cases) {
        const RulesHarness& harness = RulesHarness::Profile(c.profile);
        SCOPED_TRACE(std::string(c.profile) + " " + FormName(c.form) + " of " + Hex(c.text));
        EXPECT_EQ(Hex(harness.Kavex(c.form, c.text)), Hex(c.expected));
        EXPECT_EQ(Hex(harness.Reference(c.form, c.text)), Hex(c.expected));
    }
}

TEST(ProfileCases, UrduRows) {
    ExpectCases({{"urdu", NFC, u"\u06CC\u0654", u"\u0626"},
                 {"urdu", NFC, u"\u064A\u0654", u"\u0626"},
                 {"urdu", NFD, u"\u06CC\u0654", u"\u064A\u0654"},
                 {"urdu", NFC, u"\u064A\u0628\u0649", u"\u06CC\u0628\u06CC"},
                 {"urdu", NFC, u"\u0643\u0647\u0629", u"\u06A9\u06C1\u06C3"},
                 {"urdu", NFC, u"\u0660\u0665\u0669", u"\u06F0\u06F5\u06F9"},
                 {"urdu", NFKD, u"\uFEF1\uFED9\uFEE9", u"\u06CC\u06A9\u06C1"},
                 {"urdu", NFKC, u"\uFEF1\uFED9\uFEE9", u"\u06CC\u06A9\u06C1"},
                 {"urdu", NFKC, u"\uFE8B\u2026", u"\u0626..."},
                 {"urdu", NFC, u"\u0628\u0640\u0628", u"\u0628\u0628"},
                 {"urdu", NFC, u"\u0628\u0640", u"\u0628"}});
}

TEST(ProfileCases, PersianRows) {
    ExpectCases({{"persian", NFC, u"\u06CC\u0654", u"\u0626"},
                 {"persian", NFC, u"\u064A\u0654", u"\u0626"},
                 {"persian", NFC, u"\u0647\u0654", u"\u06C0"},
                 {"persian", NFD, u"\u0647\u0654", u"\u06D5\u0654"},
                 {"persian", NFC, u"\u064A\u0649\u0643", u"\u06CC\u06CC\u06A9"},
                 {"persian", NFC, u"\u0661\u0662", u"\u06F1\u06F2"},
                 {"persian", NFC, u"\u0645\u06CC\u200C\u200C\u0634", u"\u0645\u06CC\u200C\u0634"},
                 {"persian", NFC, u"\u200C\u200C\u200C", u"\u200C\u200C"},
                 {"persian", NFC, u"\u0628 \u200C\u0628", u"\u0628 \u0628"},
                 {"persian", NFC, u"\u0628\u200C \u0628", u"\u0628 \u0628"},
                 // A no-break or thin space is a space under the compatibility forms.
                 {"persian", NFKC, u"\u0628\u00A0\u200C\u0628", u"\u0628 \u0628"},
                 {"persian", NFKD, u"\u0628\u200C\u2009\u0628", u"\u0628 \u0628"},
                 {"persian", NFC, u"\u0628\u00A0\u200C\u0628", u"\u0628\u00A0\u200C\u0628"},
                 {"persian", NFD, u"\u0628\u0640\u0628", u"\u0628\u0628"}});
}

TEST(ProfileCases, ArabicSearchRows) {
    ExpectCases(
        {{"arabic-search", NFC, u"\u0622\u0623\u0625\u0671", u"\u0627\u0627\u0627\u0627"},
         {"arabic-search", NFD, u"\u0627\u0654", u"\u0627"},
         {"arabic-search", NFC, u"\u0649\u0629", u"\u064A\u0647"},
         {"arabic-search", NFC, u"\u0643\u064E\u062A\u064E\u0628\u064E", u"\u0643\u062A\u0628"},
         {"arabic-search", NFC, u"\u0628\u0651\u064E\u0655", u"\u0628"},
         {"arabic-search", NFC, u"\u0645\u0610\u061A\u06D6\u06DC\u06DF\u06E8\u06EA\u06ED",
          u"\u0645"},
         {"arabic-search", NFC, u"\u0628\u0640\u0640\u0628", u"\u0628\u0628"},
         {"arabic-search", NFKD, u"\uFE83\uFEF7\uFE8F", u"\u0627\u0644\u0627\u0628"},
         {"arabic-search", NFKC, u"\uFE83\uFEF7\uFE8F", u"\u0627\u0644\u0627\u0628"},
         {"arabic-search", NFC, u"\u0628\u0656", u"\u0628\u0656"}});
}

// U+0624 and U+0626 keep their hamza, in every profile and form.
TEST(ProfileCases, HamzaIsKept) {
    for (const char* profile : kProfiles) {
        ExpectCases({{profile, NFC, u"\u0624\u0626", u"\u0624\u0626"},
                     {profile, NFD, u"\u0624\u0626", u"\u0648\u0654\u064A\u0654"},
                     {profile, NFKD, u"\uFE85\uFE8B", u"\u0648\u0654\u064A\u0654"},
                     {profile, NFKC, u"\uFE85\uFE8B", u"\u0624\u0626"},
                     {profile, NFC, u"\u0648\u0654", u"\u0624"}});
    }
}

// U+06BE, U+06C1 and U+0647 are never folded into each other; only Urdu writes heh as
// heh goal, its own row.
TEST(ProfileCases, HehLettersStayApart) {
    ExpectCases({{"urdu", NFC, u"\u06BE\u06C1\u0647", u"\u06BE\u06C1\u06C1"},
                 {"urdu", NFKD, u"\uFBAA\uFBA6", u"\u06BE\u06C1"},
                 {"persian", NFC, u"\u06BE\u06C1\u0647", u"\u06BE\u06C1\u0647"},
                 {"persian", NFKD, u"\uFBAA\uFBA6\uFEE9", u"\u06BE\u06C1\u0647"},
                 {"arabic-search", NFC, u"\u06BE\u06C1\u0647", u"\u06BE\u06C1\u0647"},
                 {"arabic-search", NFD, u"\u06BE\u06C1\u0647\u0629", u"\u06BE\u06C1\u0647\u0647"}});
}

// A tatweel that carries a mark stays in Urdu and Persian, marks sorted after it; one that
// carries none goes. The search profile deletes both.
TEST(ProfileCases, TatweelCarryingAMark) {
    ExpectCases({{"urdu", NFC, u"\u0628\u0640\u064E", u"\u0628\u0640\u064E"},
                 {"urdu", NFD, u"\u0640\u0651\u064E", u"\u0640\u064E\u0651"},
                 {"urdu", NFKD, u"\uFE7D", u"\u0640\u0651"},
                 {"persian", NFC, u"\u0640\u06E7\u0651", u"\u0640\u0651\u06E7"},
                 {"persian", NFC, u"\u0640\u0640\u064F", u"\u0640\u064F"},
                 {"persian", NFKD, u"\uFE71\u0640", u"\u0640\u064B"},
                 {"arabic-search", NFC, u"\u0628\u0640\u064E", u"\u0628"},
                 {"arabic-search", NFKD, u"\uFE7D", u""}});
    // The tatweel keeps its first mark in sorted order: the rule that keeps it must sort
    // the whole run, not take the first mark as typed.
    for (const char* profile : {"urdu", "persian"}) {
        for (kavex::Form form : kForms) {
            ExpectCases(
                {{profile, form, u"\u0640\u06E7\u0651\u0650", u"\u0640\u0650\u0651\u06E7"},
                 {profile, form, u"\u0628\u0640\u0651\u06E7\u0650\u0628",
                  u"\u0628\u0640\u0650\u0651\u06E7\u0628"},
                 {profile, form, u"\u0640\u0670\u0651\u064E", u"\u0640\u064E\u0651\u0670"}});
        }
        ExpectCases({{profile, NFKD, u"\uFE7D\u06E7\u0650", u"\u0640\u0650\u0651\u06E7"},
                     {profile, NFKD, u"\uFE7F\u064E\u0650", u"\u0640\u064E\u0650\u0652"}});
    }
}

// The generator keeps its own list of the marks a U+06BE moves in front of, for its model
// check of the engine; it must be the engine's.
TEST(ProfileGenerator, HehMarksAreTheEngines) {
    std::ifstream file(KAVEX_SOURCE_DIR "/tools/generate_rules.py");
    ASSERT_TRUE(file) << "tools/generate_rules.py";
    std::stringstream contents;
    contents << file.rdbuf();
    const std::string source = contents.str();
    const size_t start = source.find("HEH_MARKS = frozenset([");
    ASSERT_NE(start, std::string::npos) << "HEH_MARKS is no longer one literal list";
    const std::string list = source.substr(start, source.find("])", start) - start);
    std::vector<char16_t> generator;
    const std::regex hex("0x([0-9A-Fa-f]{4})");
    for (auto it = std::sregex_iterator(list.begin(), list.end(), hex);
         it != std::sregex_iterator(); ++it) {
        generator.push_back(static_cast<char16_t>(std::stoul((*it)[1].str(), nullptr, 16)));
    }
    std::sort(generator.begin(), generator.end());
    std::vector<char16_t> engine(std::begin(kavex::kHehMarks), std::end(kavex::kHehMarks));
    std::sort(engine.begin(), engine.end());
    EXPECT_EQ(Hex(std::u16string(generator.begin(), generator.end())),
              Hex(std::u16string(engine.begin(), engine.end())));
}

}  // namespace
