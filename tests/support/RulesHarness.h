// Test support for the shipped rules and profiles: kavex initialized from rules/ or
// rules/profiles/NAME, ICU's Normalizer2 (and a profile's fold table, applied literally) as
// the reference, and the predicate that says which texts the rules promise to get right.
#ifndef KAVEX_TESTS_SUPPORT_RULESHARNESS_H
#define KAVEX_TESTS_SUPPORT_RULESHARNESS_H

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engine/Marks.h"
#include "kavex/Normalization.h"
#include "support/NaiveOracle.h"
#include "support/TempDir.h"

namespace kavex::testing {

constexpr Normalization::NormMode kForms[] = {Normalization::NFD, Normalization::NFC,
                                              Normalization::NFKD};

inline const char* FormName(Normalization::NormMode form) {
    return form == Normalization::NFD ? "NFD" : form == Normalization::NFC ? "NFC" : "NFKD";
}

inline bool InScope(UChar32 c) {
    return (c >= 0x0600 && c <= 0x06FF) || (c >= 0x0750 && c <= 0x077F) ||
           (c >= 0x0870 && c <= 0x08FF) || (c >= 0xFB50 && c <= 0xFDFF) ||
           (c >= 0xFE70 && c <= 0xFEFF) || (c >= 0x1EE00 && c <= 0x1EEFF);
}

inline bool IsPresentationForm(UChar32 c) {
    return (c >= 0xFB50 && c <= 0xFDFF) || (c >= 0xFE70 && c <= 0xFEFF);
}

// The harakat, maddah, the hamzas, subscript alef, inverted damma, noon ghunna and
// superscript alef.
inline bool IsHarakaMark(UChar32 c) { return (c >= 0x064B && c <= 0x0658) || c == 0x0670; }

inline bool IsArabicBlock(UChar32 c) { return c >= 0x0600 && c <= 0x06FF; }

// Marks whose runs of three the rules cover (rules/README.md): every mark of the Arabic
// block for the default rules, the harakat for profiles; after a presentation form under
// NFKD, the harakat for the default rules and none for profiles. A profile that keeps a
// tatweel carrying a mark covers, after that tatweel (also from a presentation form),
// runs of harakat with one other mark of the Arabic block (RulesHarness::InTarget).
inline bool IsCoreMark(Normalization::NormMode form, UChar32 c, bool afterPresentationForm = false,
                       bool profile = false) {
    if (form == Normalization::NFKD && afterPresentationForm) return !profile && IsHarakaMark(c);
    return profile ? IsHarakaMark(c) : IsArabicBlock(c);
}

// A fold table (rules/profiles/NAME/fold.kvr) read plainly: `SRC -> REPL` a line, tokens
// U+XXXX or literal characters, `#` comments at line start or after a blank.
inline NaiveRules ReadFoldTable(const std::string& path) {
    std::ifstream file(path);
    if (!file) throw std::runtime_error("cannot read " + path);
    NaiveRules rules;
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream words(line);
        std::string word;
        std::u16string sides[2];
        int side = 0;
        bool any = false;
        while (words >> word && word[0] != '#') {
            any = true;
            if (word == "->") {
                ++side;
            } else if (word.size() >= 6 && word.compare(0, 2, "U+") == 0) {
                UChar32 c = static_cast<UChar32>(std::stoul(word.substr(2), nullptr, 16));
                icu::UnicodeString one(c);
                sides[std::min(side, 1)].append(one.getBuffer(), static_cast<size_t>(one.length()));
            } else {
                icu::UnicodeString literal = icu::UnicodeString::fromUTF8(word);
                sides[std::min(side, 1)].append(literal.getBuffer(),
                                                static_cast<size_t>(literal.length()));
            }
        }
        if (!any) continue;
        if (side != 1) throw std::runtime_error(path + ": a line without one '->': " + line);
        rules.emplace_back(sides[0], sides[1]);
    }
    return rules;
}

