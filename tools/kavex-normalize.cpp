// kavex-normalize: normalizes UTF-8 or UTF-16LE text files with kavex from the shell.
//
// It uses only the public class Normalization, as any host would. The library reads
// "config.ini" from the current directory, so every path given on the command line is made
// absolute first and the tool then runs from the rules folder.
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <new>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "Utf8.h"
#include "kavex/Normalization.h"

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

#ifndef KAVEX_VERSION
#define KAVEX_VERSION "unknown"
#endif
// The rules folder of an installed tool, relative to the folder of the executable.
#ifndef KAVEX_INSTALLED_RULES
#define KAVEX_INSTALLED_RULES "../share/kavex/rules"
#endif

namespace fs = std::filesystem;

namespace {

constexpr const char* kTool = "kavex-normalize";

// Exit codes. 64 and 65 follow the BSD sysexits convention for usage and data errors.
constexpr int kExitOk = 0;
constexpr int kExitChanged = 1;  // --check found a line that normalization changes
constexpr int kExitIo = 1;
constexpr int kExitRules = 2;
constexpr int kExitUsage = 64;
constexpr int kExitData = 65;
constexpr int kExitInternal = 70;

// A line longer than this many UTF-16 units is normalized in pieces, so that memory stays
// bounded whatever the input holds.
constexpr std::size_t kMaxPieceUnits = std::size_t{1} << 20;
constexpr std::size_t kReadChunk = std::size_t{256} << 10;
constexpr std::uint64_t kProgressThreshold = std::uint64_t{64} << 20;

const char kUsage[] =
    "Usage: kavex-normalize [OPTION]... [FILE]...\n"
    "Normalizes Arabic-script text to NFC, NFD or NFKD with the kavex rules, writing the\n"
    "result to standard output. With no FILE, or when FILE is -, reads standard input.\n"
    "\n"
    "  --form nfd|nfc|nfkd        normalization form (default: nfc)\n"
    "  --rules DIR                folder holding config.ini and the rules files it names\n"
    "                             (default: the rules shipped with kavex, found next to\n"
    "                             this program or in ../share/kavex/rules from it)\n"
    "  --encoding utf-8|utf-16le  encoding of input and output (default: utf-8); UTF-8 is\n"
    "                             read strictly and written without a byte-order mark; a\n"
    "                             byte-order mark in the input is kept as U+FEFF\n"
    "  --check                    write nothing; exit 1 and name the first line that\n"
    "                             normalization would change, exit 0 when none would\n"
    "  -o, --output FILE          write to FILE instead of standard output; FILE is\n"
    "                             replaced only once everything has been written\n"
    "  -h, --help                 show this help and exit\n"
    "  --version                  show the version and exit\n"
    "\n"
    "The text is normalized line by line (a line ends after a line feed, which stays part\n"
    "of it), so memory stays small for any size of input, and a rule match never spans a\n"
    "line feed. A U+0000 character ends a piece of text in the same way. A line longer than\n"
    "1048576 UTF-16 code units is normalized in pieces of at most that size, cut after a\n"
    "space where one is near, so a match never spans such a cut either.\n"
    "\n"
    "Exit status: 0 success; 1 --check found a change, or a file could not be read or\n"
    "written; 2 the rules could not be loaded; 64 wrong usage; 65 invalid input text.\n";

// Ends the run: main prints the message after the tool's name and exits with the code.
struct Failure {
    int exitCode;
    std::string message;
    bool writing = false;  // the output itself failed, so its end is unknown
};

std::string ErrnoText(int error) { return std::strerror(error); }

std::string Quote(const fs::path& path) { return "'" + path.u8string() + "'"; }

std::FILE* OpenFile(const fs::path& path, const char* mode) {
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

// Size of a regular file behind an open stream; 0 for pipes and terminals.
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

// ---------------------------------------------------------------------------------------
// Output: standard output, or a temporary file next to the target that replaces the
// target only once everything has been written.

#ifndef _WIN32
// Removed by the signal handler, so an interrupted run leaves no temporary file behind.
char g_temporaryPath[4096];

extern "C" void RemoveTemporaryAndExit(int signal) {
    if (g_temporaryPath[0] != '\0') unlink(g_temporaryPath);
    _exit(128 + signal);
}
#endif

class Output {
  public:
    Output() = default;
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;
    ~Output() { Abandon(); }

    void OpenStandardOutput() {
#ifdef _WIN32
        _setmode(_fileno(stdout), _O_BINARY);
#endif
        stream_ = stdout;
        name_ = "standard output";
        SetBuffer();
    }

    void OpenFile(const fs::path& target) {
        target_ = target;
        name_ = target.u8string();
        std::error_code error;
        if (fs::is_directory(target, error)) {
            throw Failure{kExitIo, "cannot write " + Quote(target) + ": it is a folder"};
        }
        const fs::path folder = target.parent_path();
        for (int attempt = 0; attempt < 100 && stream_ == nullptr; ++attempt) {
            temporary_ = folder / (target.filename().u8string() + ".kavex-tmp-" +
                                   std::to_string(ProcessId()) + "-" + std::to_string(attempt));
            int fd = CreateExclusive(temporary_);
            if (fd < 0) {
                if (errno == EEXIST) continue;
                const int saved = errno;
                temporary_.clear();
                throw Failure{kExitIo, "cannot create a temporary file next to " + Quote(target) +
                                           ": " + ErrnoText(saved)};
            }
#ifdef _WIN32
            stream_ = _fdopen(fd, "wb");
#else
            RememberTemporary();
            struct stat existing;
            // A replaced file keeps its permissions.
            if (stat(target.c_str(), &existing) == 0) fchmod(fd, existing.st_mode & 07777);
            stream_ = fdopen(fd, "wb");
#endif
        }
        if (stream_ == nullptr) {
            throw Failure{kExitIo, "cannot create a temporary file next to " + Quote(target)};
        }
        SetBuffer();
    }

    void Write(const void* data, std::size_t size) {
        if (size == 0) return;
        written_ = true;
        if (std::fwrite(data, 1, size, stream_) != size) WriteFailed(errno);
    }

    bool WroteAnything() const { return written_; }
    bool ToFile() const { return !target_.empty(); }
    const fs::path& Target() const { return target_; }

    // Flushes, and for a file moves the temporary file onto the target.
    void Commit() {
        if (std::fflush(stream_) != 0) WriteFailed(errno);
        if (temporary_.empty()) return;
        std::FILE* stream = stream_;
        stream_ = nullptr;
        if (std::fclose(stream) != 0) WriteFailed(errno);
        std::error_code error;
        fs::rename(temporary_, target_, error);
        if (error) {
            throw Failure{kExitIo, "cannot replace " + Quote(target_) + ": " + error.message()};
        }
        temporary_.clear();
        ForgetTemporary();
    }

    // Drops a temporary file that was not committed; the target stays as it was.
    void Abandon() {
        if (temporary_.empty()) return;
        if (stream_ != nullptr) std::fclose(stream_);
        stream_ = nullptr;
        std::error_code ignored;
        fs::remove(temporary_, ignored);
        temporary_.clear();
        ForgetTemporary();
    }

  private:
    static long ProcessId() {
#ifdef _WIN32
        return _getpid();
#else
        return static_cast<long>(getpid());
#endif
    }

    static int CreateExclusive(const fs::path& path) {
#ifdef _WIN32
        return _wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY,
                      _S_IREAD | _S_IWRITE);
#else
        return open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
#endif
    }

    void RememberTemporary() {
#ifndef _WIN32
        const std::string path = temporary_.string();
        if (path.size() < sizeof g_temporaryPath) {
            std::memcpy(g_temporaryPath, path.c_str(), path.size() + 1);
        }
        for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
            std::signal(signal, RemoveTemporaryAndExit);
        }
#endif
    }

