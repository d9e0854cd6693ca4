#include "FormRules.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <fstream>
#include <iterator>
#include <system_error>

#include "Failure.h"
#include "Files.h"
#include "common/ConfigIni.h"
#include "config/ConfigManager.h"
#include "engine/Platform.h"
#include "errors/KavexException.h"

// The rules folder of an installed tool, relative to the folder of the executable.
#ifndef KAVEX_INSTALLED_RULES
#define KAVEX_INSTALLED_RULES "../share/kavex/rules"
#endif

namespace kavex::cli {

namespace {

// The normalizer reads and writes UTF-16LE bytes; the tool's units are native.
void SwapBytes(char16_t* units, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        units[i] = static_cast<char16_t>((units[i] >> 8) | (units[i] << 8));
    }
}

// The whole file, or as much as can be read: for explanations only.
std::string ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What keeps the engine from loading the rules file at `path`, found by looking at the
// file again: the engine reports only that it failed (and, for a failed read, why).
std::string RulesFileProblem(const std::string& path, const std::string& readError) {
    std::error_code error;
    const fs::path file = fs::u8path(path);
    const fs::file_status status = fs::status(file, error);
    if (!fs::exists(status)) return "does not exist";
    if (fs::is_directory(status)) return "is a folder, not a file";
    // Opened by the name the engine opens.
    std::FILE* stream = std::fopen(path.c_str(), "rb");
    if (stream == nullptr) return "cannot be opened: " + ErrnoText(errno);
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
        const std::string bytes = ReadBytes(file);
        const std::size_t units = (bytes.size() - 2) / 2;
        if (units > 0 && bytes[2 * units] == '\r' && bytes[2 * units + 1] == '\0') {
            return "ends in a CR with no unit after it: every rule ends with CR LF";
        }
        return "cannot be read: " + readError;
    }
    return "is too large: it holds more rules, or more different units in their sources, "
           "than one rules file may (or memory ran out)";
}

fs::path Absolute(const std::string& path) {
    std::error_code error;
    fs::path result = fs::absolute(fs::u8path(path), error);
    if (error) throw Failure{kExitIo, "cannot resolve '" + path + "': " + error.message()};
    return result.lexically_normal();
}

}  // namespace

fs::path FormRules::FindFolder(const std::string& option, const char* argv0, bool needsConfig) {
    std::error_code error;
    if (!option.empty()) {
        const fs::path folder = Absolute(option);
        const fs::file_status status = fs::status(folder, error);
        if (!fs::exists(status)) {
            throw Failure{kExitRules, "rules folder " + Quote(folder) + " does not exist"};
        }
        if (!fs::is_directory(status)) {
            throw Failure{kExitRules, "rules folder " + Quote(folder) +
                                          " is not a folder: --rules takes the folder that "
                                          "holds config.ini and the rules files it names"};
        }
        if (needsConfig && !fs::exists(folder / "config.ini", error)) {
            throw Failure{kExitRules, "rules folder " + Quote(folder) + " has no config.ini"};
        }
        return folder;
    }
    const fs::path here = ExecutableDirectory(argv0);
    const fs::path candidates[] = {here / "rules",
                                   (here / fs::u8path(KAVEX_INSTALLED_RULES)).lexically_normal()};
    for (const fs::path& folder : candidates) {
        if (fs::exists(folder / "config.ini", error)) return folder;
        if (!needsConfig && fs::is_directory(folder / "profiles", error)) return folder;
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
        const std::string why = ConfigIni(ReadBytes("config.ini")).ExplainMissing(key);
        throw Failure{kExitRules,
                      where + ": its config.ini has no " + key + (why.empty() ? "" : ": " + why)};
    }
    if (!normalizer_.LoadRules(path)) {
        std::string why = RulesFileProblem(path, normalizer_.LastReadError());
        const std::string cut = ConfigIni(ReadBytes("config.ini")).ExplainValue(key);
        if (!cut.empty()) why += " (" + cut + ")";
        throw Failure{kExitRules, where + ": the " + FormName(form) + " rules file '" + path +
                                      "' (" + key + " in its config.ini) " + why};
    }

    joinsLines_ = true;
    for (const kavex::NormalizationRule& rule : normalizer_.rules) {
        if (rule.source.find_first_of(std::u16string(u"\n\0", 2)) != std::u16string::npos ||
            rule.replacement.find(u'\n') != std::u16string::npos) {
            joinsLines_ = false;
        }
    }
    // Room for the longest possible result at once, up to a bound: rarer, longer results
    // are normalized a second time into a buffer of their size.
    room_ = std::min<std::size_t>(kavex::ExpansionOf(normalizer_.rules), 4);
}

std::size_t FormRules::Normalize(const char16_t* units, std::size_t count,
                                 Buffer<char16_t>& out) const {
    if (count == 0) return 0;
    if (!kLittleEndianHost) {
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