// Every combining mark of the scope, in code point order.
inline const std::vector<char16_t>& ScopeMarks() {
    static const std::vector<char16_t> marks = [] {
        std::vector<char16_t> all;
        for (UChar32 c = 0x0600; c <= 0xFEFF; ++c) {
            if (InScope(c) && u_getCombiningClass(c) != 0) all.push_back(static_cast<char16_t>(c));
        }
        return all;
    }();
    return marks;
}

inline icu::UnicodeString ToIcu(const std::u16string& text) {
    return icu::UnicodeString(text.data(), static_cast<int32_t>(text.size()));
}

inline std::u16string FromIcu(const icu::UnicodeString& text) {
    return std::u16string(text.getBuffer(), text.getBuffer() + text.length());
}

inline std::string Hex(const std::u16string& text) {
    std::string out;
    char unit[8];
    for (char16_t u : text) {
        std::snprintf(unit, sizeof unit, "%s%04X", out.empty() ? "" : " ", unsigned(u));
        out += unit;
    }
    return out;
}

class RulesHarness {
  public:
    // Initializes from the shipped rules/ (or a profile under rules/profiles/) the way a
    // host whose current directory is that folder does. Throws when that fails, so every
    // test of the binary reports it.
    explicit RulesHarness(const std::string& profile = "") : profile_(!profile.empty()) {
        const std::string folder =
            std::string(KAVEX_SOURCE_DIR "/rules") + (profile_ ? "/profiles/" + profile : "");
        {
            WorkingDirectory cwd(folder);
            if (!norm_.Initialize()) throw std::runtime_error(folder + " does not initialize");
        }
        if (profile_) {
            fold_ = ReadFoldTable(folder + "/fold.kvr");
            for (size_t i = 0; i < fold_.size(); ++i) {
                if (fold_[i].first.empty()) throw std::runtime_error("a fold row without source");
                foldByFirst_[fold_[i].first[0]].push_back(i);
            }
            for (char16_t mark : ScopeMarks()) {
                const std::u16string folded = Fold(std::u16string{0x0640, mark});
                keepsTatweel_ = keepsTatweel_ || (!folded.empty() && folded[0] == 0x0640);
            }
        }
        UErrorCode status = U_ZERO_ERROR;
        nfd_ = icu::Normalizer2::getNFDInstance(status);
        nfc_ = icu::Normalizer2::getNFCInstance(status);
        nfkd_ = icu::Normalizer2::getNFKDInstance(status);
        nfkc_ = icu::Normalizer2::getNFKCInstance(status);
        if (U_FAILURE(status)) throw std::runtime_error("ICU normalizers unavailable");
    }

    static const RulesHarness& Get() {
        static const RulesHarness harness;
        return harness;
    }

    // The harness of rules/profiles/NAME, made once.
    static const RulesHarness& Profile(const std::string& name) {
        static std::mutex lock;
        static std::map<std::string, std::unique_ptr<RulesHarness>> harnesses;
        std::lock_guard<std::mutex> hold(lock);
        auto& harness = harnesses[name];
        if (!harness) harness = std::make_unique<RulesHarness>(name);
        return *harness;
    }

    const NaiveRules& Fold() const { return fold_; }
    bool IsProfile() const { return profile_; }
    // Whether the fold keeps a tatweel that carries a mark (urdu, persian).
    bool KeepsTatweel() const { return keepsTatweel_; }

    // kavex through the sized public API. Safe from several threads at once.
    std::u16string Kavex(Normalization::NormMode form, const std::u16string& text) const {
        std::string in = Utf16leBytes(text);
        std::vector<unsigned char> out(in.size() * 4 + 64);
        const auto* bytes = reinterpret_cast<const unsigned char*>(in.data());
        int length = static_cast<int>(in.size());
        int written =
            norm_.Normalize(bytes, length, form, out.data(), static_cast<int>(out.size()));
        if (written < 0) {
            out.resize(static_cast<size_t>(-written));
            written = norm_.Normalize(bytes, length, form, out.data(), -written);
        }
        if (written <= 0) throw std::runtime_error("Normalize did nothing");
        std::u16string result;
        for (int i = 0; i + 1 < written; i += 2) {
            result.push_back(static_cast<char16_t>(out[i] | (out[i + 1] << 8)));
        }
        return result;
    }