    void ForgetTemporary() {
#ifndef _WIN32
        g_temporaryPath[0] = '\0';
#endif
    }

    void SetBuffer() { std::setvbuf(stream_, nullptr, _IOFBF, std::size_t{1} << 20); }

    [[noreturn]] void WriteFailed(int error) {
        throw Failure{kExitIo, "cannot write " + name_ + ": " + ErrnoText(error), true};
    }

    std::FILE* stream_ = nullptr;
    std::string name_;
    fs::path target_;
    fs::path temporary_;
    bool written_ = false;
};

// ---------------------------------------------------------------------------------------
// Reading, line splitting and normalization.

enum class Encoding { Utf8, Utf16le };

struct Input {
    std::string name;  // as shown in messages
    fs::path path;     // absolute; empty for standard input
};

class Progress {
  public:
    // Shows a first line at once, so a long run is visible from its start.
    void Start(const std::string& name, std::uint64_t total) {
        name_ = name;
        total_ = total;
        active_ = total > kProgressThreshold && IsTerminal(stderr);
        start_ = Clock::now();
        if (active_) Show(0, start_);
    }

    void Update(std::uint64_t done) {
        if (!active_) return;
        const auto now = Clock::now();
        if (now - last_ >= std::chrono::milliseconds(500)) Show(done, now);
    }

