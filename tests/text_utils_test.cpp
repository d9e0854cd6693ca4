#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <random>
#include <string>
#include <vector>

#include "interface/TextUtils.h"

namespace kavex {
namespace {

using Bytes = std::vector<unsigned char>;

TEST(TextUtilsTest, BytesToUnicodeStopsAtLengthOrAZeroByteAtAnEvenOffset) {
    struct Case {
        Bytes bytes;
        int length;
        std::u16string expected;
        std::u16string untilZeroUnit;  // BytesToUnicodeUntilZeroUnit on the same input
    };
    const Case cases[] = {
        {{0x41, 0x00, 0x42, 0x00}, 4, u"AB", u"AB"},
        {{0x41, 0x00, 0x00, 0x06, 0x42, 0x00},
         6,
         u"A",
         u"A\x0600"
         u"B"},
        {{0x00, 0x41}, 2, u"", u"\x4100"},
        {{0x41, 0x00, 0x42, 0x00}, 2, u"A", u"A"},
        {{0x41, 0x00, 0x42, 0x00}, 0, u"", u""},
        {{0x41, 0x00, 0x42, 0x00}, -5, u"", u""},
        {{0xFF, 0xFE, 0x41, 0x00},
         4,
         u"\xFEFF"
         u"A",
         u"\xFEFF"
         u"A"},
        // A lone final byte is dropped: its high byte would lie past the length.
        {{0x41, 0x00, 0x42}, 3, u"A", u"A"},
        {{0x41}, 1, u"", u""},
        // Only a whole zero unit ends the second form.
        {{0x41, 0x00, 0x00, 0x00, 0x42, 0x00}, 6, u"A", u"A"},
        {{0x00, 0xFC, 0x00, 0xFD, 0x00, 0xFE}, 6, u"", u"\xFC00\xFD00\xFE00"},
    };
    for (const Case& c : cases) {
        // Copy into an exact-size buffer so that a read beyond it is caught by sanitizers.
        const std::size_t size = static_cast<std::size_t>(std::max(c.length, 0));
        std::vector<unsigned char> exact(c.bytes.begin(), c.bytes.begin() + size);
        const unsigned char* data = exact.empty() ? c.bytes.data() : exact.data();
        EXPECT_EQ(BytesToUnicode(data, c.length), c.expected);
        EXPECT_EQ(BytesToUnicodeUntilZeroUnit(data, c.length), c.untilZeroUnit);
    }
}

// The end of the text is found a block at a time on aligned buffers: every start offset
// (odd ones included), every end position around the block edges, ends of both kinds and
// lengths that stop before the end or run far past the buffer.
TEST(TextUtilsTest, CountsAgreeWithAUnitByUnitScanAtEveryAlignment) {
    const auto naive = [](const unsigned char* bytes, int length, bool lowByteEnds) {
        std::size_t n = 0;
        while (static_cast<int>(2 * n + 1) < length &&
               (lowByteEnds ? bytes[2 * n] != 0 : (bytes[2 * n] | bytes[2 * n + 1]) != 0)) {
            ++n;
        }
        return n;
    };
    std::mt19937 random(5);
    alignas(64) unsigned char buffer[512];
    for (std::size_t offset = 0; offset < 66; ++offset) {
        for (std::size_t end = 0; end < 160; end += 1 + end / 40) {
            for (int kind = 0; kind < 3; ++kind) {
                // Units that are never zero, then the end: a zero unit, a unit with only a
                // zero low byte (U+0600), or none before the length runs out.
                for (unsigned char& byte : buffer)
                    byte = static_cast<unsigned char>(1 + random() % 255);
                unsigned char* text = buffer + offset;
                if (kind == 0) text[2 * end] = text[2 * end + 1] = 0;
                if (kind == 1) text[2 * end] = 0;
                const int lengths[] = {static_cast<int>(2 * end + 2), static_cast<int>(2 * end),
                                       static_cast<int>(end), INT_MAX};
                for (int length : lengths) {
                    // Past the buffer only when a zero unit stops the scan first.
                    if (length == INT_MAX && kind == 2) continue;
                    if (length == INT_MAX && kind == 1) {
                        EXPECT_EQ(CountUnits(text, length), end);
                        continue;
                    }
                    EXPECT_EQ(CountUnits(text, length), naive(text, length, true))
                        << offset << " " << end << " " << kind << " " << length;
                    EXPECT_EQ(CountUnitsUntilZeroUnit(text, length), naive(text, length, false))
                        << offset << " " << end << " " << kind << " " << length;
                }
            }
        }
    }
}

TEST(TextUtilsTest, UnicodeToBytesWritesOneTerminatingZeroByte) {
    struct Case {
        std::u16string text;
        Bytes expected;
    };
    const Case cases[] = {
        {u"", {0x00}},
        {u"AB", {0x41, 0x00, 0x42, 0x00, 0x00}},
        {u"\x06BE", {0xBE, 0x06, 0x00}},
        {std::u16string(1, u'\0') + u"A", {0x00, 0x00, 0x41, 0x00, 0x00}},
    };
    for (const Case& c : cases) {
        std::vector<unsigned char> out(c.expected.size() + 4, 0xAA);
        EXPECT_EQ(UnicodeToBytes(c.text, out.data()), static_cast<int>(c.expected.size()));
        EXPECT_EQ(Bytes(out.begin(), out.begin() + c.expected.size()), c.expected);
        EXPECT_EQ(out[c.expected.size()], 0xAA);  // nothing beyond 2n + 1
    }
}

TEST(TextUtilsTest, OutputReadsBackAsInput) {
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        std::u16string text;
        const int length = static_cast<int>(random() % 20);
        for (int i = 0; i < length; ++i) {
            char16_t unit;
            do {
                unit = static_cast<char16_t>(random());
            } while ((unit & 0xFF) == 0);
            text.push_back(unit);
        }
        std::vector<unsigned char> out(2 * text.size() + 1);
        const int count = UnicodeToBytes(text, out.data());
        EXPECT_EQ(BytesToUnicode(out.data(), count), text);
        EXPECT_EQ(BytesToUnicodeUntilZeroUnit(out.data(), count), text);
    }
}

TEST(TextUtilsTest, TrimCutsTheFourWhitespaceValuesInPlace) {
    struct Case {
        std::string text;
        std::string expected;
    };
    const Case cases[] = {
        {"  NFDfilepath\t", "NFDfilepath"},
        {" \r\n ", ""},
        {"", ""},
        {"a b", "a b"},
        {"\xA0x", "\xA0x"},
        {"\v\fx\v", "\v\fx\v"},
        {"\r\nvalue\r", "value"},
    };
    for (const Case& c : cases) {
        std::string narrow = c.text;
        EXPECT_EQ(Trim(narrow), c.expected);
        EXPECT_EQ(narrow, c.expected);
        std::u16string wide(c.text.begin(), c.text.end());
        for (char16_t& unit : wide) unit = static_cast<unsigned char>(unit);
        const std::u16string wideExpected = AsciiToUnicode(c.expected);
        EXPECT_EQ(Trim(wide), wideExpected);
        EXPECT_EQ(wide, wideExpected);
    }
    std::u16string nbsp = u"\x00A0\x3000x ";
    EXPECT_EQ(Trim(nbsp), u"\x00A0\x3000x");
}

TEST(TextUtilsTest, IsWhitespaceAcceptsExactlyFourValues) {
    int count = 0;
    for (int value = 0; value <= 0xFFFF; ++value) {
        if (IsWhitespace(static_cast<char16_t>(value))) ++count;
    }
    EXPECT_EQ(count, 4);
    for (char16_t value : {u'\t', u'\n', u'\r', u' '}) EXPECT_TRUE(IsWhitespace(value));
}

TEST(TextUtilsTest, NarrowAndWideConversions) {
    EXPECT_EQ(AsciiToUnicode(""), u"");
    EXPECT_EQ(AsciiToUnicode("a\xFF"), u"a\x00FF");
    EXPECT_EQ(UnicodeToAscii(u"a\x06BE\x0141"), "a\xBE\x41");

    struct Case {
        std::u16string text;
        int expected;
    };
    const Case cases[] = {
        {u"42", 42},
        {u"  -17xyz", -17},
        {u"\t+8", 8},
        {u"abc", 0},
        {u"", 0},
        {u"- 5", 0},
        {u"2147483647", INT_MAX},
        {u"-2147483648", INT_MIN},
        {u"99999999999999999999", INT_MAX},
        {u"-99999999999999999999", INT_MIN},
        {u"\x0131"
         u"2",
         12},  // narrowed to its low byte first
    };
    for (const Case& c : cases) EXPECT_EQ(UnicodeToInt(c.text), c.expected);
}

TEST(TextUtilsTest, RemovalFilters) {
    EXPECT_EQ(RemoveSpacesAndJoiners(u" a\x200C"
                                     u"b\x200D\r\n\tc\x00A0"),
              u"abc\x00A0");
    EXPECT_EQ(RemoveDiacritics(u"\x0628\x064E\x064F\x0650\x0651\x0652\x0653\x064D\x0654"),
              u"\x0628\x064D\x0654");
}

int FullMatrixDistance(const std::u16string& a, const std::u16string& b) {
    std::vector<std::vector<int>> d(a.size() + 1, std::vector<int>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = static_cast<int>(i);
    for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = static_cast<int>(j);
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                                d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
        }
    }
    return d[a.size()][b.size()];
}

TEST(TextUtilsTest, EditDistance) {
    EXPECT_EQ(EditDistance(u"", u"abc"), 3);
    EXPECT_EQ(EditDistance(u"abcd", u""), 4);
    EXPECT_EQ(EditDistance(u"kitten", u"sitting"), 3);
    EXPECT_EQ(EditDistance(u"sitting", u"kitten"), 3);
    std::mt19937 random(11);
    for (int round = 0; round < 300; ++round) {
        std::u16string a, b;
        for (std::size_t n = random() % 9; n > 0; --n) a.push_back(u'a' + random() % 3);
        for (std::size_t n = random() % 9; n > 0; --n) b.push_back(u'a' + random() % 3);
        EXPECT_EQ(EditDistance(a, b), FullMatrixDistance(a, b));
    }
}

}  // namespace
}  // namespace kavex
