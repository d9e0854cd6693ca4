// A file written beside the one it replaces: a temporary file created next to the file a
// target names (its symbolic links followed, so a link stays a link; its permissions
// kept), renamed over it only when the writing is done. Until then the target is as it
// was, after a failure, an exception or SIGINT, SIGTERM or SIGHUP alike. A file with other
// hard links is refused: a rename would give the new text to this one name alone.
#ifndef KAVEX_TOOLS_COMMON_FILEREPLACEMENT_H
#define KAVEX_TOOLS_COMMON_FILEREPLACEMENT_H

#include <cstdio>
#include <filesystem>
#include <string>

namespace kavex::tools {

struct FileReplacementError {
    enum class Kind {
        kFolder,     // the target is a folder
        kHardLinks,  // the target has other hard links (detail: their count)
        kLink,       // a symbolic link cannot be followed (detail: why; path: the link)
        kTemporary,  // no temporary file could be created (detail: why)
        kReplace,    // the temporary file could not take the target's place (detail: why)
    };
    Kind kind;
    std::string detail;
    std::filesystem::path path;
};

class FileReplacement {
  public:
    // Throws FileReplacementError.
    explicit FileReplacement(const std::filesystem::path& target, const std::string& tag);
    ~FileReplacement() { Abandon(); }
    FileReplacement(const FileReplacement&) = delete;
    FileReplacement& operator=(const FileReplacement&) = delete;

    // The temporary file, open for binary writing.
    std::FILE* Stream() const { return stream_; }
    // Closes the stream and renames the file over the target. False, with errno set, when
    // the close fails (the temporary file is then removed); throws FileReplacementError
    // (kReplace) when the rename does.
    bool Commit();
    // Removes the temporary file; the target stays as it was.
    void Abandon();

  private:
    std::filesystem::path file_;  // the target with its symbolic links followed
    std::filesystem::path temporary_;
    std::FILE* stream_ = nullptr;
};

}  // namespace kavex::tools

#endif  // KAVEX_TOOLS_COMMON_FILEREPLACEMENT_H
