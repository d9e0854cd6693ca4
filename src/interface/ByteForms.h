// The two byte forms of the exported Normalize on a loaded normalizer, after the object's
// own checks (pointers, state, mode): how long the input is, how much room there is, the
// terminator, and the int limit. Normalization calls them with PathChoice::Auto(); tests
// and fuzzers call them with every path and CPU level, so they test the very code the
// exported class runs.
#ifndef KAVEX_INTERFACE_BYTEFORMS_H
#define KAVEX_INTERFACE_BYTEFORMS_H

#include <climits>
#include <cstddef>

#include "engine/Normalizer.h"
#include "engine/Paths.h"

namespace kavex {

// The largest number of units whose output, 2n + 1 bytes, still fits in an int.
constexpr std::size_t kMaxOutputUnits = (static_cast<std::size_t>(INT_MAX) - 1) / 2;

// The four-argument form: the input ends at `length` bytes or at a zero byte at an even
// offset; the result and one zero byte go to `output`, which the caller vouches has room
// for them. Returns 2n + 1, or 0, writing nothing, when the result is too long for an int.
// `maxUnits` is the int's limit, lowered only by tests that check the refusal.
int NormalizeUnsized(const Normalizer& normalizer, const unsigned char* input, int length,
                     unsigned char* output, const PathChoice& paths,
                     std::size_t maxUnits = kMaxOutputUnits);

// The sized form: the input ends at `length` bytes or at a whole zero unit; nothing is
// written past `capacity` bytes, nor past the terminator. Returns 2n + 1, -(2n + 1) when
// that is more than `capacity`, or 0, writing nothing, when the result is too long for an
// int. `output` may be null only with a capacity below 1.
int NormalizeSized(const Normalizer& normalizer, const unsigned char* input, int length,
                   unsigned char* output, int capacity, const PathChoice& paths,
                   std::size_t maxUnits = kMaxOutputUnits);

}  // namespace kavex

#endif  // KAVEX_INTERFACE_BYTEFORMS_H
