// The shipped rules against ICU's Normalizer2 in the four forms: every short string over
// the units the rules treat specially, every string of four over a reduced alphabet, every
// letter of the mixed blocks with every accent, and seeded random text of the whole scope.
// Texts outside the target (rules/README.md) are skipped.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "support/RulesHarness.h"

namespace {

using kavex::Form;
using kavex::FormName;
using kavex::testing::Accents;
using kavex::testing::CompareWithIcu;
using kavex::testing::Describe;
using kavex::testing::InScope;
using kavex::testing::IsCompatibility;
using kavex::testing::kForms;
using kavex::testing::Mismatch;
using kavex::testing::MixedStarters;
using kavex::testing::RulesHarness;
using kavex::testing::ScopeMarks;

// Letters that decompose or compose canonically, U+06BE, a plain letter, ASCII, a
// presentation form and the two halves of a mathematical letter.
const std::u16string kLetters =
    std::u16string(
        u"\u0622\u0623\u0624\u0625\u0626\u06C0\u06C2\u06D3"  // composites
        u"\u0627\u0648\u064A\u06C1\u06D2\u06D5"              // their bases
        u"\u06BE\u0628a\uFEF7") +
    char16_t(0xD83B) + char16_t(0xDE00);

// For NFKD and NFKC also every starter of the scope whose compatibility decomposition ends
// in a mark (isolated harakat, shadda ligatures, hamza and madda forms) and a few that only
// change on their own; for NFKC forms of the letters that compose with a mark (alef, waw,
// yeh, heh goal, yeh barree, lam-alef, kaf-alef).
std::u16string LettersFor(Form form) {
    std::u16string letters = kLetters;
    if (!IsCompatibility(form)) return letters;
    const RulesHarness& harness = RulesHarness::Get();
    for (char16_t c = 0xFB50; c != 0xFF00; ++c) {
        if (!InScope(c) || u_getCombiningClass(c) != 0) continue;
        std::u16string d = harness.Reference(Form::kNfkd, std::u16string(1, c));
        if (!d.empty() && u_getCombiningClass(d.back()) != 0) letters.push_back(c);
    }
    letters += u"\u0675\uFB50\uFDFA\uFEFB";
    if (form == Form::kNfkc) letters += u"\uFE8D\uFE8E\uFEEE\uFEF2\uFBA7\uFBAF\uFC37";
    return letters;
}

std::u16string Alphabet(Form form) {
    std::u16string alphabet = LettersFor(form);
    for (char16_t mark : ScopeMarks()) alphabet.push_back(mark);
    return alphabet;
}

// The index-th string of `length` units over `alphabet`.
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

class ShippedRulesVsIcu : public ::testing::TestWithParam<Form> {};

// Includes every pair of marks, alone and after every letter.
TEST_P(ShippedRulesVsIcu, EveryStringOfUpToThreeUnits) {
    const Form form = GetParam();
    const std::u16string alphabet = Alphabet(form);
    std::vector<Mismatch> mismatches;
    size_t compared = 0;
    for (int length = 1; length <= 3; ++length) {
        compared += CompareWithIcu(
            form, Power(alphabet.size(), length),
            [&](size_t i) { return Nth(alphabet, length, i); }, mismatches);
    }
    std::printf("%s: %zu strings of up to 3 units over %zu units agree with ICU\n", FormName(form),
                compared, alphabet.size());
    EXPECT_GT(compared, Power(alphabet.size(), 2));
    ExpectNone(mismatches);
}

TEST_P(ShippedRulesVsIcu, EveryStringOfFourOverReducedAlphabet) {
    const Form form = GetParam();
    // The canonical letters, U+06BE, a plain letter, and one mark of each combining class
    // with the three that compose.
    std::u16string alphabet = kLetters.substr(0, 16);
    alphabet +=
        u"\u064B\u064C\u064D\u064E\u064F\u0650\u0651\u0652\u0670"  // 27 to 35
        u"\u0653\u0654\u0657"                                      // 230
        u"\u0655\u0656";                                           // 220
    if (IsCompatibility(form)) alphabet += u"\uFE7C\uFEF7";
    if (form == Form::kNfkc) alphabet += u"\uFE8D";
    std::vector<Mismatch> mismatches;
    size_t compared = CompareWithIcu(
        form, Power(alphabet.size(), 4), [&](size_t i) { return Nth(alphabet, 4, i); }, mismatches);
    std::printf("%s: %zu strings of 4 units over %zu units agree with ICU\n", FormName(form),
                compared, alphabet.size());
    EXPECT_GT(compared, Power(alphabet.size(), 3));
    ExpectNone(mismatches);
}

TEST_P(ShippedRulesVsIcu, SeededRandomTextOfTheWholeScope) {
    const Form form = GetParam();
    std::vector<char32_t> starters = {U'a', U' ', U'1'};
    for (char32_t c = 0x0600; c <= 0x1EEFF; ++c) {
        if (InScope(static_cast<UChar32>(c)) && u_getCombiningClass(static_cast<UChar32>(c)) == 0 &&
            u_isdefined(static_cast<UChar32>(c))) {
            starters.push_back(c);
        }
    }
    const std::vector<char16_t>& marks = ScopeMarks();
    const std::vector<char16_t>& mixed = MixedStarters();
    const std::vector<char16_t>& accents = Accents();
    // Runs drawn mostly from the marks whose runs of three are covered, fewer after a
    // presentation form under NFKD and NFKC; a letter of the mixed blocks in five, and an
    // accent instead of a run in eight.
    std::vector<char16_t> core, coreAfterPresentationForm;
    for (char16_t m : marks) {
        if (kavex::testing::IsCoreMark(form, m)) core.push_back(m);
        if (kavex::testing::IsCoreMark(form, m, true)) coreAfterPresentationForm.push_back(m);
    }
    constexpr size_t kTexts = 100000;
    std::vector<Mismatch> mismatches;
    size_t compared = CompareWithIcu(
        form, kTexts,
        [&](size_t i) {
            std::mt19937 random(static_cast<uint32_t>(i * 7919) + static_cast<uint32_t>(form));
            std::u16string text;
            int clusters = 1 + static_cast<int>(random() % 8);
            for (int k = 0; k < clusters; ++k) {
                char32_t c = random() % 5 == 0 ? mixed[random() % mixed.size()]
                                               : starters[random() % starters.size()];
                if (c >= 0x10000) {
                    text.push_back(static_cast<char16_t>(0xD7C0 + (c >> 10)));
                    text.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
                } else {
                    text.push_back(static_cast<char16_t>(c));
                }
                if (random() % 8 == 0) {
                    text.push_back(accents[random() % accents.size()]);
                    continue;
                }
                const std::vector<char16_t>& covered =
                    kavex::testing::IsPresentationForm(static_cast<UChar32>(c))
                        ? coreAfterPresentationForm
                        : core;
                const std::vector<char16_t>& pool = random() % 10 < 7 ? covered : marks;
                for (int run = static_cast<int>(random() % 4); run > 0; --run) {
                    text.push_back(pool[random() % pool.size()]);
                }
            }
            return text;
        },
        mismatches);
    std::printf("%s: %zu random texts agree with ICU\n", FormName(form), compared);
    EXPECT_GT(compared, kTexts / 2);
    ExpectNone(mismatches);
}

// Every letter, space and sign of the mixed blocks (and each ASCII letter an accent composes
// with) alone, with every accent, with a haraka and with shadda and fatha, each alone and
// between Arabic letters that carry marks: the cases of text that mixes in Latin names,
// punctuation and symbols.
TEST_P(ShippedRulesVsIcu, MixedBlocksWithEveryAccent) {
    const Form form = GetParam();
    std::vector<std::u16string> tails = {u"", u"\u064E", u"\u0651\u064E"};
    for (char16_t accent : Accents()) tails.emplace_back(1, accent);
    const std::u16string contexts[][2] = {
        {u"", u""}, {u"\u0628\u064E", u""}, {u"", u"\u0628\u0651"}};
    const std::vector<char16_t>& letters = MixedStarters();
    const size_t perLetter = tails.size() * 3;
    std::vector<Mismatch> mismatches;
    size_t compared = CompareWithIcu(
        form, letters.size() * perLetter,
        [&](size_t i) {
            const auto& context = contexts[i % 3];
            return context[0] + letters[i / perLetter] + tails[i / 3 % tails.size()] + context[1];
        },
        mismatches);
    std::printf("%s: %zu texts of %zu letters of the mixed blocks agree with ICU\n", FormName(form),
                compared, letters.size());
    EXPECT_GT(compared, letters.size() * perLetter / 2);
    ExpectNone(mismatches);
}

// Runs of three marks of vowelled Quranic text that need sorting, in every form: a mark
// of the Arabic block outside the harakat among them (after a tatweel, a letter, a
// composite), which NFKD once left unsorted.
TEST_P(ShippedRulesVsIcu, QuranicRunsOfThree) {
    const Form form = GetParam();
    const RulesHarness& harness = RulesHarness::Get();
    const std::u16string texts[] = {u"\u0640\u06E7\u0651\u0650", u"\u0628\u06E7\u0651\u0650",
                                    u"\u0645\u06E2\u0651\u064E", u"\u0646\u06ED\u0652\u064F",
                                    u"\u0623\u06E7\u0650",       u"\u0644\u0615\u0651\u064E",
                                    u"\u0643\u06DA\u0670\u0651", u"\u06E7\u0651\u0650"};
    for (const std::u16string& text : texts) {
        ASSERT_TRUE(harness.InTarget(form, text)) << kavex::testing::Hex(text);
        EXPECT_EQ(kavex::testing::Hex(harness.Kavex(form, text)),
                  kavex::testing::Hex(harness.Reference(form, text)))
            << FormName(form) << " of " << kavex::testing::Hex(text);
    }
    if (IsCompatibility(form)) {
        EXPECT_EQ(harness.Kavex(form, u"\u0640\u06E7\u0651\u0650"), u"\u0640\u0650\u0651\u06E7");
    }
}

INSTANTIATE_TEST_SUITE_P(Forms, ShippedRulesVsIcu, ::testing::ValuesIn(kForms),
                         [](const auto& info) { return std::string(FormName(info.param)); });

}  // namespace
