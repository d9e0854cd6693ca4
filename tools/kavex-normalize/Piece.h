// Pieces of the input: the reader cuts an input into pieces of whole lines, and each piece
// is then decoded, normalized and encoded on its own, on any thread.
//
// A piece ends after a line feed, or where a line longer than kMaxLineUnits is cut, or at
// the end of the input: exactly where the text is cut when it is normalized line by line,
// so the pieces give the same output, line numbers and errors however many there are.
#ifndef KAVEX_TOOLS_NORMALIZE_PIECE_H
#define KAVEX_TOOLS_NORMALIZE_PIECE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>

#include "Buffer.h"
#include "Options.h"

namespace kavex::cli {

class FormRules;

// A line longer than this many UTF-16 units is normalized in parts of at most this size,
// cut after the last space or tab of its second half where there is one, else at the
// limit but never inside a surrogate pair; each part is then one line.
constexpr std::size_t kMaxLineUnits = std::size_t{1} << 20;

struct Piece {
    enum class Outcome {
        Done,           // every line normalized
        Changed,        // --check: `line` changes; the lines before it do not
        Invalid,        // `line` holds invalid input at `errorOffset`, for `reason`
        LoneSurrogate,  // the result of `line` holds `surrogate`, which UTF-8 cannot carry
    };

    std::uint64_t offset = 0;  // of input[0] in its file
    Buffer<unsigned char> input;

    Buffer<char16_t> units;        // the text, decoded
    Buffer<char16_t> normalized;   // its result
    Buffer<char16_t> part;         // scratch of the line-by-line paths
    Buffer<unsigned char> output;  // what to write: the result of the lines before any error
    // When the form leaves every line before any error as it is: their bytes in `input`
    // are what to write, in place of `output`, which is then not made.
    bool asInput = false;
    std::size_t inputBytes = 0;
    Outcome outcome = Outcome::Done;
    std::uint64_t lineFeeds = 0;    // in the input
    std::uint64_t line = 0;         // of the outcome, 1 for the piece's first line
    std::uint64_t errorOffset = 0;  // from input[0]
    const char* reason = nullptr;
    char16_t surrogate = 0;
    std::exception_ptr failure;  // anything else that went wrong, such as memory
};

// Where the reader cuts a piece: after its last line feed, at the cut of a first line that
// reaches kMaxLineUnits, or at the end of the input. The piece grows by reads until a cut is
// found, and each call goes on from where the call before stopped, so a line of any length
// is searched and decoded once, not once per read.
class CutFinder {
  public:
    explicit CutFinder(Encoding encoding) : encoding_(encoding) {}

    // Where the piece data[0, size) ends, or 0 when more bytes must be read first.
    // `atEnd`: nothing follows `size`. Until Reset, each call must be given the bytes of the
    // call before, and more.
    std::size_t Find(const unsigned char* data, std::size_t size, bool atEnd);
    // For the next piece.
    void Reset();
    // Bytes and units looked at so far, over all pieces: a few times the input at most.
    std::uint64_t Work() const { return work_; }

  private:
    std::size_t FindUtf8(const unsigned char* data, std::size_t size, bool atEnd);
    std::size_t FindUtf16(const unsigned char* data, std::size_t size, bool atEnd);
    std::size_t LongLineCutUtf8(const unsigned char* data, std::size_t length, bool complete,
                                bool& more);

    Encoding encoding_;
    std::uint64_t work_ = 0;
    std::size_t searched_ = 0;  // bytes (UTF-16LE: units) known to hold no line feed
    // UTF-8: how far the first line has been decoded, in bytes and in units, and where the
    // character holding unit kMaxLineUnits / 2 starts (kNotYet before it is decoded).
    static constexpr std::size_t kNotYet = ~std::size_t{0};
    std::size_t decoded_ = 0;
    std::size_t units_ = 0;
    std::size_t half_ = kNotYet;
    Buffer<char16_t> scratch_;
};

// Cuts one input into pieces of about `pieceBytes` bytes (at most 1 MiB, so that only a
// piece's first line can reach kMaxLineUnits). Small pieces keep the buffers of the pieces
// in flight small: fresh pages cost more than the handing over of more pieces.
class PieceReader {
  public:
    PieceReader(std::FILE* stream, Encoding encoding, std::string name,
                std::size_t pieceBytes = std::size_t{1} << 16);

    // Fills the input and offset of `piece` with the next piece; false at the end.
    // Throws Failure when the input cannot be read.
    bool Next(Piece& piece);
    // Bytes read so far.
    std::uint64_t Done() const { return read_; }
    // Nothing is left to read or to hand out.
    bool Exhausted() const { return atEnd_ && carry_.Size() == 0; }
    // What the search for cuts has cost so far (CutFinder::Work).
    std::uint64_t CutWork() const { return cuts_.Work(); }

  private:
    std::FILE* stream_;
    CutFinder cuts_;
    std::string name_;
    std::size_t pieceBytes_;
    Buffer<unsigned char> carry_;  // read but not yet handed out: the start of a line
    std::uint64_t offset_ = 0;     // of carry_[0]
    std::uint64_t read_ = 0;
    bool atEnd_ = false;
};

// What is done to each piece; one object serves every thread.
class PieceWork {
  public:
    PieceWork(const FormRules& rules, Encoding encoding, bool check)
        : rules_(rules), encoding_(encoding), check_(check) {}

    // Sets the outcome and the output of `piece` from its input. Never throws: a failure
    // is kept in the piece.
    void Run(Piece& piece) const;

  private:
    void Process(Piece& piece) const;
    std::size_t NormalizeLine(const char16_t* line, std::size_t count, Buffer<char16_t>& out,
                              Buffer<char16_t>& part) const;
    void Check(Piece& piece, const char16_t* text, std::size_t count) const;
    void Write(Piece& piece, const char16_t* text, std::size_t count, std::size_t bytes) const;
    bool Encode(Piece& piece, const char16_t* result, std::size_t count, std::uint64_t line,
                bool countLines) const;

    const FormRules& rules_;
    Encoding encoding_;
    bool check_;
};

}  // namespace kavex::cli

#endif  // KAVEX_TOOLS_NORMALIZE_PIECE_H
