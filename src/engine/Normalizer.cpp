#include "engine/Normalizer.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "engine/BitScan.h"
#include "engine/Marks.h"
#include "engine/UnitMask.h"
#include "errors/KavexException.h"
#include "io/FileReader.h"

namespace kavex {

namespace {

// Copies below this many units are done in line: most gaps between matches are short.
constexpr std::size_t kShortCopy = 8;
// Units that start nothing passed over one at a time between one-unit matches; longer runs
// are left to the matcher's block test.
constexpr std::size_t kShortGap = 4;
// The same where the step table is at hand: a lookup per unit, cheaper than the matcher's
// where matches are dense (a gap of a unit or two before the last), dearer where they are
// rare, as in text with a mark or a decomposed letter every few dozen units.
constexpr std::size_t kDenseGap = 2;
constexpr std::size_t kStepGapDense = 16;
constexpr std::size_t kStepGapSparse = 2;

// Entries of the step table: a unit that starts no source is 0 (most of the table, never
// written); one whose only source is itself holds where its replacement lies in the packed
// units (above bit 5) and its length (bits 2-4); the others, the matcher decides.
constexpr uint32_t kStartsNothing = 0;
constexpr uint32_t kOneUnitOnly = 1;
constexpr uint32_t kStartsLonger = 2;
constexpr uint32_t kMatcherDecides = 3;
constexpr uint32_t kStepKind = 3;
constexpr uint32_t kStepLengthShift = 2;
constexpr uint32_t kStepMaxLength = 7;
// A unit that starts a longer source (kStartsLonger) matches only its one-unit source, if
// any, where the next unit stands second in no source: that replacement is held as for
// kOneUnitOnly, or kStepOwn when there is none. kMatcherDecides: one that does not fit.
constexpr uint32_t kStepOwn = 1u << 5;
constexpr uint32_t kStepSecond = 1u << 6;
constexpr uint32_t kStepOffsetShift = 7;
// Dense passes: kDenseUnits units at a time without a branch per unit, each writing a fixed
// kDenseStore units of which the next unit's overwrite all but its length, so packed
// replacements end at least that far before the end of their buffer. A pass with fewer
// one-unit matches than kDenseFew leaves the rest to the sparse path.
constexpr std::size_t kDenseUnits = 16;
constexpr std::size_t kDenseFew = 8;
constexpr std::size_t kDenseStore = 8;

// Whether the unit with `step`, followed by one with `nextStep`, is left to the matcher.
inline bool MatcherDecides(uint32_t step, uint32_t nextStep) {
    const uint32_t kind = step & kStepKind;
    return ((kind >> 1) & ((kind & 1) | ((nextStep & kStepSecond) != 0))) != 0;
}

// 1 when the unit's replacement is itself.
inline uint32_t OwnUnit(uint32_t step) {
    return ((step & kStepKind) == kStartsNothing) | ((step & kStepOwn) != 0);
}

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

// Whether U+06BE occurs; without a branch per unit, so the compiler vectorizes it, but one
// per piece: text that holds U+06BE (Urdu) mostly holds one early on.
bool ContainsHeh(const ByteUnits& text, std::size_t units) {
    constexpr std::size_t kPiece = 1024;
    for (std::size_t from = 0; from < units; from += kPiece) {
        const std::size_t to = std::min(units, from + kPiece);
        unsigned heh = 0;
        for (std::size_t i = from; i < to; ++i) heh |= text[i] == kHeh;
        if (heh != 0) return true;
    }
    return false;
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

// Sinks of the rewrite: Copy takes units of the text, Put a replacement, and both count
// what they are given in Size.

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
    template <typename Units>
    std::size_t Dense(const Units&, std::size_t p, std::size_t, const uint32_t*, const char16_t*) {
        return p;
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
        : start(out), at(out), roomBytes(2 * capacityUnits) {}
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
    // Units from `p` on that are their own one-unit source or start nothing, a pass of
    // kDenseUnits at a time while the last pass held enough one-unit matches, there is room
    // for a pass's largest result and it ends at or before `limit`; returns where it
    // stopped: at a unit the matcher decides or after the last pass. Each unit writes a
    // fixed kDenseStore units, of which the next unit's overwrite all but its length: into a
    // buffer of the pass, copied out as long as it is, since no byte past the result may
    // be written.
    template <typename Units>
    std::size_t Dense(const Units& text, std::size_t p, std::size_t limit, const uint32_t* steps,
                      const char16_t* packed) {
        if (!kLittleEndianHost) return p;
        constexpr std::size_t most = kDenseUnits * kStepMaxLength + kDenseStore;
        unsigned char pass[2 * most];
        // The next unit is read too: a pass needs one beyond it.
        while (limit - p > kDenseUnits && roomBytes >= 2 * most) {
            unsigned char* to = pass;
            uint32_t ones = 0;
            std::size_t k = 0;
            char16_t unit = text[p];
            uint32_t step = steps[unit];
            for (; k < kDenseUnits; ++k) {
                const char16_t next = text[p + k + 1];
                const uint32_t nextStep = steps[next];
                if (MatcherDecides(step, nextStep)) break;
                ones += (step & kStepKind) != kStartsNothing;
                // A unit that starts nothing is its own replacement, a unit long.
                const uint32_t isOwn = OwnUnit(step);
                const uint64_t own = uint64_t{0} - uint64_t{isOwn};
                const char16_t* source = packed + (step >> kStepOffsetShift);
                uint64_t low;
                uint64_t high;
                std::memcpy(&low, source, 8);
                std::memcpy(&high, source + 4, 8);
                low = (low & ~own) | (unit & own);
                std::memcpy(to, &low, 8);
                std::memcpy(to + 8, &high, 8);
                to += 2 * (((step >> kStepLengthShift) & kStepMaxLength) + isOwn);
                unit = next;
                step = nextStep;
            }
            const std::size_t bytes = static_cast<std::size_t>(to - pass);
            CopyBytes(at, pass, bytes);
            at += bytes;
            roomBytes -= bytes;
            p += k;
            if (k < kDenseUnits || ones < kDenseFew) break;
        }
        return p;
    }
    std::size_t Size() const { return static_cast<std::size_t>(at - start) / 2 + overflow; }

  private:
    // Written so far: [start, at); what did not fit is only counted.
    unsigned char* start;
    unsigned char* at;
    std::size_t roomBytes;
    std::size_t overflow = 0;

    void Advance(std::size_t count) {
        at += 2 * count;
        roomBytes -= 2 * count;
    }
    void Overflow(std::size_t count) {
        roomBytes = 0;
        overflow += count;
    }
};

// The rules as a rewrite reads them: straight from the rule list, or from the packed copy
// the byte paths keep, whose replacements lie in one buffer.
struct LiveRules {
    const NormalizationRule* list;
    std::size_t count;
    std::size_t Count() const { return count; }
    const char16_t* Replacement(uint16_t rule) const { return list[rule].replacement.data(); }
    std::size_t ReplacementSize(uint16_t rule) const { return list[rule].replacement.size(); }
    std::size_t SourceSize(uint16_t rule) const { return list[rule].source.size(); }
    // No step table goes with the live list.
    const char16_t* Units() const { return nullptr; }
};

struct PackedRules {
    const RuleSpan* spans;
    const char16_t* units;
    std::size_t count;
    std::size_t Count() const { return count; }
    const char16_t* Replacement(uint16_t rule) const { return units + spans[rule].offset; }
    std::size_t ReplacementSize(uint16_t rule) const { return spans[rule].length; }
    std::size_t SourceSize(uint16_t rule) const { return spans[rule].sourceLength; }
    const char16_t* Units() const { return units; }
};

// Only the length of the result.
class CountSink {
  public:
    template <typename Units>
    void Copy(const Units&, std::size_t, std::size_t count) {
        size += count;
    }
    void Put(const char16_t*, std::size_t count) { size += count; }
    // As ByteSink's, counting only.
    template <typename Units>
    std::size_t Dense(const Units& text, std::size_t p, std::size_t limit, const uint32_t* steps,
                      const char16_t*) {
        while (limit - p > kDenseUnits) {
            uint32_t ones = 0;
            for (std::size_t k = 0; k < kDenseUnits; ++k) {
                const uint32_t step = steps[text[p]];
                if (MatcherDecides(step, steps[text[p + 1]])) return p;
                ones += (step & kStepKind) != kStartsNothing;
                size += ((step >> kStepLengthShift) & kStepMaxLength) + OwnUnit(step);
                ++p;
            }
            if (ones < kDenseFew) break;
        }
        return p;
    }
    std::size_t Size() const { return size; }

  private:
    std::size_t size = 0;
};
constexpr char16_t kColon = 0x003A;
constexpr char16_t kCarriageReturn = 0x000D;
}  // namespace

namespace {
// Units that text of the scripts and languages kavex serves is mostly made of: letters,
// digits and punctuation of ASCII and of the Arabic block, the joiners. The quick check
// keeps them out of its ranges where it can, so such text passes it without a second look.
bool CommonUnit(char16_t unit) {
    return (unit >= 0x0020 && unit <= 0x007E) || unit == 0x000A || unit == 0x000D ||
           (unit >= 0x0621 && unit <= 0x064A) || (unit >= 0x0660 && unit <= 0x066F) ||
           (unit >= 0x0671 && unit <= 0x06D5) || (unit >= 0x06F0 && unit <= 0x06FF) ||
           (unit >= 0x200C && unit <= 0x200F) || unit == 0x060C || unit == 0x061B || unit == 0x061F;
}

UnitRanges QuickRanges(const std::vector<NormalizationRule>& rules) {
    std::vector<bool> key(65536, false);
    key[kHeh] = true;
    for (const NormalizationRule& rule : rules) {
        if (rule.source.size() == 1) key[rule.source[0]] = true;
        if (rule.source.size() >= 2) key[rule.source[1]] = true;
    }
    struct Range {
        uint32_t first;
        uint32_t last;
    };
    std::vector<Range> ranges;
    for (uint32_t unit = 0; unit < 65536; ++unit) {
        if (!key[unit]) continue;
        if (!ranges.empty() && ranges.back().last + 1 == unit) {
            ranges.back().last = unit;
        } else {
            ranges.push_back(Range{unit, unit});
        }
    }
    // Joins the two neighbours with the cheapest gap between them until few enough are
    // left; a common unit in a gap costs much more than a rare one, since every common
    // unit the ranges take in sends ordinary text to the slower exact test.
    std::vector<uint64_t> gapCost;
    for (std::size_t r = 0; r + 1 < ranges.size(); ++r) {
        uint64_t cost = 0;
        for (uint32_t unit = ranges[r].last + 1; unit < ranges[r + 1].first; ++unit) {
            cost += CommonUnit(static_cast<char16_t>(unit)) ? 4096 : 1;
        }
        gapCost.push_back(cost);
    }
    while (ranges.size() > kMaxUnitRanges) {
        // The gaps on either side of the joined pair keep their costs.
        const auto cheapest = std::min_element(gapCost.begin(), gapCost.end());
        const std::size_t r = static_cast<std::size_t>(cheapest - gapCost.begin());
        ranges[r].last = ranges[r + 1].last;
        ranges.erase(ranges.begin() + static_cast<std::ptrdiff_t>(r + 1));
        gapCost.erase(cheapest);
    }
    UnitRanges quick;
    quick.count = ranges.size();
    for (std::size_t r = 0; r < ranges.size(); ++r) {
        quick.first[r] = static_cast<uint16_t>(ranges[r].first);
        quick.span[r] = static_cast<uint16_t>(ranges[r].last - ranges[r].first);
    }
    return quick;
}
}  // namespace

Normalizer::Normalizer() = default;

Normalizer::~Normalizer() { Clear(); }

Normalizer::Normalizer(const Normalizer& other)
    : RuleMatcher(other),
      rules(other.rules),
      lastReadError(other.lastReadError),
      expansion(other.expansion),
      longestSource(other.longestSource),
      quick(other.quick),
      spans(other.spans),
      packedUnits(other.packedUnits) {
    // Made again rather than copied: a copy of the whole table would map every page of it.
    if (other.stepTable) DeriveSteps();
}

Normalizer& Normalizer::operator=(const Normalizer& other) {
    if (this != &other) {
        Normalizer copy(other);
        Swap(copy);
        rules.swap(copy.rules);
        std::swap(expansion, copy.expansion);
        std::swap(longestSource, copy.longestSource);
        std::swap(quick, copy.quick);
        spans.swap(copy.spans);
        packedUnits.swap(copy.packedUnits);
        stepTable.swap(copy.stepTable);
        lastReadError.swap(copy.lastReadError);
    }
    return *this;
}

void Normalizer::Clear() {
    if (IsLoaded()) RuleMatcher::Clear();
    std::vector<NormalizationRule>().swap(rules);
    expansion = 0;
    stepTable.reset();
    std::vector<RuleSpan>().swap(spans);
    std::vector<char16_t>().swap(packedUnits);
}

bool Normalizer::Build(std::vector<std::u16string> sources) {
    expansion = 0;
    stepTable.reset();
    std::vector<RuleSpan>().swap(spans);
    std::vector<char16_t>().swap(packedUnits);
    return RuleMatcher::Build(std::move(sources));
}

void Normalizer::DeriveBytePaths() {
    expansion = 0;
    stepTable.reset();
    std::vector<RuleSpan>().swap(spans);
    std::vector<char16_t>().swap(packedUnits);
    std::size_t most = 1;
    std::size_t total = 0;
    std::size_t longest = 1;
    for (const NormalizationRule& rule : rules) {
        total += rule.replacement.size();
        const std::size_t source = rule.source.size();
        if (source == 0) continue;
        most = std::max(most, (rule.replacement.size() + source - 1) / source);
        longest = std::max(longest, source);
    }
    // Offsets and lengths are 32-bit; beyond them the byte paths stay off.
    if (total > UINT32_MAX) return;
    std::vector<RuleSpan> packedSpans;
    std::vector<char16_t> units;
    packedSpans.reserve(rules.size());
    // Room for the padding DeriveSteps adds, so that it never moves the units.
    units.reserve(total + kDenseStore);
    for (const NormalizationRule& rule : rules) {
        packedSpans.push_back(RuleSpan{
            static_cast<uint32_t>(units.size()), static_cast<uint32_t>(rule.replacement.size()),
            static_cast<uint32_t>(std::min<std::size_t>(rule.source.size(), UINT32_MAX))});
        units.insert(units.end(), rule.replacement.begin(), rule.replacement.end());
    }
    quick = QuickRanges(rules);
    spans.swap(packedSpans);
    packedUnits.swap(units);
    longestSource = longest;
    expansion = most;
    DeriveSteps();
}

// The step table, from the first unit of each source and what the matcher holds for it:
// only units that start a source are written. Without memory for it the rewrite asks the
// matcher at every unit, as it would anyway.
void Normalizer::DeriveSteps() {
    stepTable.reset();
    // Dense passes read a fixed kDenseStore units of a replacement, the last one's too.
    const std::size_t padded = spans.empty() ? 0 : spans.back().offset + spans.back().length;
    try {
        if (packedUnits.size() < padded + kDenseStore) packedUnits.resize(padded + kDenseStore);
    } catch (const std::bad_alloc&) {
        return;
    }
    stepTable.reset(static_cast<uint32_t*>(std::calloc(65536, sizeof(uint32_t))));
    if (!stepTable) return;
    uint32_t* table = stepTable.get();
    for (const NormalizationRule& rule : rules) {
        if (rule.source.size() >= 2) table[rule.source[1]] |= kStepSecond;
    }
    for (const NormalizationRule& rule : rules) {
        if (rule.source.empty()) continue;
        const char16_t unit = rule.source[0];
        if ((table[unit] & kStepKind) != kStartsNothing) continue;
        const uint32_t second = table[unit] & kStepSecond;
        const uint16_t one = OneUnitRule(unit);
        const uint32_t kind = StartsLongerSource(unit) ? kStartsLonger : kOneUnitOnly;
        table[unit] = second | kMatcherDecides;
        if (one >= spans.size()) {
            if (kind == kStartsLonger) table[unit] = second | kStepOwn | kStartsLonger;
            continue;
        }
        const RuleSpan& span = spans[one];
        if (span.length <= kStepMaxLength &&
            span.offset < (uint32_t{1} << (32 - kStepOffsetShift)) &&
            span.offset + kDenseStore <= packedUnits.size()) {
            table[unit] =
                second | span.offset << kStepOffsetShift | span.length << kStepLengthShift | kind;
        }
    }
}

bool Normalizer::LoadRules(std::string path) {
    if (IsLoaded()) return true;
    // Leftovers of a failed attempt would precede the file's rules and win every tie.
    std::vector<NormalizationRule>().swap(rules);
    if (!ReadRulesFile(path.c_str())) return false;
    expansion = 0;
    stepTable.reset();
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
        stepTable.reset();
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

bool Normalizer::IsMark(char16_t unit) { return IsHehMark(unit); }

namespace {
// The reordered text a window at a time, made from the input as it is: each U+06BE that
// follows a run of marks stands in front of that run, the marks one place up. A window
// needs the input it covers and, where a run of marks crosses one of its edges, whether a
// U+06BE ends that run; the end of the last run looked up is kept, so a run longer than a
// window is walked once, not once per window.
class HehReorder {
  public:
    HehReorder(const ByteUnits& input, std::size_t n) : input(input), n(n) {}

    // Units [from, from + count) of the reordered text into `window`; `from` never goes
    // back from one call to the next.
    void Fill(char16_t* window, std::size_t from, std::size_t count) {
        const std::size_t end = from + count;
        if (kLittleEndianHost) {
            std::memcpy(window, input.bytes + 2 * from, 2 * count);
        } else {
            for (std::size_t k = 0; k < count; ++k) window[k] = input[from + k];
        }
        // A run that starts before the window and ends in a U+06BE inside or after it: the
        // window opens with that run, one place up.
        bool leading = false;
        if (from > 0 && Normalizer::IsMark(input[from - 1])) {
            const std::size_t e = RunEnd(from - 1);
            if (e < n && input[e] == kHeh) {
                leading = true;
                const std::size_t last = std::min(e, end - 1);
                for (std::size_t j = from; j <= last; ++j) window[j - from] = input[j - 1];
            }
        }
        // The U+06BE inside the window (that of a leading run is overwritten by then). A
        // move writes only at or before its U+06BE, so the bits found for a block stay true.
        for (std::size_t base = 0; base < count; base += 64) {
            const std::size_t units = std::min<std::size_t>(64, count - base);
            for (uint64_t found = EqualMask(window + base, units, kHeh); found != 0;
                 found &= found - 1) {
                Move(window, from, from + base + LowestSetBit(found));
            }
        }
        // A run inside the window that goes on past its end to a U+06BE: its U+06BE comes
        // into the window, the run's last mark goes out.
        if (end < n && Normalizer::IsMark(input[end - 1])) {
            const std::size_t e = RunEnd(end - 1);
            if (e < n && input[e] == kHeh) {
                std::size_t r = end - 1;
                while (r > from && Normalizer::IsMark(input[r - 1])) --r;
                if (!(leading && r == from)) {
                    for (std::size_t j = end - 1; j > r; --j) window[j - from] = input[j - 1];
                    window[r - from] = kHeh;
                }
            }
        }
    }

  private:
    ByteUnits input;
    std::size_t n;
    // [runFrom, runEnd) holds marks only, and runEnd is n or no mark.
    std::size_t runFrom = 0;
    std::size_t runEnd = 0;

    // The end of the run of marks that goes on from `p`, a mark.
    std::size_t RunEnd(std::size_t p) {
        if (p >= runFrom && p < runEnd) return runEnd;
        std::size_t e = p;
        while (e < n && Normalizer::IsMark(input[e])) ++e;
        runFrom = p;
        runEnd = e;
        return e;
    }

    // The U+06BE at `heh` in front of the marks before it, inside the window; the run
    // starts inside it, or the U+06BE would have been a leading run's.
    void Move(char16_t* window, std::size_t from, std::size_t heh) const {
        std::size_t r = heh;
        while (r > from && Normalizer::IsMark(input[r - 1])) {
            window[r - from] = input[r - 1];
            --r;
        }
        window[r - from] = kHeh;
    }
};
}  // namespace

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
    for (std::size_t base = 0; base < n; base += 64) {
        const std::size_t count = std::min<std::size_t>(64, n - base);
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
    Rewrite(units, n, n, first, scanner, LiveRules{rules.data(), rules.size()}, sink, nullptr);
    text = sink.Take();
}

template <typename Units, typename Rules, typename Sink>
std::size_t Normalizer::Rewrite(const Units& text, std::size_t length, std::size_t limit,
                                RuleMatch match, Scanner<Units> scanner, const Rules& list,
                                Sink& sink, const uint32_t* stepsByUnit) const {
    const std::size_t ruleCount = list.Count();
    std::size_t copied = 0;
    while (match.position >= 0 && static_cast<std::size_t>(match.position) < limit &&
           match.rule < ruleCount) {
        const std::size_t position = static_cast<std::size_t>(match.position);
        bool dense = position - copied <= kDenseGap;
        sink.Copy(text, copied, position - copied);
        sink.Put(list.Replacement(match.rule), list.ReplacementSize(match.rule));
        copied = position + list.SourceSize(match.rule);
        // A match that ends the text leaves nothing to search.
        if (copied >= length) return copied;
        // Units that are one-unit matches, and the few units that start nothing between
        // them (a space between two words), are taken here without a search.
        std::size_t p = copied;
        if (p >= limit) return copied;
        if (stepsByUnit != nullptr) {
            // One lookup per unit while units are their own one-unit source and no longer
            // source starts with them (presentation forms), with few units that start
            // nothing between them; the units that start a longer source are walked where
            // they stand. Longer gaps go to the block test, which passes them over faster.
            for (;;) {
                const uint32_t step = stepsByUnit[text[p]];
                if ((step & kStepKind) == kOneUnitOnly) {
                    if (p == copied && dense) {
                        // A one-unit match right after a close one: passes without a branch
                        // per unit take what follows while it stays dense. After them the
                        // text is taken as sparse until two matches stand close again.
                        const std::size_t to =
                            sink.Dense(text, p, limit, stepsByUnit, list.Units());
                        if (to != p) {
                            p = copied = to;
                            if (p >= limit) return copied;
                            dense = false;
                            continue;
                        }
                    }
                    dense = p - copied <= kDenseGap;
                    if (p != copied) sink.Copy(text, copied, p - copied);
                    sink.Put(list.Units() + (step >> kStepOffsetShift),
                             (step >> kStepLengthShift) & kStepMaxLength);
                    copied = p + 1;
                    if (copied >= length) return copied;
                    if (++p >= limit) return copied;
                    continue;
                }
                const uint16_t rule =
                    (step & kStepKind) != kStartsNothing ? scanner.MatchAt(p) : kAbsent;
                if (rule < ruleCount) {
                    dense = p - copied <= kDenseGap;
                    if (p != copied) sink.Copy(text, copied, p - copied);
                    sink.Put(list.Replacement(rule), list.ReplacementSize(rule));
                    copied = p + list.SourceSize(rule);
                    if (copied >= length) return copied;
                    p = copied;
                    if (p >= limit) return copied;
                    continue;
                }
                if (p - copied >= (dense ? kStepGapDense : kStepGapSparse)) break;
                if (++p >= limit) {
                    const std::size_t end = std::max(copied, limit);
                    sink.Copy(text, copied, end - copied);
                    return end;
                }
            }
            match = scanner.Next(p);
            continue;
        }
        for (;;) {
            const int32_t step = scanner.StepAt(p);
            if (step >= 0 && static_cast<std::size_t>(step) < ruleCount) {
                const uint16_t next = static_cast<uint16_t>(step);
                if (p != copied) sink.Copy(text, copied, p - copied);
                sink.Put(list.Replacement(next), list.ReplacementSize(next));
                copied = p + 1;
            } else if (step != Scanner<Units>::kNothingStarts || p - copied >= kShortGap) {
                break;
            }
            if (++p >= limit) {
                // Nothing starts in [copied, limit): written as it is.
                const std::size_t end = std::max(copied, limit);
                sink.Copy(text, copied, end - copied);
                return end;
            }
        }
        match = scanner.Next(p);
    }
    const std::size_t end = std::max(copied, limit);
    sink.Copy(text, copied, end - copied);
    return end;
}

namespace {
// Units of text reordered a window at a time: at most this many, unless the longest rule
// source asks for more.
constexpr std::size_t kWindowUnits = 4096;
}  // namespace

template <typename Sink>
void Normalizer::RewriteReordered(const ByteUnits& input, std::size_t n, Sink& sink) const {
    // The rules match the reordered text, which differs from the input only around each
    // U+06BE that follows marks. Windows of it are made in a buffer of fixed size and
    // rewritten in turn; a match must lie wholly inside its window, so a window decides
    // only the positions at least longestSource - 1 units before its end, and the next
    // one starts where the rewrite stopped.
    const std::size_t windowUnits = std::max(kWindowUnits, 4 * longestSource);
    char16_t fixed[kWindowUnits];
    std::unique_ptr<char16_t[]> large;
    char16_t* window = fixed;
    if (windowUnits > kWindowUnits) {
        large.reset(new char16_t[windowUnits]);
        window = large.get();
    }
    const PackedRules packed{spans.data(), packedUnits.data(), spans.size()};
    HehReorder reorder(input, n);
    for (std::size_t from = 0; from < n;) {
        const std::size_t count = std::min(windowUnits, n - from);
        reorder.Fill(window, from, count);
        const bool final = from + count == n;
        const std::size_t limit = final ? count : count - (longestSource - 1);
        const WideUnits units{window};
        Scanner<WideUnits> scanner(*this, units, count);
        const RuleMatch first = scanner.Next(0);
        from += Rewrite(units, count, limit, first, scanner, packed, sink, stepTable.get());
    }
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
    // Units before the first one that can take part in a match (U+06BE included) start
    // nothing: plain text is its own result after one vector pass, copied as it is read
    // where it fits. The rewrite writes the output from its start again.
    const std::size_t firstKey = CopyUntilInRanges(input, units, quick, output, capacityUnits);
    if (firstKey == units) return units;
    if (ContainsHeh(ByteUnits{input + 2 * firstKey}, units - firstKey)) {
        if (capacityUnits == 0) {
            CountSink count;
            RewriteReordered(bytes, units, count);
            return count.Size();
        }
        ByteSink sink(output, capacityUnits);
        RewriteReordered(bytes, units, sink);
        return sink.Size();
    }
    return RewriteBytes(bytes, units, firstKey == 0 ? 0 : firstKey - 1, output, capacityUnits);
}

template <typename Units>
std::size_t Normalizer::RewriteBytes(const Units& text, std::size_t length, std::size_t start,
                                     unsigned char* output, std::size_t capacityUnits) const {
    Scanner<Units> scanner(*this, text, length);
    const RuleMatch first = scanner.Next(start);
    const PackedRules packed{spans.data(), packedUnits.data(), spans.size()};
    if (first.position < 0 || first.rule >= packed.Count()) {
        if (length <= capacityUnits) {
            ByteSink sink(output, capacityUnits);
            sink.Copy(text, 0, length);
        }
        return length;
    }
    // Straight into the output, counting on where it does not fit; a query for the size
    // (no room at all) only counts.
    if (capacityUnits == 0) {
        CountSink count;
        Rewrite(text, length, length, first, scanner, packed, count, StepsFor(length));
        return count.Size();
    }
    ByteSink sink(output, capacityUnits);
    Rewrite(text, length, length, first, scanner, packed, sink, StepsFor(length));
    return sink.Size();
}

}  // namespace kavex
