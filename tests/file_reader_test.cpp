#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "errors/KavexException.h"
#include "io/FileReader.h"
#include "support/TempDir.h"

namespace kavex {
namespace {

using kavex::testing::TempDir;
using kavex::testing::Utf16leBytes;

// Runs `action` and returns the IOException it raised; fails the test when none came.
template <typename Action>
IOException Raised(Action action) {
    try {
        action();
    } catch (const IOException& e) {
        return e;
    }
    ADD_FAILURE() << "no IOException raised";
    return IOException("", 0, 0, "");
}

void ExpectRaised(const IOException& e, int32_t code, const std::string& message) {
    EXPECT_EQ(e.GetCode(), code);
    EXPECT_EQ(e.GetMessage(), message);
    EXPECT_EQ(e.GetFile(), "FileReader");
    EXPECT_GT(e.GetLine(), 0);
}

const std::string kUnicodeText = "\xFF\xFE" + Utf16leBytes(u"abc");

TEST(FileReaderTest, DelimitedAsciiReadsFollowTheEndOfFileProtocol) {
    struct Step {
        bool result;
        std::string out;  // "?" when the read must leave the argument untouched
        bool eofAfter;
    };
    struct Case {
        std::string text;
        int maxLength;
        char delimiter;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"abc=def", 64, '=', {{true, "abc", false}, {true, "def", true}}},
        {"abcd=x", 3, '=', {{true, "abc", false}, {true, "d", false}, {true, "x", true}}},
        {"abc=x", 3, '=', {{true, "abc", false}, {false, "?", false}, {true, "x", true}}},
        {"ab=", 64, '=', {{true, "ab", false}, {false, "?", true}}},
        {"a\r\nb\r\n", 64, '\n', {{true, "a\r", false}, {true, "b\r", false}, {false, "?", true}}},
        {std::string("a\0b", 3), 64, '\n', {{true, std::string("a\0b", 3), true}}},
        {"", 64, '\n', {{false, "?", true}}},
        {"\xEF\xBB\xBFkey", 64, '=', {{true, "\xEF\xBB\xBFkey", true}}},
        {"abc", 0, '=', {{false, "?", false}, {false, "?", false}}},
    };
    TempDir dir;
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE("case " + std::to_string(index));
        const std::string path = dir.Write("f" + std::to_string(index++), c.text);
        FileReader reader;
        ASSERT_TRUE(reader.Open(path.c_str(), FileMode::Ascii));
        for (const Step& step : c.steps) {
            std::string out = "?";
            EXPECT_EQ(reader.ReadAsciiString(out, c.maxLength, c.delimiter), step.result);
            EXPECT_EQ(out, step.out);
            EXPECT_EQ(reader.IsEof(), step.eofAfter);
        }
        if (reader.IsEof()) {
            std::string out = "?";
            ExpectRaised(Raised([&] { reader.ReadAsciiString(out, 64, '='); }), kErrorCodeRead,
                         "End of file encountered.");
            EXPECT_EQ(out, "?");
            EXPECT_TRUE(reader.IsEof());  // unchanged by the refused read
        }
    }
}

TEST(FileReaderTest, EveryReadRaisesOnceTheEndIsReached) {
    TempDir dir;
    const std::string path = dir.Write("u", kUnicodeText);
    FileReader reader;
    reader.Open(path.c_str(), FileMode::Unicode);
    std::u16string text;
    EXPECT_TRUE(reader.ReadUnicodeChars(text, 10));
    EXPECT_EQ(text, u"abc");
    ASSERT_TRUE(reader.IsEof());

    std::u16string u16;
    char16_t units[2];
    unsigned char bytes[2];
    const std::vector<std::function<void()>> reads = {
        [&] { reader.ReadUnicodeString(u16, 5, u'\n'); },
        [&] { reader.ReadUnicodeChars(u16, 1); },
        [&] { reader.ReadUnits(units, 1); },
        [&] { reader.ReadBytes(bytes, 1); },
        [&] { reader.ReadBytesAt(bytes, 0, 1); },
    };
    for (const auto& read : reads) {
        ExpectRaised(Raised(read), kErrorCodeRead, "End of file encountered.");
        EXPECT_TRUE(reader.IsEof());
    }
}

