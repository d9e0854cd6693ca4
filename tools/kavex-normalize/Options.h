// The command line of kavex-normalize.
#ifndef KAVEX_TOOLS_NORMALIZE_OPTIONS_H
#define KAVEX_TOOLS_NORMALIZE_OPTIONS_H

#include <string>
#include <vector>

#include "interface/Form.h"

namespace kavex::cli {

enum class Encoding { Utf8, Utf16le };

struct Options {
    Form form = Form::kNfc;
    Encoding encoding = Encoding::Utf8;
    bool check = false;
    bool explain = false;
    bool help = false;
    bool version = false;
    unsigned jobs = 0;  // 0: one per core
    std::string rules;
    std::string profile;  // a folder of <rules>/profiles, or "list"
    std::string output;
    std::vector<std::string> files;
};

extern const char kUsage[];

// Throws Failure (kExitUsage) for anything it does not understand.
Options ParseOptions(int argc, char** argv);

}  // namespace kavex::cli

#endif  // KAVEX_TOOLS_NORMALIZE_OPTIONS_H
