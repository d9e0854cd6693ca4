// How kavex-normalize ends a run that cannot go on: main prints the message after the
// tool's name and exits with the code.
#ifndef KAVEX_TOOLS_NORMALIZE_FAILURE_H
#define KAVEX_TOOLS_NORMALIZE_FAILURE_H

#include <string>

namespace kavex::cli {

constexpr const char* kTool = "kavex-normalize";

// Exit codes. 64 and 65 follow the BSD sysexits convention for usage and data errors.
constexpr int kExitOk = 0;
constexpr int kExitChanged = 1;  // --check found a line that normalization changes
constexpr int kExitIo = 1;
constexpr int kExitRules = 2;
constexpr int kExitUsage = 64;
constexpr int kExitData = 65;
constexpr int kExitInternal = 70;

struct Failure {
    int exitCode;
    std::string message;
    bool writing = false;  // the output itself failed, so its end is unknown
};

}  // namespace kavex::cli

#endif  // KAVEX_TOOLS_NORMALIZE_FAILURE_H
