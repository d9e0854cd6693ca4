// Test support for the shipped rules: kavex initialized from rules/, ICU's Normalizer2 as
// the reference, and the predicate that says which texts the rules promise to get right.
#ifndef KAVEX_TESTS_SUPPORT_RULESHARNESS_H
#define KAVEX_TESTS_SUPPORT_RULESHARNESS_H

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "kavex/Normalization.h"
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

// The marks before which the built-in reordering moves U+06BE.
inline bool IsHehMark(char16_t u) {
    return (u >= 0x0610 && u <= 0x0615) || u == 0x064B || (u >= 0x064E && u <= 0x0654) ||
           (u >= 0x0656 && u <= 0x0658) || u == 0x0670;
}

// Marks whose runs of three the rules cover (rules/README.md): every mark of the Arabic
// block for NFD and NFC; U+064B-0658 and U+0670 for NFKD.
inline bool IsCoreMark(Normalization::NormMode form, UChar32 c) {
    if (form == Normalization::NFKD) return (c >= 0x064B && c <= 0x0658) || c == 0x0670;
    return c >= 0x0600 && c <= 0x06FF;
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
    // Initializes from the shipped rules/ the way a host whose current directory is rules/
    // does. Throws when that fails, so every test of the binary reports it.
    RulesHarness() {
        {
            WorkingDirectory cwd(KAVEX_SOURCE_DIR "/rules");
            if (!norm_.Initialize()) throw std::runtime_error("rules/ does not initialize");
        }
        UErrorCode status = U_ZERO_ERROR;
        nfd_ = icu::Normalizer2::getNFDInstance(status);
        nfc_ = icu::Normalizer2::getNFCInstance(status);
        nfkd_ = icu::Normalizer2::getNFKDInstance(status);
        if (U_FAILURE(status)) throw std::runtime_error("ICU normalizers unavailable");
    }

    static const RulesHarness& Get() {
        static const RulesHarness harness;
        return harness;
    }

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

    std::u16string Reference(Normalization::NormMode form, const std::u16string& text) const {
        UErrorCode status = U_ZERO_ERROR;
        icu::UnicodeString result = Icu(form).normalize(ToIcu(text), status);
        if (U_FAILURE(status)) throw std::runtime_error("ICU normalize failed");
        return FromIcu(result);
    }

    // Whether the rules promise ICU's result for `text`: no U+06BE right after a mark of the
    // built-in reordering, and every run of marks after decomposition (canonical for NFD
    // and NFC, compatibility for NFKD) at most two long, or three long with core marks only.
    bool InTarget(Normalization::NormMode form, const std::u16string& text) const {
        for (size_t i = 1; i < text.size(); ++i) {
            if (text[i] == 0x06BE && IsHehMark(text[i - 1])) return false;
        }
        UErrorCode status = U_ZERO_ERROR;
        const icu::Normalizer2& decomposer = form == Normalization::NFKD ? *nfkd_ : *nfd_;
        icu::UnicodeString decomposed = decomposer.normalize(ToIcu(text), status);
        int run = 0;
        bool core = true;
        auto covered = [&] { return run < 3 || (run == 3 && core); };
        for (int32_t i = 0; i < decomposed.length(); i = decomposed.moveIndex32(i, 1)) {
            UChar32 c = decomposed.char32At(i);
            if (u_getCombiningClass(c) != 0) {
                ++run;
                core = core && IsCoreMark(form, c);
                continue;
            }
            if (!covered()) return false;
            run = 0;
            core = true;
        }
        return covered();
    }

  private:
    Normalization norm_;
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
                      std::vector<Mismatch>& mismatches) {
    const RulesHarness& harness = RulesHarness::Get();
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
