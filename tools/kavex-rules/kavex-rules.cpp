// kavex-rules: compiles readable rules sources (.kvr) into rules files, decompiles rules
// files, and checks either for rules that never apply, lines the loader reads otherwise
// than they look, and the size of the matcher.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#include "RulesCheck.h"
#include "RulesFile.h"
#include "RulesSource.h"
#include "engine/RuleMatcher.h"

#ifndef KAVEX_VERSION
#define KAVEX_VERSION "unknown"
#endif

namespace {

constexpr const char* kTool = "kavex-rules";

constexpr int kExitOk = 0;
constexpr int kExitFindings = 1;  // check reported something
constexpr int kExitIo = 1;        // compile, decompile: a file could not be read or written
constexpr int kExitUsage = 64;
constexpr int kExitData = 65;  // not readable as rules

const char kUsage[] =
    "Usage: kavex-rules compile SOURCE.kvr... -o FILE.txt\n"
    "  or:  kavex-rules decompile FILE.txt [-o SOURCE.kvr]\n"
    "  or:  kavex-rules check FILE.txt|SOURCE.kvr\n"
    "Writes, reads and checks kavex rules files.\n"
    "\n"
    "  compile    writes the rules file (UTF-16LE, FF FE, source:replacement, CR LF) of\n"
    "             the rules of the sources, in order; nothing is written on an error,\n"
    "             which names the file, line and column\n"
    "  decompile  prints the readable source of a rules file, every unit as U+XXXX and\n"
    "             the characters in a comment; compiling it gives the file back\n"
    "  check      reports rules that are never applied, lines the library reads\n"
    "             differently from how they look, and the matcher's size next to its\n"
    "             limits; a file whose name ends in .kvr is read as a source\n"
    "  -o FILE    output file (compile: required; decompile: default standard output)\n"
    "  --help     show this help and exit\n"
    "  --version  show the version and exit\n"
    "\n"
    "A source has one rule per line: tokens U+XXXX (4 to 6 hex digits) or literal\n"
    "characters, separated by blanks, then '->', then the replacement, which may be\n"
    "empty. '#' at the start of a line or after a blank begins a comment.\n"
    "\n"
    "Exit status: 0 done (check: nothing found); 1 check found something, or a file\n"
    "could not be read or written; 64 wrong usage; 65 not readable as rules (a syntax\n"
    "error, a rule a rules file cannot express, a file that does not load).\n";

void Error(const std::string& message) { std::fprintf(stderr, "%s: %s\n", kTool, message.c_str()); }

int Usage(const std::string& message) {
    Error(message);
    std::fprintf(stderr, "Try '%s --help' for more information.\n", kTool);
    return kExitUsage;
}

bool ReadFile(const std::string& path, std::string& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// Writes through a temporary file next to `path`, so a failure leaves `path` as it was.
bool WriteFile(const std::string& path, const std::string& bytes) {
    const std::string temporary = path + ".kavex-rules-tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
            return false;
        }
    }
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    if (error) {
        std::filesystem::remove(temporary, error);
        return false;
    }
    return true;
}

std::string Grouped(std::size_t n) {
    std::string digits = std::to_string(n);
    for (std::size_t k = digits.size(); k > 3; k -= 3) digits.insert(k - 3, ",");
    return digits;
}

