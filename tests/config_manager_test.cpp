#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "config/ConfigManager.h"
#include "errors/KavexException.h"
#include "support/TempDir.h"

namespace kavex {
namespace {

using kavex::testing::TempDir;
using kavex::testing::WorkingDirectory;

struct Paths {
    std::string nfd;
    std::string nfc;
    std::string nfkd;
};

bool operator==(const Paths& a, const Paths& b) {
    return a.nfd == b.nfd && a.nfc == b.nfc && a.nfkd == b.nfkd;
}

std::ostream& operator<<(std::ostream& out, const Paths& p) {
    return out << "{" << p.nfd << " | " << p.nfc << " | " << p.nfkd << "}";
}

Paths PathsOf(const ConfigManager& config) {
    return {config.nfdFilePath, config.nfcFilePath, config.nfkdFilePath};
}

// Every case starts from these paths, so that "kept" is visible.
const Paths kBefore = {"old-nfd", "old-nfc", "old-nfkd"};

TEST(ConfigManagerTest, ParsesEntriesToTheByte) {
    struct Case {
        const char* name;
        std::string text;
        Paths expected;
    };
    const std::string v520(520, 'v');
    const Case cases[] = {
        {"empty", "", kBefore},
        {"all three",
         "NFDfilepath=d.txt\nNFCfilepath=c.txt\nNFKDfilepath=k.txt\n",
         {"d.txt", "c.txt", "k.txt"}},
        {"CR LF and blanks around =",
         "NFCfilepath = nfc.txt\r\n",
         {"old-nfd", "nfc.txt", "old-nfkd"}},
        {"blank lines and tabs",
         "\r\n\r\n  NFKDfilepath\t=\tk.txt \r\n",
         {"old-nfd", "old-nfc", "k.txt"}},
        {"other case ignored", "nfdfilepath=x\nNFDFILEPATH=y\n", kBefore},
        {"comment without = swallows the entry", "# rules\nNFDfilepath=a\n", kBefore},
        {"comment with = is an ignored entry",
         "# a=b\nNFDfilepath=a\n",
         {"a", "old-nfc", "old-nfkd"}},
        {"last one wins", "NFDfilepath=a\nNFDfilepath=b\n", {"b", "old-nfc", "old-nfkd"}},
        {"line feed right after = keeps",
         "NFDfilepath=\nNFCfilepath=c\n",
         {"old-nfd", "c", "old-nfkd"}},
        {"blank value empties", "NFDfilepath= \n", {"", "old-nfc", "old-nfkd"}},
        {"lone CR value empties", "NFDfilepath=\r\n", {"", "old-nfc", "old-nfkd"}},
        {"last entry without line feed", "NFCfilepath=c\nNFDfilepath=d", {"d", "c", "old-nfkd"}},
        {"key at the end without =", "NFCfilepath=c\nNFDfilepath", {"old-nfd", "c", "old-nfkd"}},
        {"= at the very end", "NFDfilepath=", kBefore},
        {"value keeps later =", "NFDfilepath=a=b\n", {"a=b", "old-nfc", "old-nfkd"}},
        {"UTF-8 mark loses the first entry",
         "\xEF\xBB\xBFNFDfilepath=a\nNFCfilepath=c\n",
         {"old-nfd", "c", "old-nfkd"}},
        {"520-byte value is cut and eats the next entry",
         "NFDfilepath=" + v520 + "\nNFCfilepath=c\nNFKDfilepath=k\n",
         {std::string(512, 'v'), "old-nfc", "k"}},
        {"64-byte key limit",
         "NFDfilepath" + std::string(53, ' ') + "=x\n",
         {"=x", "old-nfc", "old-nfkd"}},
        {"over-long key takes the rest of its line as value",
         std::string(100, 'k') + "=v\nNFCfilepath=c\n",
         {"old-nfd", "c", "old-nfkd"}},
        {"=abc eats the next entry",
         "=abc\nNFDfilepath=a\nNFCfilepath=c\n",
         {"old-nfd", "c", "old-nfkd"}},
        {"NUL bytes are data",
         std::string("NFDfilepath=a\0b\n", 16),
         {std::string("a\0b", 3), "old-nfc", "old-nfkd"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        WorkingDirectory cwd(dir.Path());
        dir.Write("config.ini", c.text);
        ConfigManager config;
        config.nfdFilePath = kBefore.nfd;
        config.nfcFilePath = kBefore.nfc;
        config.nfkdFilePath = kBefore.nfkd;
        EXPECT_TRUE(config.ReadConfigFile());
        EXPECT_EQ(PathsOf(config), c.expected);
    }
}

TEST(ConfigManagerTest, MissingFileAnswersFalseAndKeepsPaths) {
    TempDir dir;
    WorkingDirectory cwd(dir.Path());
    ConfigManager config;
    config.nfdFilePath = "kept";
    EXPECT_FALSE(config.ReadConfigFile());
    EXPECT_EQ(PathsOf(config), (Paths{"kept", "", ""}));
}

TEST(ConfigManagerTest, SecondReadKeepsKeysTheFileNoLongerHas) {
    TempDir dir;
    WorkingDirectory cwd(dir.Path());
    ConfigManager config;
    dir.Write("config.ini", "NFDfilepath=a\nNFCfilepath=b\n");
    ASSERT_TRUE(config.ReadConfigFile());
    dir.Write("config.ini", "NFDfilepath=c\n");
    ASSERT_TRUE(config.ReadConfigFile());
    EXPECT_EQ(PathsOf(config), (Paths{"c", "b", ""}));
    config.Clear();
    EXPECT_EQ(PathsOf(config), (Paths{"", "", ""}));
}

// On Linux a directory opens and then refuses to be read: the read error comes out
// annotated, promptly, with the paths read so far.
TEST(ConfigManagerTest, UnreadableConfigIsRaisedAnnotated) {
    TempDir dir;
    WorkingDirectory cwd(dir.Path());
    std::filesystem::create_directory(dir.Path() / "config.ini");
    ConfigManager config;
    try {
        const bool result = config.ReadConfigFile();
        EXPECT_FALSE(result);  // platforms where a directory cannot be opened at all
    } catch (const IOException& e) {
        EXPECT_EQ(e.GetCode(), kErrorCodeRead);
        EXPECT_EQ(e.GetFile(), "ConfigManager");
        EXPECT_GT(e.GetLine(), 0);
        EXPECT_EQ(e.GetMessage(),
                  "Could not read file: config.ini. Config file reading problem occurred.");
    }
    EXPECT_EQ(PathsOf(config), (Paths{"", "", ""}));
}

// One huge line is taken in 64 and 512 bytes at a time: the entry is applied once and
// the rest of the line matches nothing, up to the size no real configuration reaches.
// Past it, a file that never ends (a link to /dev/zero hung Initialize at full CPU) is a
// read error, raised annotated like any other.
TEST(ConfigManagerTest, SizeIsBounded) {
    struct Case {
        const char* what;
        std::string contents;
        bool raises;
    };
    const std::string line = "NFDfilepath=" + std::string(512, 'x') + "\n";
    const Case cases[] = {
        {"just under the limit, in lines",
         [&] {
             std::string text;
             while (text.size() + line.size() < (std::size_t{1} << 20)) text += line;
             return text;
         }(),
         false},
        {"one line just under the limit", "NFDfilepath=" + std::string(1000000, 'x'), false},
        {"one line of 10 MiB", "NFDfilepath=" + std::string(10 * 1024 * 1024, 'x'), true},
        {"lines past the limit",
         [&] {
             std::string text;
             while (text.size() < (std::size_t{2} << 20)) text += line;
             return text;
         }(),
         true},
    };
    for (const Case& c : cases) {
        TempDir dir;
        WorkingDirectory cwd(dir.Path());
        dir.Write("config.ini", c.contents);
        ConfigManager config;
        if (!c.raises) {
            EXPECT_TRUE(config.ReadConfigFile()) << c.what;
            EXPECT_EQ(config.nfdFilePath, std::string(512, 'x')) << c.what;
            continue;
        }
        try {
            config.ReadConfigFile();
            ADD_FAILURE() << c.what << ": read without error";
        } catch (const IOException& e) {
            EXPECT_EQ(e.GetCode(), kErrorCodeRead) << c.what;
            EXPECT_EQ(e.GetFile(), "ConfigManager") << c.what;
            EXPECT_EQ(e.GetMessage(),
                      "File too large: more than 1048576 bytes. Config file reading problem "
                      "occurred.")
                << c.what;
        }
    }
}

#if defined(__unix__)
TEST(ConfigManagerTest, EndlessFileIsARaisedReadError) {
    TempDir dir;
    WorkingDirectory cwd(dir.Path());
    std::filesystem::create_symlink("/dev/zero", dir.Path() / "config.ini");
    ConfigManager config;
    EXPECT_THROW(config.ReadConfigFile(), IOException);
}
#endif

}  // namespace
}  // namespace kavex
