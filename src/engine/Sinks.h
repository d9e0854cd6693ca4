// Where a rewrite puts its result: Copy takes units of the text, Put a replacement, and
// both count what they are given in Size. A sink writes its result in order and nothing
// else, so it never writes past the result; ByteSink also never past its capacity.
#ifndef KAVEX_ENGINE_SINKS_H
#define KAVEX_ENGINE_SINKS_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "engine/DensePass.h"
#include "engine/Platform.h"
#include "engine/RuleMatcher.h"

namespace kavex {

// Copies below this many units are done in line: most gaps between matches are short.
constexpr std::size_t kShortCopy = 8;

inline std::u16string WideFromBytes(const unsigned char* bytes, std::size_t units) {
    std::u16string text(units, u'\0');
    if (units == 0) return text;
    char16_t* out = &text[0];
    if (kLittleEndianHost) {
        std::memcpy(out, bytes, 2 * units);
    } else {
        const ByteUnits in{bytes};
        for (std::size_t i = 0; i < units; ++i) out[i] = in[i];
    }
    return text;
}

inline void WideToBytes(const char16_t* units, std::size_t count, unsigned char* out) {
    if (kLittleEndianHost) {
        if (count > 0) std::memcpy(out, units, 2 * count);
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        out[2 * i] = static_cast<unsigned char>(units[i] & 0xFF);
        out[2 * i + 1] = static_cast<unsigned char>(units[i] >> 8);
    }
}

// Copies `bytes` bytes between buffers that do not overlap. The gaps between matches are
// mostly short: they go as a few fixed-size blocks, the last overlapping the one before,
// without a call; long ones go to memcpy. Writes exactly [to, to + bytes).
inline void CopyBytes(unsigned char* to, const unsigned char* from, std::size_t bytes) {
    if (bytes >= 16) {
        if (bytes > 64) {
            std::memcpy(to, from, bytes);
            return;
        }
        std::memcpy(to, from, 16);
        if (bytes > 32) std::memcpy(to + 16, from + 16, 16);
        if (bytes > 48) std::memcpy(to + 32, from + 32, 16);
        std::memcpy(to + bytes - 16, from + bytes - 16, 16);
    } else if (bytes >= 8) {
        std::memcpy(to, from, 8);
        std::memcpy(to + bytes - 8, from + bytes - 8, 8);
    } else if (bytes >= 4) {
        std::memcpy(to, from, 4);
        std::memcpy(to + bytes - 4, from + bytes - 4, 4);
    } else if (bytes > 0) {
        for (std::size_t k = 0; k < bytes; ++k) to[k] = from[k];
    }
}

// A UTF-16 string grown geometrically.
class WideSink {
  public:
    explicit WideSink(std::size_t expected) : buffer(expected, u'\0'), size(0) {}
    void Copy(const WideUnits& text, std::size_t from, std::size_t count) {
        Put(text.units + from, count);
    }
    void Copy(const ByteUnits& text, std::size_t from, std::size_t count) {
        char16_t* out = Room(count);
        for (std::size_t k = 0; k < count; ++k) out[k] = text[from + k];
        size += count;
    }
    void Put(const char16_t* units, std::size_t count) {
        char16_t* out = Room(count);
        if (count < kShortCopy) {
            for (std::size_t k = 0; k < count; ++k) out[k] = units[k];
        } else {
            std::memcpy(out, units, count * sizeof(char16_t));
        }
        size += count;
    }
    // Never given a step table.
    bool HasRoomForDensePass() const { return false; }
    template <typename Units>
    DensePassResult DensePass(const Units&, std::size_t, const uint32_t*, const char16_t*) {
        return DensePassResult{0, 0, 0};
    }
    std::size_t Size() const { return size; }
    std::u16string Take() {
        buffer.resize(size);
        return std::move(buffer);
    }

  private:
    std::u16string buffer;
    std::size_t size;

