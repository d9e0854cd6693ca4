// Input and output of kavex-normalize: opening files, standard streams in binary mode, the
// output written through a temporary file, and the progress line.
#ifndef KAVEX_TOOLS_NORMALIZE_FILES_H
#define KAVEX_TOOLS_NORMALIZE_FILES_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "common/FileReplacement.h"

namespace kavex::cli {

namespace fs = std::filesystem;

std::string ErrnoText(int error);
std::string Quote(const fs::path& path);

// For invalid UTF-8 at the start of an input: when its first bytes are a UTF-16 byte-order
// mark, a sentence (from "; ") saying so and what to do; else empty.
std::string ByteOrderMarkHint(const unsigned char* start, std::size_t size);

struct Input {
    std::string name;  // as shown in messages
    fs::path path;     // absolute; empty for standard input
};

// The stream of an input, opened in binary mode; throws Failure when it cannot be opened.
std::FILE* OpenInput(const Input& input);
void CloseInput(std::FILE* stream);

// Size of a regular file behind an open stream; 0 for pipes and terminals.
std::uint64_t RegularFileSize(std::FILE* stream);

fs::path ExecutableDirectory(const char* argv0);

// Standard output, or a temporary file next to the target that replaces the target only
// once everything has been written. A target that is a symbolic link is written through:
// the file it names is replaced, with its mode, and the link stays. A file with more than
// one hard link is refused, since replacing it would split it from its other names.
class Output {
  public:
    Output() = default;
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    ~Output() { Abandon(); }

    void OpenStandardOutput();
    void OpenFile(const fs::path& target);
    void Write(const void* data, std::size_t size);
    bool WroteAnything() const { return written_; }
    bool ToFile() const { return !target_.empty(); }
    const fs::path& Target() const { return target_; }
    // Flushes, and for a file moves the temporary file onto the target.
    void Commit();
    // Drops a temporary file that was not committed; the target stays as it was.
    void Abandon();

  private:
    void SetBuffer();
    [[noreturn]] void WriteFailed(int error);

    std::FILE* stream_ = nullptr;
    std::string name_;
    fs::path target_;  // as given, for messages
    std::unique_ptr<tools::FileReplacement> replacement_;
    bool written_ = false;
};

// For an input over 64 MiB, and only when standard error is a terminal, a line there
// showing the bytes done, the total and the rate.
class Progress {
  public:
    // Shows a first line at once, so a long run is visible from its start.
    void Start(const std::string& name, std::uint64_t total);
    void Update(std::uint64_t done);
    void Finish();

  private:
    using Clock = std::chrono::steady_clock;
    void Show(std::uint64_t done, Clock::time_point now);

    std::string name_;
    std::uint64_t total_ = 0;
    bool active_ = false;
    bool shown_ = false;
    Clock::time_point start_;
    Clock::time_point last_;
};

}  // namespace kavex::cli

#endif  // KAVEX_TOOLS_NORMALIZE_FILES_H
