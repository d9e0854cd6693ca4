// The marks a U+06BE is moved in front of before the rules run: the one list of them,
// read by the engine, the tools, the Python module, the tests and (through a test that
// compares it) the rules generator.
#ifndef KAVEX_ENGINE_MARKS_H
#define KAVEX_ENGINE_MARKS_H

#include <cstddef>
#include <cstdint>

namespace kavex {

constexpr char16_t kHeh = 0x06BE;

// U+0610-0615, U+064B, U+064E-0654, U+0656-0658 and U+0670. U+064C, U+064D and U+0655 lie
// among them but are not in the set.
constexpr char16_t kHehMarks[] = {0x0610, 0x0611, 0x0612, 0x0613, 0x0614, 0x0615,
                                  0x064B, 0x064E, 0x064F, 0x0650, 0x0651, 0x0652,
                                  0x0653, 0x0654, 0x0656, 0x0657, 0x0658, 0x0670};
constexpr std::size_t kHehMarkCount = sizeof kHehMarks / sizeof kHehMarks[0];
constexpr char16_t kFirstHehMark = 0x0610;
constexpr char16_t kLastHehMark = 0x0670;

namespace marks_detail {
// Bit k: unit from + k is a mark.
constexpr uint64_t MarkBits(unsigned from) {
    uint64_t bits = 0;
    for (char16_t mark : kHehMarks) {
        if (mark >= from && mark < from + 64) bits |= uint64_t{1} << (mark - from);
    }
    return bits;
}
}  // namespace marks_detail

// Whether `unit` is one of kHehMarks: one range test and a shift, no comparison per range.
constexpr bool IsHehMark(char16_t unit) {
    constexpr uint64_t kLow = marks_detail::MarkBits(kFirstHehMark);
    constexpr uint64_t kHigh = marks_detail::MarkBits(kFirstHehMark + 64);
    const unsigned offset = static_cast<unsigned>(unit) - kFirstHehMark;
    if (offset >= 128) return false;
    return (((offset < 64 ? kLow : kHigh) >> (offset & 63)) & 1) != 0;
}

}  // namespace kavex

#endif  // KAVEX_ENGINE_MARKS_H
