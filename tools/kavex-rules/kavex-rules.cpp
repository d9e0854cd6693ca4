// kavex-rules: compiles readable rules sources (.kvr) into rules files, decompiles rules
// files, and checks either for rules that never apply, lines the loader reads otherwise
// than they look, and the size of the matcher.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "Files.h"
#include "RulesCheck.h"
#include "RulesFile.h"
#include "RulesSource.h"
#include "engine/RuleMatcher.h"

#ifndef KAVEX_VERSION
#define KAVEX_VERSION "unknown"
#endif

namespace {

using kavex::rules::Failure;
using kavex::rules::kExitIo;

constexpr const char* kTool = "kavex-rules";

constexpr int kExitOk = 0;
constexpr int kExitFindings = 1;  // check reported something
constexpr int kExitUsage = 64;
constexpr int kExitData = 65;  // not readable as rules

// Inputs are read and outputs written in blocks of this size.
constexpr std::size_t kBlockBytes = std::size_t{1} << 16;

// Above this many findings check summarizes them unless told otherwise; a summary shows
// this many of each kind.
constexpr std::size_t kListedFindings = 20;
constexpr std::size_t kShownPerGroup = 3;

const char kUsage[] =
    "Usage: kavex-rules compile SOURCE.kvr... -o FILE.txt\n"
    "  or:  kavex-rules decompile FILE.txt [-o SOURCE.kvr]\n"
    "  or:  kavex-rules check [--all | --summary] FILE.txt|SOURCE.kvr\n"
    "Writes, reads and checks kavex rules files.\n"
    "\n"
    "  compile    writes the rules file (UTF-16LE, FF FE, source:replacement, CR LF) of\n"
    "             the rules of the sources, in order; nothing is written on an error,\n"
    "             which names the file, line and column\n"
    "  decompile  prints the readable source of a rules file, line for line: every unit\n"
    "             as U+XXXX and the characters in a comment; compiling it gives the file\n"
    "             back\n"
    "  check      reports rules that are never applied, lines the library reads\n"
    "             differently from how they look, and the matcher's size next to its\n"
    "             limits; a file whose name ends in .kvr is read as a source\n"
    "  --all      check: list every finding (the default up to 20 of them)\n"
    "  --summary  check: count the findings of each kind and show the first 3 of each\n"
    "             (the default above 20 findings)\n"
    "  -o FILE    output file (compile: required; decompile: default standard output);\n"
    "             written through a temporary file, so an error leaves FILE as it was\n"
    "  --help     show this help and exit\n"
    "  --version  show the version and exit\n"
    "\n"
    "A source has one rule per line: tokens U+XXXX (4 to 6 hex digits) or literal\n"
    "characters, separated by blanks, then '->' with a blank on each side, then the\n"
    "replacement, which may be empty. '#' at the start of a line or after a blank begins\n"
    "a comment.\n"
    "\n"
    "Exit status: 0 done (check: nothing found); 1 check found something, or a file\n"
    "could not be read or written; 64 wrong usage; 65 not readable as rules (a syntax\n"
    "error, a rule a rules file cannot express, a file that does not load, rules past\n"
    "the matcher's limits).\n";

void Error(const std::string& message) { std::fprintf(stderr, "%s: %s\n", kTool, message.c_str()); }

int Usage(const std::string& message) {
    Error(message);
    std::fprintf(stderr, "Try '%s --help' for more information.\n", kTool);
    return kExitUsage;
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

std::string SourceErrorText(const std::string& name, const kavex::rules::SourceError& error) {
    return name + ":" + std::to_string(error.line) + ":" + std::to_string(error.column) + ": " +
           error.message;
}

// Parses a source as it is read, a block at a time. Stops early, with true, once the
// rules read so far pass one of the matcher's limits that no later rule can undo, when
// `meter` is given.
bool ParseSourceFile(const std::string& name, std::vector<kavex::rules::Rule>& rules,
                     kavex::rules::MatcherMeter* meter) {
    kavex::rules::InputFile input(name);
    kavex::rules::RulesSourceParser parser(rules);
    std::size_t measured = rules.size();
    const auto measure = [&] {
        if (meter == nullptr) return false;
        for (; measured < rules.size(); ++measured) meter->Add(rules[measured]);
        return meter->PassedALimit();
    };
    std::vector<char> block(kBlockBytes);
    while (const std::size_t read = input.Read(block.data(), block.size())) {
        if (!parser.Feed(block.data(), read)) {
            std::fprintf(stderr, "%s\n", SourceErrorText(name, parser.Error()).c_str());
            return false;
        }
        if (measure()) return true;
    }
    if (!parser.Finish()) {
        std::fprintf(stderr, "%s\n", SourceErrorText(name, parser.Error()).c_str());
        return false;
    }
    measure();
    return true;
}

// Why the library does not load the file; empty when it does.
std::string WhyNotLoaded(const kavex::rules::RulesFileImage& image, const std::string& bytes,
                         const std::string& name) {
    using Status = kavex::rules::RulesFileImage::Status;
    if (image.status == Status::kEndsWithCr) {
        return "the file ends with a CR and no unit after it, and the library does not "
               "load it";
    }
    if (image.status != Status::kNoMark) return "";
    std::string why = "no byte-order mark FF FE: not a UTF-16LE rules file";
    if (bytes.empty()) return why + " (the file is empty)";
    if (bytes.compare(0, 2, "\xFE\xFF") == 0) return why + " (FE FF: UTF-16 big-endian)";
    std::vector<kavex::rules::Rule> rules;
    kavex::rules::SourceError error;
    if (kavex::rules::ParseRulesSource(bytes, rules, error) && !rules.empty()) {
        return why + "; it reads as a rules source (.kvr), which 'kavex-rules compile " + name +
               " -o FILE.txt' makes into a rules file";
    }
    return why + "; a rules source (.kvr) is made into a rules file with 'kavex-rules compile'";
}

kavex::rules::RulesFileImage ReadRulesFile(const std::string& name) {
    const std::string bytes = kavex::rules::InputFile(name).ReadAll();
    kavex::rules::RulesFileImage image = kavex::rules::ReadRulesFileBytes(bytes);
    const std::string why = WhyNotLoaded(image, bytes, name);
    if (!why.empty()) throw Failure{kExitData, name + ": " + why};
    return image;
}

std::vector<kavex::rules::Rule> RulesOf(const kavex::rules::RulesFileImage& image) {
    std::vector<kavex::rules::Rule> rules;
    rules.reserve(image.lines.size());
    for (const auto& line : image.lines) rules.push_back(line.rule);
    return rules;
}

int Compile(const std::vector<std::string>& sources, const std::string& output) {
    std::vector<kavex::rules::Rule> rules;
    kavex::rules::MatcherMeter meter;
    // Where the rules of each source begin, to name the file of a rule.
    std::vector<std::size_t> firstRule;
    for (const std::string& name : sources) {
        firstRule.push_back(rules.size());
        if (!ParseSourceFile(name, rules, &meter)) return kExitData;
        if (meter.PassedALimit()) break;
    }
    const auto size = meter.Size();
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
    kavex::rules::Output out(output);
    kavex::rules::WriteRulesFile(rules, kBlockBytes,
                                 [&out](const std::string& block) { out.Write(block); });
    out.Commit();
    return kExitOk;
}

int Decompile(const std::string& input, const std::string& output) {
    const auto image = ReadRulesFile(input);
    const std::string name = std::filesystem::path(input).filename().string();
    kavex::rules::Output out(output);
    std::string text;
    const std::size_t lines = kavex::rules::RulesSourceLines(image);
    for (std::size_t index = 0; index < lines; ++index) {
        kavex::rules::AppendRulesSourceLine(image, name, index, text);
        if (text.size() >= kBlockBytes) {
            out.Write(text);
            text.clear();
        }
    }
    out.Write(text);
    out.Commit();
    return kExitOk;
}

enum class Listing { kDefault, kAll, kSummary };

// The findings, every one or the first few of each group with the count of the rest.
std::string Findings(const std::string& name, const std::vector<kavex::rules::Finding>& findings,
                     bool summarize) {
    const auto line = [&name](const kavex::rules::Finding& finding) {
        if (finding.line == 0) return name + ": " + finding.message + "\n";
        return name + ":" + std::to_string(finding.line) + ": " + finding.message + "\n";
    };
    std::string text;
    struct Group {
        std::string label;
        std::size_t count;
    };
    std::vector<Group> groups;
    for (const auto& finding : findings) {
        auto group = std::find_if(groups.begin(), groups.end(),
                                  [&](const Group& g) { return g.label == finding.group; });
        if (group == groups.end()) group = groups.insert(groups.end(), Group{finding.group, 0});
        if (!summarize || group->count++ < kShownPerGroup) text += line(finding);
    }
    for (const Group& group : groups) {
        if (group.count > kShownPerGroup) {
            text += name + ": " + Grouped(group.count - kShownPerGroup) + " more: " + group.label +
                    "\n";
        }
    }
    return text;
}

int Check(const std::string& input, Listing listing) {
    std::vector<kavex::rules::Rule> rules;
    std::vector<kavex::rules::Finding> findings;
    if (EndsWith(input, ".kvr")) {
        if (!ParseSourceFile(input, rules, nullptr)) return kExitData;
    } else {
        const auto image = ReadRulesFile(input);
        rules = RulesOf(image);
        findings = kavex::rules::CheckLoaderReading(image);
    }
    const auto dead = kavex::rules::CheckRules(rules);
    findings.insert(findings.end(), dead.begin(), dead.end());
    std::stable_sort(findings.begin(), findings.end(),
                     [](const auto& a, const auto& b) { return a.line < b.line; });
    const bool summarize = listing == Listing::kSummary ||
                           (listing == Listing::kDefault && findings.size() > kListedFindings);
    std::string text = Findings(input, findings, summarize);

    const auto size = kavex::rules::MeasureMatcher(rules);
    std::string memory = "not built";
    if (size.Fits()) {
        std::vector<std::u16string> sources;
        for (const auto& rule : rules) sources.push_back(rule.source);
        kavex::RuleMatcher matcher;
        if (matcher.Build(std::move(sources))) memory = Grouped(matcher.MemoryBytes()) + " bytes";
    }
    text += input + ": rules " + Share(size.rules, kavex::kMaxRules) + "; states " +
            Share(size.states, kavex::kMaxStates) + "; alphabet " +
            Share(size.alphabet, kavex::kMaxAlphabet) + "; row bytes " +
            Share(size.rowBytes, kavex::kMaxTableBytes) + "; memory " + memory + "\n";
    if (findings.empty()) {
        text += input + ": clean\n";
    } else {
        text += input + ": " + Grouped(findings.size()) +
                (findings.size() == 1 ? " finding" : " findings");
        if (summarize) text += ", summarized ('kavex-rules check --all " + input + "' lists each)";
        text += "\n";
    }
    kavex::rules::Output out("");
    out.Write(text);
    out.Commit();
    return findings.empty() ? kExitOk : kExitFindings;
}

int Run(const std::vector<std::string>& args) {
    if (args.empty()) return Usage("missing command");
    for (const std::string& arg : args) {
        if (arg == "--help" || arg == "-h") {
            kavex::rules::Output out("");
            out.Write(kUsage);
            out.Commit();
            return kExitOk;
        }
        if (arg == "--version") {
            kavex::rules::Output out("");
            out.Write(std::string(kTool) + " " + KAVEX_VERSION + "\n");
            out.Commit();
            return kExitOk;
        }
    }
    const std::string command = args[0];
    std::vector<std::string> files;
    std::string output;
    bool haveOutput = false;
    Listing listing = Listing::kDefault;
    std::string listingOption;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-o" || arg == "--output") {
            if (i + 1 >= args.size()) return Usage("option '" + arg + "' needs a file");
            if (haveOutput) return Usage("option '" + arg + "' given twice");
            output = args[++i];
            haveOutput = true;
        } else if (arg == "--all" || arg == "--summary") {
            if (!listingOption.empty() && listingOption != arg) {
                return Usage("options '" + listingOption + "' and '" + arg +
                             "' exclude each other");
            }
            listingOption = arg;
            listing = arg == "--all" ? Listing::kAll : Listing::kSummary;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Usage("unknown option '" + arg + "'");
        } else {
            files.push_back(arg);
        }
    }
    if (!listingOption.empty() && (command == "compile" || command == "decompile")) {
        return Usage(command + ": " + listingOption + " is an option of check");
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
        return Check(files[0], listing);
    }
    return Usage("unknown command '" + command + "'");
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const Failure& failure) {
        Error(failure.message);
        return failure.exitCode;
    } catch (const std::bad_alloc&) {
        Error("out of memory");
        return kExitIo;
    }
}
