// The three rules-file paths, read from "config.ini" in the current directory.
#ifndef KAVEX_CONFIG_CONFIGMANAGER_H
#define KAVEX_CONFIG_CONFIGMANAGER_H

#include <functional>
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
    // The same reading of the configuration file at `path` (hosts that open a rules folder
    // without entering it), handing every entry, key and value trimmed, to `entry` in file
    // order as well: hosts read keys the library does not know, such as "NFKCfilepath".
    using Entry = std::function<void(const std::string& key, const std::string& value)>;
    bool ReadConfigFile(const std::string& path, const Entry& entry);
    void Clear();

    std::string nfdFilePath;
    std::string nfcFilePath;
    std::string nfkdFilePath;
};

}  // namespace kavex

#endif  // KAVEX_CONFIG_CONFIGMANAGER_H