TEST(FileReaderTest, UnicodeReads) {
    TempDir dir;
    const std::string path = dir.Write("u", "\xFF\xFE" + Utf16leBytes(u"ab:\x06BE\x0600"));
    FileReader reader;
    ASSERT_TRUE(reader.Open(path.c_str(), FileMode::Unicode));
    std::u16string out;
    EXPECT_TRUE(reader.ReadUnicodeString(out, 64, u':'));
    EXPECT_EQ(out, u"ab");
    EXPECT_TRUE(reader.ReadUnicodeChars(out, 1));
    EXPECT_EQ(out, u"\x06BE");
    EXPECT_TRUE(reader.ReadUnicodeString(out, 64, u':'));
    EXPECT_EQ(out, u"\x0600");
    EXPECT_TRUE(reader.IsEof());
}

TEST(FileReaderTest, UnicodeOpenNeedsTheLittleEndianMark) {
    TempDir dir;
    const std::string texts[] = {"\xFE\xFF\x00\x41", "", "\xFF", "ab"};
    int index = 0;
    for (const std::string& text : texts) {
        const std::string path = dir.Write("f" + std::to_string(index++), text);
        FileReader reader;
        ExpectRaised(Raised([&] { reader.Open(path.c_str(), FileMode::Unicode); }), kErrorCodeOpen,
                     "File is not Unicode based.");
        char16_t unit[1] = {0x1234};
        EXPECT_FALSE(reader.ReadUnits(unit, 1));  // not open: no error, nothing read
        EXPECT_EQ(unit[0], 0x1234);
        EXPECT_FALSE(reader.IsEof());
        EXPECT_TRUE(reader.Open(path.c_str(), FileMode::Ascii));
    }
}

TEST(FileReaderTest, ReadUnitsStoresZeroAndDropsALoneLastByte) {
    TempDir dir;
    const std::string odd = dir.Write("odd", "\xFF\xFE" + Utf16leBytes(u"A") + "B");
    FileReader reader;
    reader.Open(odd.c_str(), FileMode::Unicode);
    char16_t units[3] = {9, 9, 9};
    EXPECT_TRUE(reader.ReadUnits(units, 3));
    EXPECT_EQ(units[0], u'A');
    EXPECT_EQ(units[1], 9);  // the lone byte never becomes a unit
    EXPECT_TRUE(reader.IsEof());

    const std::string even = dir.Write("even", "\xFF\xFE" + Utf16leBytes(u"A"));
    reader.Open(even.c_str(), FileMode::Unicode);
    EXPECT_TRUE(reader.ReadUnits(units, 1));
    EXPECT_FALSE(reader.IsEof());
    units[0] = 9;
    EXPECT_FALSE(reader.ReadUnits(units, 1));
    EXPECT_EQ(units[0], 0);
    EXPECT_TRUE(reader.IsEof());

    // No mode check: an ASCII reader delivers byte pairs, first byte low.
    const std::string ascii = dir.Write("ascii", "ABC");
    reader.Open(ascii.c_str(), FileMode::Ascii);
    EXPECT_TRUE(reader.ReadUnits(units, 1));
    EXPECT_EQ(units[0], 0x4241);
    EXPECT_FALSE(reader.ReadUnits(units, 1));
    EXPECT_TRUE(reader.IsEof());
}

TEST(FileReaderTest, MisuseRaisesAndLeavesTheReaderAsItWas) {
    TempDir dir;
    const std::string asciiPath = dir.Write("a", "xyz");
    const std::string unicodePath = dir.Write("u", kUnicodeText);
    FileReader ascii;
    ascii.Open(asciiPath.c_str(), FileMode::Ascii);
    FileReader unicode;
    unicode.Open(unicodePath.c_str(), FileMode::Unicode);
    std::string narrow = "?";
    std::u16string wide = u"?";
    char16_t units[1];
    unsigned char bytes[1];

    struct Case {
        std::function<void()> action;
        int32_t code;
        std::string message;
    };
    const std::string unicodeMessage = "File not openned as Unicode initially.";
    const std::string asciiMessage = "File not openned as ASCII initially.";
    const std::string nullMessage = "Null buffer or zero size specified.";
    const Case cases[] = {
        {[&] { ascii.ReadUnicodeString(wide, 5, u'='); }, kErrorCodeRead,
         "File not openned as UNICODE initially."},
        {[&] { ascii.ReadUnicodeChars(wide, 5); }, kErrorCodeRead, unicodeMessage},
        {[&] { ascii.UnreadUnicode(1); }, kErrorCodeRead, unicodeMessage},
        {[&] { unicode.ReadAsciiString(narrow, 5, '='); }, kErrorCodeRead, asciiMessage},
        {[&] { unicode.UnreadAscii(1); }, kErrorCodeRead, asciiMessage},
        {[&] { ascii.ReadUnits(nullptr, 1); }, kErrorCodeRead, nullMessage},
        {[&] { ascii.ReadUnits(units, 0); }, kErrorCodeRead, nullMessage},
        {[&] { ascii.ReadBytes(bytes, -1); }, kErrorCodeRead, nullMessage},
        {[&] { ascii.ReadBytesAt(nullptr, 0, 1); }, kErrorCodeRead, nullMessage},
        {[&] {
             FileReader closed;
             closed.ReadBytes(nullptr, 1);
         },
         kErrorCodeRead, nullMessage},
        {[&] { ascii.Open("", FileMode::Ascii); }, kErrorCodeOpen, "Invalid file name specified."},
        {[&] { ascii.Open(nullptr, FileMode::Unicode); }, kErrorCodeOpen,
         "Invalid file name specified."},
    };
    for (const Case& c : cases) {
        ExpectRaised(Raised(c.action), c.code, c.message);
    }
    EXPECT_EQ(narrow, "?");
    EXPECT_EQ(wide, u"?");
    // Both readers are still open at their first character.
    EXPECT_TRUE(ascii.ReadAsciiString(narrow, 1, '\n'));
    EXPECT_EQ(narrow, "x");
    EXPECT_TRUE(unicode.ReadUnicodeChars(wide, 1));
    EXPECT_EQ(wide, u"a");
}