    char16_t* Room(std::size_t count) {
        if (buffer.size() - size < count) {
            buffer.resize(std::max(buffer.size() * 2, size + count));
        }
        return &buffer[size];
    }
};

// UTF-16LE bytes in the caller's buffer, never past `capacity` units: the first piece that
// does not fit stops the writing, and the rest is only counted. What was written is then
// of no use, but the size is, and it costs no second pass.
class ByteSink {
  public:
    ByteSink(unsigned char* out, std::size_t capacityUnits)
        : start(out), at(out), end(out + 2 * capacityUnits), roomBytes(2 * capacityUnits) {}
    void Copy(const ByteUnits& text, std::size_t from, std::size_t count) {
        if (2 * count > roomBytes) return Overflow(count);
        CopyBytes(at, text.bytes + 2 * from, 2 * count);
        Advance(count);
    }
    void Copy(const WideUnits& text, std::size_t from, std::size_t count) {
        if (2 * count > roomBytes) return Overflow(count);
        if (kLittleEndianHost) {
            CopyBytes(at, reinterpret_cast<const unsigned char*>(text.units + from), 2 * count);
        } else {
            WideToBytes(text.units + from, count, at);
        }
        Advance(count);
    }
    void Put(const char16_t* units, std::size_t count) {
        if (2 * count > roomBytes) return Overflow(count);
        if (kLittleEndianHost && count <= 4) {
            // Most replacements are a unit or a few: two overlapping fixed-size stores, no
            // loop whose length changes from one replacement to the next, no byte past them.
            if (count >= 2) {
                std::memcpy(at, units, 4);
                std::memcpy(at + 2 * count - 4, units + count - 2, 4);
            } else if (count == 1) {
                std::memcpy(at, units, 2);
            }
        } else if (count < kShortCopy) {
            for (std::size_t k = 0; k < count; ++k) {
                at[2 * k] = static_cast<unsigned char>(units[k] & 0xFF);
                at[2 * k + 1] = static_cast<unsigned char>(units[k] >> 8);
            }
        } else {
            WideToBytes(units, count, at);
        }
        Advance(count);
    }
    bool HasRoomForDensePass() const {
        return kLittleEndianHost && overflow == 0 && roomBytes >= kDensePassBytes;
    }
    // A pass into a buffer of its own, copied out as long as its result is.
    template <typename Units>
    KAVEX_ALWAYS_INLINE DensePassResult DensePass(const Units& text, std::size_t p,
                                                  const uint32_t* steps, const char16_t* packed) {
        unsigned char pass[kDensePassBytes];
        const DensePassResult result = DensePassBytes(text, p, steps, packed, pass);
        KAVEX_DCHECK(result.size <= roomBytes);
        CopyBytes(at, pass, result.size);
        at += result.size;
        roomBytes -= result.size;
        return result;
    }
    std::size_t Size() const { return static_cast<std::size_t>(at - start) / 2 + overflow; }
    // Bytes written from the start: never more than the capacity, nor than the result.
    std::size_t WrittenBytes() const { return static_cast<std::size_t>(at - start); }

  private:
    // Written so far: [start, at); what did not fit is only counted.
    unsigned char* start;
    unsigned char* at;
    unsigned char* end;
    std::size_t roomBytes;
    std::size_t overflow = 0;

    void Advance(std::size_t count) {
        at += 2 * count;
        roomBytes -= 2 * count;
        KAVEX_DCHECK(at <= end &&
                     (overflow != 0 || static_cast<std::size_t>(end - at) == roomBytes));
    }
    void Overflow(std::size_t count) {
        roomBytes = 0;
        overflow += count;
    }
};

// Only the length of the result.
class CountSink {
  public:
    template <typename Units>
    void Copy(const Units&, std::size_t, std::size_t count) {
        size += count;
    }
    void Put(const char16_t*, std::size_t count) { size += count; }
    bool HasRoomForDensePass() const { return true; }
    template <typename Units>
    KAVEX_ALWAYS_INLINE DensePassResult DensePass(const Units& text, std::size_t p,
                                                  const uint32_t* steps, const char16_t*) {
        const DensePassResult result = DensePassCount(text, p, steps);
        size += result.size;
        return result;
    }
    std::size_t Size() const { return size; }

  private:
    std::size_t size = 0;
};

}  // namespace kavex

#endif  // KAVEX_ENGINE_SINKS_H
