// Hostile files and buffers: whatever a host hands the library, the answer is clear
// (false, 0, a negative size or an exception), nothing already loaded is lost, and no byte
// outside the caller's buffers is read or written. Buffers here are heap blocks of exactly
// their length, so an address sanitizer sees any access past them.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "config/ConfigManager.h"
#include "engine/Normalizer.h"
#include "errors/KavexException.h"
#include "kavex/Normalization.h"
#include "support/TempDir.h"

namespace {

using kavex::testing::RulesFileBytes;
using kavex::testing::TempDir;
using kavex::testing::Utf16leBytes;
using kavex::testing::WorkingDirectory;

constexpr unsigned char kFill = 0xAB;
constexpr std::size_t kGuard = 16;

const char* const kConfig =
    "NFDfilepath=nfd.txt\r\nNFCfilepath=nfc.txt\r\nNFKDfilepath=nfkd.txt\r\n";

std::vector<unsigned char> Bytes(const std::u16string& text) {
    const std::string bytes = Utf16leBytes(text);
    return std::vector<unsigned char>(bytes.begin(), bytes.end());
}

std::u16string Decode(const unsigned char* bytes, int count) {
    std::u16string text;
    for (int i = 0; i + 1 < count; i += 2) {
        text.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
    }
    return text;
}

// A rules file written unit by unit, for files too large for an initializer list.
class RulesWriter {
  public:
    explicit RulesWriter(const std::string& path) : out_(path, std::ios::binary) {
        out_.write("\xFF\xFE", 2);
    }
    void Units(const std::u16string& text) {
        const std::string bytes = Utf16leBytes(text);
        out_.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    void Rule(const std::u16string& source, const std::u16string& replacement) {
        Units(source + u":" + replacement + u"\r\n");
    }

  private:
    std::ofstream out_;
};

class HostileInputTest : public ::testing::Test {
  protected:
    HostileInputTest() : cwd(dir.Path()) {}

    // NFC maps "a" to "C", NFD to "D", NFKD to three units, so a result names its rules and
    // can outgrow its input.
    void WriteAll() {
        dir.Write("config.ini", kConfig);
        dir.Write("nfc.txt", RulesFileBytes({{u"a", u"C"}}));
        dir.Write("nfd.txt", RulesFileBytes({{u"a", u"D"}}));
        dir.Write("nfkd.txt", RulesFileBytes({{u"a", u"KKK"}}));
    }

    // The sized form into a buffer of exactly `capacity` bytes followed by guard bytes.
    static std::u16string Sized(const Normalization& norm, const std::u16string& text,
                                Normalization::NormMode mode, int* returned = nullptr) {
        std::vector<unsigned char> in = Bytes(text);
        const int needed = norm.Normalize(in.data(), static_cast<int>(in.size()), mode, nullptr, 0);
        if (needed >= 0) {
            if (returned != nullptr) *returned = needed;
            return u"<no size>";
        }
        std::vector<unsigned char> out(static_cast<std::size_t>(-needed) + kGuard, kFill);
        const int written =
            norm.Normalize(in.data(), static_cast<int>(in.size()), mode, out.data(), -needed);
        if (returned != nullptr) *returned = written;
        for (std::size_t i = static_cast<std::size_t>(-needed); i < out.size(); ++i) {
            EXPECT_EQ(out[i], kFill) << "guard byte " << i;
        }
        return Decode(out.data(), written);
    }

