// Runs the pieces of an input through PieceWork on N threads and hands their results to
// the output in input order, with the line numbers and messages of one pass over the text.
//
// The N threads (the caller's among them) are alike: each takes the next piece from the
// input, works on it, and whichever finishes the piece that is due next writes it and
// every finished piece after it. Reading and writing thus never wait for a thread of
// their own, and at most 2N pieces are in flight, so memory stays bounded whatever the
// size of the input; their buffers are reused from piece to piece. With one job, or an
// input that is a single piece, no thread is started.
#ifndef KAVEX_TOOLS_NORMALIZE_PIPELINE_H
#define KAVEX_TOOLS_NORMALIZE_PIPELINE_H

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Files.h"
#include "Piece.h"

namespace kavex::cli {

class Pipeline {
  public:
    Pipeline(const PieceWork& work, Encoding encoding, unsigned jobs);
    Pipeline(const Pipeline&) = delete;
    Pipeline& operator=(const Pipeline&) = delete;

    // Normalizes one input into `output` (null for --check). Returns false when --check
    // found a line that changes; ChangeMessage names it. Throws Failure.
    bool Run(const Input& input, Output* output, const std::string& formName);

    std::string ChangeMessage() const { return changeMessage_; }
    // Where the written output stops, for a message after a failure: "before line N of
    // NAME", or inside it when part of that line went out.
    std::string Position() const;

  private:
    // What the threads of one Run share.
    struct Shared {
        PieceReader* reader = nullptr;
        Progress* progress = nullptr;
        std::mutex reading;            // held while a piece is read, so pieces are read in order
        std::mutex mutex;              // guards everything below
        std::condition_variable room;  // a piece was written, or the run stops
        std::vector<std::unique_ptr<Piece>> finished;  // by sequence number modulo its size
        std::uint64_t read = 0;                        // pieces read so far
        std::uint64_t written = 0;                     // pieces consumed so far
        bool writing = false;                          // a thread is consuming pieces
        bool atEnd = false;                            // the reader has no more pieces
        bool stop = false;  // a change, a failure or the end: read no more
        std::exception_ptr failure;
    };

    std::unique_ptr<Piece> TakePiece();
    bool RunAlone(PieceReader& reader, Progress& progress);
    void Drive(Shared& shared);
    void WriteFinished(std::unique_lock<std::mutex>& lock, Shared& shared);
    bool Consume(Piece& piece);
    void Write(const unsigned char* bytes, std::size_t size);

    const PieceWork& work_;
    Encoding encoding_;
    unsigned jobs_;
    Output* output_ = nullptr;
    std::string name_;
    std::string formName_;
    std::uint64_t line_ = 1;
    std::uint64_t lineBytesWritten_ = 0;  // of line line_
    bool unchanged_ = true;
    std::string changeMessage_;

    std::mutex spareMutex_;
    std::vector<std::unique_ptr<Piece>> spare_;
};

}  // namespace kavex::cli

#endif  // KAVEX_TOOLS_NORMALIZE_PIPELINE_H
