// The exported object end to end: configuration and rules files in a temporary folder,
// the lifecycle, both byte formats and the sized overload.
#include "kavex/Normalization.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace {

using kavex::testing::RulesFileBytes;
using kavex::testing::TempDir;
using kavex::testing::Utf16leBytes;
using kavex::testing::WorkingDirectory;

constexpr unsigned char kUntouched = 0xAB;

const char* const kConfig =
    "NFDfilepath=nfd.txt\r\nNFCfilepath=nfc.txt\r\nNFKDfilepath=nfkd.txt\r\n";

class NormalizationTest : public ::testing::Test {
  protected:
    NormalizationTest() : cwd(dir.Path()) {}

    void WriteConfig(const std::string& text = kConfig) { dir.Write("config.ini", text); }
    // Each form maps "a" to its own letter, so a result tells which rules served it.
    void WriteRules(const std::string& name, char16_t letter) {
        dir.Write(name, RulesFileBytes({{u"a", std::u16string(1, letter)}}));
    }
    void WriteAll() {
        WriteConfig();
        WriteRules("nfd.txt", u'D');
        WriteRules("nfc.txt", u'C');
        WriteRules("nfkd.txt", u'K');
    }

    // Normalizes through the four-argument form; nullopt-like "" marker when it returns 0.
    static std::u16string Run(Normalization& norm, int mode, const std::u16string& text,
                              int* returned = nullptr) {
        std::string bytes = Utf16leBytes(text);
        std::vector<unsigned char> out(2 * text.size() * 8 + 16, kUntouched);
        int written = norm.Normalize(reinterpret_cast<unsigned char*>(bytes.data()),
                                     static_cast<int>(bytes.size()),
                                     static_cast<Normalization::NormMode>(mode), out.data());
        if (returned != nullptr) *returned = written;
        return Decode(out, written);
    }

    static std::u16string Decode(const std::vector<unsigned char>& out, int written) {
        std::u16string result;
        for (int i = 0; i + 1 < written; i += 2) {
            result.push_back(static_cast<char16_t>(out[i] | (out[i + 1] << 8)));
        }
        return result;
    }

    TempDir dir;
    WorkingDirectory cwd;
};

TEST_F(NormalizationTest, NormalizeBeforeInitializeDoesNothing) {
    Normalization norm;
    int returned = -1;
    Run(norm, Normalization::NFC, u"a", &returned);
    EXPECT_EQ(returned, 0);

    unsigned char in[] = {'a', 0};
    unsigned char out[4] = {kUntouched, kUntouched, kUntouched, kUntouched};
    EXPECT_EQ(norm.Normalize(in, 2, Normalization::NFD, out, 4), 0);
    EXPECT_EQ(norm.Normalize(in, 2, Normalization::NFD, out), 0);
    for (unsigned char byte : out) EXPECT_EQ(byte, kUntouched);
}

TEST_F(NormalizationTest, EachModeUsesItsOwnRules) {
    WriteAll();
    Normalization norm;
    ASSERT_TRUE(norm.Initialize());
    EXPECT_EQ(Run(norm, Normalization::NFD, u"xa"), u"xD");
    EXPECT_EQ(Run(norm, Normalization::NFC, u"xa"), u"xC");
    EXPECT_EQ(Run(norm, Normalization::NFKD, u"xa"), u"xK");
}

TEST_F(NormalizationTest, UnknownModesReturnZeroAndWriteNothing) {
    WriteAll();
    Normalization norm;
    ASSERT_TRUE(norm.Initialize());
    for (int mode : {3, -1, INT_MAX}) {
        unsigned char in[] = {'a', 0};
        unsigned char out[8];
        std::memset(out, kUntouched, sizeof out);
        auto normMode = static_cast<Normalization::NormMode>(mode);
        EXPECT_EQ(norm.Normalize(in, 2, normMode, out), 0) << mode;
        EXPECT_EQ(norm.Normalize(in, 2, normMode, out, 8), 0) << mode;
        for (unsigned char byte : out) EXPECT_EQ(byte, kUntouched);
    }
}