std::string Share(std::size_t used, std::size_t limit) {
    char percent[32];
    std::snprintf(percent, sizeof percent, "%.1f%%",
                  100.0 * static_cast<double>(used) / static_cast<double>(limit));
    return Grouped(used) + " of " + Grouped(limit) + " (" + percent + ")";
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

const char* WhyNotLoaded(const kavex::rules::RulesFileImage& image) {
    using Status = kavex::rules::RulesFileImage::Status;
    if (image.status == Status::kNoMark) {
        return "not a rules file: it does not begin with the byte-order mark FF FE";
    }
    if (image.status == Status::kEndsWithCr) {
        return "the file ends with a CR and no unit after it, and the library does not "
               "load it";
    }
    return nullptr;
}

std::vector<kavex::rules::Rule> RulesOf(const kavex::rules::RulesFileImage& image) {
    std::vector<kavex::rules::Rule> rules;
    rules.reserve(image.lines.size());
    for (const auto& line : image.lines) rules.push_back(line.rule);
    return rules;
}

int Compile(const std::vector<std::string>& sources, const std::string& output) {
    std::vector<kavex::rules::Rule> rules;
    // Where the rules of each source begin, to name the file of a rule.
    std::vector<std::size_t> firstRule;
    for (const std::string& name : sources) {
        std::string text;
        if (!ReadFile(name, text)) {
            Error(name + ": cannot read: " + std::strerror(errno));
            return kExitIo;
        }
        firstRule.push_back(rules.size());
        kavex::rules::SourceError error;
        if (!kavex::rules::ParseRulesSource(text, rules, error)) {
            std::fprintf(stderr, "%s:%zu:%zu: %s\n", name.c_str(), error.line, error.column,
                         error.message.c_str());
            return kExitData;
        }
    }
    const auto size = kavex::rules::MeasureMatcher(rules);
    if (!size.Fits()) {
        for (const auto& finding : kavex::rules::LimitFindings(size, rules)) {
            // The source the rule comes from: the last one whose rules start at or before it.
            std::size_t file = 0;
            while (file + 1 < firstRule.size() && firstRule[file + 1] <= finding.rule) ++file;
            std::fprintf(stderr, "%s:%zu: %s\n", sources[file].c_str(), finding.line,
                         finding.message.c_str());
        }
        return kExitData;
    }
    if (!WriteFile(output, kavex::rules::WriteRulesFile(rules))) {
        Error(output + ": cannot write: " + std::strerror(errno));
        return kExitIo;
    }
    return kExitOk;
}

int Decompile(const std::string& input, const std::string& output) {
    std::string bytes;
    if (!ReadFile(input, bytes)) {
        Error(input + ": cannot read: " + std::strerror(errno));
        return kExitIo;
    }
    const auto image = kavex::rules::ReadRulesFileBytes(bytes);
    if (const char* why = WhyNotLoaded(image)) {
        Error(input + ": " + why);
        return kExitData;
    }
    const std::string name = std::filesystem::path(input).filename().string();
    const std::string text = kavex::rules::WriteRulesSource(image, name);
    if (output.empty() || output == "-") {
        std::fwrite(text.data(), 1, text.size(), stdout);
        if (std::fflush(stdout) != 0) {
            Error("cannot write to standard output");
            return kExitIo;
        }
        return kExitOk;
    }
    if (!WriteFile(output, text)) {
        Error(output + ": cannot write: " + std::strerror(errno));
        return kExitIo;
    }
    return kExitOk;
}

int Check(const std::string& input) {
    std::string bytes;
    if (!ReadFile(input, bytes)) {
        Error(input + ": cannot read: " + std::strerror(errno));
        return kExitData;
    }
    std::vector<kavex::rules::Rule> rules;
    std::vector<kavex::rules::Finding> findings;
    if (EndsWith(input, ".kvr")) {
        kavex::rules::SourceError error;
        if (!kavex::rules::ParseRulesSource(bytes, rules, error)) {
            std::fprintf(stderr, "%s:%zu:%zu: %s\n", input.c_str(), error.line, error.column,
                         error.message.c_str());
            return kExitData;
        }
    } else {
        const auto image = kavex::rules::ReadRulesFileBytes(bytes);
        if (const char* why = WhyNotLoaded(image)) {
            Error(input + ": " + why);
            return kExitData;
        }
        rules = RulesOf(image);
        findings = kavex::rules::CheckLoaderReading(image);
    }
    const auto dead = kavex::rules::CheckRules(rules);
    findings.insert(findings.end(), dead.begin(), dead.end());
    std::stable_sort(findings.begin(), findings.end(),
                     [](const auto& a, const auto& b) { return a.line < b.line; });
    for (const auto& finding : findings) {
        if (finding.line == 0) {
            std::printf("%s: %s\n", input.c_str(), finding.message.c_str());
        } else {
            std::printf("%s:%zu: %s\n", input.c_str(), finding.line, finding.message.c_str());
        }
    }

    const auto size = kavex::rules::MeasureMatcher(rules);
    std::string memory = "not built";
    if (size.Fits()) {
        std::vector<std::u16string> sources;
        for (const auto& rule : rules) sources.push_back(rule.source);
        kavex::RuleMatcher matcher;
        if (matcher.Build(std::move(sources))) memory = Grouped(matcher.MemoryBytes()) + " bytes";
    }
    std::printf("%s: rules %s; states %s; alphabet %s; row bytes %s; memory %s\n", input.c_str(),
                Share(size.rules, kavex::kMaxRules).c_str(),
                Share(size.states, kavex::kMaxStates).c_str(),
                Share(size.alphabet, kavex::kMaxAlphabet).c_str(),
                Share(size.rowBytes, kavex::kMaxTableBytes).c_str(), memory.c_str());
    if (findings.empty()) {
        std::printf("%s: clean\n", input.c_str());
        return kExitOk;
    }
    std::printf("%s: %zu finding%s\n", input.c_str(), findings.size(),
                findings.size() == 1 ? "" : "s");
    return kExitFindings;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return Usage("missing command");
    for (const std::string& arg : args) {
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return kExitOk;
        }
        if (arg == "--version") {
            std::printf("%s %s\n", kTool, KAVEX_VERSION);
            return kExitOk;
        }
    }
    const std::string command = args[0];
    std::vector<std::string> files;
    std::string output;
    bool haveOutput = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-o" || arg == "--output") {
            if (i + 1 >= args.size()) return Usage("option '" + arg + "' needs a file");
            if (haveOutput) return Usage("option '" + arg + "' given twice");
            output = args[++i];
            haveOutput = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Usage("unknown option '" + arg + "'");
        } else {
            files.push_back(arg);
        }
    }
    if (command == "compile") {
        if (files.empty()) return Usage("compile: no source given");
        if (!haveOutput || output.empty()) return Usage("compile: missing -o FILE");
        return Compile(files, output);
    }
    if (command == "decompile") {
        if (files.size() != 1) return Usage("decompile: give exactly one rules file");
        return Decompile(files[0], output);
    }
    if (command == "check") {
        if (files.size() != 1) return Usage("check: give exactly one file");
        if (haveOutput) return Usage("check: -o is not an option of check");
        return Check(files[0]);
    }
    return Usage("unknown command '" + command + "'");
}
