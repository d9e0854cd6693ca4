// Real text no one here wrote: the Arabic and Persian word lists of Debian's hunspell-ar
// and myspell-fa, in the four forms, against ICU. Prints the agreement per list and form.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/RulesHarness.h"

namespace {

using kavex::FormName;
using kavex::testing::CompareWithIcu;
using kavex::testing::Describe;
using kavex::testing::kForms;
using kavex::testing::Mismatch;
using kavex::testing::RulesHarness;

// The words of a hunspell dictionary: the first line is a count, and a word may carry
// affix flags after a slash or a tab.
std::vector<std::u16string> ReadWords(const std::string& path) {
    std::vector<std::u16string> words;
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    while (std::getline(file, line)) {
        line = line.substr(0, line.find_first_of("/\t\r"));
        if (line.empty()) continue;
        words.push_back(kavex::testing::FromIcu(icu::UnicodeString::fromUTF8(line)));
    }
    return words;
}

class ShippedRulesWordLists : public ::testing::TestWithParam<const char*> {};

TEST_P(ShippedRulesWordLists, AgreesWithIcuInEveryForm) {
    const std::vector<std::u16string> words = ReadWords(GetParam());
    ASSERT_GT(words.size(), 100000u) << GetParam() << " (Debian hunspell-ar, myspell-fa)";
    const RulesHarness& harness = RulesHarness::Get();
    for (kavex::Form form : kForms) {
        std::vector<Mismatch> mismatches;
        size_t compared = CompareWithIcu(
            form, words.size(), [&](size_t i) { return words[i]; }, mismatches);
        // The words outside the target, compared as well, for the overall figure.
        size_t outside = 0, outsideAgree = 0, changed = 0;
        for (const std::u16string& word : words) {
            changed += harness.Reference(form, word) != word;
            if (harness.InTarget(form, word)) continue;
            ++outside;
            outsideAgree += harness.Kavex(form, word) == harness.Reference(form, word);
        }
        const size_t agree = compared - mismatches.size() + outsideAgree;
        std::printf(
            "%s %s: %zu words (%zu changed by ICU), %zu agree with ICU (%.4f%%); "
            "%zu outside the target\n",
            GetParam(), FormName(form), words.size(), changed, agree,
            100.0 * static_cast<double>(agree) / static_cast<double>(words.size()), outside);
        for (const Mismatch& m : mismatches) ADD_FAILURE() << Describe(m);
    }
}

INSTANTIATE_TEST_SUITE_P(Debian, ShippedRulesWordLists,
                         ::testing::Values("/usr/share/hunspell/ar.dic",
                                           "/usr/share/hunspell/fa_IR.dic"),
                         [](const auto& info) {
                             return std::string(info.index == 0 ? "Arabic" : "Persian");
                         });

}  // namespace