TEST_F(NormalizationTest, MissingConfigFailsUntilItAppears) {
    Normalization norm;
    EXPECT_FALSE(norm.Initialize());
    WriteAll();
    EXPECT_TRUE(norm.Initialize());
    EXPECT_EQ(Run(norm, Normalization::NFC, u"a"), u"C");
}

TEST_F(NormalizationTest, MissingNfcFileStopsBeforeTheOthersAreRead) {
    WriteConfig();
    WriteRules("nfd.txt", u'D');
    WriteRules("nfkd.txt", u'K');
    Normalization norm;
    EXPECT_FALSE(norm.Initialize());

    // Had the NFD file been loaded by the failed call, its old rules would stay.
    WriteRules("nfd.txt", u'd');
    WriteRules("nfc.txt", u'C');
    ASSERT_TRUE(norm.Initialize());
    EXPECT_EQ(Run(norm, Normalization::NFD, u"a"), u"d");
}

TEST_F(NormalizationTest, MissingNfkdFileThenRetryReadsOnlyThatFile) {
    WriteConfig();
    WriteRules("nfd.txt", u'D');
    WriteRules("nfc.txt", u'C');
    Normalization norm;
    EXPECT_FALSE(norm.Initialize());
    int returned = -1;
    for (int mode : {Normalization::NFD, Normalization::NFC, Normalization::NFKD}) {
        Run(norm, mode, u"a", &returned);
        EXPECT_EQ(returned, 0) << "mode " << mode;
    }

    WriteRules("nfd.txt", u'x');
    WriteRules("nfc.txt", u'y');
    WriteRules("nfkd.txt", u'K');
    ASSERT_TRUE(norm.Initialize());
    EXPECT_EQ(Run(norm, Normalization::NFD, u"a"), u"D");
    EXPECT_EQ(Run(norm, Normalization::NFC, u"a"), u"C");
    EXPECT_EQ(Run(norm, Normalization::NFKD, u"a"), u"K");
}

TEST_F(NormalizationTest, ConfigWithoutNfdKeyLoadsNfcThenFails) {
    WriteConfig("NFCfilepath=nfc.txt\nNFKDfilepath=nfkd.txt\n");
    WriteRules("nfc.txt", u'C');
    WriteRules("nfd.txt", u'D');
    WriteRules("nfkd.txt", u'K');
    Normalization norm;
    EXPECT_FALSE(norm.Initialize());

    WriteRules("nfc.txt", u'c');
    WriteConfig();
    ASSERT_TRUE(norm.Initialize());
    EXPECT_EQ(Run(norm, Normalization::NFC, u"a"), u"C");
}

TEST_F(NormalizationTest, SecondInitializeKeepsTheLoadedRules) {
    WriteAll();
    Normalization norm;
    ASSERT_TRUE(norm.Initialize());
    WriteRules("other.txt", u'O');
    WriteConfig("NFDfilepath=other.txt\nNFCfilepath=other.txt\nNFKDfilepath=other.txt\n");
    EXPECT_TRUE(norm.Initialize());
    EXPECT_EQ(Run(norm, Normalization::NFD, u"a"), u"D");

    // Ready stays ready even when the configuration cannot be opened any more.
    std::filesystem::remove(dir.File("config.ini"));
    EXPECT_FALSE(norm.Initialize());
    EXPECT_EQ(Run(norm, Normalization::NFC, u"a"), u"C");
}

TEST_F(NormalizationTest, DirectoriesInPlaceOfFilesEndPromptly) {
    WriteAll();
    std::filesystem::create_directory(dir.File("rulesdir"));
    WriteConfig("NFDfilepath=nfd.txt\nNFCfilepath=rulesdir\nNFKDfilepath=nfkd.txt\n");
    Normalization norm;
    EXPECT_FALSE(norm.Initialize());

    std::filesystem::remove(dir.File("config.ini"));
    std::filesystem::create_directory(dir.File("config.ini"));
    Normalization other;
#ifdef _WIN32
    // Windows does not open a directory as a file: the configuration cannot be opened.
    EXPECT_FALSE(other.Initialize());
#else
    // A directory opens but cannot be read: the annotated error reaches the host.
    EXPECT_ANY_THROW(other.Initialize());
#endif
}

