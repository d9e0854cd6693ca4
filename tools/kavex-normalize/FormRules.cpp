#include "FormRules.h"

#include <algorithm>
#include <exception>
#include <system_error>

#include "Failure.h"
#include "Files.h"
#include "config/ConfigManager.h"
#include "errors/KavexException.h"

// The rules folder of an installed tool, relative to the folder of the executable.
#ifndef KAVEX_INSTALLED_RULES
#define KAVEX_INSTALLED_RULES "../share/kavex/rules"
#endif

namespace kavex::cli {

namespace {

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
constexpr bool kBigEndianHost = true;
#else
constexpr bool kBigEndianHost = false;
#endif

// The normalizer reads and writes UTF-16LE bytes; the tool's units are native.
void SwapBytes(char16_t* units, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        units[i] = static_cast<char16_t>((units[i] >> 8) | (units[i] << 8));
    }
}

fs::path Absolute(const std::string& path) {
    std::error_code error;
    fs::path result = fs::absolute(fs::u8path(path), error);
    if (error) throw Failure{kExitIo, "cannot resolve '" + path + "': " + error.message()};
    return result.lexically_normal();
}

}  // namespace

fs::path FormRules::FindFolder(const std::string& option, const char* argv0) {
    std::error_code error;
    if (!option.empty()) {
        const fs::path folder = Absolute(option);
        if (!fs::is_directory(folder, error)) {
            throw Failure{kExitRules, "rules folder " + Quote(folder) + " does not exist"};
        }
        if (!fs::exists(folder / "config.ini", error)) {
            throw Failure{kExitRules, "rules folder " + Quote(folder) + " has no config.ini"};
        }
        return folder;
    }
    const fs::path here = ExecutableDirectory(argv0);
    const fs::path candidates[] = {here / "rules",
                                   (here / fs::u8path(KAVEX_INSTALLED_RULES)).lexically_normal()};
    for (const fs::path& folder : candidates) {
        if (fs::exists(folder / "config.ini", error)) return folder;
    }
    throw Failure{kExitRules, "no shipped rules found in " + Quote(candidates[0]) + " or " +
                                  Quote(candidates[1]) + "; name a folder with --rules DIR"};
}

std::vector<std::string> FormRules::ProfileNames(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code error;
    fs::directory_iterator entries(folder / "profiles", error);
    for (; !error && entries != fs::directory_iterator(); entries.increment(error)) {
        std::error_code ignored;
        if (fs::exists(entries->path() / "config.ini", ignored)) {
            names.push_back(entries->path().filename().u8string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

fs::path FormRules::ProfileFolder(const fs::path& folder, const std::string& name) {
    const std::vector<std::string> names = ProfileNames(folder);
    if (std::find(names.begin(), names.end(), name) == names.end()) {
        std::string known;
        for (const std::string& each : names) {
            known += (known.empty() ? "" : ", ") + each;
        }
        throw Failure{kExitUsage,
                      "unknown profile '" + name + "' (" +
                          (known.empty() ? "the rules in " + Quote(folder) + " have no profiles"
                                         : "known: " + known) +
                          ")"};
    }
    return folder / "profiles" / fs::u8path(name);
}

void FormRules::Load(const fs::path& folder, Form form) {
    const std::string where = "cannot load the rules in " + Quote(folder);
    std::error_code error;
    fs::current_path(folder, error);
    if (error) {
        throw Failure{kExitRules,
                      "cannot enter rules folder " + Quote(folder) + ": " + error.message()};
    }
    kavex::ConfigManager config;
    try {
        if (!config.ReadConfigFile()) {
            throw Failure{kExitRules, where + ": its config.ini cannot be opened"};
        }
    } catch (const kavex::KavexException& e) {
        throw Failure{kExitRules, where + ": reading its config.ini failed: " + e.GetMessage()};
    }
    const std::string& path = form == Form::Nfd    ? config.nfdFilePath
                              : form == Form::Nfkd ? config.nfkdFilePath
                                                   : config.nfcFilePath;
    const std::string key = std::string(FormName(form)) + "filepath";
    if (path.empty()) {
        throw Failure{kExitRules, where + ": its config.ini has no " + key};
    }
    if (!normalizer_.LoadRules(path)) {
        throw Failure{kExitRules, where + ": the " + FormName(form) + " rules file '" + path +
                                      "' (" + key +
                                      " in its config.ini) is missing, unreadable "
                                      "or too large"};
    }

    std::size_t most = 1;
    joinsLines_ = true;
    for (const kavex::NormalizationRule& rule : normalizer_.rules) {
        if (rule.source.find_first_of(std::u16string(u"\n\0", 2)) != std::u16string::npos ||
            rule.replacement.find(u'\n') != std::u16string::npos) {
            joinsLines_ = false;
        }
        if (!rule.source.empty()) {
            most = std::max(
                most, (rule.replacement.size() + rule.source.size() - 1) / rule.source.size());
        }
    }
    // Room for the longest possible result at once, up to a bound: rarer, longer results
    // are normalized a second time into a buffer of their size.
    room_ = std::min<std::size_t>(most, 4);
}

std::size_t FormRules::Normalize(const char16_t* units, std::size_t count,
                                 Buffer<char16_t>& out) const {
    if (count == 0) return 0;
    if (kBigEndianHost) {
        Buffer<char16_t> swapped;
        swapped.Append(units, count);
        SwapBytes(swapped.Data(), count);
        const std::size_t size = NormalizeLittleEndian(swapped.Data(), count, out);
        SwapBytes(out.Data(), size);
        return size;
    }
    return NormalizeLittleEndian(units, count, out);
}

std::size_t FormRules::NormalizeLittleEndian(const char16_t* units, std::size_t count,
                                             Buffer<char16_t>& out) const {
    const auto* text = reinterpret_cast<const unsigned char*>(units);
    std::size_t room = count * room_ + 16;
    out.Resize(room);
    std::size_t size =
        normalizer_.NormalizeBytes(text, count, reinterpret_cast<unsigned char*>(out.Data()), room);
    if (size > room) {
        out.Resize(size);
        room = size;
        size = normalizer_.NormalizeBytes(text, count, reinterpret_cast<unsigned char*>(out.Data()),
                                          room);
    }
    return size;
}

}  // namespace kavex::cli
