// "config.ini" bytes read by ConfigManager::ReadConfigFile in a private current folder.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "config/ConfigManager.h"

namespace {

// A value text is cut after 512 bytes; trimming only shortens it.
constexpr std::size_t kMaxValue = 512;

bool Trimmed(const std::string& s) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    return s.empty() || (!blank(s.front()) && !blank(s.back()));
}

void CheckPath(const std::string& path, const std::string& before) {
    using kavex::fuzz::Check;
    if (path == before) return;
    Check(path.size() <= kMaxValue, "path no longer than a value");
    Check(Trimmed(path), "path trimmed");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kavex::fuzz::Check(chdir(kavex::fuzz::ScratchDir::Path().c_str()) == 0,
                       "into the scratch folder");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using kavex::fuzz::Check;
    kavex::fuzz::ScratchDir::Write("config.ini", data, size);

    kavex::ConfigManager config;
    // Start from known values: a key the file lacks keeps them.
    const std::string kept = "kept";
    config.nfdFilePath = config.nfcFilePath = config.nfkdFilePath = kept;
    Check(config.ReadConfigFile(), "an existing config.ini reads");
    CheckPath(config.nfdFilePath, kept);
    CheckPath(config.nfcFilePath, kept);
    CheckPath(config.nfkdFilePath, kept);

    // Reading the same file again gives the same paths.
    const std::string nfd = config.nfdFilePath, nfc = config.nfcFilePath,
                      nfkd = config.nfkdFilePath;
    Check(config.ReadConfigFile(), "second read");
    Check(config.nfdFilePath == nfd && config.nfcFilePath == nfc && config.nfkdFilePath == nfkd,
          "reading twice is stable");
    config.Clear();
    Check(config.nfdFilePath.empty() && config.nfcFilePath.empty() && config.nfkdFilePath.empty(),
          "Clear empties the paths");
    return 0;
}
