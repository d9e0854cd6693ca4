#include "Piece.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "Failure.h"
#include "Files.h"
#include "FormRules.h"
#include "common/Utf8.h"
#include "engine/Platform.h"

#if KAVEX_SSE2
#include <emmintrin.h>
#endif

namespace kavex::cli {

namespace {

// What LongLineCutUtf8 returns for a line whose bytes are invalid before it reaches the
// limit: decoding stops there before the line would be cut, so it is not cut.
constexpr std::size_t kInvalidLine = ~std::size_t{0};

// Bytes decoded at once by the block conversion while looking for a long line's cut.
constexpr std::size_t kStretchBytes = std::size_t{1} << 16;

char16_t UnitAt(const unsigned char* data, std::size_t index) {
    return static_cast<char16_t>(data[2 * index] | data[2 * index + 1] << 8);
}

std::uint64_t CountLineFeeds(const char16_t* text, std::size_t count) {
    std::uint64_t feeds = 0;
    std::size_t i = 0;
#if KAVEX_SSE2
    const __m128i lineFeed = _mm_set1_epi16(0x0A);
    while (count - i >= 8) {
        // Each lane counts up to 0x7FFF matches before the sum is taken.
        const std::size_t blocks = std::min<std::size_t>((count - i) / 8, 0x7FFF);
        __m128i sums = _mm_setzero_si128();
        for (std::size_t b = 0; b < blocks; ++b, i += 8) {
            const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
            sums = _mm_sub_epi16(sums, _mm_cmpeq_epi16(units, lineFeed));
        }
        alignas(16) std::uint16_t lanes[8];
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes), sums);
        for (std::uint16_t lane : lanes) feeds += lane;
    }
#endif
    for (; i < count; ++i) feeds += text[i] == u'\n';
    return feeds;
}

// The end of the line starting at `start`: after its line feed, or `count`.
std::size_t LineEnd(const char16_t* text, std::size_t start, std::size_t count) {
    while (start < count && text[start++] != u'\n') {
    }
    return start;
}

bool SameUnits(const char16_t* a, std::size_t aCount, const char16_t* b, std::size_t bCount) {
    return aCount == bCount && (aCount == 0 || std::memcmp(a, b, 2 * aCount) == 0);
}

}  // namespace

std::size_t CutFinder::Find(const unsigned char* data, std::size_t size, bool atEnd) {
    return encoding_ == Encoding::Utf8 ? FindUtf8(data, size, atEnd) : FindUtf16(data, size, atEnd);
}

void CutFinder::Reset() {
    searched_ = 0;
    decoded_ = 0;
    units_ = 0;
    half_ = kNotYet;
}

// Where a UTF-8 line of `length` bytes without a line feed is cut, or 0 when it stays
// whole; `more` is set when the bytes after `length` (unknown unless `complete`) decide.
// Units are counted as the decoder makes them (a character beyond U+FFFF is two).
std::size_t CutFinder::LongLineCutUtf8(const unsigned char* data, std::size_t length, bool complete,
                                       bool& more) {
    constexpr std::size_t kHalf = kMaxLineUnits / 2;
    std::size_t i = decoded_;
    while (i < length) {
        // By blocks while no character of the block can hold unit kHalf or the last unit a
        // line may have: a byte makes one unit at most.
        const std::size_t room = half_ == kNotYet ? kHalf - units_ : kMaxLineUnits - 1 - units_;
        const std::size_t stretch = std::min({length - i, room, kStretchBytes});
        if (stretch >= 16) {
            scratch_.Resize(stretch);
            const Converted converted = ConvertUtf8ToUtf16(data + i, stretch, scratch_.Data());
            work_ += converted.read;
            if (converted.error != nullptr) return kInvalidLine;
            i += converted.read;
            units_ += converted.written;
            // A character cut by the end of the block is decoded by the next one.
            if (converted.read > 0) continue;
        }
        const Utf8Decoded decoded = DecodeUtf8(data + i, data + length);
        work_ += decoded.length;
        if (decoded.length == 0) {
            if (decoded.error == nullptr && !complete) {
                decoded_ = i;
                more = true;
                return 0;
            }
            return kInvalidLine;
        }
        const std::size_t width = decoded.codePoint >= 0x10000 ? 2 : 1;
        if (units_ <= kHalf && units_ + width > kHalf) half_ = i;
        if (units_ + width < kMaxLineUnits) {
            units_ += width;
            i += decoded.length;
            continue;
        }
        // This character holds the last unit a line may have.
        for (std::size_t p = i + 1; p-- > half_;) {
            ++work_;
            if (data[p] == ' ' || data[p] == '\t') return p + 1;
        }
        if (width == 2 && units_ + 1 == kMaxLineUnits) return i;  // not between a pair
        return i + decoded.length;
    }
    decoded_ = i;
    more = !complete;
    return 0;
}

