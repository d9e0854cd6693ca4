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

// The buffer conversions take ASCII and two-byte characters by blocks of 16 bytes: they
// must agree with the character functions everywhere, invalid bytes at any place in a
// block included.
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
            // Mostly valid text, so that errors fall at every place of a block.
            const std::size_t pick = random() % 64;
            bytes += pieces[pick < 9 ? pick : pick < 48 ? pick % 5 : pick % std::size(pieces)];
        }
        const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
        std::u16string expected;
        std::size_t read = 0;
        const char* error = nullptr;
        while (read < bytes.size()) {
            const Utf8Decoded decoded = DecodeUtf8(data + read, data + bytes.size());
            if (decoded.length == 0) {
                error = decoded.error;
                break;
            }
            if (decoded.codePoint < 0x10000) {
                expected += static_cast<char16_t>(decoded.codePoint);
            } else {
                expected += static_cast<char16_t>(0xD800 + ((decoded.codePoint - 0x10000) >> 10));
                expected += static_cast<char16_t>(0xDC00 + (decoded.codePoint & 0x3FF));
            }
            read += decoded.length;
        }
        std::vector<char16_t> units(bytes.size() + 1);
        const Converted converted = ConvertUtf8ToUtf16(data, bytes.size(), units.data());
        ASSERT_EQ(converted.read, read) << round;
        ASSERT_EQ(std::u16string(units.data(), converted.written), expected) << round;
        ASSERT_EQ(std::string(converted.error ? converted.error : ""),
                  std::string(error ? error : ""))
            << round;

        // Back: the decoded units, with a lone surrogate now and then.
        std::u16string text = expected;
        if (!text.empty() && random() % 4 == 0) {
            text.insert(random() % text.size(), 1,
                        static_cast<char16_t>(0xD800 + random() % 0x800));
        }
        std::string back;
        std::size_t taken = 0;
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
        std::vector<unsigned char> encoded(3 * text.size() + 1);
        const Converted written = ConvertUtf16ToUtf8(text.data(), text.size(), encoded.data());
        ASSERT_EQ(written.read, taken) << round;
        ASSERT_EQ(std::string(encoded.begin(), encoded.begin() + written.written), back) << round;
    }
}

}  // namespace