TEST(FileReaderTest, ReadsOnAReaderThatIsNotOpenReturnFalse) {
    FileReader reader;
    std::string narrow;
    std::u16string wide;
    char16_t units[1];
    unsigned char bytes[1];
    EXPECT_FALSE(reader.IsEof());
    EXPECT_FALSE(reader.ReadAsciiString(narrow, 5, '='));
    EXPECT_FALSE(reader.ReadUnicodeString(wide, 5, u'='));
    EXPECT_FALSE(reader.ReadUnicodeChars(wide, 5));
    EXPECT_FALSE(reader.ReadUnits(units, 1));
    EXPECT_FALSE(reader.ReadBytes(bytes, 1));
    EXPECT_FALSE(reader.ReadBytesAt(bytes, 0, 1));
    EXPECT_FALSE(reader.UnreadAscii(1));
    EXPECT_FALSE(reader.UnreadUnicode(1));
    EXPECT_FALSE(reader.Seek(0));
    EXPECT_EQ(reader.GetFileSize(), 0);
}

TEST(FileReaderTest, OpenAfterFailuresAndOnAnOpenReader) {
    TempDir dir;
    const std::string missing = dir.File("missing.txt");
    const std::string ascii = dir.Write("a", "first");
    const std::string good = dir.Write("u", kUnicodeText);
    FileReader reader;
    ExpectRaised(Raised([&] { reader.Open(missing.c_str(), FileMode::Unicode); }), kErrorCodeOpen,
                 "Could not open file: " + missing + ".");
    EXPECT_TRUE(reader.Open(good.c_str(), FileMode::Unicode));

    ExpectRaised(Raised([&] { reader.Open(ascii.c_str(), FileMode::Unicode); }), kErrorCodeOpen,
                 "File is not Unicode based.");
    std::u16string out;
    EXPECT_FALSE(reader.ReadUnicodeChars(out, 1));  // the failed Open closed the first file
    EXPECT_TRUE(reader.Open(good.c_str(), FileMode::Unicode));
    EXPECT_TRUE(reader.ReadUnicodeChars(out, 1));
    EXPECT_EQ(out, u"a");

    // Opening again while open starts the new file from its beginning.
    EXPECT_TRUE(reader.Open(ascii.c_str(), FileMode::Ascii));
    std::string text;
    EXPECT_TRUE(reader.ReadAsciiString(text, 64, '\n'));
    EXPECT_EQ(text, "first");
    reader.Close();
    EXPECT_FALSE(reader.IsEof());
    EXPECT_TRUE(reader.Open(ascii.c_str(), FileMode::Ascii));
}

