#include "config/ConfigManager.h"

#include <cstddef>

#include "errors/KavexException.h"
#include "interface/TextUtils.h"
#include "io/FileReader.h"

namespace kavex {

namespace {

// Limits of one key text and one value text, counted in bytes read.
constexpr int kMaxKeyLength = 64;
constexpr int kMaxValueLength = 512;
// No real configuration comes near this; a file that goes on past it (a link to
// /dev/zero, a pipe that never ends) is a failure to read, not an endless loop.
constexpr std::size_t kMaxConfigBytes = std::size_t{1} << 20;

// Bytes a delimited read of at most `maxLength` took in: the text, and the delimiter
// unless the text reached the limit first (at the end of the file, one too many).
std::size_t Consumed(const std::string& text, bool read, int maxLength) {
    if (!read) return 1;
    return text.size() + (text.size() < static_cast<std::size_t>(maxLength) ? 1 : 0);
}

void Annotate(IOException& e, int line, const char* sentence) {
    e.SetFile("ConfigManager");
    e.SetLine(line);
    e.SetMessage(e.GetMessage() + sentence);
}

}  // namespace

ConfigManager::ConfigManager() = default;

ConfigManager::~ConfigManager() { Clear(); }

bool ConfigManager::ReadConfigFile() { return ReadConfigFile("config.ini", nullptr); }

bool ConfigManager::ReadConfigFile(const std::string& path, const Entry& entry) {
    FileReader reader;
    try {
        reader.Open(path.c_str(), FileMode::Ascii);
    } catch (IOException& e) {
        // Nothing reads the note; the caller only learns that there is no configuration.
        Annotate(e, __LINE__, " Config file not opened sucessfully.");
        return false;
    }

    std::string key;
    std::string value;
    std::size_t consumed = 0;
    try {
        // Every read takes in at least one byte or reaches the end, and a device error
        // raises, so the loop is linear in the file size; the size limit ends it.
        while (!reader.IsEof()) {
            if (consumed > kMaxConfigBytes) {
                throw IOException("ConfigManager", __LINE__, 0x11,
                                  "File too large: more than 1048576 bytes.");
            }
            const bool keyRead = reader.ReadAsciiString(key, kMaxKeyLength, '=');
            consumed += Consumed(key, keyRead, kMaxKeyLength);
            if (!keyRead) continue;
            Trim(key);
            // A key text that ran into the end without "=" has no value.
            if (reader.IsEof()) continue;
            const bool valueRead = reader.ReadAsciiString(value, kMaxValueLength, '\n');
            consumed += Consumed(value, valueRead, kMaxValueLength);
            if (!valueRead) continue;
            Trim(value);
            if (key == "NFDfilepath") {
                nfdFilePath = value;
            } else if (key == "NFCfilepath") {
                nfcFilePath = value;
            } else if (key == "NFKDfilepath") {
                nfkdFilePath = value;
            }
            if (entry) entry(key, value);
        }
        reader.Close();
    } catch (IOException& e) {
        Annotate(e, __LINE__, " Config file reading problem occurred.");
        throw;
    }
    return true;
}

void ConfigManager::Clear() {
    nfdFilePath.clear();
    nfcFilePath.clear();
    nfkdFilePath.clear();
}

}  // namespace kavex
