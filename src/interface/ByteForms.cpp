#include "interface/ByteForms.h"

#include <algorithm>

#include "interface/TextUtils.h"

namespace kavex {

namespace {

// Normalizes into `room` units at `output` when the result is sure to fit an int, and
// otherwise counts first: a result too long for the int is refused before a byte of it is
// written. Returns the size of the result; it was written when it is at most `room`.
std::size_t NormalizeWithinInt(const Normalizer& normalizer, const unsigned char* input,
                               std::size_t units, unsigned char* output, std::size_t room,
                               const PathChoice& paths, std::size_t maxUnits) {
    if (output != nullptr && normalizer.MaxResultUnits(units) > maxUnits) {
        const std::size_t size = normalizer.NormalizeBytes(input, units, nullptr, 0, paths);
        if (size > maxUnits || size > room) return size;
    }
    return normalizer.NormalizeBytes(input, units, output, room, paths);
}

}  // namespace

int NormalizeUnsized(const Normalizer& normalizer, const unsigned char* input, int length,
                     unsigned char* output, const PathChoice& paths, std::size_t maxUnits) {
    const std::size_t units = CountUnits(input, length, paths.cpu);
    // The caller vouches for the room of the result, whatever its size: the rewrite is
    // given exactly the most it can be.
    const std::size_t room = std::min(normalizer.MaxResultUnits(units), maxUnits);
    const std::size_t result =
        NormalizeWithinInt(normalizer, input, units, output, room, paths, maxUnits);
    if (result > maxUnits) return 0;
    if (result > room) {
        // Only a rule list changed after its matcher was built breaks the bound; the room
        // the caller vouches for holds the result all the same.
        normalizer.NormalizeBytes(input, units, output, result, paths);
    }
    output[2 * result] = 0;
    return static_cast<int>(2 * result + 1);
}

int NormalizeSized(const Normalizer& normalizer, const unsigned char* input, int length,
                   unsigned char* output, int capacity, const PathChoice& paths,
                   std::size_t maxUnits) {
    const std::size_t units = CountUnitsUntilZeroUnit(input, length, paths.cpu);
    // Units that fit with the terminator; no room at all (capacity 0) writes nothing.
    const std::size_t room =
        capacity < 1 ? 0 : std::min(maxUnits, static_cast<std::size_t>(capacity - 1) / 2);
    unsigned char* target = capacity < 1 ? nullptr : output;
    const std::size_t result =
        NormalizeWithinInt(normalizer, input, units, target, room, paths, maxUnits);
    if (result > maxUnits) return 0;
    const int needed = static_cast<int>(2 * result + 1);
    if (capacity < needed) return -needed;
    output[2 * result] = 0;
    return needed;
}

}  // namespace kavex