    void Finish() {
        if (shown_) std::fputs("\r\x1b[K", stderr);
        shown_ = active_ = false;
    }

  private:
    using Clock = std::chrono::steady_clock;

    void Show(std::uint64_t done, Clock::time_point now) {
        last_ = now;
        const double seconds = std::chrono::duration<double>(now - start_).count();
        const double mib = 1024.0 * 1024.0;
        std::fprintf(stderr, "\r%s: %s: %.0f of %.0f MiB (%.0f%%), %.1f MiB/s\x1b[K", kTool,
                     name_.c_str(), done / mib, total_ / mib, 100.0 * done / total_,
                     seconds > 0 ? done / mib / seconds : 0.0);
        std::fflush(stderr);
        shown_ = true;
    }

    std::string name_;
    std::uint64_t total_ = 0;
    bool active_ = false;
    bool shown_ = false;
    Clock::time_point start_;
    Clock::time_point last_;
};

class Processor {
  public:
    // A null output means --check: compare instead of writing.
    Processor(const Normalization& normalization, Normalization::NormMode mode,
              std::string formName, Encoding encoding, Output* output)
        : normalization_(normalization),
          mode_(mode),
          formName_(std::move(formName)),
          encoding_(encoding),
          output_(output) {}

    // Returns false when --check found a line that changes; ChangeMessage tells which.
    bool Run(const Input& input) {
        name_ = input.name;
        line_ = 1;
        std::FILE* stream = stdin;
        if (!input.path.empty()) {
            stream = OpenFile(input.path, "rb");
            if (stream == nullptr) {
                throw Failure{kExitIo, "cannot open " + input.name + ": " + ErrnoText(errno)};
            }
        } else {
#ifdef _WIN32
            _setmode(_fileno(stdin), _O_BINARY);
#endif
        }
        struct Closer {
            std::FILE* stream;
            ~Closer() {
                if (stream != stdin) std::fclose(stream);
            }
        } closer{stream};

        progress_.Start(name_, RegularFileSize(stream));
        try {
            ReadAll(stream);
        } catch (...) {
            progress_.Finish();
            throw;
        }
        progress_.Finish();
        return !changed_;
    }

    std::string ChangeMessage() const {
        return changedName_ + ": line " + std::to_string(changedLine_) + " is not in " + formName_;
    }

    // Where the written output stops, for a message after a failure.
    std::string Position() const { return "line " + std::to_string(line_) + " of " + name_; }

