// The three rules-file paths, read from "config.ini" in the current directory.
#ifndef KAVEX_CONFIG_CONFIGMANAGER_H
#define KAVEX_CONFIG_CONFIGMANAGER_H

#include <string>

namespace kavex {

class ConfigManager {
public:
    ConfigManager();
    ~ConfigManager();

    // False when "config.ini" cannot be opened. A failure while reading the opened file
    // is raised as the reader's IOException, annotated. Keys absent from the file keep
    // their paths; the last entry for a key wins.
    bool ReadConfigFile();
    void Clear();

    std::string nfdFilePath;
    std::string nfcFilePath;
    std::string nfkdFilePath;
};

}  // namespace kavex

#endif  // KAVEX_CONFIG_CONFIGMANAGER_H
