#include "common/FileReplacement.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <system_error>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kavex::tools {

namespace fs = std::filesystem;

namespace {

long ProcessId() {
#ifdef _WIN32
    return _getpid();
#else
    return static_cast<long>(getpid());
#endif
}

int CreateExclusive(const fs::path& path) {
#ifdef _WIN32
    return _wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    return open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
#endif
}

#ifndef _WIN32
// Removed by the signal handler, so an interrupted run leaves no temporary file behind.
char g_temporaryPath[4096];

extern "C" void RemoveTemporaryAndExit(int signal) {
    if (g_temporaryPath[0] != '\0') unlink(g_temporaryPath);
    _exit(128 + signal);
}
#endif

void RememberTemporary(const fs::path& temporary) {
#ifndef _WIN32
    const std::string path = temporary.string();
    if (path.size() < sizeof g_temporaryPath) {
        std::memcpy(g_temporaryPath, path.c_str(), path.size() + 1);
    }
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) std::signal(signal, RemoveTemporaryAndExit);
#else
    (void)temporary;
#endif
}

void ForgetTemporary() {
#ifndef _WIN32
    g_temporaryPath[0] = '\0';
#endif
}

// `path` with every symbolic link it ends in followed, as opening it for writing would;
// the folders on the way are left to the system.
fs::path WithoutLinks(const fs::path& path) {
    fs::path file = path;
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code error;
        if (!fs::is_symlink(fs::symlink_status(file, error))) return file;
        const fs::path next = fs::read_symlink(file, error);
        if (error) {
            throw FileReplacementError{FileReplacementError::Kind::kLink, error.message(), file};
        }
        file = next.is_absolute() ? next : file.parent_path() / next;
    }
    throw FileReplacementError{FileReplacementError::Kind::kLink,
                               "too many levels of symbolic links", path};
}

}  // namespace

FileReplacement::FileReplacement(const fs::path& target, const std::string& tag) {
    std::error_code error;
    if (fs::is_directory(target, error)) {
        throw FileReplacementError{FileReplacementError::Kind::kFolder, "it is a folder", target};
    }
    file_ = WithoutLinks(target);
    const std::uintmax_t links = fs::hard_link_count(file_, error);
    if (!error && links > 1) {
        throw FileReplacementError{FileReplacementError::Kind::kHardLinks, std::to_string(links),
                                   target};
    }
    const fs::path folder = file_.parent_path();
    for (int attempt = 0; attempt < 100 && stream_ == nullptr; ++attempt) {
        temporary_ = folder / (file_.filename().u8string() + tag + std::to_string(ProcessId()) +
                               "-" + std::to_string(attempt));
        const int fd = CreateExclusive(temporary_);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            const int saved = errno;
            temporary_.clear();
            throw FileReplacementError{FileReplacementError::Kind::kTemporary, std::strerror(saved),
                                       target};
        }
        RememberTemporary(temporary_);
#ifdef _WIN32
        stream_ = _fdopen(fd, "wb");
#else
        struct stat existing;
        // A replaced file keeps its permissions.
        if (stat(file_.c_str(), &existing) == 0) fchmod(fd, existing.st_mode & 07777);
        stream_ = fdopen(fd, "wb");
#endif
        if (stream_ == nullptr) {
            const int saved = errno;
            Abandon();
            throw FileReplacementError{FileReplacementError::Kind::kTemporary, std::strerror(saved),
                                       target};
        }
    }
    if (stream_ == nullptr) {
        temporary_.clear();
        throw FileReplacementError{FileReplacementError::Kind::kTemporary, std::strerror(EEXIST),
                                   target};
    }
}

bool FileReplacement::Commit() {
    std::FILE* stream = stream_;
    stream_ = nullptr;
    if (std::fclose(stream) != 0) {
        const int saved = errno;
        Abandon();
        errno = saved;
        return false;
    }
    std::error_code error;
    fs::rename(temporary_, file_, error);
    if (error) {
        Abandon();
        throw FileReplacementError{FileReplacementError::Kind::kReplace, error.message(), file_};
    }
    temporary_.clear();
    ForgetTemporary();
    return true;
}

void FileReplacement::Abandon() {
    if (stream_ != nullptr) std::fclose(stream_);
    stream_ = nullptr;
    if (temporary_.empty()) return;
    std::error_code ignored;
    fs::remove(temporary_, ignored);
    temporary_.clear();
    ForgetTemporary();
}

}  // namespace kavex::tools