  private:
    void ReadAll(std::FILE* stream) {
        std::vector<unsigned char> buffer(kReadChunk + 8);
        std::size_t carried = 0;   // bytes of an unfinished character kept from the last read
        std::uint64_t offset = 0;  // file offset of buffer[0]
        for (;;) {
            const std::size_t got = std::fread(buffer.data() + carried, 1, kReadChunk, stream);
            if (got < kReadChunk && std::ferror(stream)) {
                throw Failure{kExitIo, "cannot read " + name_ + ": " + ErrnoText(errno)};
            }
            const bool atEnd = got == 0;
            const std::size_t total = carried + got;
            std::size_t position = 0;
            if (encoding_ == Encoding::Utf8) {
                const unsigned char* data = buffer.data();
                while (position < total) {
                    if (data[position] < 0x80) {
                        AddUnit(data[position]);
                        ++position;
                    } else {
                        const kavex::cli::Utf8Decoded decoded =
                            kavex::cli::DecodeUtf8(data + position, data + total);
                        if (decoded.error != nullptr) {
                            InvalidText(offset + position, decoded.error);
                        }
                        if (decoded.length == 0) {
                            if (atEnd) InvalidText(offset + position, "truncated sequence");
                            break;
                        }
                        AddCodePoint(decoded.codePoint);
                        position += decoded.length;
                    }
                    if (changed_) return;
                }
            } else {
                for (; position + 2 <= total && !changed_; position += 2) {
                    AddUnit(static_cast<char16_t>(buffer[position] | buffer[position + 1] << 8));
                }
                if (changed_) return;
                if (atEnd && position < total) {
                    InvalidText(offset + position, "a lone final byte (UTF-16LE has two per unit)",
                                "UTF-16LE");
                }
            }
            if (atEnd) break;
            carried = total - position;
            std::memmove(buffer.data(), buffer.data() + position, carried);
            offset += position;
            progress_.Update(offset);
        }
        FlushPiece(pending_.size());
    }

    [[noreturn]] void InvalidText(std::uint64_t offset, const char* why,
                                  const char* encoding = "UTF-8") {
        throw Failure{kExitData, name_ + ": line " + std::to_string(line_) + ", byte offset " +
                                     std::to_string(offset) + ": invalid " + encoding + " (" + why +
                                     ")"};
    }

    void AddCodePoint(char32_t codePoint) {
        if (codePoint < 0x10000) {
            AddUnit(static_cast<char16_t>(codePoint));
        } else {
            codePoint -= 0x10000;
            AddUnit(static_cast<char16_t>(0xD800 + (codePoint >> 10)));
            AddUnit(static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF)));
        }
    }

    void AddUnit(char16_t unit) {
        pending_.push_back(static_cast<unsigned char>(unit & 0xFF));
        pending_.push_back(static_cast<unsigned char>(unit >> 8));
        if (unit == u'\n') {
            FlushPiece(pending_.size());
            ++line_;
        } else if (pending_.size() >= 2 * kMaxPieceUnits) {
            FlushPiece(LongLineCut());
        }
    }

    // Where to cut a line that reached the piece limit: after the last space or tab in its
    // second half, else at the end, but never between the two units of a surrogate pair.
    std::size_t LongLineCut() const {
        const std::size_t units = pending_.size() / 2;
        for (std::size_t i = units; i > units / 2; --i) {
            const unsigned char low = pending_[2 * (i - 1)];
            if (pending_[2 * (i - 1) + 1] == 0 && (low == 0x20 || low == 0x09)) return 2 * i;
        }
        const char16_t last =
            static_cast<char16_t>(pending_[2 * units - 2] | pending_[2 * units - 1] << 8);
        return (last >= 0xD800 && last <= 0xDBFF) ? 2 * (units - 1) : 2 * units;
    }

    // Normalizes the first `bytes` bytes of the pending text, which the library cannot
    // take past a zero unit, so each zero unit is passed through between pieces.
    void FlushPiece(std::size_t bytes) {
        std::size_t start = 0;
        for (std::size_t i = 0; i < bytes && !changed_; i += 2) {
            if (pending_[i] == 0 && pending_[i + 1] == 0) {
                NormalizeRun(pending_.data() + start, i - start);
                if (!changed_) Emit(pending_.data() + i, 2);
                start = i + 2;
            }
        }
        if (!changed_) NormalizeRun(pending_.data() + start, bytes - start);
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(bytes));
    }

    void NormalizeRun(const unsigned char* bytes, std::size_t size) {
        if (size == 0) return;
        const int length = static_cast<int>(size);  // at most 2 * kMaxPieceUnits
        if (normalized_.size() < size + 1) normalized_.resize(2 * size + 64);
        int written = normalization_.Normalize(bytes, length, mode_, normalized_.data(),
                                               static_cast<int>(normalized_.size()));
        if (written < 0) {
            normalized_.resize(static_cast<std::size_t>(-static_cast<long long>(written)));
            written = normalization_.Normalize(bytes, length, mode_, normalized_.data(),
                                               static_cast<int>(normalized_.size()));
        }
        if (written <= 0) {
            throw Failure{kExitInternal, "the library did not normalize line " +
                                             std::to_string(line_) + " of " + name_ + " (result " +
                                             std::to_string(written) + ")"};
        }
        const std::size_t resultSize = static_cast<std::size_t>(written) - 1;  // no zero byte
        if (output_ == nullptr) {
            if (resultSize != size || std::memcmp(bytes, normalized_.data(), size) != 0) {
                changed_ = true;
                changedName_ = name_;
                changedLine_ = line_;
            }
            return;
        }
        Emit(normalized_.data(), resultSize);
    }

    void Emit(const unsigned char* bytes, std::size_t size) {
        if (output_ == nullptr) return;
        if (encoding_ == Encoding::Utf16le) {
            output_->Write(bytes, size);
            return;
        }
        units_.resize(size / 2);
        for (std::size_t i = 0; i < units_.size(); ++i) {
            units_[i] = static_cast<char16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
        }
        encoded_.clear();
        const std::size_t converted =
            kavex::cli::AppendUtf16AsUtf8(units_.data(), units_.size(), encoded_);
        output_->Write(encoded_.data(), encoded_.size());
        if (converted != units_.size()) {
            char unit[8];
            std::snprintf(unit, sizeof unit, "%04X", static_cast<unsigned>(units_[converted]));
            throw Failure{kExitData, name_ + ": line " + std::to_string(line_) +
                                         ": the normalized text holds a lone surrogate U+" + unit +
                                         ", which UTF-8 cannot carry (--encoding utf-16le can)"};
        }
    }

    const Normalization& normalization_;
    Normalization::NormMode mode_;
    std::string formName_;
    Encoding encoding_;
    Output* output_;
    Progress progress_;

    std::string name_;
    std::uint64_t line_ = 1;
    std::vector<unsigned char> pending_;     // the current line so far, UTF-16LE
    std::vector<unsigned char> normalized_;  // result of the library, UTF-16LE + zero byte
    std::u16string units_;
    std::string encoded_;

    bool changed_ = false;
    std::string changedName_;
    std::uint64_t changedLine_ = 0;
};

