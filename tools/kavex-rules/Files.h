// The files of kavex-rules: inputs read in blocks or whole, and outputs written to
// standard output or through a temporary file, with every read and write checked, so that
// a failure is an error and never a short result with exit status 0.
#ifndef KAVEX_TOOLS_RULES_FILES_H
#define KAVEX_TOOLS_RULES_FILES_H

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

#include "common/FileReplacement.h"

namespace kavex::rules {

constexpr int kExitIo = 1;

// Thrown by the files below; main prints the message and exits with the code.
struct Failure {
    int exitCode;
    std::string message;
};

class InputFile {
  public:
    // A folder is refused with the rules files its config.ini names, if it has one: the
    // folder that kavex-normalize --rules takes is easily given here too.
    explicit InputFile(const std::string& name);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // Up to `size` bytes; 0 at the end.
    std::size_t Read(char* buffer, std::size_t size);
    std::string ReadAll();

  private:
    [[noreturn]] void ReadFailed(int error) const;

    std::string name_;
    std::FILE* stream_ = nullptr;
};

class Output {
  public:
    // Standard output for "" or "-"; otherwise a temporary file next to `target` that
    // replaces it only in Commit, so after a failure `target` is as it was.
    explicit Output(const std::string& target);
    ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    void Write(const std::string& bytes);
    // The final flush and close, then the temporary file becomes the target.
    void Commit();

  private:
    [[noreturn]] void WriteFailed(int error);
    void Abandon();

    std::string name_;  // as messages give it
    std::unique_ptr<tools::FileReplacement> replacement_;
    std::FILE* stream_ = nullptr;
};

}  // namespace kavex::rules

#endif  // KAVEX_TOOLS_RULES_FILES_H