std::size_t CutFinder::FindUtf8(const unsigned char* data, std::size_t size, bool atEnd) {
    // The first line feed, each byte searched once.
    const void* found = std::memchr(data + searched_, '\n', size - searched_);
    const std::size_t lineBytes =
        found ? static_cast<std::size_t>(static_cast<const unsigned char*>(found) - data) : size;
    work_ += lineBytes - searched_;
    searched_ = lineBytes;
    if (lineBytes >= kMaxLineUnits) {
        bool more = false;
        const std::size_t cut = LongLineCutUtf8(data, lineBytes, found != nullptr || atEnd, more);
        // The piece with invalid bytes ends anywhere after them: its error is the first.
        if (cut == kInvalidLine) return size;
        if (cut > 0) return cut;
        if (more) return 0;
    }
    if (found == nullptr) return atEnd ? size : 0;
    std::size_t last = size;
    while (data[last - 1] != '\n') --last;
    work_ += size - last;
    return last;
}

std::size_t CutFinder::FindUtf16(const unsigned char* data, std::size_t size, bool atEnd) {
    const std::size_t units = size / 2;
    std::size_t first = searched_;
    while (first < units && UnitAt(data, first) != u'\n') ++first;
    work_ += first - searched_;
    searched_ = first;
    if (first >= kMaxLineUnits) {
        for (std::size_t k = kMaxLineUnits; k-- > kMaxLineUnits / 2;) {
            ++work_;
            const char16_t unit = UnitAt(data, k);
            if (unit == u' ' || unit == u'\t') return 2 * (k + 1);
        }
        const char16_t last = UnitAt(data, kMaxLineUnits - 1);
        return 2 * (last >= 0xD800 && last <= 0xDBFF ? kMaxLineUnits - 1 : kMaxLineUnits);
    }
    if (first == units) return atEnd ? size : 0;
    std::size_t last = units;
    while (UnitAt(data, last - 1) != u'\n') --last;
    work_ += units - last;
    return 2 * last;
}

PieceReader::PieceReader(std::FILE* stream, Encoding encoding, std::string name,
                         std::size_t pieceBytes)
    : stream_(stream), cuts_(encoding), name_(std::move(name)), pieceBytes_(pieceBytes) {}

bool PieceReader::Next(Piece& piece) {
    Buffer<unsigned char>& data = piece.input;
    data.Resize(0);
    data.Append(carry_.Data(), carry_.Size());
    carry_.Resize(0);
    std::size_t cut = 0;
    for (;;) {
        if (data.Size() > 0) cut = cuts_.Find(data.Data(), data.Size(), atEnd_);
        if (cut > 0 || atEnd_) break;
        const std::size_t start = data.Size();
        data.Resize(start + pieceBytes_);
        const std::size_t got = std::fread(data.Data() + start, 1, pieceBytes_, stream_);
        data.Resize(start + got);
        read_ += got;
        if (got < pieceBytes_) {
            if (std::ferror(stream_)) {
                throw Failure{kExitIo, "cannot read " + name_ + ": " + ErrnoText(errno)};
            }
            atEnd_ = true;
        }
    }
    cuts_.Reset();
    if (data.Size() == 0) return false;
    if (cut == 0) cut = data.Size();
    carry_.Append(data.Data() + cut, data.Size() - cut);
    data.Resize(cut);
    piece.offset = offset_;
    offset_ += cut;
    return true;
}

void PieceWork::Run(Piece& piece) const {
    piece.output.Resize(0);
    piece.asInput = false;
    piece.outcome = Piece::Outcome::Done;
    piece.lineFeeds = 0;
    piece.line = 0;
    piece.failure = nullptr;
    try {
        Process(piece);
    } catch (...) {
        piece.failure = std::current_exception();
    }
}

