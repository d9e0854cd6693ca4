#include "Pipeline.h"

#include <cstdio>
#include <system_error>
#include <utility>

#include "Failure.h"

namespace kavex::cli {

Pipeline::Pipeline(const PieceWork& work, Encoding encoding, unsigned jobs)
    : work_(work), encoding_(encoding), jobs_(jobs < 1 ? 1 : jobs) {}

Pipeline::~Pipeline() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& worker : workers_) worker.join();
}

bool Pipeline::Run(const Input& input, Output* output, const std::string& formName) {
    output_ = output;
    name_ = input.name;
    formName_ = formName;
    line_ = 1;
    std::FILE* stream = OpenInput(input);
    struct Closer {
        std::FILE* stream;
        ~Closer() { CloseInput(stream); }
    } closer{stream};

    Progress progress;
    progress.Start(name_, RegularFileSize(stream));
    PieceReader reader(stream, encoding_, name_);
    bool unchanged = true;
    try {
        for (;;) {
            std::unique_ptr<Piece> piece = TakePiece();
            if (!reader.Next(*piece)) {
                spare_.push_back(std::move(piece));
                break;
            }
            progress.Update(reader.Done());
            if (jobs_ == 1 || (inFlight_.empty() && reader.Exhausted())) {
                // Nothing to share the work with: done here, without a thread.
                work_.Run(*piece);
                unchanged = Consume(*piece);
                spare_.push_back(std::move(piece));
            } else {
                Submit(std::move(piece));
                while (unchanged && inFlight_.size() >= 2 * jobs_) {
                    std::unique_ptr<Piece> oldest = WaitForOldest();
                    unchanged = Consume(*oldest);
                    spare_.push_back(std::move(oldest));
                }
            }
            if (!unchanged) break;
        }
        while (unchanged && !inFlight_.empty()) {
            std::unique_ptr<Piece> oldest = WaitForOldest();
            unchanged = Consume(*oldest);
            spare_.push_back(std::move(oldest));
        }
    } catch (...) {
        DiscardInFlight();
        progress.Finish();
        throw;
    }
    DiscardInFlight();
    progress.Finish();
    return unchanged;
}

std::unique_ptr<Piece> Pipeline::TakePiece() {
    if (spare_.empty()) return std::make_unique<Piece>();
    std::unique_ptr<Piece> piece = std::move(spare_.back());
    spare_.pop_back();
    return piece;
}

void Pipeline::Submit(std::unique_ptr<Piece> piece) {
    if (workers_.empty()) {
        try {
            for (unsigned i = 0; i < jobs_; ++i) workers_.emplace_back(&Pipeline::Work, this);
        } catch (const std::system_error&) {
            // As many threads as the system gives; with none, the work is done here.
            if (workers_.empty()) jobs_ = 1;
        }
    }
    auto slot = std::make_unique<Slot>();
    slot->piece = std::move(piece);
    if (workers_.empty()) {
        work_.Run(*slot->piece);
        slot->done = true;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!slot->done) queue_.push_back(slot.get());
        inFlight_.push_back(std::move(slot));
    }
    wake_.notify_one();
}

std::unique_ptr<Piece> Pipeline::WaitForOldest() {
    std::unique_lock<std::mutex> lock(mutex_);
    Slot* oldest = inFlight_.front().get();
    finished_.wait(lock, [oldest] { return oldest->done; });
    std::unique_ptr<Piece> piece = std::move(oldest->piece);
    inFlight_.pop_front();
    return piece;
}

// After a change or a failure: pieces not started are dropped, those being worked on are
// waited for, since a worker still holds them.
void Pipeline::DiscardInFlight() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (Slot* slot : queue_) slot->done = true;
        queue_.clear();
    }
    while (!inFlight_.empty()) spare_.push_back(WaitForOldest());
}

void Pipeline::Work() {
    for (;;) {
        Slot* slot;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;
            slot = queue_.front();
            queue_.pop_front();
        }
        work_.Run(*slot->piece);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            slot->done = true;
        }
        finished_.notify_all();
    }
}

bool Pipeline::Consume(Piece& piece) {
    if (piece.failure) std::rethrow_exception(piece.failure);
    if (output_ != nullptr) output_->Write(piece.output.Data(), piece.output.Size());
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
            throw Failure{kExitData, name_ + ": line " + std::to_string(line_) + ", byte offset " +
                                         std::to_string(piece.offset + piece.errorOffset) +
                                         ": invalid " +
                                         (encoding_ == Encoding::Utf8 ? "UTF-8" : "UTF-16LE") +
                                         " (" + piece.reason + ")"};
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
