// Test support: a private temporary folder, files written into it, and a scope that runs
// in it and restores the previous working directory afterwards.
#ifndef KAVEX_TESTS_SUPPORT_TEMPDIR_H
#define KAVEX_TESTS_SUPPORT_TEMPDIR_H

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <random>
#include <string>
#include <utility>

namespace kavex::testing {

class TempDir {
  public:
    TempDir() {
        std::random_device seed;
        std::mt19937_64 random(seed());
        auto base = std::filesystem::temp_directory_path();
        for (;;) {
            path_ = base / ("kavex-test-" + std::to_string(random()));
            if (std::filesystem::create_directory(path_)) break;
        }
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    std::string File(const std::string& name) const { return (path_ / name).string(); }

    // Writes raw bytes; returns the full path.
    std::string Write(const std::string& name, const std::string& bytes) const {
        std::ofstream out(File(name), std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return File(name);
    }

  private:
    std::filesystem::path path_;
};

// Runs the enclosing scope in `dir` and goes back afterwards, even when a test fails.
class WorkingDirectory {
  public:
    explicit WorkingDirectory(const std::filesystem::path& dir)
        : previous_(std::filesystem::current_path()) {
        std::filesystem::current_path(dir);
    }
    ~WorkingDirectory() {
        std::error_code ignored;
        std::filesystem::current_path(previous_, ignored);
    }
    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;

  private:
    std::filesystem::path previous_;
};

// UTF-16LE bytes of `text`, without a byte-order mark.
inline std::string Utf16leBytes(const std::u16string& text) {
    std::string bytes;
    for (char16_t unit : text) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes;
}

// UTF-8 bytes of `text`: a high surrogate followed by a low one is one character, and a
// lone surrogate is encoded as it stands (as a text a rule made could hold it).
inline std::string Utf8Bytes(const std::u16string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// A rules file: the mark FF FE, then each rule as source ":" replacement CR LF.
inline std::string RulesFileBytes(
    std::initializer_list<std::pair<std::u16string, std::u16string>> rules) {
    std::string bytes = "\xFF\xFE";
    for (const auto& rule : rules) {
        bytes += Utf16leBytes(rule.first + u":" + rule.second + u"\r\n");
    }
    return bytes;
}

}  // namespace kavex::testing

#endif  // KAVEX_TESTS_SUPPORT_TEMPDIR_H
