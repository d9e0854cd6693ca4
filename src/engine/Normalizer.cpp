#include "engine/Normalizer.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "engine/BitScan.h"
#include "engine/UnitMask.h"
#include "errors/KavexException.h"
#include "io/FileReader.h"

namespace kavex {

namespace {
constexpr char16_t kHeh = 0x06BE;
constexpr std::size_t kHehBlock = 64;

// Replacements of up to this many units are copied as one block of this size where the
// sink has room to spare, from packed replacements followed by at least as many units.
constexpr std::size_t kPaddedUnits = 4;

// Copies below this many units are done in line: most gaps between matches are short.
constexpr std::size_t kShortCopy = 8;
// Units that start nothing passed over one at a time between one-unit matches; longer runs
// are left to the matcher's block test.
constexpr std::size_t kShortGap = 4;

std::u16string WideFromBytes(const unsigned char* bytes, std::size_t units) {
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

void WideToBytes(const char16_t* units, std::size_t count, unsigned char* out) {
    if (kLittleEndianHost) {
        if (count > 0) std::memcpy(out, units, 2 * count);
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        out[2 * i] = static_cast<unsigned char>(units[i] & 0xFF);
        out[2 * i + 1] = static_cast<unsigned char>(units[i] >> 8);
    }
}

// What one pass over a text tells: the OR of its units (a text whose units OR to less
// than every source's first unit has no match) and whether U+06BE occurs.
struct TextSummary {
    char16_t bits;
    bool heh;
};

// Without a branch per unit, so the compiler vectorizes it: a fraction of a copy.
TextSummary Summarize(const ByteUnits& text, std::size_t units) {
    char16_t bits = 0;
    unsigned heh = 0;
    for (std::size_t i = 0; i < units; ++i) {
        const char16_t unit = text[i];
        bits = static_cast<char16_t>(bits | unit);
        heh |= unit == kHeh;
    }
    return TextSummary{bits, heh != 0};
}

// Copies `bytes` bytes between buffers that do not overlap. The gaps between matches are
// mostly short: they go as a few fixed-size blocks, the last overlapping the one before,
// without a call; long ones go to memcpy.
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

// Sinks of the rewrite: Copy takes units of the text, Put a replacement. False when the
// units do not fit, with nothing written.

// A UTF-16 string grown geometrically.
class WideSink {
  public:
    explicit WideSink(std::size_t expected) : buffer(expected, u'\0'), size(0) {}
    bool Copy(const WideUnits& text, std::size_t from, std::size_t count) {
        return Put(text.units + from, count);
    }
    bool Copy(const ByteUnits& text, std::size_t from, std::size_t count) {
        char16_t* out = Room(count);
        for (std::size_t k = 0; k < count; ++k) out[k] = text[from + k];
        size += count;
        return true;
    }
    bool Put(const char16_t* units, std::size_t count) {
        char16_t* out = Room(count);
        if (count < kShortCopy) {
            for (std::size_t k = 0; k < count; ++k) out[k] = units[k];
        } else {
            std::memcpy(out, units, count * sizeof(char16_t));
        }
        size += count;
        return true;
    }
    std::size_t Size() const { return size; }
    const char16_t* Data() const { return buffer.data(); }
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

// UTF-16LE bytes in the caller's buffer.
class ByteSink {
  public:
    // `slackUnits` more units may be written past the capacity as scratch: only a buffer of
    // our own has any; the caller's gets no byte past the result.
    ByteSink(unsigned char* out, std::size_t capacityUnits, std::size_t slackUnits = 0)
        : out(out), capacity(capacityUnits), slack(slackUnits), size(0) {}
    bool Copy(const ByteUnits& text, std::size_t from, std::size_t count) {
        if (count > capacity - size) return false;
        CopyBytes(out + 2 * size, text.bytes + 2 * from, 2 * count);
        size += count;
        return true;
    }
    bool Copy(const WideUnits& text, std::size_t from, std::size_t count) {
        return Put(text.units + from, count);
    }
    bool Put(const char16_t* units, std::size_t count) {
        if (count > capacity - size) return false;
        unsigned char* to = out + 2 * size;
        if (count < kShortCopy) {
            // Most replacements are a few units: no call for them.
            for (std::size_t k = 0; k < count; ++k) {
                to[2 * k] = static_cast<unsigned char>(units[k] & 0xFF);
                to[2 * k + 1] = static_cast<unsigned char>(units[k] >> 8);
            }
        } else {
            WideToBytes(units, count, to);
        }
        size += count;
        return true;
    }
    // Put, for units followed by at least kPaddedUnits - 1 more that may be read: a short
    // replacement goes as one fixed-size copy into the slack, without a loop whose length
    // changes from one replacement to the next.
    bool PutPadded(const char16_t* units, std::size_t count) {
        if (kLittleEndianHost && count <= kPaddedUnits && slack >= kPaddedUnits &&
            count <= capacity - size) {
            std::memcpy(out + 2 * size, units, 2 * kPaddedUnits);
            size += count;
            return true;
        }
        return Put(units, count);
    }
    std::size_t Size() const { return size; }
    // Counts units already in the buffer.
    void Skip(std::size_t count) { size += count; }

  private:
    unsigned char* out;
    std::size_t capacity;
    std::size_t slack;
    std::size_t size;
};

// UTF-16LE bytes in a buffer of its own, grown geometrically: the result of a text whose
// result may not fit the caller's buffer, which is left untouched then.
class SideSink {
  public:
    explicit SideSink(std::size_t expectedUnits)
        : buffer(new unsigned char[2 * (expectedUnits + 1 + kPaddedUnits)]),
          capacity(expectedUnits + 1),
          sink(buffer.get(), capacity, kPaddedUnits) {}
    template <typename Units>
    bool Copy(const Units& text, std::size_t from, std::size_t count) {
        return Room(count) && sink.Copy(text, from, count);
    }
    bool Put(const char16_t* units, std::size_t count) {
        return Room(count) && sink.Put(units, count);
    }
    bool PutPadded(const char16_t* units, std::size_t count) {
        return Room(count) && sink.PutPadded(units, count);
    }
    std::size_t Size() const { return sink.Size(); }
    const unsigned char* Data() const { return buffer.get(); }

  private:
    std::unique_ptr<unsigned char[]> buffer;
    std::size_t capacity;
    ByteSink sink;

    bool Room(std::size_t count) {
        const std::size_t size = sink.Size();
        if (capacity - size >= count) return true;
        const std::size_t grown = std::max(2 * capacity, size + count);
        std::unique_ptr<unsigned char[]> larger(new unsigned char[2 * (grown + kPaddedUnits)]);
        std::memcpy(larger.get(), buffer.get(), 2 * size);
        buffer.swap(larger);
        capacity = grown;
        sink = ByteSink(buffer.get(), capacity, kPaddedUnits);
        sink.Skip(size);
        return true;
    }
};

// The rules as a rewrite reads them: straight from the rule list, or from the packed copy
// the byte paths keep, whose replacements lie in one buffer with room to read past them.
struct LiveRules {
    static constexpr bool kPadded = false;
    const NormalizationRule* list;
    std::size_t count;
    std::size_t Count() const { return count; }
    const char16_t* Replacement(uint16_t rule) const { return list[rule].replacement.data(); }
    std::size_t ReplacementSize(uint16_t rule) const { return list[rule].replacement.size(); }
    std::size_t SourceSize(uint16_t rule) const { return list[rule].source.size(); }
};

struct PackedRules {
    static constexpr bool kPadded = true;
    const RuleSpan* spans;
    const char16_t* units;
    std::size_t count;
    std::size_t Count() const { return count; }
    const char16_t* Replacement(uint16_t rule) const { return units + spans[rule].offset; }
    std::size_t ReplacementSize(uint16_t rule) const { return spans[rule].length; }
    std::size_t SourceSize(uint16_t rule) const { return spans[rule].sourceLength; }
};

// Only the length of the result.
class CountSink {
  public:
    template <typename Units>
    bool Copy(const Units&, std::size_t, std::size_t count) {
        size += count;
        return true;
    }
    bool Put(const char16_t*, std::size_t count) {
        size += count;
        return true;
    }
    bool PutPadded(const char16_t* units, std::size_t count) { return Put(units, count); }
    std::size_t Size() const { return size; }

  private:
    std::size_t size = 0;
};
constexpr char16_t kColon = 0x003A;
constexpr char16_t kCarriageReturn = 0x000D;
}  // namespace

Normalizer::Normalizer() = default;

Normalizer::~Normalizer() { Clear(); }

Normalizer::Normalizer(const Normalizer& other)
    : RuleMatcher(other),
      rules(other.rules),
      lastReadError(other.lastReadError),
      expansion(other.expansion),
      spans(other.spans),
      packedUnits(other.packedUnits) {}

Normalizer& Normalizer::operator=(const Normalizer& other) {
    if (this != &other) {
        Normalizer copy(other);
        Swap(copy);
        rules.swap(copy.rules);
        std::swap(expansion, copy.expansion);
        spans.swap(copy.spans);
        packedUnits.swap(copy.packedUnits);
        lastReadError.swap(copy.lastReadError);
    }
    return *this;
}

void Normalizer::Clear() {
    if (IsLoaded()) RuleMatcher::Clear();
    std::vector<NormalizationRule>().swap(rules);
    expansion = 0;
    std::vector<RuleSpan>().swap(spans);
    std::vector<char16_t>().swap(packedUnits);
}

bool Normalizer::Build(std::vector<std::u16string> sources) {
    expansion = 0;
    std::vector<RuleSpan>().swap(spans);
    std::vector<char16_t>().swap(packedUnits);
    return RuleMatcher::Build(std::move(sources));
}

void Normalizer::DeriveBytePaths() {
    expansion = 0;
    std::vector<RuleSpan>().swap(spans);
    std::vector<char16_t>().swap(packedUnits);
    std::size_t most = 1;
    std::size_t total = kPaddedUnits;
    for (const NormalizationRule& rule : rules) {
        total += rule.replacement.size();
        const std::size_t source = rule.source.size();
        if (source == 0) continue;
        most = std::max(most, (rule.replacement.size() + source - 1) / source);
    }
    // Offsets and lengths are 32-bit; beyond them the byte paths stay off.
    if (total > UINT32_MAX) return;
    std::vector<RuleSpan> packedSpans;
    std::vector<char16_t> units;
    packedSpans.reserve(rules.size());
    units.reserve(total);
    for (const NormalizationRule& rule : rules) {
        packedSpans.push_back(RuleSpan{
            static_cast<uint32_t>(units.size()), static_cast<uint32_t>(rule.replacement.size()),
            static_cast<uint32_t>(std::min<std::size_t>(rule.source.size(), UINT32_MAX))});
        units.insert(units.end(), rule.replacement.begin(), rule.replacement.end());
    }
    units.resize(total, u'\0');
    spans.swap(packedSpans);
    packedUnits.swap(units);
    expansion = most;
}

bool Normalizer::LoadRules(std::string path) {
    if (IsLoaded()) return true;
    // Leftovers of a failed attempt would precede the file's rules and win every tie.
    std::vector<NormalizationRule>().swap(rules);
    if (!ReadRulesFile(path.c_str())) return false;
    expansion = 0;
    std::vector<RuleSpan>().swap(spans);
    std::vector<char16_t>().swap(packedUnits);
    // The matcher reads the sources where they are: a copy of them all would cost as much
    // memory again as the rules while it is built.
    const auto sourceOfRule = [](const void* list, std::size_t index) -> const std::u16string& {
        return (*static_cast<const std::vector<NormalizationRule>*>(list))[index].source;
    };
    if (!BuildFrom(&rules, rules.size(), sourceOfRule)) return false;
    try {
        DeriveBytePaths();
    } catch (const std::bad_alloc&) {
        // The byte paths stay off; Normalize works as ever.
        expansion = 0;
    }
    return true;
}

bool Normalizer::ReadRulesFile(const char* path) {
    FileReader reader;
    try {
        reader.Open(path, FileMode::Unicode);
        // Each rule takes at least two units (CR and the unit after it) after the mark:
        // room for as many as the file can hold and the line left open at its end, up to
        // the most a matcher takes, so the list never moves while it fills. Room never
        // filled is never touched.
        const int size = reader.GetFileSize();
        if (size > 2 && rules.empty()) {
            try {
                rules.reserve(std::min<std::size_t>((static_cast<std::size_t>(size) - 2) / 4 + 1,
                                                    kMaxRules + 1));
            } catch (const std::bad_alloc&) {
                // Then the list grows as it fills.
            }
        }
        // Units go straight into the rule of their line, appended when the line starts:
        // into its source until a colon, into its replacement after it. Another colon makes
        // the text since the colon before the source; a line without a colon takes the
        // source of the line before. The rule of a line that no CR ends is taken back.
        bool open = false;
        bool colonInLine = false;
        bool appended = false;
        std::u16string* text = nullptr;
        char16_t unit[1] = {0};
        try {
            for (;;) {
                reader.ReadUnits(unit, 1);
                if (reader.IsEof()) break;
                if (!open) {
                    rules.emplace_back();
                    open = true;
                    colonInLine = false;
                    text = &rules.back().source;
                }
                if (unit[0] == kColon) {
                    NormalizationRule& rule = rules.back();
                    if (colonInLine) {
                        rule.source.swap(rule.replacement);
                        rule.replacement.clear();
                    }
                    colonInLine = true;
                    text = &rule.replacement;
                } else if (unit[0] == kCarriageReturn) {
                    // The unit after CR is dropped whatever it is; a CR at the very end
                    // makes this read raise "End of file encountered.".
                    reader.ReadUnits(unit, 1);
                    if (!colonInLine) {
                        NormalizationRule& rule = rules.back();
                        rule.replacement.swap(rule.source);
                        if (appended) rule.source = rules[rules.size() - 2].source;
                    }
                    appended = true;
                    open = false;
                } else {
                    text->push_back(unit[0]);
                }
            }
        } catch (...) {
            if (open) rules.pop_back();
            throw;
        }
        if (open) rules.pop_back();
    } catch (IOException& error) {
        error.SetFile("Normalizer");
        error.SetLine(__LINE__);
        error.SetMessage(error.GetMessage() +
                         " File reading problem occurred in Normalization Rules file.");
        lastReadError = error.GetFullMessage();
        return false;
    }
    lastReadError.clear();
    return true;
}

std::u16string Normalizer::Normalize(std::u16string text) const {
    std::u16string reordered = ReorderHeh(std::move(text));
    ApplyRules(reordered);
    return reordered;
}

namespace {
// The marks a U+06BE is moved in front of.
constexpr char16_t kMarks[] = {0x0610, 0x0611, 0x0612, 0x0613, 0x0614, 0x0615,
                               0x064B, 0x064E, 0x064F, 0x0650, 0x0651, 0x0652,
                               0x0653, 0x0654, 0x0656, 0x0657, 0x0658, 0x0670};
constexpr char16_t kFirstMark = 0x0610;

// Bit k: unit from + k is a mark.
constexpr uint64_t MarkBits(unsigned from) {
    uint64_t bits = 0;
    for (char16_t mark : kMarks) {
        if (mark >= from && mark < from + 64) bits |= uint64_t{1} << (mark - from);
    }
    return bits;
}
}  // namespace

bool Normalizer::IsMark(char16_t unit) {
    // One range test and a shift instead of a comparison per range of marks.
    constexpr uint64_t kLow = MarkBits(kFirstMark);
    constexpr uint64_t kHigh = MarkBits(kFirstMark + 64);
    const unsigned offset = static_cast<unsigned>(unit) - kFirstMark;
    if (offset >= 128) return false;
    return (((offset < 64 ? kLow : kHigh) >> (offset & 63)) & 1) != 0;
}

std::u16string Normalizer::ReorderHeh(std::u16string text) const {
    if (!text.empty()) ReorderHehInPlace(&text[0], text.size());
    return text;
}

void Normalizer::ReorderHehInPlace(char16_t* units, std::size_t n) {
    // From one U+06BE to the next: most texts hold none, and the units between two of them
    // are never touched. A move rewrites only its run of marks and the U+06BE itself, all
    // at or before the U+06BE, so every unit after it is still the input's.
    // The input unit before the current U+06BE is a U+06BE too, even when a move has put
    // a mark in its place; -1 (wrapped) before the first one.
    std::size_t previousHeh = static_cast<std::size_t>(-1);
    // Bit k of `found`: unit base + k is U+06BE, found for the whole block before any move;
    // a move changes no unit after its U+06BE, so the bits of the rest stay true.
    for (std::size_t base = 0; base < n; base += kHehBlock) {
        const std::size_t count = std::min(kHehBlock, n - base);
        for (uint64_t found = EqualMask(units + base, count, kHeh); found != 0;
             found &= found - 1) {
            const std::size_t i = base + LowestSetBit(found);
            // The run of marks ends at the preceding unit and starts after the last unit
            // that is not a mark; an earlier U+06BE bounds it, moved or not.
            // Each mark moves up one place as the run is found: runs are a unit or two,
            // too short for a call to move them.
            std::size_t runStart = i;
            while (runStart > previousHeh + 1 && IsMark(units[runStart - 1])) {
                units[runStart] = units[runStart - 1];
                --runStart;
            }
            units[runStart] = kHeh;
            previousHeh = i;
        }
    }
}

void Normalizer::ApplyRules(std::u16string& text) const {
    // Every search starts at or after the end of the previous match, in input the rewrite
    // has not touched, so the input is searched as it is and the result appended to a
    // second buffer; an in-place replace would move the whole tail on every match.
    const WideUnits units{text.data()};
    const std::size_t n = text.size();
    Scanner<WideUnits> scanner(*this, units, n);
    const RuleMatch first = scanner.Next(0);
    if (first.position < 0 || first.rule >= rules.size()) return;
    WideSink sink(n + n / 8 + 16);
    Rewrite(units, n, first, scanner, LiveRules{rules.data(), rules.size()}, sink);
    text = sink.Take();
}

template <typename Units, typename Rules, typename Sink>
bool Normalizer::Rewrite(const Units& text, std::size_t length, RuleMatch match,
                         Scanner<Units> scanner, const Rules& list, Sink& sink) const {
    const std::size_t ruleCount = list.Count();
    const auto put = [&sink](const char16_t* units, std::size_t count) {
        if constexpr (Rules::kPadded) {
            return sink.PutPadded(units, count);
        } else {
            return sink.Put(units, count);
        }
    };
    std::size_t copied = 0;
    while (match.position >= 0 && match.rule < ruleCount) {
        const std::size_t position = static_cast<std::size_t>(match.position);
        if (!sink.Copy(text, copied, position - copied) ||
            !put(list.Replacement(match.rule), list.ReplacementSize(match.rule))) {
            return false;
        }
        copied = position + list.SourceSize(match.rule);
        // A match that ends the text leaves nothing to search.
        if (copied >= length) return true;
        // Units that are one-unit matches, and the few units that start nothing between
        // them (a space between two words), are taken here without a search.
        std::size_t p = copied;
        for (;;) {
            const uint16_t next = scanner.OneUnitMatch(p);
            if (next < ruleCount) {
                if (!sink.Copy(text, copied, p - copied) ||
                    !put(list.Replacement(next), list.ReplacementSize(next))) {
                    return false;
                }
                copied = p + 1;
            } else if (scanner.StartsSource(p) || p - copied >= kShortGap) {
                break;
            }
            if (++p >= length) return copied >= length || sink.Copy(text, copied, length - copied);
        }
        match = scanner.Next(p);
    }
    return copied >= length || sink.Copy(text, copied, length - copied);
}

std::size_t Normalizer::NormalizeBytes(const unsigned char* input, std::size_t units,
                                       unsigned char* output, std::size_t capacityUnits) const {
    if (output == nullptr) capacityUnits = 0;
    if (expansion == 0) {
        const std::u16string result = Normalize(WideFromBytes(input, units));
        if (output != nullptr && result.size() <= capacityUnits) {
            WideToBytes(result.data(), result.size(), output);
        }
        return result.size();
    }
    const ByteUnits bytes{input};
    const TextSummary summary = Summarize(bytes, units);
    if (summary.heh) {
        // A copy to reorder, not filled first: every unit is written by the copy.
        const std::unique_ptr<char16_t[]> text(new char16_t[units]);
        if (kLittleEndianHost) {
            std::memcpy(text.get(), input, 2 * units);
        } else {
            for (std::size_t i = 0; i < units; ++i) text[i] = bytes[i];
        }
        ReorderHehInPlace(text.get(), units);
        return RewriteBytes(WideUnits{text.get()}, units, output, capacityUnits);
    }
    if (summary.bits < LowestStart()) {
        // Nothing starts a match: the text is its own result.
        if (units > 0 && units <= capacityUnits) std::memcpy(output, input, 2 * units);
        return units;
    }
    return RewriteBytes(bytes, units, output, capacityUnits);
}

template <typename Units>
std::size_t Normalizer::RewriteBytes(const Units& text, std::size_t length, unsigned char* output,
                                     std::size_t capacityUnits) const {
    Scanner<Units> scanner(*this, text, length);
    const RuleMatch first = scanner.Next(0);
    const PackedRules packed{spans.data(), packedUnits.data(), spans.size()};
    if (first.position < 0 || first.rule >= packed.Count()) {
        if (length <= capacityUnits) {
            ByteSink sink(output, capacityUnits);
            sink.Copy(text, 0, length);
        }
        return length;
    }
    // Straight into the output when no rule can make the result outgrow it; else built
    // aside and copied when it fits, so a result that does not fit writes nothing. A query
    // for the size (no room at all) only counts.
    if (capacityUnits / expansion >= length) {
        ByteSink sink(output, capacityUnits);
        if (Rewrite(text, length, first, scanner, packed, sink)) return sink.Size();
        // Only rules that outgrow `expansion` get here, which LoadRules rules out.
    } else if (output != nullptr) {
        // A caller that asked for the size first gives exactly the room of the result.
        const std::size_t expected =
            std::max(length + length / 8 + 16, std::min(capacityUnits, length * expansion));
        SideSink sink(expected);
        Rewrite(text, length, first, scanner, packed, sink);
        if (sink.Size() <= capacityUnits && sink.Size() > 0) {
            std::memcpy(output, sink.Data(), 2 * sink.Size());
        }
        return sink.Size();
    }
    CountSink count;
    Rewrite(text, length, first, scanner, packed, count);
    if (count.Size() <= capacityUnits) {
        ByteSink sink(output, capacityUnits);
        Rewrite(text, length, first, scanner, packed, sink);
    }
    return count.Size();
}

}  // namespace kavex
