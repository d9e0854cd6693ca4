#include "interface/RulesFolder.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "config/ConfigIni.h"
#include "config/ConfigManager.h"
#include "errors/KavexException.h"

namespace kavex {

namespace fs = std::filesystem;

namespace {

constexpr const char* kFormNames[kFormCount] = {"NFD", "NFC", "NFKD", "NFKC"};

std::string Quote(const std::string& text) { return "'" + text + "'"; }

// Paths are bytes, handed to the file reader as they are; the file system library sees
// them as UTF-8 on every platform, as the tools do.
fs::path PathOf(const std::string& bytes) { return fs::u8path(bytes); }

std::string Join(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder.back() == '/'
#if defined(_WIN32)
        || folder.back() == '\\'
#endif
    ) {
        return folder + name;
    }
    return folder + "/" + name;
}

// The whole file, or as much as can be read: for explanations only.
std::string ReadBytes(const std::string& path) {
    std::ifstream in(PathOf(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What keeps the engine from loading the rules file at `path`, found by looking at the
// file again: the engine reports only that it failed (and, for a failed read, why).
std::string RulesFileProblem(const std::string& path, const std::string& readError) {
    std::error_code error;
    const fs::file_status status = fs::status(PathOf(path), error);
    if (!fs::exists(status)) return "does not exist";
    if (fs::is_directory(status)) return "is a folder, not a file";
    // Opened by the name the engine opens.
    std::FILE* stream = std::fopen(path.c_str(), "rb");
    if (stream == nullptr) return std::string("cannot be opened: ") + std::strerror(errno);
    unsigned char mark[3] = {0, 0, 0};
    const std::size_t got = std::fread(mark, 1, sizeof mark, stream);
    std::fclose(stream);
    if (got == 0) return "is empty: a rules file begins with the byte-order mark FF FE";
    if (got < 2 || mark[0] != 0xFF || mark[1] != 0xFE) {
        std::string what =
            "has no byte-order mark FF FE at its start: a rules file is UTF-16LE "
            "text beginning with FF FE";
        if (got == 3 && mark[0] == 0xEF && mark[1] == 0xBB && mark[2] == 0xBF) {
            what += ", and this one begins as UTF-8 text does (EF BB BF)";
        }
        return what;
    }
    if (!readError.empty()) {
        // The one read that fails on a readable file: a CR, which ends a rule, as the last
        // unit, with no unit after it for the engine to drop.
        const std::string bytes = ReadBytes(path);
        const std::size_t units = (bytes.size() - 2) / 2;
        if (units > 0 && bytes[2 * units] == '\r' && bytes[2 * units + 1] == '\0') {
            return "ends in a CR with no unit after it: every rule ends with CR LF";
        }
        return "cannot be read: " + readError;
    }
    return "is too large: it holds more rules, or more different units in their sources, "
           "than one rules file may (or memory ran out)";
}

}  // namespace

const char* FormName(Form form) { return kFormNames[static_cast<std::size_t>(form)]; }

std::string FormKey(Form form) { return std::string(FormName(form)) + "filepath"; }

bool FormFromName(const std::string& name, Form& form) {
    for (std::size_t f = 0; f < kFormCount; ++f) {
        const char* wanted = kFormNames[f];
        if (name.size() != std::strlen(wanted)) continue;
        bool same = true;
        for (std::size_t i = 0; i < name.size() && same; ++i) {
            const char c =
                name[i] >= 'a' && name[i] <= 'z' ? static_cast<char>(name[i] - 32) : name[i];
            same = c == wanted[i];
        }
        if (same) {
            form = static_cast<Form>(f);
            return true;
        }
    }
    return false;
}

RulesFolder::RulesFolder(std::string folder) : folder_(std::move(folder)) {
    std::error_code error;
    const fs::file_status status = fs::status(PathOf(folder_), error);
    if (!fs::exists(status)) {
        throw RulesFolderError(RulesFolderError::Kind::kFolder,
                               "rules folder " + Quote(folder_) + " does not exist");
    }
    if (!fs::is_directory(status)) {
        throw RulesFolderError(RulesFolderError::Kind::kFolder,
                               "rules folder " + Quote(folder_) +
                                   " is not a folder: a rules folder holds config.ini and the "
                                   "rules files it names");
    }
    const std::string config = Join(folder_, "config.ini");
    if (!fs::exists(PathOf(config), error)) {
        throw RulesFolderError(RulesFolderError::Kind::kFolder,
                               "rules folder " + Quote(folder_) + " has no config.ini",
                               "config.ini");
    }
    const std::string where = "cannot load the rules in " + Quote(folder_);
    ConfigManager reader;
    std::array<std::string, kFormCount> named;
    try {
        const bool opened = reader.ReadConfigFile(
            config, [&named](const std::string& key, const std::string& value) {
                for (std::size_t f = 0; f < kFormCount; ++f) {
                    if (key == FormKey(static_cast<Form>(f))) named[f] = value;
                }
            });
        if (!opened) {
            throw RulesFolderError(RulesFolderError::Kind::kConfig,
                                   where + ": its config.ini cannot be opened", "config.ini");
        }
    } catch (const KavexException& e) {
        throw RulesFolderError(RulesFolderError::Kind::kConfig,
                               where + ": reading its config.ini failed: " + e.GetMessage(),
                               "config.ini", e.GetMessage());
    }
    named_ = named;
}

std::string RulesFolder::RulesFile(Form form) const {
    const std::string& named = NamedFile(form);
    if (named.empty() || PathOf(named).has_root_path()) return named;
    return Join(folder_, named);
}

std::mutex& RulesFolder::LoadLock() {
    static std::mutex lock;
    return lock;
}

const Normalizer& RulesFolder::Get(Form form) const {
    const std::size_t f = static_cast<std::size_t>(form);
    if (const Normalizer* ready = loaded_[f].load(std::memory_order_acquire)) return *ready;
    std::lock_guard<std::mutex> lock(LoadLock());
    if (const Normalizer* ready = loaded_[f].load(std::memory_order_relaxed)) return *ready;

    const std::string where = "cannot load the rules in " + Quote(folder_);
    const std::string key = FormKey(form);
    const std::string& named = NamedFile(form);
    if (named.empty()) {
        const std::string why =
            ConfigIni(ReadBytes(Join(folder_, "config.ini"))).ExplainMissing(key);
        throw RulesFolderError(
            RulesFolderError::Kind::kMissingKey,
            where + ": its config.ini has no " + key + (why.empty() ? "" : ": " + why),
            "config.ini", why);
    }
    auto normalizer = std::make_unique<Normalizer>();
    const std::string path = RulesFile(form);
    if (!normalizer->LoadRules(path)) {
        std::string why = RulesFileProblem(path, normalizer->LastReadError());
        const std::string cut = ConfigIni(ReadBytes(Join(folder_, "config.ini"))).ExplainValue(key);
        if (!cut.empty()) why += " (" + cut + ")";
        throw RulesFolderError(RulesFolderError::Kind::kRulesFile,
                               where + ": the " + FormName(form) + " rules file " + Quote(named) +
                                   " (" + key + " in its config.ini) " + why,
                               named, why);
    }
    owned_[f] = std::move(normalizer);
    loaded_[f].store(owned_[f].get(), std::memory_order_release);
    return *owned_[f];
}

std::vector<std::string> RulesFolder::ProfileNames(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code error;
    fs::directory_iterator entries(PathOf(folder) / "profiles", error);
    for (; !error && entries != fs::directory_iterator(); entries.increment(error)) {
        std::error_code ignored;
        if (fs::exists(entries->path() / "config.ini", ignored)) {
            names.push_back(entries->path().filename().u8string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string RulesFolder::ProfileFolder(const std::string& folder, const std::string& name) {
    const std::vector<std::string> names = ProfileNames(folder);
    if (std::find(names.begin(), names.end(), name) == names.end()) {
        std::string known;
        for (const std::string& each : names) known += (known.empty() ? "" : ", ") + each;
        throw RulesFolderError(
            RulesFolderError::Kind::kUnknownProfile,
            "unknown profile '" + name + "' (" +
                (known.empty() ? "the rules in " + Quote(folder) + " have no profiles"
                               : "known: " + known) +
                ")",
            "", known);
    }
    return Join(Join(folder, "profiles"), name);
}

}  // namespace kavex