    const icu::Normalizer2& Icu(Normalization::NormMode form) const {
        return form == Normalization::NFD ? *nfd_ : form == Normalization::NFC ? *nfc_ : *nfkd_;
    }

    static std::u16string Apply(const icu::Normalizer2& normalizer, const std::u16string& text) {
        UErrorCode status = U_ZERO_ERROR;
        icu::UnicodeString result = normalizer.normalize(ToIcu(text), status);
        if (U_FAILURE(status)) throw std::runtime_error("ICU normalize failed");
        return FromIcu(result);
    }

    // ICU's form; for a profile F(fold(G(text))), G being NFC for the NFD and NFC files and
    // NFKC for the NFKD file, the fold applied with the engine's semantics.
    std::u16string Reference(Normalization::NormMode form, const std::u16string& text) const {
        if (!profile_) return Apply(Icu(form), text);
        return Apply(Icu(form), Fold(Apply(form == Normalization::NFKD ? *nfkc_ : *nfc_, text)));
    }

    // The fold table applied literally: at each place from the left, the first listed row
    // whose source occurs there; the replacement is not searched again. (The tables have
    // no repeated source, so no row is shadowed by a later copy.)
    std::u16string Fold(const std::u16string& text) const {
        std::u16string out;
        size_t p = 0;
        while (p < text.size()) {
            const NaiveRules::value_type* rule = nullptr;
            auto rows = foldByFirst_.find(text[p]);
            if (rows != foldByFirst_.end()) {
                for (size_t i : rows->second) {
                    if (text.compare(p, fold_[i].first.size(), fold_[i].first) == 0) {
                        rule = &fold_[i];
                        break;
                    }
                }
            }
            if (rule == nullptr) {
                out.push_back(text[p++]);
                continue;
            }
            out += rule->second;
            p += rule->first.size();
        }
        return out;
    }

    // Whether the rules promise the reference result for `text`: no U+06BE right after a
    // mark of the built-in reordering, and every run of marks after decomposition
    // (canonical for NFD and NFC, compatibility for NFKD) at most two long, or three long
    // with core marks only (IsCoreMark, which looks at the character that gave the
    // starter before the run) or, after a tatweel the profile keeps (under NFKD also one
    // from a presentation form of tatweel with a haraka), harakat with at most one other
    // mark of the Arabic block; for a profile, no mark kept by the fold after a starter
    // that it deletes with its mark.
    bool InTarget(Normalization::NormMode form, const std::u16string& text) const {
        for (size_t i = 1; i < text.size(); ++i) {
            if (text[i] == kHeh && IsHehMark(text[i - 1])) return false;
        }
        const icu::Normalizer2& decomposer = form == Normalization::NFKD ? *nfkd_ : *nfd_;
        icu::UnicodeString source = ToIcu(text);
        int run = 0, outsideCore = 0;
        bool arabicBlock = true, afterPresentationForm = false, afterKeptTatweel = false;
        // A starter that a profile's fold deletes together with the mark it carries
        // (arabic-search: tatweel) hands its other marks to the letter before it, joining
        // two runs; the rules do not follow that.
        bool afterDeletedStarter = false;
        auto covered = [&] {
            if (run < 3 || (run == 3 && outsideCore == 0)) return true;
            return run == 3 && afterKeptTatweel && outsideCore == 1 && arabicBlock;
        };
        std::u16string units;
        std::vector<bool> fromPresentationForm;
        for (int32_t i = 0; i < source.length(); i = source.moveIndex32(i, 1)) {
            const UChar32 character = source.char32At(i);
            icu::UnicodeString decomposed;
            if (!decomposer.getDecomposition(character, decomposed)) decomposed = character;
            for (int32_t k = 0; k < decomposed.length(); ++k) {
                units.push_back(decomposed[k]);
                fromPresentationForm.push_back(IsPresentationForm(character));
            }
        }
        for (size_t k = 0; k < units.size(); ++k) {
            const char16_t c = units[k];
            if (u_getCombiningClass(c) != 0) {
                ++run;
                const bool core = afterKeptTatweel
                                      ? IsHarakaMark(c)
                                      : IsCoreMark(form, c, afterPresentationForm, profile_);
                if (!core) ++outsideCore;
                arabicBlock = arabicBlock && IsArabicBlock(c);
                if (afterDeletedStarter && !Fold(std::u16string(1, c)).empty()) return false;
                continue;
            }
            if (!covered()) return false;
            run = 0;
            outsideCore = 0;
            arabicBlock = true;
            afterPresentationForm = fromPresentationForm[k];
            afterKeptTatweel = keepsTatweel_ && c == 0x0640;
            afterDeletedStarter = false;
            if (profile_ && k + 1 < units.size() && u_getCombiningClass(units[k + 1]) != 0) {
                const std::u16string mark(1, units[k + 1]);
                afterDeletedStarter = Fold(std::u16string(1, c) + mark) == Fold(mark);
            }
        }
        return covered();
    }

