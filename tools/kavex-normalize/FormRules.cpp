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
#include "engine/Platform.h"
#include "interface/RulesFolder.h"

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
    return RulesFolder::ProfileNames(folder.u8string());
}

fs::path FormRules::ProfileFolder(const fs::path& folder, const std::string& name) {
    try {
        return fs::u8path(RulesFolder::ProfileFolder(folder.u8string(), name));
    } catch (const RulesFolderError& e) {
        throw Failure{kExitUsage, e.what()};
    }
}

void FormRules::Load(const fs::path& folder, Form form) {
    try {
        folder_ = std::make_unique<RulesFolder>(folder.u8string());
        normalizer_ = &folder_->Get(form);
    } catch (const RulesFolderError& e) {
        throw Failure{kExitRules, e.what()};
    }
    joinsLines_ = true;
    for (const kavex::NormalizationRule& rule : normalizer_->rules) {
        if (rule.source.find_first_of(std::u16string(u"\n\0", 2)) != std::u16string::npos ||
            rule.replacement.find(u'\n') != std::u16string::npos) {
            joinsLines_ = false;
        }
    }
    // Room for the longest possible result at once, up to a bound: rarer, longer results
    // are normalized a second time into a buffer of their size.
    room_ = std::min<std::size_t>(kavex::ExpansionOf(normalizer_->rules), 4);
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
    std::size_t size = normalizer_->NormalizeBytes(
        text, count, reinterpret_cast<unsigned char*>(out.Data()), room);
    if (size > room) {
        out.Resize(size);
        room = size;
        size = normalizer_->NormalizeBytes(text, count,
                                           reinterpret_cast<unsigned char*>(out.Data()), room);
    }
    return size;
}

}  // namespace kavex::cli
