#include "config/ConfigManager.h"

#include "errors/KavexException.h"
#include "interface/TextUtils.h"
#include "io/FileReader.h"

namespace kavex {

namespace {

// Limits of one key text and one value text, counted in bytes read.
constexpr int kMaxKeyLength = 64;
constexpr int kMaxValueLength = 512;

void Annotate(IOException& e, int line, const char* sentence) {
    e.SetFile("ConfigManager");
    e.SetLine(line);
    e.SetMessage(e.GetMessage() + sentence);
}

}  // namespace

ConfigManager::ConfigManager() = default;

ConfigManager::~ConfigManager() { Clear(); }

bool ConfigManager::ReadConfigFile() {
    FileReader reader;
    try {
        reader.Open("config.ini", FileMode::Ascii);
    } catch (IOException& e) {
        // Nothing reads the note; the caller only learns that there is no configuration.
        Annotate(e, __LINE__, " Config file not opened sucessfully.");
        return false;
    }

    std::string key;
    std::string value;
    try {
        // Every read takes in at least one byte or reaches the end, and a device error
        // raises, so the loop is linear in the file size and always ends.
        while (!reader.IsEof()) {
            if (!reader.ReadAsciiString(key, kMaxKeyLength, '=')) continue;
            Trim(key);
            // A key text that ran into the end without "=" has no value.
            if (reader.IsEof()) continue;
            if (!reader.ReadAsciiString(value, kMaxValueLength, '\n')) continue;
            Trim(value);
            if (key == "NFDfilepath") {
                nfdFilePath = value;
            } else if (key == "NFCfilepath") {
                nfcFilePath = value;
            } else if (key == "NFKDfilepath") {
                nfkdFilePath = value;
            }
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
