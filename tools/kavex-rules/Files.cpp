#include "Files.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "config/ConfigManager.h"

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

namespace kavex::rules {

namespace {

namespace fs = std::filesystem;

// The rules files that the folder's config.ini names, as paths from where the tool runs;
// empty when it has none. config.ini is read by the library's own reader, which reads it
// from the current folder.
std::vector<std::string> RulesFilesOfFolder(const fs::path& folder) {
    std::error_code error;
    if (!fs::is_regular_file(folder / "config.ini", error)) return {};
    const fs::path previous = fs::current_path(error);
    if (error) return {};
    fs::current_path(folder, error);
    if (error) return {};
    ConfigManager config;
    bool read = false;
    try {
        read = config.ReadConfigFile();
    } catch (...) {
        // Only a hint is lost.
    }
    fs::current_path(previous, error);
    std::vector<std::string> files;
    if (!read) return files;
    for (const std::string* path :
         {&config.nfdFilePath, &config.nfcFilePath, &config.nfkdFilePath}) {
        if (path->empty()) continue;
        const fs::path file(*path);
        const std::string shown = (file.is_absolute() ? file : folder / file).string();
        bool seen = false;
        for (const std::string& earlier : files) seen |= earlier == shown;
        if (!seen) files.push_back(shown);
    }
    return files;
}

long ProcessId() {
#ifdef _WIN32
    return _getpid();
#else
    return static_cast<long>(getpid());
#endif
}

int CreateExclusive(const std::string& path) {
#ifdef _WIN32
    return _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
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

void RememberTemporary(const std::string& path) {
#ifndef _WIN32
    if (path.size() >= sizeof g_temporaryPath) return;
    std::memcpy(g_temporaryPath, path.c_str(), path.size() + 1);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) std::signal(signal, RemoveTemporaryAndExit);
#else
    (void)path;
#endif
}

void ForgetTemporary() {
#ifndef _WIN32
    g_temporaryPath[0] = '\0';
#endif
}

}  // namespace

InputFile::InputFile(const std::string& name) : name_(name) {
    std::error_code error;
    if (fs::is_directory(name, error)) {
        std::string message = name + ": cannot read: it is a folder";
        const std::vector<std::string> files = RulesFilesOfFolder(name);
        for (std::size_t k = 0; k < files.size(); ++k) {
            message += (k == 0 ? "; its config.ini names the rules files " : ", ") + files[k];
        }
        throw Failure{kExitIo, message};
    }
    stream_ = std::fopen(name.c_str(), "rb");
    if (stream_ == nullptr) ReadFailed(errno);
}

InputFile::~InputFile() {
    if (stream_ != nullptr) std::fclose(stream_);
}

std::size_t InputFile::Read(char* buffer, std::size_t size) {
    const std::size_t read = std::fread(buffer, 1, size, stream_);
    if (read < size && std::ferror(stream_)) ReadFailed(errno);
    return read;
}

std::string InputFile::ReadAll() {
    std::string bytes;
    char buffer[1 << 16];
    while (const std::size_t read = Read(buffer, sizeof buffer)) bytes.append(buffer, read);
    return bytes;
}

void InputFile::ReadFailed(int error) const {
    throw Failure{kExitIo, name_ + ": cannot read: " + std::strerror(error)};
}

Output::Output(const std::string& target) {
    if (target.empty() || target == "-") {
#ifdef _WIN32
        _setmode(_fileno(stdout), _O_BINARY);
#endif
        name_ = "standard output";
        stream_ = stdout;
        return;
    }
    name_ = target;
    std::error_code error;
    if (fs::is_directory(target, error)) {
        throw Failure{kExitIo, target + ": cannot write: it is a folder"};
    }
    for (int attempt = 0; attempt < 100 && stream_ == nullptr; ++attempt) {
        const std::string temporary = target + ".kavex-rules-tmp-" + std::to_string(ProcessId()) +
                                      "-" + std::to_string(attempt);
        const int fd = CreateExclusive(temporary);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            WriteFailed(errno);
        }
        temporary_ = temporary;
        RememberTemporary(temporary_);
#ifdef _WIN32
        stream_ = _fdopen(fd, "wb");
#else
        struct stat existing;
        // A replaced file keeps its permissions.
        if (stat(target.c_str(), &existing) == 0) fchmod(fd, existing.st_mode & 07777);
        stream_ = fdopen(fd, "wb");
#endif
        if (stream_ == nullptr) WriteFailed(errno);
    }
    if (stream_ == nullptr) WriteFailed(EEXIST);
    target_ = target;
}

Output::~Output() { Abandon(); }

void Output::Write(const std::string& bytes) {
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), stream_) != bytes.size()) {
        WriteFailed(errno);
    }
}

void Output::Commit() {
    // A write that failed once may leave nothing for the flush to report.
    errno = 0;
    if (std::fflush(stream_) != 0 || std::ferror(stream_)) WriteFailed(errno != 0 ? errno : EIO);
    std::FILE* stream = stream_;
    stream_ = nullptr;
    if (std::fclose(stream) != 0) WriteFailed(errno);
    if (temporary_.empty()) return;
    std::error_code error;
    fs::rename(temporary_, target_, error);
    if (error) throw Failure{kExitIo, name_ + ": cannot write: " + error.message()};
    temporary_.clear();
    ForgetTemporary();
}

void Output::WriteFailed(int error) {
    const std::string message = name_ + ": cannot write: " + std::strerror(error);
    Abandon();
    throw Failure{kExitIo, message};
}

void Output::Abandon() {
    if (stream_ != nullptr && stream_ != stdout) std::fclose(stream_);
    stream_ = nullptr;
    if (temporary_.empty()) return;
    std::error_code ignored;
    fs::remove(temporary_, ignored);
    temporary_.clear();
    ForgetTemporary();
}

}  // namespace kavex::rules