TEST_F(NormalizationTest, EmptyInputGivesOneZeroByte) {
    WriteAll();
    Normalization norm;
    ASSERT_TRUE(norm.Initialize());
    unsigned char in[] = {0};
    unsigned char out[3] = {kUntouched, kUntouched, kUntouched};
    EXPECT_EQ(norm.Normalize(in, 0, Normalization::NFC, out), 1);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[1], kUntouched);
    out[0] = kUntouched;
    EXPECT_EQ(norm.Normalize(in, 0, Normalization::NFC, out, 1), 1);
    EXPECT_EQ(out[0], 0);
}

TEST_F(NormalizationTest, ByteRulesOfBothForms) {
    WriteAll();
    Normalization norm;
    ASSERT_TRUE(norm.Initialize());

    struct Case {
        const char* name;
        std::vector<unsigned char> input;
        std::u16string fourArgument;  // ends at a zero byte at an even offset
        std::u16string sized;         // ends only at a whole zero unit
    };
    const Case cases[] = {
        {"zero low byte (U+0600)", {'x', 0, 0x00, 0x06, 'y', 0}, u"x", u"x\u0600y"},
        {"U+FC00 and U+FD00", {0x00, 0xFC, 0x00, 0xFD}, u"", u"\uFC00\uFD00"},
        {"zero high byte is no end", {'a', 0, 'b', 0}, u"Cb", u"Cb"},
        {"whole zero unit", {'a', 0, 0, 0, 'b', 0}, u"C", u"C"},
        {"lone final byte dropped", {'a', 0, 'b'}, u"C", u"C"},
        {"byte-order mark kept", {0xFF, 0xFE, 'a', 0}, u"\uFEFFC", u"\uFEFFC"},
    };
    for (const Case& c : cases) {
        std::vector<unsigned char> in = c.input;
        std::vector<unsigned char> out(64, kUntouched);
        int n =
            norm.Normalize(in.data(), static_cast<int>(in.size()), Normalization::NFC, out.data());
        EXPECT_EQ(n, static_cast<int>(2 * c.fourArgument.size() + 1)) << c.name;
        EXPECT_EQ(Decode(out, n), c.fourArgument) << c.name;
        EXPECT_EQ(out[n - 1], 0) << c.name;
        EXPECT_EQ(out[n], kUntouched) << c.name;

        std::fill(out.begin(), out.end(), kUntouched);
        n = norm.Normalize(in.data(), static_cast<int>(in.size()), Normalization::NFC, out.data(),
                           static_cast<int>(out.size()));
        EXPECT_EQ(Decode(out, n), c.sized) << c.name;
        EXPECT_EQ(out[n], kUntouched) << c.name;
    }
}