// ---------------------------------------------------------------------------------------
// Command line.

struct Options {
    Normalization::NormMode mode = Normalization::NFC;
    std::string formName = "NFC";
    Encoding encoding = Encoding::Utf8;
    bool check = false;
    bool help = false;
    bool version = false;
    std::string rules;
    std::string output;
    std::vector<std::string> files;
};

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

Options ParseOptions(int argc, char** argv) {
    Options options;
    bool filesOnly = false;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (filesOnly || argument == "-" || argument.empty() || argument[0] != '-') {
            options.files.push_back(argument);
            continue;
        }
        if (argument == "--") {
            filesOnly = true;
            continue;
        }
        std::string name = argument;
        std::string value;
        bool hasValue = false;
        const std::size_t equals = argument.find('=');
        if (argument.rfind("--", 0) == 0 && equals != std::string::npos) {
            name = argument.substr(0, equals);
            value = argument.substr(equals + 1);
            hasValue = true;
        } else if (argument.size() > 2 && argument.rfind("-o", 0) == 0) {
            name = "-o";
            value = argument.substr(2);
            hasValue = true;
        }
        auto takeValue = [&]() {
            if (hasValue) return value;
            if (i + 1 >= argc) throw Failure{kExitUsage, "option " + name + " needs a value"};
            return std::string(argv[++i]);
        };
        auto noValue = [&]() {
            if (hasValue) throw Failure{kExitUsage, "option " + name + " takes no value"};
        };

        if (name == "--form") {
            const std::string form = Lower(takeValue());
            if (form == "nfd") {
                options.mode = Normalization::NFD;
            } else if (form == "nfc") {
                options.mode = Normalization::NFC;
            } else if (form == "nfkd") {
                options.mode = Normalization::NFKD;
            } else {
                throw Failure{kExitUsage, "unknown form '" + form + "' (nfd, nfc or nfkd)"};
            }
            options.formName = form == "nfkd" ? "NFKD" : form == "nfd" ? "NFD" : "NFC";
        } else if (name == "--encoding") {
            const std::string encoding = Lower(takeValue());
            if (encoding == "utf-8" || encoding == "utf8") {
                options.encoding = Encoding::Utf8;
            } else if (encoding == "utf-16le" || encoding == "utf16le") {
                options.encoding = Encoding::Utf16le;
            } else {
                throw Failure{kExitUsage,
                              "unknown encoding '" + encoding + "' (utf-8 or utf-16le)"};
            }
        } else if (name == "--rules") {
            options.rules = takeValue();
        } else if (name == "-o" || name == "--output") {
            options.output = takeValue();
        } else if (name == "--check") {
            noValue();
            options.check = true;
        } else if (name == "-h" || name == "--help") {
            noValue();
            options.help = true;
        } else if (name == "--version") {
            noValue();
            options.version = true;
        } else {
            throw Failure{kExitUsage, "unknown option '" + argument + "'"};
        }
    }
    if (options.check && !options.output.empty()) {
        throw Failure{kExitUsage, "--check writes nothing, so it takes no -o"};
    }
    return options;
}