    TempDir dir;
    WorkingDirectory cwd;
};

TEST_F(HostileInputTest, DirectoryAsConfigFailsAndTheObjectRecovers) {
    WriteAll();
    std::filesystem::remove(dir.File("config.ini"));
    std::filesystem::create_directory(dir.File("config.ini"));
    Normalization norm;
    // Where a directory opens as a file (Linux) its read error reaches the host as an
    // exception; where it does not open (Windows) Initialize answers false.
    bool threw = false;
    bool initialized = true;
    try {
        initialized = norm.Initialize();
    } catch (...) {
        threw = true;
    }
    EXPECT_TRUE(threw || !initialized);
    int returned = -1;
    Sized(norm, u"a", Normalization::NFC, &returned);
    EXPECT_EQ(returned, 0);

    std::filesystem::remove(dir.File("config.ini"));
    dir.Write("config.ini", kConfig);
    ASSERT_TRUE(norm.Initialize());
    EXPECT_EQ(Sized(norm, u"a", Normalization::NFC), u"C");
}

TEST_F(HostileInputTest, DirectoryAsRulesPathFailsThatLoadOnly) {
    WriteAll();
    std::filesystem::create_directory(dir.File("folder"));
    for (const char* path : {"folder", ".", "/"}) {
        kavex::Normalizer normalizer;
        EXPECT_FALSE(normalizer.LoadRules(path)) << path;
        EXPECT_TRUE(normalizer.rules.empty()) << path;
    }
    dir.Write("config.ini", "NFCfilepath=nfc.txt\nNFDfilepath=nfd.txt\nNFKDfilepath=folder\n");
    Normalization norm;
    EXPECT_FALSE(norm.Initialize());
    dir.Write("config.ini", kConfig);
    ASSERT_TRUE(norm.Initialize());
    EXPECT_EQ(Sized(norm, u"a", Normalization::NFKD), u"KKK");
}

TEST_F(HostileInputTest, RulesFilesDisappearingBetweenInitializeCalls) {
    WriteAll();
    std::filesystem::remove(dir.File("nfkd.txt"));
    Normalization norm;
    EXPECT_FALSE(norm.Initialize());

    // NFC and NFD are loaded and are not read again: their files may go.
    std::filesystem::remove(dir.File("nfc.txt"));
    std::filesystem::remove(dir.File("nfd.txt"));
    dir.Write("nfkd.txt", RulesFileBytes({{u"a", u"KKK"}}));
    ASSERT_TRUE(norm.Initialize());
    EXPECT_EQ(Sized(norm, u"aa", Normalization::NFC), u"CC");
    EXPECT_EQ(Sized(norm, u"aa", Normalization::NFD), u"DD");

    // Once ready, losing every file changes nothing that is loaded.
    std::filesystem::remove(dir.File("nfkd.txt"));
    std::filesystem::remove(dir.File("config.ini"));
    EXPECT_FALSE(norm.Initialize());
    EXPECT_EQ(Sized(norm, u"a", Normalization::NFKD), u"KKK");
}

TEST_F(HostileInputTest, RulesFilesChangingBetweenInitializeCalls) {
    WriteAll();
    Normalization norm;
    ASSERT_TRUE(norm.Initialize());

    // A rewritten, and then a broken, file is not read while the object is ready.
    dir.Write("nfc.txt", RulesFileBytes({{u"a", u"new"}}));
    ASSERT_TRUE(norm.Initialize());
    EXPECT_EQ(Sized(norm, u"a", Normalization::NFC), u"C");
    dir.Write("nfc.txt", "\xFF\xFE" + Utf16leBytes(u"a:b\r"));
    ASSERT_TRUE(norm.Initialize());
    EXPECT_EQ(Sized(norm, u"a", Normalization::NFC), u"C");

    // After Clear the files are read as they now stand.
    norm.Clear();
    EXPECT_FALSE(norm.Initialize());
    dir.Write("nfc.txt", RulesFileBytes({{u"a", u"new"}}));
    ASSERT_TRUE(norm.Initialize());
    EXPECT_EQ(Sized(norm, u"a", Normalization::NFC), u"new");

    // A file mended between two attempts: the second attempt's rules are the file's own,
    // not appended to the leftover "ab" rule of the first, which would win at "ab".
    norm.Clear();
    dir.Write("nfkd.txt", "\xFF\xFE" + Utf16leBytes(u"ab:q\r\nc:d\r"));
    EXPECT_FALSE(norm.Initialize());
    dir.Write("nfkd.txt", RulesFileBytes({{u"a", u"z"}, {u"b", u"y"}}));
    ASSERT_TRUE(norm.Initialize());
    EXPECT_EQ(Sized(norm, u"ab", Normalization::NFKD), u"zy");
}

TEST_F(HostileInputTest, SeventyThousandRulesAreRefusedWhole) {
    {
        RulesWriter writer(dir.File("many.txt"));
        for (int i = 0; i < 70000; ++i) {
            writer.Rule(
                {static_cast<char16_t>(0x4E00 + i % 256), static_cast<char16_t>(0x0600 + i / 256)},
                u"r");
        }
    }
    kavex::Normalizer normalizer;
    // Rule indices are 16 bits wide: beyond them the load fails instead of wrapping.
    EXPECT_FALSE(normalizer.LoadRules(dir.File("many.txt")));
    EXPECT_FALSE(normalizer.IsLoaded());
    EXPECT_EQ(normalizer.Normalize(u"\u4E00\u0600"), u"\u4E00\u0600");

    WriteAll();
    dir.Write("config.ini", "NFCfilepath=nfc.txt\nNFDfilepath=many.txt\nNFKDfilepath=nfkd.txt\n");
    Normalization norm;
    EXPECT_FALSE(norm.Initialize());
    int returned = -1;
    Sized(norm, u"a", Normalization::NFC, &returned);
    EXPECT_EQ(returned, 0);
}

TEST_F(HostileInputTest, LargestRuleListsStillLoad) {
    // 255 x 255 two-unit sources plus 255 one-unit ones: 65,280 rules, 65,281 states.
    {
        RulesWriter writer(dir.File("large.txt"));
        for (int first = 0; first < 255; ++first) {
            for (int second = 0; second < 255; ++second) {
                writer.Rule(
                    {static_cast<char16_t>(0x4E00 + first), static_cast<char16_t>(0x0600 + second)},
                    {static_cast<char16_t>(0x0600 + first)});
            }
        }
        for (int first = 0; first < 255; ++first) {
            writer.Rule({static_cast<char16_t>(0x4E00 + first)}, u"one");
        }
    }
    kavex::Normalizer normalizer;
    ASSERT_TRUE(normalizer.LoadRules(dir.File("large.txt")));
    EXPECT_EQ(normalizer.rules.size(), 65280u);
    EXPECT_EQ(normalizer.Normalize(u"\u4E00\u0600|\u4EFE\u06FE|\u4EFE"), u"\u0600|\u06FE|one");
}

// Dense rows would make this 262 KB file cost 8 GB (65,535 states x 65,534 columns);
// the matcher refuses such a table instead.
TEST_F(HostileInputTest, SourcesUsingEveryCodeUnit) {
    // Every unit but the colon and CR, in sources of 256 units: 65,534 distinct units.
    {
        RulesWriter writer(dir.File("units.txt"));
        std::u16string source;
        for (unsigned unit = 0; unit <= 0xFFFF; ++unit) {
            if (unit == 0x003A || unit == 0x000D) continue;
            source.push_back(static_cast<char16_t>(unit));
            if (source.size() == 256) {
                writer.Rule(source, u"x");
                source.clear();
            }
        }
        writer.Rule(source, u"y");
    }
    kavex::Normalizer normalizer;
    const auto start = std::chrono::steady_clock::now();
    const bool loaded = normalizer.LoadRules(dir.File("units.txt"));
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // Either answer is clear; what matters is that the load neither exhausts the machine
    // nor wraps a column or state number into a wrong match.
    if (loaded) {
        EXPECT_LE(normalizer.MemoryBytes(), std::size_t{1} << 30);
        std::u16string first;
        for (unsigned unit = 0; unit < 258; ++unit) {
            if (unit != 0x003A && unit != 0x000D) first.push_back(static_cast<char16_t>(unit));
        }
        EXPECT_EQ(normalizer.Normalize(u"<" + first + u">"), u"<x>");
    } else {
        EXPECT_FALSE(normalizer.IsLoaded());
        EXPECT_EQ(normalizer.Normalize(u"\u0001\u0002"), u"\u0001\u0002");
    }
    RecordProperty("load_seconds", std::to_string(seconds));
}

TEST_F(HostileInputTest, HundredMegabyteRulesFileOfOneLine) {
    // One line "a:bbb...b" CR LF of 100 MB: read one unit per read, then one rule whose
    // replacement is 52 million units long.
    constexpr std::size_t kUnits = 50u << 20;
    {
        RulesWriter writer(dir.File("long.txt"));
        writer.Units(u"a:");
        const std::u16string chunk(1 << 16, u'b');
        for (std::size_t written = 0; written < kUnits; written += chunk.size())
            writer.Units(chunk);
        writer.Units(u"\r\n");
    }
    ASSERT_GT(std::filesystem::file_size(dir.File("long.txt")), 100u << 20);
    WriteAll();
    dir.Write("config.ini", "NFCfilepath=long.txt\nNFDfilepath=nfd.txt\nNFKDfilepath=nfkd.txt\n");
    Normalization norm;
    ASSERT_TRUE(norm.Initialize());

    std::vector<unsigned char> in = Bytes(u"a");
    const int needed = static_cast<int>(2 * kUnits + 1);
    EXPECT_EQ(norm.Normalize(in.data(), 2, Normalization::NFC, nullptr, 0), -needed);
    std::vector<unsigned char> out(static_cast<std::size_t>(needed) + kGuard, kFill);
    ASSERT_EQ(norm.Normalize(in.data(), 2, Normalization::NFC, out.data(), needed), needed);
    EXPECT_EQ(out[0], 'b');
    EXPECT_EQ(out[needed - 3], 'b');
    EXPECT_EQ(out[needed - 1], 0);
    EXPECT_EQ(out[needed], kFill);
    // Without the line end the only line is dropped: the file loads with no rules.
    std::filesystem::resize_file(dir.File("long.txt"), 2 + 2 * (kUnits + 2));
    kavex::Normalizer normalizer;
    ASSERT_TRUE(normalizer.LoadRules(dir.File("long.txt")));
    EXPECT_TRUE(normalizer.rules.empty());
}

// No real configuration comes near 1 MiB: past it the read fails, and the failure reaches
// the host through Initialize like any other read error. Below it, long lines are taken in
// 64 and 512 bytes at a time and the keys after them still count.
TEST_F(HostileInputTest, ConfigSizeIsBounded) {
    WriteAll();
    const std::string longLine(300000, 'x');
    dir.Write("config.ini", std::string("NFCfilepath=nfc.txt\n") + "junk=" + longLine.substr(5) +
                                "\nNFDfilepath=nfd.txt\n" + longLine + "\nNFKDfilepath=nfkd.txt\n" +
                                longLine);
    kavex::ConfigManager config;
    ASSERT_TRUE(config.ReadConfigFile());
    EXPECT_EQ(config.nfcFilePath, "nfc.txt");
    EXPECT_EQ(config.nfdFilePath, "nfd.txt");
    EXPECT_EQ(config.nfkdFilePath, "nfkd.txt");

    // A long value is cut at 512 bytes and names no file.
    dir.Write("config.ini", "NFCfilepath=nfc.txt\nNFDfilepath=nfd.txt\nNFKDfilepath=" + longLine);
    ASSERT_TRUE(config.ReadConfigFile());
    EXPECT_EQ(config.nfkdFilePath, longLine.substr(0, 512));
    Normalization norm;
    EXPECT_FALSE(norm.Initialize());

    dir.Write("config.ini", "NFCfilepath=nfc.txt\nNFDfilepath=nfd.txt\nNFKDfilepath=" +
                                std::string(10000000, 'x'));
    EXPECT_THROW(norm.Initialize(), kavex::IOException);
}

TEST_F(HostileInputTest, EmptyAndNegativeLengths) {
    WriteAll();
    Normalization norm;
    ASSERT_TRUE(norm.Initialize());
    std::vector<unsigned char> in = Bytes(u"aa");
    for (int length : {0, -1, -2, INT_MIN}) {
        std::vector<unsigned char> out(1 + kGuard, kFill);
        EXPECT_EQ(norm.Normalize(in.data(), length, Normalization::NFKD, out.data(), 1), 1)
            << length;
        EXPECT_EQ(out[0], 0) << length;
        EXPECT_EQ(out[1], kFill) << length;
        out[0] = kFill;
        EXPECT_EQ(norm.Normalize(in.data(), length, Normalization::NFKD, out.data()), 1) << length;
        EXPECT_EQ(out[0], 0) << length;
        EXPECT_EQ(out[1], kFill) << length;
        // Nothing is read for such lengths, so no buffer is needed either.
        EXPECT_EQ(norm.Normalize(nullptr, length, Normalization::NFKD, out.data(), 1), 1) << length;
    }
}

TEST_F(HostileInputTest, IntMaxLengthStopsAtTheEndMarker) {
    WriteAll();
    Normalization norm;
    ASSERT_TRUE(norm.Initialize());
    // Exactly sized heap blocks: reading one byte past the marker would be caught.
    std::vector<unsigned char> zeroUnit = {'a', 0, 0x00, 0x06, 'a', 0, 0, 0};
    std::vector<unsigned char> out(64, kFill);
    EXPECT_EQ(norm.Normalize(zeroUnit.data(), INT_MAX, Normalization::NFKD, out.data(), 64), 15);
    EXPECT_EQ(Decode(out.data(), 15), u"KKK\u0600KKK");
    EXPECT_EQ(norm.Normalize(zeroUnit.data(), INT_MAX, Normalization::NFKD, nullptr, 0), -15);

    std::vector<unsigned char> zeroByte = {'a', 0, 'a', 0, 0x00};
    std::fill(out.begin(), out.end(), kFill);
    EXPECT_EQ(norm.Normalize(zeroByte.data(), INT_MAX, Normalization::NFKD, out.data()), 13);
    EXPECT_EQ(Decode(out.data(), 13), u"KKKKKK");
    EXPECT_EQ(out[13], kFill);
    std::vector<unsigned char> lowZero = {'a', 0, 0x00, 0x06};
    EXPECT_EQ(norm.Normalize(lowZero.data(), INT_MAX, Normalization::NFC, out.data()), 3);
}

// Found by fuzz_normalize: a one-byte buffer holding a zero byte, read with INT_MAX
// through the four-argument form. The zero low byte ends the text before its high byte.
TEST_F(HostileInputTest, OneZeroByteWithIntMaxLength) {
    WriteAll();
    Normalization norm;
    ASSERT_TRUE(norm.Initialize());
    std::vector<unsigned char> in = {0x00};
    std::vector<unsigned char> out(1 + kGuard, kFill);
    EXPECT_EQ(norm.Normalize(in.data(), INT_MAX, Normalization::NFD, out.data()), 1);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[1], kFill);
}

TEST_F(HostileInputTest, CapacitiesAroundTheNeededSize) {
    WriteAll();
    Normalization norm;
    ASSERT_TRUE(norm.Initialize());
    struct Case {
        std::u16string text;
        int capacity;
        int expected;  // negative: nothing written
    };
    // "aa" in NFKD grows to six units: 13 bytes, although the input has 4.
    const Case cases[] = {
        {u"aa", 0, -13}, {u"aa", 1, -13}, {u"aa", 4, -13},  {u"aa", 12, -13},
        {u"aa", 13, 13}, {u"aa", 14, 13}, {u"", 0, -1},     {u"", 1, 1},
        {u"b", 2, -3},   {u"b", 3, 3},    {u"aa", -1, -13}, {u"aa", INT_MIN, -13},
    };
    for (const Case& c : cases) {
        std::vector<unsigned char> in = Bytes(c.text);
        const std::size_t room = c.capacity > 0 ? static_cast<std::size_t>(c.capacity) : 0;
        std::vector<unsigned char> out(room + kGuard, kFill);
        const int result = norm.Normalize(in.data(), static_cast<int>(in.size()),
                                          Normalization::NFKD, out.data(), c.capacity);
        EXPECT_EQ(result, c.expected) << c.capacity;
        // Within the capacity a result that does not fit leaves unspecified bytes; past the
        // capacity, and past the terminator of one that fits, nothing is written.
        const std::size_t written = result > 0 ? static_cast<std::size_t>(result) : room;
        if (result > 0) {
            EXPECT_EQ(out[written - 1], 0) << c.capacity;
        }
        for (std::size_t i = written; i < out.size(); ++i) {
            ASSERT_EQ(out[i], kFill) << "capacity " << c.capacity << ", byte " << i;
        }
    }
}

TEST_F(HostileInputTest, NullPointersThroughTheSizedForm) {
    WriteAll();
    Normalization norm;
    ASSERT_TRUE(norm.Initialize());
    std::vector<unsigned char> in = Bytes(u"ab");
    std::vector<unsigned char> out(8, kFill);
    struct Case {
        const char* name;
        const unsigned char* input;
        int length;
        unsigned char* output;
        int capacity;
        int expected;
    };
    const Case cases[] = {
        {"null input, positive length", nullptr, 4, out.data(), 8, 0},
        {"null output, positive capacity", in.data(), 4, nullptr, 8, 0},
        {"both null", nullptr, 4, nullptr, 8, 0},
        {"size query", in.data(), 4, nullptr, 0, -9},
        {"size query, negative capacity", in.data(), 4, nullptr, -5, -9},
        {"size query of nothing", nullptr, 0, nullptr, 0, -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(norm.Normalize(c.input, c.length, Normalization::NFKD, c.output, c.capacity),
                  c.expected)
            << c.name;
        for (unsigned char byte : out) ASSERT_EQ(byte, kFill) << c.name;
    }
    EXPECT_EQ(norm.Normalize(nullptr, 4, Normalization::NFKD, out.data()), 0);
    EXPECT_EQ(norm.Normalize(in.data(), 4, Normalization::NFKD, nullptr), 0);
    for (unsigned char byte : out) EXPECT_EQ(byte, kFill);
}

}  // namespace
