// Windows: "config.ini" and the relative rules paths it names are resolved against the
// process's current directory, not the folder of the executable or of kavex.dll, and
// rules paths may use backslashes, forward slashes and drive letters.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

// winuser.h (also reached through gtest.h) maps GetMessage to GetMessageA, which would
// rename KavexException::GetMessage here but not in the library.
#undef GetMessage

#include "errors/KavexException.h"
#include "kavex/Normalization.h"
#include "support/TempDir.h"

namespace {

using kavex::testing::RulesFileBytes;
using kavex::testing::TempDir;
using kavex::testing::Utf16leBytes;
using kavex::testing::WorkingDirectory;

// Each form maps "a" to `letter`, so the result tells which file served it.
void WriteRules(const std::filesystem::path& file, char16_t letter) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    std::string bytes = RulesFileBytes({{u"a", std::u16string(1, letter)}});
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void WriteConfig(const std::filesystem::path& folder, const std::string& nfd,
                 const std::string& nfc, const std::string& nfkd) {
    std::filesystem::create_directories(folder);
    std::ofstream out(folder / "config.ini", std::ios::binary | std::ios::trunc);
    out << "NFDfilepath=" << nfd << "\r\nNFCfilepath=" << nfc << "\r\nNFKDfilepath=" << nfkd
        << "\r\n";
}

// Normalizes "xa" and returns the result, empty when Normalize did nothing.
std::u16string NormalizeXa(const Normalization& norm, Normalization::NormMode mode) {
    std::string in = Utf16leBytes(u"xa");
    std::vector<unsigned char> out(64, 0xAB);
    int written =
        norm.Normalize(reinterpret_cast<const unsigned char*>(in.data()),
                       static_cast<int>(in.size()), mode, out.data(), static_cast<int>(out.size()));
    std::u16string result;
    for (int i = 0; i + 1 < written; i += 2) {
        result.push_back(static_cast<char16_t>(out[i] | (out[i + 1] << 8)));
    }
    return result;
}

struct PathCase {
    const char* name;
    // Where the process runs, relative to the temporary folder.
    const char* workingDirectory;
    // Rules paths as written in config.ini; "<root>" stands for the temporary folder.
    const char* nfd;
    const char* nfc;
    const char* nfkd;
};

void PrintTo(const PathCase& pathCase, std::ostream* out) { *out << pathCase.name; }

class WindowsPathsTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(WindowsPathsTest, RulesPathsResolveAgainstTheCurrentDirectory) {
    const PathCase& param = GetParam();
    TempDir dir;
    const std::filesystem::path root = dir.Path();
    const std::filesystem::path cwd = root / param.workingDirectory;
    auto expand = [&](std::string path) {
        const std::string marker = "<root>";
        if (path.compare(0, marker.size(), marker) == 0) {
            path = root.string() + path.substr(marker.size());
        }
        return path;
    };
    // The files are placed with the same paths, resolved here from `cwd`.
    WriteRules(cwd / expand(param.nfd), u'D');
    WriteRules(cwd / expand(param.nfc), u'C');
    WriteRules(cwd / expand(param.nfkd), u'K');
    WriteConfig(cwd, expand(param.nfd), expand(param.nfc), expand(param.nfkd));

