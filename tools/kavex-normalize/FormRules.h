// The rules of the one form a run of kavex-normalize needs.
//
// The tool links the library's internal parts rather than the shared library and loads
// only this form's rules file: Normalization::Initialize would load all three (about three
// times the load time and the memory on every run, which dominates a run on a small
// file), and no public call loads fewer. It then calls the form's normalizer directly, on
// pieces of any size, U+0000 included, with no size query and no int limits.
#ifndef KAVEX_TOOLS_NORMALIZE_FORMRULES_H
#define KAVEX_TOOLS_NORMALIZE_FORMRULES_H

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "Buffer.h"
#include "Options.h"
#include "engine/Normalizer.h"
#include "interface/RulesFolder.h"

namespace kavex::cli {

class FormRules {
  public:
    // The folder of --rules, or the shipped rules next to the executable or installed
    // with it. Throws Failure (kExitRules) when there is none. A folder used only for its
    // profiles (`needsConfig` false) need not hold a config.ini of its own.
    static std::filesystem::path FindFolder(const std::string& option, const char* argv0,
                                            bool needsConfig);

    // The language profiles under `folder`/profiles: the folders that hold a config.ini,
    // by name.
    static std::vector<std::string> ProfileNames(const std::filesystem::path& folder);

    // `folder`/profiles/`name`. Throws Failure (kExitUsage) naming the known profiles
    // when there is no such profile.
    static std::filesystem::path ProfileFolder(const std::filesystem::path& folder,
                                               const std::string& name);

    // Opens `folder` (config.ini and the relative paths it holds are resolved there, the
    // current directory left alone) and loads the rules file it names for `form`. Throws
    // Failure (kExitRules).
    void Load(const std::filesystem::path& folder, Form form);

    // Normalizes `count` units into `out` and returns the number of units of the result.
    // Safe to call from several threads at once.
    std::size_t Normalize(const char16_t* units, std::size_t count, Buffer<char16_t>& out) const;

    // True when no rule source holds a line feed or U+0000 and no replacement a line feed:
    // then no match spans a line feed and the result of many lines in one call is that of
    // each line on its own, with the same line feeds.
    bool JoinsLines() const { return joinsLines_; }

    // The form's normalizer, for --explain.
    const kavex::Normalizer& Engine() const { return *normalizer_; }

  private:
    std::size_t NormalizeLittleEndian(const char16_t* units, std::size_t count,
                                      Buffer<char16_t>& out) const;

    std::unique_ptr<kavex::RulesFolder> folder_;
    const kavex::Normalizer* normalizer_ = nullptr;
    std::size_t room_ = 2;  // units of result per unit of text given at first
    bool joinsLines_ = false;
};

}  // namespace kavex::cli

#endif  // KAVEX_TOOLS_NORMALIZE_FORMRULES_H