TEST(FileReaderTest, SeekSizeAndRandomReads) {
    TempDir dir;
    const std::string path = dir.Write("u", kUnicodeText);
    FileReader reader;
    reader.Open(path.c_str(), FileMode::Unicode);
    EXPECT_EQ(reader.GetFileSize(), 8);  // 3 units and the mark
    std::u16string out;
    reader.ReadUnicodeChars(out, 2);
    EXPECT_EQ(reader.GetFileSize(), 8);  // the position survives
    EXPECT_TRUE(reader.ReadUnicodeChars(out, 1));
    EXPECT_EQ(out, u"c");
    reader.UnreadUnicode(2);
    EXPECT_TRUE(reader.Seek(0));
    EXPECT_TRUE(reader.ReadUnicodeChars(out, 1));
    EXPECT_EQ(out, u"a");
    EXPECT_TRUE(reader.Seek(-100));  // refused move: position kept, no error later
    EXPECT_TRUE(reader.ReadUnicodeChars(out, 1));
    EXPECT_EQ(out, u"b");

    unsigned char bytes[4] = {0, 0, 0, 0};
    EXPECT_TRUE(reader.ReadBytesAt(bytes, 2, 4));  // offsets count after the mark
    EXPECT_EQ(bytes[0], 'b');
    EXPECT_EQ(bytes[2], 'c');
    EXPECT_FALSE(reader.IsEof());
    EXPECT_FALSE(reader.ReadBytes(bytes, 1));
    EXPECT_TRUE(reader.IsEof());
    // At the end no position can be taken or set, and the condition stays.
    EXPECT_EQ(reader.GetFileSize(), -1);
    EXPECT_TRUE(reader.Seek(0));
    EXPECT_TRUE(reader.IsEof());

    // Stepping back ends the end-of-file condition.
    EXPECT_TRUE(reader.UnreadUnicode(1));
    EXPECT_FALSE(reader.IsEof());
    EXPECT_TRUE(reader.ReadUnicodeChars(out, 5));
    EXPECT_EQ(out, u"c");

    const std::string asciiPath = dir.Write("a", "hello");
    reader.Open(asciiPath.c_str(), FileMode::Ascii);
    EXPECT_EQ(reader.GetFileSize(), 5);
    std::string text;
    reader.ReadAsciiString(text, 64, '\n');
    EXPECT_TRUE(reader.IsEof());
    EXPECT_TRUE(reader.UnreadAscii(2));
    EXPECT_TRUE(reader.ReadAsciiString(text, 64, '\n'));
    EXPECT_EQ(text, "lo");
    EXPECT_TRUE(reader.IsEof());
    reader.UnreadAscii(0);
    reader.Seek(1);
    EXPECT_TRUE(reader.UnreadAscii(1000));  // refused move, still true, reader usable
    EXPECT_TRUE(reader.ReadAsciiString(text, 2, '\n'));
    EXPECT_EQ(text, "el");
}

TEST(FileReaderTest, FileExists) {
    TempDir dir;
    const std::string path = dir.Write("a", "");
    EXPECT_TRUE(FileReader::FileExists(path.c_str()));
    EXPECT_FALSE(FileReader::FileExists(dir.File("none").c_str()));
    EXPECT_FALSE(FileReader::FileExists(nullptr));
}

// A directory opens on Linux but refuses every read: that must be an error, never the
// end of the file, and a loop waiting for IsEof must stop.
TEST(FileReaderTest, DeviceReadErrorRaisesInsteadOfLookingLikeTheEnd) {
    TempDir dir;
    const std::string path = dir.Path().string();
    FileReader reader;
    try {
        reader.Open(path.c_str(), FileMode::Ascii);
    } catch (const IOException&) {
        GTEST_SKIP() << "directories cannot be opened as files here";
    }
    const std::string message = "Could not read file: " + path + ".";
    std::string text = "?";
    ExpectRaised(Raised([&] { reader.ReadAsciiString(text, 64, '\n'); }), kErrorCodeRead, message);
    EXPECT_EQ(text, "?");
    EXPECT_FALSE(reader.IsEof());
    char16_t units[1];
    unsigned char bytes[16];
    ExpectRaised(Raised([&] { reader.ReadUnits(units, 1); }), kErrorCodeRead, message);
    ExpectRaised(Raised([&] { reader.ReadBytes(bytes, 16); }), kErrorCodeRead, message);
    ExpectRaised(Raised([&] { reader.ReadBytesAt(bytes, 0, 16); }), kErrorCodeRead, message);

    int reads = 0;
    try {
        while (!reader.IsEof() && reads < 1000) {
            ++reads;
            reader.ReadAsciiString(text, 64, '\n');
        }
    } catch (const IOException&) {
    }
    EXPECT_EQ(reads, 1);

    ExpectRaised(Raised([&] { reader.Open(path.c_str(), FileMode::Unicode); }), kErrorCodeOpen,
                 "File is not Unicode based.");
}

}  // namespace
}  // namespace kavex
