// Real text, line by line, in the four forms: the shipped rules give ICU's result on every
// line except those where U+06BE follows a mark (kavex moves it, by design), and each
// profile its definition on every line of its target. By default the text is a sample of
// the Urdu and Persian of installed Debian packages, also shaped into presentation forms
// (tests/rules_realtext_sample.py, run before this test); with KAVEX_CORPUS=DIR it is the
// corpora that bench/corpus.sh built in DIR, for the full figures.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "support/RulesHarness.h"

namespace {

using kavex::Form;
using kavex::FormName;
using kavex::testing::Hex;
using kavex::testing::kForms;
using kavex::testing::RulesHarness;

struct Corpus {
    std::string kind;
    std::vector<std::u16string> lines;  // distinct, none empty
};

std::string Folder() {
    const char* corpus = std::getenv("KAVEX_CORPUS");
    return corpus != nullptr && *corpus != '\0' ? corpus : KAVEX_REALTEXT_SAMPLE;
}

std::vector<Corpus> ReadCorpora() {
    std::vector<Corpus> corpora;
    for (const char* kind : {"vowelled", "urdu", "persian", "presentation"}) {
        std::ifstream file(Folder() + "/" + kind + ".txt", std::ios::binary);
        if (!file) continue;
        Corpus corpus{kind, {}};
        std::set<std::u16string> seen;
        std::string line;
        while (std::getline(file, line)) {
            if (line.empty()) continue;
            std::u16string text = kavex::testing::FromIcu(icu::UnicodeString::fromUTF8(line));
            if (seen.insert(text).second) corpus.lines.push_back(text);
        }
        corpora.push_back(corpus);
    }
    return corpora;
}

const std::vector<Corpus>& Corpora() {
    static const std::vector<Corpus> corpora = ReadCorpora();
    return corpora;
}

bool HehAfterMark(const std::u16string& line) {
    for (size_t i = 1; i < line.size(); ++i) {
        if (line[i] == kavex::kHeh && kavex::IsHehMark(line[i - 1])) return true;
    }
    return false;
}

void ExpectTheSample() {
    if (std::getenv("KAVEX_CORPUS") != nullptr) return;
    // The sample: Debian iso-codes, libglib2.0-data, myspell-fa and python3-arabic-reshaper.
    ASSERT_EQ(Corpora().size(), 3u) << "no sample in " << Folder();
    for (const Corpus& corpus : Corpora()) EXPECT_GT(corpus.lines.size(), 100u) << corpus.kind;
}

TEST(ShippedRulesRealText, EveryLineAgreesWithIcuInEveryForm) {
    ExpectTheSample();
    const RulesHarness& harness = RulesHarness::Get();
    for (const Corpus& corpus : Corpora()) {
        for (Form form : kForms) {
            size_t agree = 0, heh = 0, reported = 0;
            for (const std::u16string& line : corpus.lines) {
                const std::u16string got = harness.Kavex(form, line);
                const std::u16string expected = harness.Reference(form, line);
                if (got == expected) {
                    ++agree;
                } else if (HehAfterMark(line)) {
                    ++heh;
                } else if (++reported <= 5) {
                    ADD_FAILURE() << corpus.kind << " " << FormName(form) << " of " << Hex(line)
                                  << ": kavex " << Hex(got) << ", ICU " << Hex(expected);
                }
            }
            std::printf(
                "%s %s: %zu lines, %zu agree with ICU (%.3f%%), %zu differ with U+06BE "
                "after a mark, %zu otherwise\n",
                corpus.kind.c_str(), FormName(form), corpus.lines.size(), agree,
                100.0 * static_cast<double>(agree) / static_cast<double>(corpus.lines.size()), heh,
                reported);
        }
    }
}

TEST(ShippedRulesRealText, ProfilesAgreeWithTheirDefinitionOnTheirTarget) {
    ExpectTheSample();
    for (const char* profile : {"urdu", "persian", "arabic-search"}) {
        const RulesHarness& harness = RulesHarness::Profile(profile);
        for (const Corpus& corpus : Corpora()) {
            for (Form form : kForms) {
                size_t agree = 0, inTarget = 0, reported = 0;
                for (const std::u16string& line : corpus.lines) {
                    const std::u16string got = harness.Kavex(form, line);
                    const std::u16string expected = harness.Reference(form, line);
                    agree += got == expected;
                    if (!harness.InTarget(form, line)) continue;
                    ++inTarget;
                    if (got != expected && ++reported <= 5) {
                        ADD_FAILURE() << profile << " " << corpus.kind << " " << FormName(form)
                                      << " of " << Hex(line) << ": kavex " << Hex(got)
                                      << ", definition " << Hex(expected);
                    }
                }
                std::printf(
                    "%s on %s %s: %zu lines, %zu agree with the definition, %zu in the "
                    "target\n",
                    profile, corpus.kind.c_str(), FormName(form), corpus.lines.size(), agree,
                    inTarget);
            }
        }
    }
}

}  // namespace
