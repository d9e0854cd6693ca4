// The strict UTF-8 decoder and encoder of kavex-normalize.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "common/Utf8.h"

namespace {

using kavex::cli::AppendUtf16AsUtf8;
using kavex::cli::AppendUtf8;
using kavex::cli::Converted;
using kavex::cli::ConvertUtf16ToUtf8;
using kavex::cli::ConvertUtf8ToUtf16;
using kavex::cli::DecodeUtf8;
using kavex::cli::Utf8Decoded;
using kavex::cli::Utf8Kernel;
using kavex::cli::Utf8KernelAvailable;

// Every conversion kernel this CPU can run; the block kernels are compared with the
// character functions and so with each other.
std::vector<Utf8Kernel> Kernels() {
    std::vector<Utf8Kernel> kernels;
    for (Utf8Kernel kernel :
         {Utf8Kernel::Scalar, Utf8Kernel::Sse2, Utf8Kernel::Ssse3, Utf8Kernel::Avx2}) {
        if (Utf8KernelAvailable(kernel)) kernels.push_back(kernel);
    }
    return kernels;
}

struct Expected {
    std::u16string units;
    std::size_t read = 0;
    const char* error = nullptr;
};

// The oracle of ConvertUtf8ToUtf16: DecodeUtf8 character by character.
Expected DecodeByCharacter(const std::string& bytes) {
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    Expected expected;
    while (expected.read < bytes.size()) {
        const Utf8Decoded decoded = DecodeUtf8(data + expected.read, data + bytes.size());
        if (decoded.length == 0) {
            expected.error = decoded.error;
            break;
        }
        if (decoded.codePoint < 0x10000) {
            expected.units += static_cast<char16_t>(decoded.codePoint);
        } else {
            expected.units += static_cast<char16_t>(0xD800 + ((decoded.codePoint - 0x10000) >> 10));
            expected.units += static_cast<char16_t>(0xDC00 + (decoded.codePoint & 0x3FF));
        }
        expected.read += decoded.length;
    }
    return expected;
}

// The oracle of ConvertUtf16ToUtf8: AppendUtf8 unit by unit, up to a lone surrogate.
std::string EncodeByCharacter(const std::u16string& text, std::size_t& taken) {
    std::string back;
    taken = 0;
    while (taken < text.size()) {
        const char32_t unit = text[taken];
        if (unit < 0xD800 || unit > 0xDFFF) {
            AppendUtf8(unit, back);
            ++taken;
        } else if (unit <= 0xDBFF && taken + 1 < text.size() && text[taken + 1] >= 0xDC00 &&
                   text[taken + 1] <= 0xDFFF) {
            AppendUtf8(0x10000 + ((unit - 0xD800) << 10) + (text[taken + 1] - 0xDC00), back);
            taken += 2;
        } else {
            break;
        }
    }
    return back;
}

// Runs every kernel on `bytes` and on the units decoded from it (plus `extra` units at
// `at`, when given) and compares each with the oracles; the message names the case.
void ExpectKernelsAgree(const std::string& bytes, const std::string& name,
                        std::size_t at = std::string::npos, char16_t extra = 0) {
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    const Expected expected = DecodeByCharacter(bytes);
    std::u16string text = expected.units;
    if (at != std::string::npos) text.insert(std::min(at, text.size()), 1, extra);
    std::size_t taken = 0;
    const std::string back = EncodeByCharacter(text, taken);
    for (Utf8Kernel kernel : Kernels()) {
        const int k = static_cast<int>(kernel);
        std::vector<char16_t> units(bytes.size() + 1);
        const Converted converted = ConvertUtf8ToUtf16(data, bytes.size(), units.data(), kernel);
        EXPECT_EQ(converted.read, expected.read) << name << ", kernel " << k;
        EXPECT_EQ(std::u16string(units.data(), converted.written), expected.units)
            << name << ", kernel " << k;
        EXPECT_EQ(std::string(converted.error ? converted.error : ""),
                  std::string(expected.error ? expected.error : ""))
            << name << ", kernel " << k;

        std::vector<unsigned char> encoded(3 * text.size() + 1);
        const Converted written =
            ConvertUtf16ToUtf8(text.data(), text.size(), encoded.data(), kernel);
        EXPECT_EQ(written.read, taken) << name << ", kernel " << k;
        EXPECT_EQ(std::string(encoded.begin(), encoded.begin() + written.written), back)
            << name << ", kernel " << k;
    }
}

Utf8Decoded Decode(const std::string& bytes) {
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    return DecodeUtf8(data, data + bytes.size());
}

TEST(CliUtf8Test, DecodesEachLengthAtItsBounds) {
    struct Case {
        std::string bytes;
        char32_t codePoint;
    };
    const Case cases[] = {
        {"\x41", 0x41},
        {"\x7F", 0x7F},
        {"\xC2\x80", 0x80},
        {"\xD9\xBE", 0x067E},
        {"\xDF\xBF", 0x7FF},
        {"\xE0\xA0\x80", 0x800},
        {"\xED\x9F\xBF", 0xD7FF},
        {"\xEE\x80\x80", 0xE000},
        {"\xEF\xBB\xBF", 0xFEFF},
        {"\xEF\xBF\xBF", 0xFFFF},
        {"\xF0\x90\x80\x80", 0x10000},
        {"\xF4\x8F\xBF\xBF", 0x10FFFF},
    };
    for (const Case& c : cases) {
        const Utf8Decoded decoded = Decode(c.bytes + "tail");
        EXPECT_EQ(decoded.error, nullptr) << c.bytes;
        EXPECT_EQ(decoded.length, c.bytes.size()) << c.bytes;
        EXPECT_EQ(decoded.codePoint, c.codePoint) << c.bytes;

        std::string encoded;
        AppendUtf8(c.codePoint, encoded);
        EXPECT_EQ(encoded, c.bytes);
    }
}

TEST(CliUtf8Test, RejectsIllFormedSequencesWithAReason) {
    struct Case {
        std::string bytes;
        std::string reason;
    };
    const Case cases[] = {
        {"\x80", "unexpected continuation byte"},
        {"\xBF\x41", "unexpected continuation byte"},
        {"\xC0\x80", "overlong encoding"},
        {"\xC1\xBF", "overlong encoding"},
        {"\xE0\x80\x80", "overlong encoding"},
        {"\xE0\x9F\xBF", "overlong encoding"},
        {"\xF0\x8F\xBF\xBF", "overlong encoding"},
        {"\xED\xA0\x80", "encoded surrogate"},
        {"\xED\xBF\xBF", "encoded surrogate"},
        {"\xF4\x90\x80\x80", "code point beyond U+10FFFF"},
        {"\xF5\x80\x80\x80", "byte that never occurs in UTF-8"},
        {"\xFF", "byte that never occurs in UTF-8"},
        {"\xD9\x41", "truncated sequence"},
        {"\xE2\x82\x41", "truncated sequence"},
        {"\xF0\x9F\x98\x0A", "truncated sequence"},
    };
    for (const Case& c : cases) {
        const Utf8Decoded decoded = Decode(c.bytes);
        ASSERT_NE(decoded.error, nullptr) << c.reason;
        EXPECT_EQ(decoded.length, 0u);
        EXPECT_EQ(std::string(decoded.error), c.reason);
    }
}

TEST(CliUtf8Test, AValidPrefixAsksForMoreBytes) {
    for (const std::string prefix : {"\xD9", "\xE0\xA0", "\xF0\x9F", "\xF0\x9F\x98"}) {
        const Utf8Decoded decoded = Decode(prefix);
        EXPECT_EQ(decoded.length, 0u);
        EXPECT_EQ(decoded.error, nullptr);
    }
    // The bytes seen so far already rule the character out.
    EXPECT_NE(Decode("\xED\xA0").error, nullptr);
    EXPECT_NE(Decode("\xE0\x80").error, nullptr);
}

TEST(CliUtf8Test, Utf16PairsBecomeOneCharacterAndLoneSurrogatesStop) {
    std::string out;
    const std::u16string text = u"\u067E\U0001F600a";
    EXPECT_EQ(AppendUtf16AsUtf8(text.data(), text.size(), out), text.size());
    EXPECT_EQ(out,
              "\xD9\xBE\xF0\x9F\x98\x80"
              "a");

    for (const std::u16string& lone : {std::u16string(u"a\xD83D"),
                                       std::u16string(u"a\xDE00"
                                                      u"b"),
                                       std::u16string(u"a\xD83D\x0041")}) {
        out.clear();
        EXPECT_EQ(AppendUtf16AsUtf8(lone.data(), lone.size(), out), 1u);
        EXPECT_EQ(out, "a");
    }
}

// The block kernels take 16 bytes (8 units) at a time: every kind of sequence, valid or
// not, at every offset of a block and across its end, in Arabic text (two-byte letters)
// and in ASCII, must give what the character functions give, error and offset included.
TEST(CliUtf8Test, EverySequenceAtEveryOffsetOfABlock) {
    const std::string sequences[] = {
        "\n",                // ASCII
        "\xDA\xBE",          // two bytes: U+06BE
        "\xC2\x80",          // the lowest two-byte value
        "\xDF\xBF",          // the highest
        "\xE2\x80\x8C",      // three bytes: ZWNJ
        "\xEF\xBB\xBF",      // U+FEFF
        "\xE0\xA0\x80",      // the lowest three-byte value
        "\xED\x9F\xBF",      // the last value before the surrogates
        "\xEF\xBF\xBF",      // U+FFFF
        "\xF0\x9F\x98\x80",  // four bytes: a surrogate pair in UTF-16
        "\xF4\x8F\xBF\xBF",  // U+10FFFF
        "\x80",              // stray continuation byte
        "\xC0\x80",          // overlong, two bytes
        "\xC1\xBF",          // overlong
        "\xE0\x9F\xBF",      // overlong, three bytes
        "\xF0\x8F\xBF\xBF",  // overlong, four bytes
        "\xED\xA0\x80",      // encoded surrogate
        "\xF4\x90\x80\x80",  // beyond U+10FFFF
        "\xF5\x80\x80\x80",  // never in UTF-8
        "\xFF",              // never in UTF-8
        "\xD9",              // a lead without its continuation byte
        "\xD9\xD9\xBE",      // a lead followed by another lead
        "\xE2\x82",          // three-byte lead and one continuation byte
        "\xF0\x9F\x98",      // four-byte lead and two
    };
    const std::string fillers[] = {"\xD8\xA7", "a", "\xD8\xA7 "};
    for (const std::string& filler : fillers) {
        for (const std::string& sequence : sequences) {
            for (std::size_t offset = 0; offset < 70; ++offset) {
                std::string before;
                while (before.size() < offset) before += filler;
                before.resize(offset, 'x');  // a cut filler character ends in ASCII
                if (filler.size() > 1 && offset % 2 == 1) before.back() = ' ';
                std::string after;
                while (after.size() < 70) after += filler;
                const std::string name = "sequence " + std::to_string(&sequence - sequences) +
                                         " at " + std::to_string(offset) + " after filler " +
                                         std::to_string(&filler - fillers);
                // Inside the text, and ending it (a block end that cuts it short).
                ExpectKernelsAgree(before + sequence + after, name);
                ExpectKernelsAgree(before + sequence, name + ", at the end");
                // Two of them back to back, and one in a block of its own size.
                ExpectKernelsAgree(before + sequence + sequence + after, name + ", twice");
            }
        }
    }
}

// UTF-16 the decoder never makes: lone surrogates at every offset of a block, between
// two-byte letters.
TEST(CliUtf8Test, LoneSurrogatesAtEveryOffsetOfABlock) {
    const std::string arabic = "\xD8\xA7\xD9\x84 \xD8\xB9\xD8\xB1\xD8\xA8\xD9\x8A\xD8\xA9 ";
    std::string text;
    while (text.size() < 80) text += arabic;
    for (char16_t surrogate : {u'\xD800', u'\xDBFF', u'\xDC00', u'\xDFFF'}) {
        for (std::size_t at = 0; at < 24; ++at) {
            ExpectKernelsAgree(text, "U+" + std::to_string(surrogate) + " at " + std::to_string(at),
                               at, surrogate);
        }
    }
}

// Random mixes of the pieces above, mostly valid so that errors fall anywhere.
TEST(CliUtf8Test, BufferConversionsMatchCharacterByCharacter) {
    const std::string pieces[] = {
        "a",        "plain text ",  "\n",           "\xD9\xBE",         "\xD8\xA7",
        "\xC2\x80", "\xE2\x80\x8C", "\xEF\xBB\xBF", "\xF0\x9F\x98\x80", "\x80",
        "\xC0\x80", "\xD9",         "\xE0\x80\x80", "\xED\xA0\x80",     "\xF4\x90\x80\x80",
        "\xFF",     "\xE2\x82",     "\xF0\x9F\x98"};
    std::mt19937 random(12);
    for (int round = 0; round < 20000; ++round) {
        std::string bytes;
        const int count = static_cast<int>(random() % 40);
        for (int k = 0; k < count; ++k) {
            const std::size_t pick = random() % 64;
            bytes += pieces[pick < 9 ? pick : pick < 48 ? pick % 5 : pick % std::size(pieces)];
        }
        // Back: the decoded units, with a lone surrogate now and then.
        if (random() % 4 == 0) {
            ExpectKernelsAgree(bytes, "round " + std::to_string(round), random() % 64,
                               static_cast<char16_t>(0xD800 + random() % 0x800));
        } else {
            ExpectKernelsAgree(bytes, "round " + std::to_string(round));
        }
        if (HasFailure()) return;
    }
}

}  // namespace
