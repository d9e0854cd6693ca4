// Both byte forms of Normalize checked against the naive oracle on one text, each call
// writing into a buffer of exactly the allowed size (GuardedBuffer): the size query, the
// sized form at each capacity given (nothing past it, nothing after the terminator when the
// result fits), and the four-argument form with exactly 2n + 1 bytes. Shared by the tests
// and the fuzzers, which run it on every way through the engine (EveryWay) at every CPU
// level this machine has.
#ifndef KAVEX_TESTS_SUPPORT_BYTEFORMSORACLE_H
#define KAVEX_TESTS_SUPPORT_BYTEFORMSORACLE_H

#include <cstddef>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "engine/Paths.h"
#include "engine/Platform.h"
#include "support/GuardedBuffer.h"
#include "support/NaiveOracle.h"
#include "support/TempDir.h"

namespace kavex::testing {

// The ways through a rewrite at one CPU level: the reference, the library's own choice,
// each fast path forced alone, and all of them forced.
inline std::vector<std::pair<std::string, PathChoice>> EveryWay(CpuLevel cpu) {
    std::vector<std::pair<std::string, PathChoice>> ways;
    ways.emplace_back("reference", PathChoice::Reference(cpu));
    PathChoice automatic = PathChoice::Auto();
    automatic.cpu = cpu;
    ways.emplace_back("auto", automatic);
    for (unsigned p = 0; p < kPathCount; ++p) {
        const Path path = static_cast<Path>(p);
        ways.emplace_back(PathName(path), PathChoice::Only(path, cpu));
    }
    ways.emplace_back("all forced", PathChoice::AllForced(cpu));
    return ways;
}

inline std::vector<CpuLevel> EveryCpuLevel() {
    std::vector<CpuLevel> levels;
    for (CpuLevel cpu : {CpuLevel::kScalar, CpuLevel::kSse2, CpuLevel::kAvx2}) {
        if (CpuLevelAvailable(cpu)) levels.push_back(cpu);
    }
    return levels;
}

inline std::u16string UnitsOf(const unsigned char* bytes, std::size_t units) {
    std::u16string text(units, u'\0');
    for (std::size_t i = 0; i < units; ++i) {
        text[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    }
    return text;
}

// The two forms under test: (input, length, output, capacity) and (input, length, output).
struct ByteForms {
    std::function<int(const unsigned char*, int, unsigned char*, int)> sized;
    std::function<int(unsigned char*, int, unsigned char*)> unsized;
};

// Where the sized form changes its way for `text` and its need: no room, the need, and
// the room of the whole text (the quick check copies only then).
inline std::vector<int> ThresholdCapacities(std::size_t textUnits, int needed) {
    const int length = static_cast<int>(2 * textUnits);
    std::vector<int> capacities;
    for (int c : {0, 1, 2, 3, needed - 2, needed - 1, needed, needed + 1, needed + 2, length,
                  length + 1, length + 2}) {
        if (c >= 0) capacities.push_back(c);
    }
    return capacities;
}

// The oracle's results for a text, as each form reads it.
struct ByteFormsExpected {
    std::u16string sized;
    std::u16string unsized;
    int SizedNeeded() const { return static_cast<int>(2 * sized.size() + 1); }
};

inline ByteFormsExpected ExpectedOf(const NaiveRules& rules, const std::u16string& text) {
    return ByteFormsExpected{NaiveNormalize(rules, NaiveTextAsRead(text, true)),
                             NaiveNormalize(rules, NaiveTextAsRead(text, false))};
}

// What went wrong, or an empty string. `capacities` empty: every one from 0 to the need + 2.
inline std::string CheckByteForms(const ByteForms& forms, const std::u16string& text,
                                  const ByteFormsExpected& expected, std::vector<int> capacities) {
    const std::string bytes = Utf16leBytes(text);
    const int length = static_cast<int>(bytes.size());
    // Exactly as long as the text, so a read past it is caught as well.
    GuardedBuffer input(bytes.size());
    if (!bytes.empty()) std::memcpy(input.Data(), bytes.data(), bytes.size());
    const std::u16string& sizedExpected = expected.sized;
    const std::u16string& unsizedExpected = expected.unsized;
    const int sizedNeeded = static_cast<int>(2 * sizedExpected.size() + 1);
    const int unsizedNeeded = static_cast<int>(2 * unsizedExpected.size() + 1);
    if (capacities.empty()) {
        for (int c = 0; c <= sizedNeeded + 2; ++c) capacities.push_back(c);
    }
    const std::string need = " (the need is " + std::to_string(sizedNeeded) + ")";

    const int query = forms.sized(input.Data(), length, nullptr, 0);
    if (query != -sizedNeeded) {
        return "the size query gave " + std::to_string(query) + need;
    }
    for (int capacity : capacities) {
        GuardedBuffer out(static_cast<std::size_t>(capacity));
        const int got = forms.sized(input.Data(), length, out.Data(), capacity);
        const std::string at = " at capacity " + std::to_string(capacity) + need;
        if (!out.GuardIntact()) return "the sized form wrote past the capacity" + at;
        if (!input.GuardIntact()) return "the sized form wrote past the input" + at;
        if (capacity < sizedNeeded) {
            if (got != -sizedNeeded) return "the sized form gave " + std::to_string(got) + at;
            continue;
        }
        if (got != sizedNeeded) return "the sized form gave " + std::to_string(got) + at;
        if (UnitsOf(out.Data(), sizedExpected.size()) != sizedExpected) {
            return "the sized form's result differs from the oracle's" + at;
        }
        if (out.Data()[sizedNeeded - 1] != 0) return "no terminator" + at;
        for (int i = sizedNeeded; i < capacity; ++i) {
            if (out.Data()[i] != GuardedBuffer::kFill) {
                return "the sized form wrote byte " + std::to_string(i) +
                       ", after the terminator," + at;
            }
        }
    }
    GuardedBuffer exact(static_cast<std::size_t>(unsizedNeeded));
    const int got = forms.unsized(input.Data(), length, exact.Data());
    const std::string at = " (2n + 1 = " + std::to_string(unsizedNeeded) + ")";
    if (!exact.GuardIntact()) return "the four-argument form wrote past the result" + at;
    if (got != unsizedNeeded) return "the four-argument form gave " + std::to_string(got) + at;
    if (UnitsOf(exact.Data(), unsizedExpected.size()) != unsizedExpected) {
        return "the four-argument form's result differs from the oracle's" + at;
    }
    if (exact.Data()[unsizedNeeded - 1] != 0) return "no terminator" + at;
    return "";
}

}  // namespace kavex::testing

#endif  // KAVEX_TESTS_SUPPORT_BYTEFORMSORACLE_H
