#include "Files.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "Failure.h"
#include "common/FileReplacement.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kavex::cli {

namespace {
constexpr std::size_t kBufferBytes = std::size_t{1} << 16;
}  // namespace

namespace {

constexpr std::uint64_t kProgressThreshold = std::uint64_t{64} << 20;

std::FILE* OpenStream(const fs::path& path, const char* mode) {
#ifdef _WIN32
    std::wstring wideMode(mode, mode + std::strlen(mode));
    return _wfopen(path.c_str(), wideMode.c_str());
#else
    return std::fopen(path.c_str(), mode);
#endif
}

bool IsTerminal(std::FILE* stream) {
#ifdef _WIN32
    return _isatty(_fileno(stream)) != 0;
#else
    return isatty(fileno(stream)) != 0;
#endif
}

}  // namespace

std::string ErrnoText(int error) { return std::strerror(error); }

std::string Quote(const fs::path& path) { return "'" + path.u8string() + "'"; }

std::string ByteOrderMarkHint(const unsigned char* start, std::size_t size) {
    if (size < 2) return "";
    if (start[0] == 0xFF && start[1] == 0xFE) {
        return "; it begins with FF FE, the byte-order mark of UTF-16LE: read it with "
               "--encoding utf-16le";
    }
    if (start[0] == 0xFE && start[1] == 0xFF) {
        return "; it begins with FE FF, the byte-order mark of UTF-16BE, which kavex-normalize "
               "does not read: convert it to UTF-16LE or UTF-8 first";
    }
    return "";
}

std::FILE* OpenInput(const Input& input) {
    if (input.path.empty()) {
#ifdef _WIN32
        _setmode(_fileno(stdin), _O_BINARY);
#endif
        return stdin;
    }
    std::FILE* stream = OpenStream(input.path, "rb");
    if (stream == nullptr) {
        throw Failure{kExitIo, "cannot open " + input.name + ": " + ErrnoText(errno)};
    }
    return stream;
}

void CloseInput(std::FILE* stream) {
    if (stream != nullptr && stream != stdin) std::fclose(stream);
}

std::uint64_t RegularFileSize(std::FILE* stream) {
#ifdef _WIN32
    struct _stat64 info;
    if (_fstat64(_fileno(stream), &info) != 0 || (info.st_mode & _S_IFREG) == 0) return 0;
#else
    struct stat info;
    if (fstat(fileno(stream), &info) != 0 || !S_ISREG(info.st_mode)) return 0;
#endif
    return static_cast<std::uint64_t>(info.st_size);
}

fs::path ExecutableDirectory(const char* argv0) {
    std::error_code error;
#ifdef _WIN32
    std::wstring buffer(32768, L'\0');
    DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length > 0 && length < buffer.size()) {
        buffer.resize(length);
        return fs::path(buffer).parent_path();
    }
#elif defined(__linux__)
    fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (!error) return self.parent_path();
#endif
    fs::path fromArgument = fs::absolute(fs::path(argv0 ? argv0 : ""), error);
    return error ? fs::path() : fromArgument.parent_path();
}

void Output::OpenStandardOutput() {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    stream_ = stdout;
    name_ = "standard output";
    SetBuffer();
}

void Output::OpenFile(const fs::path& target) {
    target_ = target;
    name_ = target.u8string();
    try {
        replacement_ = std::make_unique<tools::FileReplacement>(target, ".kavex-tmp-");
    } catch (const tools::FileReplacementError& e) {
        switch (e.kind) {
            case tools::FileReplacementError::Kind::kFolder:
                throw Failure{kExitIo, "cannot write " + Quote(target) + ": it is a folder"};
            case tools::FileReplacementError::Kind::kHardLinks:
                throw Failure{kExitIo,
                              "cannot replace " + Quote(target) + ": it has " + e.detail +
                                  " hard links, and the normalized file would take the place "
                                  "of this one alone; write to another file and copy that "
                                  "over it (cp keeps the links)"};
            case tools::FileReplacementError::Kind::kLink:
                throw Failure{kExitIo,
                              "cannot follow the symbolic link " + Quote(e.path) + ": " + e.detail};
            default:
                throw Failure{kExitIo, "cannot create a temporary file next to " + Quote(target) +
                                           ": " + e.detail};
        }
    }
    stream_ = replacement_->Stream();
    SetBuffer();
}

void Output::Write(const void* data, std::size_t size) {
    if (size == 0) return;
    written_ = true;
    if (size < kBufferBytes) {
        if (std::fwrite(data, 1, size, stream_) != size) WriteFailed(errno);
        return;
    }
    // A piece as large as the stream's buffer goes to the file as it is: through the
    // buffer, each byte would be copied once more.
    if (std::fflush(stream_) != 0) WriteFailed(errno);
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
#ifdef _WIN32
        const int done = _write(_fileno(stream_), bytes,
                                static_cast<unsigned>(std::min<std::size_t>(size, 1u << 30)));
#else
        const ssize_t done = ::write(fileno(stream_), bytes, size);
#endif
        if (done < 0) {
            if (errno == EINTR) continue;
            WriteFailed(errno);
        }
        bytes += done;
        size -= static_cast<std::size_t>(done);
    }
}

void Output::Commit() {
    if (std::fflush(stream_) != 0) WriteFailed(errno);
    if (!replacement_) return;
    stream_ = nullptr;
    try {
        if (!replacement_->Commit()) WriteFailed(errno);
    } catch (const tools::FileReplacementError& e) {
        throw Failure{kExitIo, "cannot replace " + Quote(target_) + ": " + e.detail};
    }
    replacement_.reset();
}

void Output::Abandon() {
    stream_ = nullptr;
    replacement_.reset();
}

// Pieces are written whole, mostly larger than this, so the buffer only gathers the
// small ones.
void Output::SetBuffer() { std::setvbuf(stream_, nullptr, _IOFBF, kBufferBytes); }

void Output::WriteFailed(int error) {
    throw Failure{kExitIo, "cannot write " + name_ + ": " + ErrnoText(error), true};
}

void Progress::Start(const std::string& name, std::uint64_t total) {
    name_ = name;
    total_ = total;
    active_ = total > kProgressThreshold && IsTerminal(stderr);
    start_ = Clock::now();
    if (active_) Show(0, start_);
}

void Progress::Update(std::uint64_t done) {
    if (!active_) return;
    const auto now = Clock::now();
    if (now - last_ >= std::chrono::milliseconds(500)) Show(done, now);
}

void Progress::Finish() {
    if (shown_) std::fputs("\r\x1b[K", stderr);
    shown_ = active_ = false;
}

void Progress::Show(std::uint64_t done, Clock::time_point now) {
    last_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    const double mib = 1024.0 * 1024.0;
    std::fprintf(stderr, "\r%s: %s: %.0f of %.0f MiB (%.0f%%), %.1f MiB/s\x1b[K", kTool,
                 name_.c_str(), done / mib, total_ / mib, 100.0 * done / total_,
                 seconds > 0 ? done / mib / seconds : 0.0);
    std::fflush(stderr);
    shown_ = true;
}

}  // namespace kavex::cli