  private:
    bool profile_;
    bool keepsTatweel_ = false;
    NaiveRules fold_;
    std::map<char16_t, std::vector<size_t>> foldByFirst_;
    Normalization norm_;
    const icu::Normalizer2* nfkc_ = nullptr;
    const icu::Normalizer2* nfd_ = nullptr;
    const icu::Normalizer2* nfc_ = nullptr;
    const icu::Normalizer2* nfkd_ = nullptr;
};

// A disagreement with ICU, for the report.
struct Mismatch {
    Normalization::NormMode form;
    std::u16string text, kavex, icu;
};

inline std::string Describe(const Mismatch& m) {
    return std::string(FormName(m.form)) + " of " + Hex(m.text) + ": kavex " + Hex(m.kavex) +
           ", ICU " + Hex(m.icu);
}

// Compares kavex with ICU on texts[i] for i in [0, count), spread over the machine's
// cores; texts outside the target are skipped. Returns how many were compared and keeps
// the first few mismatches.
template <typename TextAt>
size_t CompareWithIcu(Normalization::NormMode form, size_t count, TextAt textAt,
                      std::vector<Mismatch>& mismatches,
                      const RulesHarness& harness = RulesHarness::Get()) {
    unsigned workers = std::max(1u, std::min(4u, std::thread::hardware_concurrency()));
    std::vector<size_t> compared(workers, 0);
    std::vector<std::vector<Mismatch>> found(workers);
    std::vector<std::thread> threads;
    for (unsigned w = 0; w < workers; ++w) {
        threads.emplace_back([&, w] {
            for (size_t i = w; i < count; i += workers) {
                std::u16string text = textAt(i);
                if (text.empty() || !harness.InTarget(form, text)) continue;
                ++compared[w];
                std::u16string got, expected;
                try {
                    got = harness.Kavex(form, text);
                    expected = harness.Reference(form, text);
                } catch (const std::exception&) {
                    got = u"<exception>";
                }
                if (got != expected && found[w].size() < 10) {
                    found[w].push_back({form, text, got, expected});
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    size_t total = 0;
    for (unsigned w = 0; w < workers; ++w) {
        total += compared[w];
        mismatches.insert(mismatches.end(), found[w].begin(), found[w].end());
    }
    return total;
}

}  // namespace kavex::testing

#endif  // KAVEX_TESTS_SUPPORT_RULESHARNESS_H