fs::path Absolute(const std::string& path) {
    std::error_code error;
    fs::path result = fs::absolute(fs::u8path(path), error);
    if (error) throw Failure{kExitIo, "cannot resolve '" + path + "': " + error.message()};
    return result.lexically_normal();
}

fs::path FindRules(const Options& options, const char* argv0) {
    std::error_code error;
    if (!options.rules.empty()) {
        const fs::path folder = Absolute(options.rules);
        if (!fs::is_directory(folder, error)) {
            throw Failure{kExitRules, "rules folder " + Quote(folder) + " does not exist"};
        }
        if (!fs::exists(folder / "config.ini", error)) {
            throw Failure{kExitRules, "rules folder " + Quote(folder) + " has no config.ini"};
        }
        return folder;
    }
    const fs::path here = ExecutableDirectory(argv0);
    const fs::path candidates[] = {here / "rules",
                                   (here / fs::u8path(KAVEX_INSTALLED_RULES)).lexically_normal()};
    for (const fs::path& folder : candidates) {
        if (fs::exists(folder / "config.ini", error)) return folder;
    }
    throw Failure{kExitRules, "no shipped rules found in " + Quote(candidates[0]) + " or " +
                                  Quote(candidates[1]) + "; name a folder with --rules DIR"};
}

void LoadRules(Normalization& normalization, const fs::path& folder) {
    std::error_code error;
    fs::current_path(folder, error);
    if (error) {
        throw Failure{kExitRules,
                      "cannot enter rules folder " + Quote(folder) + ": " + error.message()};
    }
    bool loaded = false;
    try {
        loaded = normalization.Initialize();
    } catch (const std::exception& e) {
        throw Failure{kExitRules, "cannot load the rules in " + Quote(folder) + ": " + e.what()};
    } catch (...) {
        throw Failure{kExitRules, "cannot load the rules in " + Quote(folder) +
                                      ": reading its config.ini failed"};
    }
    if (!loaded) {
        throw Failure{kExitRules, "cannot load the rules in " + Quote(folder) +
                                      ": its config.ini, or a rules file it names (NFC, NFD, "
                                      "NFKD), is missing or unreadable"};
    }
}

int Run(int argc, char** argv) {
    Options options = ParseOptions(argc, argv);
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

    Normalization normalization;
    LoadRules(normalization, FindRules(options, argc > 0 ? argv[0] : nullptr));

    Output output;
    Processor processor(normalization, options.mode, options.formName, options.encoding,
                        options.check ? nullptr : &output);
    if (!options.check) {
        if (target.empty()) {
            output.OpenStandardOutput();
        } else {
            output.OpenFile(target);
        }
    }
    try {
        for (const Input& input : inputs) {
            if (!processor.Run(input)) {
                std::fprintf(stderr, "%s: %s\n", kTool, processor.ChangeMessage().c_str());
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
            failure.message += "\n" + std::string(kTool) +
                               ": the output is incomplete: it stops before " +
                               processor.Position();
        }
        throw;
    }
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
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
