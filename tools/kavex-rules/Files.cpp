#include "Files.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "common/FileReplacement.h"
#include "interface/RulesFolder.h"

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
// empty when it has none.
std::vector<std::string> RulesFilesOfFolder(const fs::path& folder) {
    std::vector<std::string> files;
    try {
        const RulesFolder rules(folder.u8string());
        for (std::size_t f = 0; f < kFormCount; ++f) {
            const std::string shown = rules.RulesFile(static_cast<Form>(f));
            if (shown.empty()) continue;
            bool seen = false;
            for (const std::string& earlier : files) seen |= earlier == shown;
            if (!seen) files.push_back(shown);
        }
    } catch (const RulesFolderError&) {
        // Only a hint is lost.
    }
    return files;
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
    try {
        replacement_ =
            std::make_unique<tools::FileReplacement>(fs::u8path(target), ".kavex-rules-tmp-");
    } catch (const tools::FileReplacementError& e) {
        if (e.kind == tools::FileReplacementError::Kind::kHardLinks) {
            throw Failure{kExitIo, name_ + ": cannot write: it has " + e.detail +
                                       " hard links, and the new file would take the place "
                                       "of this one alone"};
        }
        throw Failure{kExitIo, name_ + ": cannot write: " + e.detail};
    }
    stream_ = replacement_->Stream();
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
    stream_ = nullptr;
    if (!replacement_) return;
    try {
        if (!replacement_->Commit()) WriteFailed(errno);
    } catch (const tools::FileReplacementError& e) {
        throw Failure{kExitIo, name_ + ": cannot write: " + e.detail};
    }
    replacement_.reset();
}

void Output::WriteFailed(int error) {
    const std::string message = name_ + ": cannot write: " + std::strerror(error);
    Abandon();
    throw Failure{kExitIo, message};
}

void Output::Abandon() {
    stream_ = nullptr;
    replacement_.reset();
}

}  // namespace kavex::rules
