// Test support for the shipped rules and profiles: kavex initialized from rules/ or
// rules/profiles/NAME (NFKC as a host gets it, NFKC.txt named in a slot of its own
// config.ini), ICU's Normalizer2 (and a profile's fold table, applied literally) as the
// reference, and the predicate that says which texts the rules promise to get right.
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
#include "interface/Form.h"
#include "kavex/Normalization.h"
#include "support/NaiveOracle.h"
#include "support/TempDir.h"

namespace kavex::testing {

// The four forms of the shipped rules: the exported class's three modes, and NFKC, which a
// folder names under its own key (a host names NFKC.txt in one of the three slots).
constexpr Form kForms[] = {Form::kNfd, Form::kNfc, Form::kNfkd, Form::kNfkc};

inline bool IsCompatibility(Form form) { return form == Form::kNfkd || form == Form::kNfkc; }

// The Arabic-script blocks.
inline bool InScope(UChar32 c) {
    return (c >= 0x0600 && c <= 0x06FF) || (c >= 0x0750 && c <= 0x077F) ||
           (c >= 0x0870 && c <= 0x08FF) || (c >= 0xFB50 && c <= 0xFDFF) ||
           (c >= 0xFE70 && c <= 0xFEFF) || (c >= 0x1EE00 && c <= 0x1EEFF);
}

// The blocks that Arabic-script text mixes in: Latin-1 Supplement, Latin Extended-A,
// General Punctuation, Superscripts and Subscripts, Currency Symbols, Letterlike Symbols,
// Number Forms and Alphabetic Presentation Forms.
inline bool InMixedScope(UChar32 c) {
    return (c >= 0x0080 && c <= 0x017F) || (c >= 0x2000 && c <= 0x20CF) ||
           (c >= 0x2100 && c <= 0x218F) || (c >= 0xFB00 && c <= 0xFB4F);
}

// A mark that may stand as a letter's one accent: the Combining Diacritical Marks and the
// marks of the mixed blocks.
inline bool IsAccent(UChar32 c) {
    return u_getCombiningClass(c) != 0 && ((c >= 0x0300 && c <= 0x036F) || InMixedScope(c));
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
// NFKD and NFKC, the harakat for the default rules and none for profiles. A profile that
// keeps a tatweel carrying a mark covers, after that tatweel (also from a presentation
// form), runs of harakat with one other mark of the Arabic block (RulesHarness::InTarget).
inline bool IsCoreMark(Form form, UChar32 c, bool afterPresentationForm = false,
                       bool profile = false) {
    if (IsCompatibility(form) && afterPresentationForm) return !profile && IsHarakaMark(c);
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

// Every accent (IsAccent), in code point order.
inline const std::vector<char16_t>& Accents() {
    static const std::vector<char16_t> accents = [] {
        std::vector<char16_t> all;
        for (UChar32 c = 0x0300; c <= 0xFB4F; ++c) {
            if (IsAccent(c)) all.push_back(static_cast<char16_t>(c));
        }
        return all;
    }();
    return accents;
}

// Every assigned starter of the mixed blocks, and the ASCII letters and symbols that an
// accent composes with, in code point order.
inline const std::vector<char16_t>& MixedStarters() {
    static const std::vector<char16_t> starters = [] {
        std::vector<char16_t> all;
        for (UChar32 c = 0x0020; c <= 0xFB4F; ++c) {
            const bool ascii = c < 0x7F && (u_isalpha(c) || c == '<' || c == '=' || c == '>');
            if ((ascii || InMixedScope(c)) && u_isdefined(c) && u_getCombiningClass(c) == 0) {
                all.push_back(static_cast<char16_t>(c));
            }
        }
        return all;
    }();
    return starters;
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
    // host whose current directory is that folder does, and for NFKC the way a host that
    // wants it does: a config.ini of its own that names NFKC.txt in the NFC slot. Throws
    // when that fails, so every test of the binary reports it.
    explicit RulesHarness(const std::string& profile = "") : profile_(!profile.empty()) {
        const std::string folder =
            std::string(KAVEX_SOURCE_DIR "/rules") + (profile_ ? "/profiles/" + profile : "");
        {
            WorkingDirectory cwd(folder);
            if (!norm_.Initialize()) throw std::runtime_error(folder + " does not initialize");
        }
        {
            TempDir host;
            host.Write("config.ini", "NFDfilepath=" + folder + "/NFD.txt\nNFCfilepath=" + folder +
                                         "/NFKC.txt\nNFKDfilepath=" + folder + "/NFKD.txt\n");
            WorkingDirectory cwd(host.Path());
            if (!nfkcHost_.Initialize()) {
                throw std::runtime_error(folder + "/NFKC.txt does not initialize in a slot");
            }
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
    std::u16string Kavex(Form form, const std::u16string& text) const {
        const Normalization& norm = form == Form::kNfkc ? nfkcHost_ : norm_;
        const Normalization::NormMode mode = form == Form::kNfd    ? Normalization::NFD
                                             : form == Form::kNfkd ? Normalization::NFKD
                                                                   : Normalization::NFC;
        std::string in = Utf16leBytes(text);
        std::vector<unsigned char> out(in.size() * 4 + 64);
        const auto* bytes = reinterpret_cast<const unsigned char*>(in.data());
        int length = static_cast<int>(in.size());
        int written = norm.Normalize(bytes, length, mode, out.data(), static_cast<int>(out.size()));
        if (written < 0) {
            out.resize(static_cast<size_t>(-written));
            written = norm.Normalize(bytes, length, mode, out.data(), -written);
        }
        if (written <= 0) throw std::runtime_error("Normalize did nothing");
        std::u16string result;
        for (int i = 0; i + 1 < written; i += 2) {
            result.push_back(static_cast<char16_t>(out[i] | (out[i + 1] << 8)));
        }
        return result;
    }

    const icu::Normalizer2& Icu(Form form) const {
        switch (form) {
            case Form::kNfd:
                return *nfd_;
            case Form::kNfc:
                return *nfc_;
            case Form::kNfkd:
                return *nfkd_;
            case Form::kNfkc:
                break;
        }
        return *nfkc_;
    }

    static std::u16string Apply(const icu::Normalizer2& normalizer, const std::u16string& text) {
        UErrorCode status = U_ZERO_ERROR;
        icu::UnicodeString result = normalizer.normalize(ToIcu(text), status);
        if (U_FAILURE(status)) throw std::runtime_error("ICU normalize failed");
        return FromIcu(result);
    }

    // ICU's form; for a profile F(fold(G(text))), G being NFC for the NFD and NFC files and
    // NFKC for the NFKD and NFKC files, the fold applied with the engine's semantics.
    std::u16string Reference(Form form, const std::u16string& text) const {
        if (!profile_) return Apply(Icu(form), text);
        return Apply(Icu(form), Fold(Apply(IsCompatibility(form) ? *nfkc_ : *nfc_, text)));
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
    // (canonical for NFD and NFC, compatibility for NFKD and NFKC)
    // - at most two long, or three long with core marks only (IsCoreMark, which looks at
    //   the character that gave the starter before the run) or, after a tatweel the profile
    //   keeps (under compatibility decomposition also one from a presentation form of
    //   tatweel with a haraka), harakat with at most one other mark of the Arabic block;
    // - given by one character where it holds an accent (a letter's own, or one combining
    //   mark after a letter);
    // - under NFKC of the default rules, one mark long where it holds a mark that composes
    //   with the letter a presentation form or mathematical letter ends in;
    // and for a profile, no mark kept by the fold after a starter that it deletes with its
    // mark.
    bool InTarget(Form form, const std::u16string& text) const {
        for (size_t i = 1; i < text.size(); ++i) {
            if (text[i] == kHeh && IsHehMark(text[i - 1])) return false;
        }
        const icu::Normalizer2& decomposer = IsCompatibility(form) ? *nfkd_ : *nfd_;
        // Each unit after decomposition, with the character that gave it and its place.
        struct Unit {
            char16_t unit;
            UChar32 character;
            int32_t index;
        };
        std::vector<Unit> units;
        icu::UnicodeString source = ToIcu(text);
        for (int32_t i = 0; i < source.length(); i = source.moveIndex32(i, 1)) {
            const UChar32 character = source.char32At(i);
            icu::UnicodeString decomposed;
            if (!decomposer.getDecomposition(character, decomposed)) decomposed = character;
            for (int32_t k = 0; k < decomposed.length(); ++k) {
                units.push_back({decomposed[k], character, i});
            }
        }
        int run = 0, outsideCore = 0;
        bool arabicBlock = true, afterPresentationForm = false, afterKeptTatweel = false;
        bool accent = false, severalCharacters = false, composingMark = false;
        int32_t runCharacter = -1;
        // The letter a composing form (see above) ends in, or 0.
        char16_t composingLetter = 0;
        // A starter that a profile's fold deletes together with the mark it carries
        // (arabic-search: tatweel; urdu and persian: a tatweel before an accent) hands its
        // other marks to the letter before it, joining two runs; the rules do not follow that.
        bool afterDeletedStarter = false;
        auto covered = [&] {
            if (accent && severalCharacters) return false;
            if (composingMark) return run == 1;
            if (run < 3 || (run == 3 && outsideCore == 0)) return true;
            return run == 3 && afterKeptTatweel && outsideCore == 1 && arabicBlock;
        };
        for (size_t k = 0; k < units.size(); ++k) {
            const char16_t c = units[k].unit;
            if (u_getCombiningClass(c) != 0) {
                ++run;
                const bool core = afterKeptTatweel
                                      ? IsHarakaMark(c)
                                      : IsCoreMark(form, c, afterPresentationForm, profile_);
                if (!core) ++outsideCore;
                arabicBlock = arabicBlock && IsArabicBlock(c);
                accent = accent || !InScope(c);
                if (runCharacter < 0) runCharacter = units[k].index;
                severalCharacters = severalCharacters || units[k].index != runCharacter;
                composingMark = composingMark || (composingLetter != 0 &&
                                                  nfc_->composePair(composingLetter, c) >= 0);
                if (afterDeletedStarter && !Fold(std::u16string(1, c)).empty()) return false;
                continue;
            }
            if (!covered()) return false;
            run = 0;
            outsideCore = 0;
            arabicBlock = true;
            accent = severalCharacters = composingMark = false;
            runCharacter = -1;
            const UChar32 character = units[k].character;
            afterPresentationForm = IsPresentationForm(character);
            afterKeptTatweel = keepsTatweel_ && c == 0x0640;
            const bool lastOfCharacter =
                k + 1 == units.size() || units[k + 1].index != units[k].index;
            composingLetter = form == Form::kNfkc && !profile_ && lastOfCharacter &&
                                      (IsPresentationForm(character) ||
                                       (character >= 0x10000 && InScope(character)))
                                  ? c
                                  : 0;
            afterDeletedStarter = false;
            if (profile_ && k + 1 < units.size() && u_getCombiningClass(units[k + 1].unit) != 0) {
                const std::u16string mark(1, units[k + 1].unit);
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
    Normalization nfkcHost_;
    const icu::Normalizer2* nfkc_ = nullptr;
    const icu::Normalizer2* nfd_ = nullptr;
    const icu::Normalizer2* nfc_ = nullptr;
    const icu::Normalizer2* nfkd_ = nullptr;
};

// A disagreement with ICU, for the report.
struct Mismatch {
    Form form;
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
size_t CompareWithIcu(Form form, size_t count, TextAt textAt, std::vector<Mismatch>& mismatches,
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