TEST_F(NormalizationTest, SizedFormNeverWritesPastCapacity) {
    WriteAll();
    Normalization norm;
    ASSERT_TRUE(norm.Initialize());
    const std::string text = Utf16leBytes(u"abc");  // "Cbc": 3 units, 7 bytes
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    const int length = static_cast<int>(text.size());

    EXPECT_EQ(norm.Normalize(in, length, Normalization::NFC, nullptr, 0), -7);
    for (int capacity : {0, 1, 6}) {
        std::vector<unsigned char> out(16, kUntouched);
        EXPECT_EQ(norm.Normalize(in, length, Normalization::NFC, out.data(), capacity), -7)
            << capacity;
        // What lies within the capacity is unspecified when the result does not fit.
        for (std::size_t i = static_cast<std::size_t>(capacity); i < out.size(); ++i) {
            EXPECT_EQ(out[i], kUntouched) << capacity;
        }
    }
    std::vector<unsigned char> out(16, kUntouched);
    ASSERT_EQ(norm.Normalize(in, length, Normalization::NFC, out.data(), 7), 7);
    EXPECT_EQ(Decode(out, 7), u"Cbc");
    EXPECT_EQ(out[7], kUntouched);

    // Null buffers: nothing read, nothing written.
    EXPECT_EQ(norm.Normalize(nullptr, 4, Normalization::NFC, out.data(), 16), 0);
    EXPECT_EQ(norm.Normalize(in, length, Normalization::NFC, nullptr, 16), 0);
    EXPECT_EQ(norm.Normalize(nullptr, 0, Normalization::NFC, nullptr, 0), -1);
    EXPECT_EQ(norm.Normalize(const_cast<unsigned char*>(in), length, Normalization::NFC, nullptr),
              0);

    // The length is a limit, not a promise: a whole zero unit ends the text first.
    const unsigned char shortText[] = {'a', 0, 'b', 0, 0, 0};
    std::fill(out.begin(), out.end(), kUntouched);
    EXPECT_EQ(norm.Normalize(shortText, INT_MAX, Normalization::NFC, out.data(), 16), 5);
    EXPECT_EQ(Decode(out, 5), u"Cb");
    unsigned char shortMutable[] = {'a', 0, 'b', 0, 0, 0};
    EXPECT_EQ(norm.Normalize(shortMutable, INT_MAX, Normalization::NFC, out.data()), 5);
    EXPECT_EQ(norm.Normalize(shortMutable, -1, Normalization::NFC, out.data(), 16), 1);
}

TEST_F(NormalizationTest, ClearReleasesAndInitializeStartsOver) {
    WriteAll();
    Normalization norm;
    ASSERT_TRUE(norm.Initialize());
    norm.Clear();
    int returned = -1;
    Run(norm, Normalization::NFC, u"a", &returned);
    EXPECT_EQ(returned, 0);
    norm.Clear();

    WriteRules("nfc.txt", u'c');
    ASSERT_TRUE(norm.Initialize());
    EXPECT_EQ(Run(norm, Normalization::NFC, u"a"), u"c");
    EXPECT_EQ(Run(norm, Normalization::NFKD, u"a"), u"K");
}

TEST_F(NormalizationTest, CopyAssignmentIsDeep) {
    WriteAll();
    Normalization source;
    ASSERT_TRUE(source.Initialize());

    Normalization target;
    target = source;
    source.Clear();  // the copy must not share anything with the source
    EXPECT_EQ(Run(target, Normalization::NFD, u"a"), u"D");
    EXPECT_EQ(Run(target, Normalization::NFKD, u"a"), u"K");

    target = target;  // self-assignment is harmless
    EXPECT_EQ(Run(target, Normalization::NFC, u"a"), u"C");

    // The target takes the state too: a cleared source makes an uninitialized copy,
    // which later initializes from the files as a new object would.
    target = source;
    int returned = -1;
    Run(target, Normalization::NFC, u"a", &returned);
    EXPECT_EQ(returned, 0);
    WriteRules("nfc.txt", u'c');
    ASSERT_TRUE(target.Initialize());
    EXPECT_EQ(Run(target, Normalization::NFC, u"a"), u"c");

    // A half-loaded source copies its loaded normalizers and keeps the flag false.
    std::filesystem::remove(dir.File("nfkd.txt"));
    Normalization partial;
    EXPECT_FALSE(partial.Initialize());
    Normalization copy;
    copy = partial;
    WriteRules("nfc.txt", u'z');
    WriteRules("nfkd.txt", u'k');
    ASSERT_TRUE(copy.Initialize());
    EXPECT_EQ(Run(copy, Normalization::NFC, u"a"), u"c");
    EXPECT_EQ(Run(copy, Normalization::NFKD, u"a"), u"k");
}

}  // namespace