    WorkingDirectory inside(cwd);
    Normalization norm;
    ASSERT_TRUE(norm.Initialize());
    EXPECT_EQ(NormalizeXa(norm, Normalization::NFD), u"xD");
    EXPECT_EQ(NormalizeXa(norm, Normalization::NFC), u"xC");
    EXPECT_EQ(NormalizeXa(norm, Normalization::NFKD), u"xK");
}

INSTANTIATE_TEST_SUITE_P(
    Paths, WindowsPathsTest,
    ::testing::Values(PathCase{"Backslashes", "host", "rules\\nfd.txt", "rules\\nfc\\nfc.txt",
                               "rules\\nfkd.txt"},
                      PathCase{"DotAndParent", "host\\bin", ".\\nfd.txt", "..\\rules\\nfc.txt",
                               "..\\..\\shared\\nfkd.txt"},
                      PathCase{"MixedSeparators", "host", "rules/nfd.txt", "rules\\nfc.txt",
                               "rules/sub\\nfkd.txt"},
                      PathCase{"AbsoluteWithDrive", "host", "<root>\\abs\\nfd.txt",
                               "<root>\\abs\\nfc.txt", "<root>/abs/nfkd.txt"}),
    [](const ::testing::TestParamInfo<PathCase>& info) { return info.param.name; });

// The same config.ini content in two folders leads to different rules: the one in the
// folder the process runs in at the time Initialize is called.
TEST(WindowsPathsTest, ConfigIsReadFromTheCurrentDirectoryAtInitialize) {
    TempDir dir;
    const std::filesystem::path first = dir.Path() / "first";
    const std::filesystem::path second = dir.Path() / "second";
    for (const auto& [folder, letter] : {std::pair{first, u'1'}, std::pair{second, u'2'}}) {
        WriteRules(folder / "rules" / "nfd.txt", letter);
        WriteRules(folder / "rules" / "nfc.txt", letter);
        WriteRules(folder / "rules" / "nfkd.txt", letter);
        WriteConfig(folder, "rules\\nfd.txt", "rules\\nfc.txt", "rules\\nfkd.txt");
    }
    std::filesystem::create_directories(dir.Path() / "empty");

    Normalization norm;
    {
        WorkingDirectory inside(dir.Path() / "empty");
        EXPECT_FALSE(norm.Initialize());
        EXPECT_EQ(NormalizeXa(norm, Normalization::NFC), u"");
    }
    {
        WorkingDirectory inside(first);
        ASSERT_TRUE(norm.Initialize());
    }
    // Rules are loaded once: leaving the folder changes nothing.
    EXPECT_EQ(NormalizeXa(norm, Normalization::NFC), u"x1");

    Normalization other;
    {
        WorkingDirectory inside(second);
        ASSERT_TRUE(other.Initialize());
    }
    EXPECT_EQ(NormalizeXa(other, Normalization::NFKD), u"x2");
    EXPECT_EQ(NormalizeXa(norm, Normalization::NFKD), u"x1");
}

// A read that fails after "config.ini" was opened (here: another handle holds a lock on
// the whole file) reaches the host as the IOException thrown inside kavex.dll, caught by
// its type in the executable.
TEST(WindowsPathsTest, ReadErrorInConfigCrossesTheDllBoundary) {
    TempDir dir;
    WriteConfig(dir.Path(), "nfd.txt", "nfc.txt", "nfkd.txt");
    WorkingDirectory inside(dir.Path());
    HANDLE file =
        CreateFileA("config.ini", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    OVERLAPPED whole = {};
    ASSERT_TRUE(LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                           MAXDWORD, &whole));

    // Wine keeps the lock but does not enforce it on reads; only Windows gets this far.
    HANDLE reader = CreateFileA("config.ini", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    char probe[4];
    DWORD got = 0;
    const bool enforced = ReadFile(reader, probe, sizeof probe, &got, nullptr) == FALSE;
    CloseHandle(reader);
    if (!enforced) {
        UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
        CloseHandle(file);
        GTEST_SKIP() << "byte-range locks are not enforced on reads here (Wine)";
    }

    Normalization norm;
    try {
        norm.Initialize();
        ADD_FAILURE() << "Initialize read a locked config.ini without an error";
    } catch (const kavex::IOException& error) {
        EXPECT_EQ(error.GetCode(), kavex::kErrorCodeRead);
        EXPECT_NE(error.GetMessage().find(" Config file reading problem occurred."),
                  std::string::npos)
            << error.GetMessage();
    }
    UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
    CloseHandle(file);
}

}  // namespace