void PieceWork::Process(Piece& piece) const {
    const unsigned char* input = piece.input.Data();
    const std::size_t size = piece.input.Size();
    piece.units.Resize(size + 1);
    char16_t* text = piece.units.Data();
    std::size_t count;
    bool invalid = false;
    if (encoding_ == Encoding::Utf8) {
        const Converted converted = ConvertUtf8ToUtf16(input, size, text);
        count = converted.written;
        if (converted.read < size) {
            // Ends inside a character only at the end of the input.
            invalid = true;
            piece.errorOffset = converted.read;
            piece.reason = converted.error != nullptr ? converted.error : "truncated sequence";
        }
    } else {
        count = size / 2;
        if (count > 0) std::memcpy(text, input, 2 * count);
        if (!kLittleEndianHost) {
            for (std::size_t i = 0; i < count; ++i) text[i] = UnitAt(input, i);
        }
        if (size % 2 != 0) {
            invalid = true;
            piece.errorOffset = size - 1;
            piece.reason = "a lone final byte (UTF-16LE has two per unit)";
        }
    }
    piece.lineFeeds = CountLineFeeds(text, count);
    std::size_t bytes = size;  // of the input, for the `count` units
    if (invalid) {
        // The line holding the invalid input is never normalized; those before it are.
        while (count > 0 && text[count - 1] != u'\n') --count;
        bytes = piece.errorOffset;
        while (bytes > 0 && input[bytes - 1] != '\n') --bytes;
    }

    if (check_) {
        Check(piece, text, count);
    } else {
        Write(piece, text, count, bytes);
    }
    if (invalid && piece.outcome == Piece::Outcome::Done) {
        piece.outcome = Piece::Outcome::Invalid;
        piece.line = piece.lineFeeds + 1;
    }
}

std::size_t PieceWork::NormalizeLine(const char16_t* line, std::size_t count, Buffer<char16_t>& out,
                                     Buffer<char16_t>& part) const {
    if (rules_.JoinsLines()) return rules_.Normalize(line, count, out);
    // A rule source may hold U+0000, which ends a text in the sized Normalize: the runs
    // between them are normalized on their own, and each U+0000 passed through.
    out.Resize(0);
    std::size_t start = 0;
    for (std::size_t i = 0; i <= count; ++i) {
        if (i < count && line[i] != 0) continue;
        const std::size_t size = rules_.Normalize(line + start, i - start, part);
        out.Append(part.Data(), size);
        if (i < count) out.Append(line + i, 1);
        start = i + 1;
    }
    return out.Size();
}

void PieceWork::Check(Piece& piece, const char16_t* text, std::size_t count) const {
    if (rules_.JoinsLines()) {
        const std::size_t size = rules_.Normalize(text, count, piece.normalized);
        if (SameUnits(text, count, piece.normalized.Data(), size)) return;
    }
    // The piece changes: its first line that changes on its own is the one to name.
    std::uint64_t line = 1;
    for (std::size_t start = 0; start < count; ++line) {
        const std::size_t end = LineEnd(text, start, count);
        const std::size_t size =
            NormalizeLine(text + start, end - start, piece.normalized, piece.part);
        if (!SameUnits(text + start, end - start, piece.normalized.Data(), size)) {
            piece.outcome = Piece::Outcome::Changed;
            piece.line = line;
            return;
        }
        start = end;
    }
}

void PieceWork::Write(Piece& piece, const char16_t* text, std::size_t count,
                      std::size_t bytes) const {
    if (rules_.JoinsLines()) {
        const std::size_t size = rules_.Normalize(text, count, piece.normalized);
        if (SameUnits(text, count, piece.normalized.Data(), size)) {
            // Text the form leaves as it is goes out as it came in, without encoding.
            piece.asInput = true;
            piece.inputBytes = encoding_ == Encoding::Utf8 ? bytes : 2 * count;
            return;
        }
        Encode(piece, piece.normalized.Data(), size, 1, true);
        return;
    }
    std::uint64_t line = 1;
    for (std::size_t start = 0; start < count; ++line) {
        const std::size_t end = LineEnd(text, start, count);
        const std::size_t size =
            NormalizeLine(text + start, end - start, piece.normalized, piece.part);
        if (!Encode(piece, piece.normalized.Data(), size, line, false)) return;
        start = end;
    }
}

bool PieceWork::Encode(Piece& piece, const char16_t* result, std::size_t count, std::uint64_t line,
                       bool countLines) const {
    Buffer<unsigned char>& output = piece.output;
    const std::size_t start = output.Size();
    if (encoding_ == Encoding::Utf16le) {
        output.Resize(start + 2 * count);
        unsigned char* bytes = output.Data() + start;
        if (kLittleEndianHost) {
            if (count > 0) std::memcpy(bytes, result, 2 * count);
        } else {
            for (std::size_t i = 0; i < count; ++i) {
                bytes[2 * i] = static_cast<unsigned char>(result[i] & 0xFF);
                bytes[2 * i + 1] = static_cast<unsigned char>(result[i] >> 8);
            }
        }
        return true;
    }
    output.Resize(start + 3 * count);
    const Converted converted = ConvertUtf16ToUtf8(result, count, output.Data() + start);
    output.Resize(start + converted.written);
    if (converted.read == count) return true;
    // What comes before the lone surrogate is written, as the lines before it.
    piece.outcome = Piece::Outcome::LoneSurrogate;
    piece.surrogate = result[converted.read];
    piece.line = countLines ? line + CountLineFeeds(result, converted.read) : line;
    return false;
}

}  // namespace kavex::cli
