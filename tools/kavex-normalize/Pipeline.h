// Runs the pieces of an input through PieceWork on N threads and hands their results to
// the output in input order, with the line numbers and messages of one pass over the text.
//
// The reading and the writing stay on the calling thread; at most 2N pieces are in flight,
// so memory stays bounded whatever the size of the input. With one job, or an input that
// is a single piece, no thread is started.
#ifndef KAVEX_TOOLS_NORMALIZE_PIPELINE_H
#define KAVEX_TOOLS_NORMALIZE_PIPELINE_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Files.h"
#include "Piece.h"

namespace kavex::cli {

class Pipeline {
  public:
    Pipeline(const PieceWork& work, Encoding encoding, unsigned jobs);
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;
    ~Pipeline();

    // Normalizes one input into `output` (null for --check). Returns false when --check
    // found a line that changes; ChangeMessage names it. Throws Failure.
    bool Run(const Input& input, Output* output, const std::string& formName);

    std::string ChangeMessage() const { return changeMessage_; }
    // Where the written output stops, for a message after a failure.
    std::string Position() const { return "line " + std::to_string(line_) + " of " + name_; }

  private:
    struct Slot {
        std::unique_ptr<Piece> piece;
        bool done = false;
    };

    std::unique_ptr<Piece> TakePiece();
    void Submit(std::unique_ptr<Piece> piece);
    std::unique_ptr<Piece> WaitForOldest();
    void DiscardInFlight();
    bool Consume(Piece& piece);
    void Work();

    const PieceWork& work_;
    Encoding encoding_;
    unsigned jobs_;
    Output* output_ = nullptr;
    std::string name_;
    std::string formName_;
    std::uint64_t line_ = 1;
    std::string changeMessage_;

    std::vector<std::unique_ptr<Piece>> spare_;
    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable wake_;                // a piece to work on, or the end
    std::condition_variable finished_;            // a piece is done
    std::deque<Slot*> queue_;                     // waiting for a worker
    std::deque<std::unique_ptr<Slot>> inFlight_;  // in input order
    bool stopping_ = false;
};

}  // namespace kavex::cli

#endif  // KAVEX_TOOLS_NORMALIZE_PIPELINE_H
