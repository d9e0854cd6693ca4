// A rules folder opened by path: its config.ini read with the library's own reader, the
// rules files it names resolved against the folder, and each form's normalizer loaded the
// first time it is asked for. The one loader of the hosts that link the engine (the tools,
// the Python module, the database extension, the C interface): it never changes the
// process's current directory, and it knows the fourth form, NFKC, which a folder names
// under its own key. The exported class keeps reading config.ini from the current
// directory.
#ifndef KAVEX_INTERFACE_RULESFOLDER_H
#define KAVEX_INTERFACE_RULESFOLDER_H

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/Normalizer.h"
#include "interface/Form.h"

namespace kavex {

class RulesFolderError : public std::runtime_error {
  public:
    enum class Kind {
        kFolder,          // the folder is missing, not a folder, or holds no config.ini
        kConfig,          // its config.ini cannot be opened or read
        kMissingKey,      // its config.ini names no rules file for the form
        kRulesFile,       // the rules file named cannot be loaded
        kUnknownProfile,  // no profile of that name
    };
    RulesFolderError(Kind kind, const std::string& message, std::string file = "",
                     std::string detail = "")
        : std::runtime_error(message),
          kind_(kind),
          file_(std::move(file)),
          detail_(std::move(detail)) {}
    Kind GetKind() const { return kind_; }
    // The file at fault as config.ini names it (or "config.ini"); empty for the others.
    const std::string& File() const { return file_; }
    // The cause alone, for hosts that word their own messages: what is wrong with the rules
    // file (kRulesFile), why the key was not found (kMissingKey, may be empty), the read
    // error (kConfig, empty when config.ini could not be opened at all), the known profiles
    // joined by ", " (kUnknownProfile, empty when there are none); empty for kFolder.
    const std::string& Detail() const { return detail_; }

  private:
    Kind kind_;
    std::string file_;
    std::string detail_;
};

class RulesFolder {
  public:
    // Reads `folder`/config.ini. Throws RulesFolderError (kFolder, kConfig).
    explicit RulesFolder(std::string folder);
    RulesFolder(const RulesFolder&) = delete;
    RulesFolder& operator=(const RulesFolder&) = delete;

    const std::string& Folder() const { return folder_; }
    // The rules file config.ini names for `form`, as it stands there; empty for none.
    const std::string& NamedFile(Form form) const { return named_[static_cast<std::size_t>(form)]; }
    // That file resolved against the folder.
    std::string RulesFile(Form form) const;

    // The form's normalizer, loaded the first time and kept for the folder's life. Threads
    // may ask at once: one loads, the others wait for it. Throws RulesFolderError
    // (kMissingKey, kRulesFile) naming the file and what is wrong with it; a later call
    // tries again.
    const Normalizer& Get(Form form) const;
    bool IsLoaded(Form form) const {
        return loaded_[static_cast<std::size_t>(form)].load(std::memory_order_acquire) != nullptr;
    }

    // Every load of every folder takes this lock: a host that forks takes it around fork()
    // so that no child starts with it held.
    static std::mutex& LoadLock();

    // The language profiles under `folder`/profiles: the folders that hold a config.ini,
    // by name.
    static std::vector<std::string> ProfileNames(const std::string& folder);
    // `folder`/profiles/`name`. Throws RulesFolderError (kUnknownProfile) naming the known
    // profiles.
    static std::string ProfileFolder(const std::string& folder, const std::string& name);

  private:
    std::string folder_;
    std::array<std::string, kFormCount> named_;
    // The config.ini as read, for explanations of a key the library did not find.
    std::string configBytes_;
    mutable std::array<std::unique_ptr<Normalizer>, kFormCount> owned_;
    mutable std::array<std::atomic<const Normalizer*>, kFormCount> loaded_{};
};

}  // namespace kavex

#endif  // KAVEX_INTERFACE_RULESFOLDER_H
