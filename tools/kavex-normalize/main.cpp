// kavex-normalize: normalizes UTF-8 or UTF-16LE text files with kavex from the shell.
//
// The library reads "config.ini" from the current directory, so every path given on the
// command line is made absolute first and the tool then runs from the rules folder.
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "Explain.h"
#include "Failure.h"
#include "Files.h"
#include "FormRules.h"
#include "Options.h"
#include "Piece.h"
#include "Pipeline.h"

#ifndef KAVEX_VERSION
#define KAVEX_VERSION "unknown"
#endif

namespace kavex::cli {
namespace {

fs::path Absolute(const std::string& path) {
    std::error_code error;
    fs::path result = fs::absolute(fs::u8path(path), error);
    if (error) throw Failure{kExitIo, "cannot resolve '" + path + "': " + error.message()};
    return result.lexically_normal();
}

int Run(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    if (options.help) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (options.version) {
        std::printf("%s %s\n", kTool, KAVEX_VERSION);
        return kExitOk;
    }

    // Every path is fixed before the working directory moves to the rules folder.
    std::vector<Input> inputs;
    for (const std::string& file : options.files) {
        if (file == "-") {
            inputs.push_back({"standard input", fs::path()});
        } else {
            inputs.push_back({file, Absolute(file)});
        }
    }
    if (inputs.empty()) inputs.push_back({"standard input", fs::path()});
    const fs::path target = options.output.empty() ? fs::path() : Absolute(options.output);

    fs::path folder =
        FormRules::FindFolder(options.rules, argc > 0 ? argv[0] : nullptr, options.profile.empty());
    if (options.profile == "list") {
        for (const std::string& name : FormRules::ProfileNames(folder)) {
            std::printf("%s\n", name.c_str());
        }
        return kExitOk;
    }
    if (!options.profile.empty()) folder = FormRules::ProfileFolder(folder, options.profile);
    FormRules rules;
    rules.Load(folder, options.form);

    if (options.explain) {
        // A few lines, one at a time, step by step: no pipeline.
        Output output;
        if (target.empty()) {
            output.OpenStandardOutput();
        } else {
            output.OpenFile(target);
        }
        for (const Input& input : inputs) ExplainInput(rules, input, options.encoding, output);
        output.Commit();
        return kExitOk;
    }

    // As --check names it: a profile's NFC is not the shipped rules' NFC.
    const std::string formName =
        FormName(options.form) +
        (options.profile.empty() ? std::string() : " (profile " + options.profile + ")");
    unsigned jobs = options.jobs;
    if (jobs == 0) jobs = std::thread::hardware_concurrency();
    const PieceWork work(rules, options.encoding, options.check);
    Pipeline pipeline(work, options.encoding, jobs);

    Output output;
    if (!options.check) {
        if (target.empty()) {
            output.OpenStandardOutput();
        } else {
            output.OpenFile(target);
        }
    }
    try {
        for (const Input& input : inputs) {
            if (!pipeline.Run(input, options.check ? nullptr : &output, formName)) {
                std::fprintf(stderr, "%s: %s\n", kTool, pipeline.ChangeMessage().c_str());
                return kExitChanged;
            }
        }
        if (!options.check) output.Commit();
    } catch (Failure& failure) {
        if (output.ToFile()) {
            output.Abandon();
            failure.message +=
                "\n" + std::string(kTool) + ": " + Quote(output.Target()) + " was left as it was";
        } else if (output.WroteAnything() && !failure.writing) {
            failure.message += "\n" + std::string(kTool) + ": the output is incomplete: it stops " +
                               pipeline.Position();
        }
        throw;
    }
    return kExitOk;
}

}  // namespace
}  // namespace kavex::cli

int main(int argc, char** argv) {
    using namespace kavex::cli;
    try {
        return Run(argc, argv);
    } catch (const Failure& failure) {
        std::fprintf(stderr, "%s: %s\n", kTool, failure.message.c_str());
        if (failure.exitCode == kExitUsage) {
            std::fprintf(stderr, "Try '%s --help' for more information.\n", kTool);
        }
        return failure.exitCode;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "%s: out of memory\n", kTool);
        return kExitInternal;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", kTool, e.what());
        return kExitInternal;
    }
}
