#include "Pipeline.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <system_error>
#include <thread>
#include <utility>

#include "Failure.h"

namespace kavex::cli {

Pipeline::Pipeline(const PieceWork& work, Encoding encoding, unsigned jobs)
    : work_(work), encoding_(encoding), jobs_(jobs < 1 ? 1 : jobs) {}

bool Pipeline::Run(const Input& input, Output* output, const std::string& formName) {
    output_ = output;
    name_ = input.name;
    formName_ = formName;
    line_ = 1;
    lineBytesWritten_ = 0;
    unchanged_ = true;
    std::FILE* stream = OpenInput(input);
    struct Closer {
        std::FILE* stream;
        ~Closer() { CloseInput(stream); }
    } closer{stream};

    Progress progress;
    progress.Start(name_, RegularFileSize(stream));
    PieceReader reader(stream, encoding_, name_);
    struct Finisher {
        Progress& progress;
        ~Finisher() { progress.Finish(); }
    } finisher{progress};
    if (jobs_ == 1) return RunAlone(reader, progress);

    // The first piece decides whether threads are worth starting.
    std::unique_ptr<Piece> first = TakePiece();
    if (!reader.Next(*first)) return true;
    progress.Update(reader.Done());
    if (reader.Exhausted()) {
        work_.Run(*first);
        return Consume(*first);
    }

    Shared shared;
    shared.reader = &reader;
    shared.progress = &progress;
    shared.finished.resize(2 * static_cast<std::size_t>(jobs_));
    // The first piece, read already, is worked on here while the threads read the next.
    shared.read = 1;
    // Joined on every way out: whatever stops this thread stops the others first.
    struct Threads {
        Shared& shared;
        std::vector<std::thread> list;
        ~Threads() {
            if (list.empty()) return;
            {
                std::lock_guard<std::mutex> lock(shared.mutex);
                shared.stop = true;
                shared.room.notify_all();
            }
            for (std::thread& thread : list) thread.join();
        }
    } threads{shared, {}};
    try {
        for (unsigned i = 1; i < jobs_; ++i) {
            threads.list.emplace_back(&Pipeline::Drive, this, std::ref(shared));
        }
    } catch (...) {
        // As many threads as the system gives; with none, the work is done here alone.
    }
    work_.Run(*first);
    {
        std::unique_lock<std::mutex> lock(shared.mutex);
        shared.finished[0] = std::move(first);
        WriteFinished(lock, shared);
    }
    Drive(shared);
    for (std::thread& thread : threads.list) thread.join();
    threads.list.clear();
    if (shared.failure) std::rethrow_exception(shared.failure);
    return unchanged_;
}

std::unique_ptr<Piece> Pipeline::TakePiece() {
    std::lock_guard<std::mutex> lock(spareMutex_);
    if (spare_.empty()) return std::make_unique<Piece>();
    std::unique_ptr<Piece> piece = std::move(spare_.back());
    spare_.pop_back();
    return piece;
}

bool Pipeline::RunAlone(PieceReader& reader, Progress& progress) {
    std::unique_ptr<Piece> piece = TakePiece();
    bool unchanged = true;
    while (unchanged && reader.Next(*piece)) {
        progress.Update(reader.Done());
        work_.Run(*piece);
        unchanged = Consume(*piece);
    }
    spare_.push_back(std::move(piece));
    return unchanged;
}

// One thread of a run: reads a piece, works on it, and writes what is due, until the
// input ends or the run stops.
void Pipeline::Drive(Shared& shared) {
    for (;;) {
        std::unique_ptr<Piece> piece;
        std::uint64_t sequence;
        {
            std::lock_guard<std::mutex> reading(shared.reading);
            {
                std::unique_lock<std::mutex> lock(shared.mutex);
                shared.room.wait(lock, [&shared] {
                    return shared.stop || shared.atEnd ||
                           shared.read - shared.written < shared.finished.size();
                });
                if (shared.stop || shared.atEnd) return;
            }
            try {
                piece = TakePiece();
                if (!shared.reader->Next(*piece)) {
                    std::lock_guard<std::mutex> lock(shared.mutex);
                    shared.atEnd = true;
                    shared.room.notify_all();
                    std::lock_guard<std::mutex> spare(spareMutex_);
                    spare_.push_back(std::move(piece));
                    return;
                }
                shared.progress->Update(shared.reader->Done());
            } catch (...) {
                std::lock_guard<std::mutex> lock(shared.mutex);
                // The pieces in flight are dropped: the run stops at the failure to read.
                if (!shared.failure && !shared.stop) shared.failure = std::current_exception();
                shared.stop = true;
                shared.room.notify_all();
                return;
            }
            std::lock_guard<std::mutex> lock(shared.mutex);
            sequence = shared.read++;
        }
        work_.Run(*piece);
        std::unique_lock<std::mutex> lock(shared.mutex);
        shared.finished[sequence % shared.finished.size()] = std::move(piece);
        WriteFinished(lock, shared);
    }
}

// Consumes the finished pieces that are due, in order, unless another thread already
// does: that one sees the pieces finished meanwhile before it stops.
void Pipeline::WriteFinished(std::unique_lock<std::mutex>& lock, Shared& shared) {
    if (shared.writing) return;
    shared.writing = true;
    for (;;) {
        std::unique_ptr<Piece>& slot = shared.finished[shared.written % shared.finished.size()];
        if (!slot || shared.stop) break;
        std::unique_ptr<Piece> piece = std::move(slot);
        lock.unlock();
        bool unchanged = false;
        std::exception_ptr failure;
        try {
            unchanged = Consume(*piece);
        } catch (...) {
            failure = std::current_exception();
        }
        {
            std::lock_guard<std::mutex> spare(spareMutex_);
            spare_.push_back(std::move(piece));
        }
        lock.lock();
        ++shared.written;
        if (!unchanged) {
            // A change found by --check, or a failure: nothing after it is written.
            shared.stop = true;
            if (!failure) {
                unchanged_ = false;
            } else if (!shared.failure) {
                shared.failure = failure;
            }
        }
        shared.room.notify_all();
    }
    shared.writing = false;
}

std::string Pipeline::Position() const {
    const std::string line = "line " + std::to_string(line_) + " of " + name_;
    if (lineBytesWritten_ == 0) return "before " + line;
    return "inside " + line + ", after its first " + std::to_string(lineBytesWritten_) +
           (lineBytesWritten_ == 1 ? " byte" : " bytes");
}

namespace {

// Where the text of `size` bytes starts its last line: after its last line feed, or 0.
std::size_t LastLineStart(const unsigned char* bytes, std::size_t size, Encoding encoding) {
    const std::size_t step = encoding == Encoding::Utf8 ? 1 : 2;
    const auto isLineFeed = [&](std::size_t i) {
        return bytes[i] == '\n' && (step == 1 || (i % 2 == 0 && bytes[i + 1] == 0));
    };
    // Most texts end with a line feed or close to one; the part of a long line holds none,
    // and memchr finds that out fast.
    const std::size_t end = size - size % step;
    const std::size_t near = end > 256 ? end - 256 : 0;
    for (std::size_t i = end; i > near; i -= step) {
        if (isLineFeed(i - step)) return i;
    }
    std::size_t start = 0;
    for (const unsigned char* found = bytes;
         (found = static_cast<const unsigned char*>(
              std::memchr(found, '\n', static_cast<std::size_t>(bytes + near - found)))) != nullptr;
         ++found) {
        const std::size_t i = static_cast<std::size_t>(found - bytes);
        if (isLineFeed(i)) start = i + step;
    }
    return start;
}

}  // namespace

void Pipeline::Write(const unsigned char* bytes, std::size_t size) {
    output_->Write(bytes, size);
    // The bytes after the last line feed are the start of line line_ (the pieces before it
    // are consumed once this piece's outcome is known).
    const std::size_t start = size == 0 ? 0 : LastLineStart(bytes, size, encoding_);
    lineBytesWritten_ = start == 0 ? lineBytesWritten_ + size : size - start;
}

bool Pipeline::Consume(Piece& piece) {
    if (piece.failure) std::rethrow_exception(piece.failure);
    if (output_ != nullptr) {
        if (piece.asInput) {
            Write(piece.input.Data(), piece.inputBytes);
        } else {
            Write(piece.output.Data(), piece.output.Size());
        }
    }
    switch (piece.outcome) {
        case Piece::Outcome::Done:
            line_ += piece.lineFeeds;
            return true;
        case Piece::Outcome::Changed:
            line_ += piece.line - 1;
            changeMessage_ = name_ + ": line " + std::to_string(line_) + " is not in " + formName_;
            return false;
        case Piece::Outcome::Invalid:
            line_ += piece.line - 1;
            throw Failure{kExitData,
                          name_ + ": line " + std::to_string(line_) + ", byte offset " +
                              std::to_string(piece.offset + piece.errorOffset) + ": invalid " +
                              (encoding_ == Encoding::Utf8 ? "UTF-8" : "UTF-16LE") + " (" +
                              piece.reason + ")" +
                              (piece.offset == 0 && encoding_ == Encoding::Utf8
                                   ? ByteOrderMarkHint(piece.input.Data(), piece.input.Size())
                                   : std::string())};
        case Piece::Outcome::LoneSurrogate:
            break;
    }
    line_ += piece.line - 1;
    char unit[8];
    std::snprintf(unit, sizeof unit, "%04X", static_cast<unsigned>(piece.surrogate));
    throw Failure{kExitData, name_ + ": line " + std::to_string(line_) +
                                 ": the normalized text holds a lone surrogate U+" + unit +
                                 ", which UTF-8 cannot carry (--encoding utf-16le can)"};
}

}  // namespace kavex::cli
