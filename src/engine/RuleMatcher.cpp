#include "engine/RuleMatcher.h"

#include <algorithm>
#include <limits>
#include <new>
#include <utility>

namespace kavex {

namespace {
constexpr std::size_t kStartWords = 65536 / 64;
// Units tested together, one bit each in a mask, before Search walks from any of them.
constexpr std::size_t kBlockUnits = 32;
constexpr std::size_t kFirstBlockUnits = 8;

unsigned LowestSetBit(uint64_t mask) {
#if defined(__GNUC__) || defined(__clang__)
    return static_cast<unsigned>(__builtin_ctzll(mask));
#else
    unsigned bit = 0;
    for (; (mask & 1) == 0; mask >>= 1) ++bit;
    return bit;
#endif
}

// Room for one more state, doubling, never past the last state number.
std::size_t GrownCapacity(std::size_t size) {
    return std::min(kMaxStates, std::max<std::size_t>(16, size * 2));
}
}  // namespace

RuleMatcher::RuleMatcher() : alphabetSize(0), built(false), lowestStart(0xFFFF) {}

RuleMatcher::~RuleMatcher() { Clear(); }

RuleMatcher::RuleMatcher(const RuleMatcher& other)
    : alphabetSize(other.alphabetSize),
      ruleAtState(other.ruleAtState),
      columns(other.columns),
      built(other.built),
      startUnits(other.startUnits),
      innerStates(other.innerStates),
      lowestStart(other.lowestStart) {
    try {
        transitions.reserve(other.transitions.size());
        for (const uint16_t* row : other.transitions) {
            uint16_t* copy = new uint16_t[alphabetSize];
            std::copy(row, row + alphabetSize, copy);
            transitions.push_back(copy);  // cannot throw after the reserve
        }
    } catch (...) {
        // The destructor does not run for a constructor that throws.
        for (uint16_t* row : transitions) delete[] row;
        throw;
    }
}

RuleMatcher& RuleMatcher::operator=(const RuleMatcher& other) {
    if (this != &other) {
        RuleMatcher copy(other);
        Swap(copy);
    }
    return *this;
}

void RuleMatcher::Swap(RuleMatcher& other) noexcept {
    std::swap(alphabetSize, other.alphabetSize);
    transitions.swap(other.transitions);
    ruleAtState.swap(other.ruleAtState);
    columns.Swap(other.columns);
    std::swap(built, other.built);
    startUnits.swap(other.startUnits);
    innerStates.swap(other.innerStates);
    std::swap(lowestStart, other.lowestStart);
}

bool RuleMatcher::AddState() {
    if (transitions.size() >= kMaxStates) return false;
    if ((transitions.size() + 1) * alphabetSize * sizeof(uint16_t) > kMaxTableBytes) return false;
    // Make room first so that the appends below cannot throw and orphan the row; grow
    // geometrically, since reserve allocates exactly what it is asked for.
    if (transitions.size() == transitions.capacity()) {
        transitions.reserve(GrownCapacity(transitions.size()));
    }
    if (ruleAtState.size() == ruleAtState.capacity()) {
        ruleAtState.reserve(GrownCapacity(ruleAtState.size()));
    }
    uint16_t* row = new (std::nothrow) uint16_t[alphabetSize];
    if (row == nullptr) return false;
    std::fill(row, row + alphabetSize, uint16_t{0});
    transitions.push_back(row);
    ruleAtState.push_back(kAbsent);
    return true;
}

bool RuleMatcher::Build(std::vector<std::u16string> sources) {
    Clear();
    // Beyond the limits an index, a state number or a column would wrap into a valid or
    // absent value; refuse instead. Partial work is freed at once rather than kept.
    if (sources.size() > kMaxRules) return false;
    bool ok = true;
    try {
        for (const std::u16string& source : sources) {
            for (char16_t unit : source) {
                if (columns.Lookup(unit) != kAbsent) continue;
                if (static_cast<std::size_t>(columns.Count()) >= kMaxAlphabet ||
                    !columns.Insert(unit)) {
                    ok = false;
                    break;
                }
            }
            if (!ok) break;
        }
        if (ok) {
            alphabetSize = static_cast<uint16_t>(columns.Count());
            innerStates.assign(kMaxStates / 64, 0);
            ok = AddState();
        }
        for (std::size_t i = 0; ok && i < sources.size(); ++i) {
            uint16_t state = 0;
            for (char16_t unit : sources[i]) {
                const uint16_t col = columns.Lookup(unit);
                if (col == kAbsent) {
                    ok = false;
                    break;
                }
                uint16_t next = transitions[state][col];
                if (next == 0) {
                    if (!AddState()) {
                        ok = false;
                        break;
                    }
                    next = static_cast<uint16_t>(transitions.size() - 1);
                    transitions[state][col] = next;
                }
                innerStates[state >> 6] |= uint64_t{1} << (state & 63);
                state = next;
            }
            // Overwrites: of identical sources the later one keeps the state.
            if (ok) ruleAtState[state] = static_cast<uint16_t>(i);
        }
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    if (ok) {
        try {
            startUnits.assign(kStartWords, 0);
            lowestStart = 0xFFFF;
            for (const std::u16string& source : sources) {
                if (source.empty()) continue;
                const char16_t unit = source[0];
                startUnits[unit >> 6] |= uint64_t{1} << (unit & 63);
                lowestStart = std::min(lowestStart, unit);
            }
        } catch (const std::bad_alloc&) {
            ok = false;
        }
    }
    if (!ok) {
        Clear();
        return false;
    }
    built = true;
    return true;
}

RuleMatch RuleMatcher::Search(const char16_t* text, std::size_t length, int32_t start) const {
    RuleMatch result{-1, kAbsent};
    if (!built || start < 0) return result;
    // A position must fit the signed 32-bit result.
    const std::size_t last =
        std::min(length, static_cast<std::size_t>(std::numeric_limits<int32_t>::max()));
    const uint16_t* const* rows = transitions.data();
    const uint16_t* rulesAt = ruleAtState.data();
    const uint16_t* root = rows[0];
    const uint64_t* starts = startUnits.data();
    const uint64_t* inner = innerStates.data();
    const auto startsSource = [starts](char16_t unit) -> uint64_t {
        return (starts[unit >> 6] >> (unit & 63)) & 1;
    };
    std::size_t p = static_cast<std::size_t>(start);
    std::size_t blockUnits = kFirstBlockUnits;
    while (p < last) {
        // Bit k of `candidates`: unit base + k starts some source. A unit that starts one
        // is walked from at once (dense texts and consecutive matches); otherwise a whole
        // block is tested without a branch per unit, first by its units' bits alone, which
        // passes over text below every source (ASCII in Arabic rules) at vector speed.
        const std::size_t base = p;
        uint64_t candidates;
        if (startsSource(text[p]) != 0) {
            candidates = 1;
            p += 1;
        } else {
            // The first block of a call is short: after a match the next starter is often
            // only a unit or two away, as after the space between two words.
            const std::size_t count = std::min(blockUnits, last - p);
            blockUnits = kBlockUnits;
            char16_t bits = 0;
            for (std::size_t k = 0; k < count; ++k) bits |= text[p + k];
            candidates = 0;
            if (bits >= lowestStart) {
                for (std::size_t k = 0; k < count; ++k) {
                    candidates |= startsSource(text[p + k]) << k;
                }
            }
            p += count;
        }
        for (; candidates != 0; candidates &= candidates - 1) {
            const std::size_t from = base + LowestSetBit(candidates);
            // Walk the whole path: a longer source may still have a smaller rule index.
            uint16_t state = root[columns.Lookup(text[from])];
            uint16_t best = kAbsent;
            for (std::size_t q = from;;) {
                best = std::min(best, rulesAt[state]);
                // A state without transitions ends the walk before its row is read: the
                // rows are large and mostly out of cache.
                if (((inner[state >> 6] >> (state & 63)) & 1) == 0 || ++q >= length) break;
                const uint16_t col = columns.Lookup(text[q]);
                if (col == kAbsent) break;
                state = rows[state][col];
                if (state == 0) break;
            }
            if (best != kAbsent) {
                result.position = static_cast<int32_t>(from);
                result.rule = best;
                return result;
            }
        }
    }
    return result;
}

void RuleMatcher::Clear() {
    for (uint16_t* row : transitions) delete[] row;
    // Swapping with empty lists gives their memory back, not just their elements.
    std::vector<uint16_t*>().swap(transitions);
    std::vector<uint16_t>().swap(ruleAtState);
    alphabetSize = 0;
    columns.Reset();
    built = false;
    std::vector<uint64_t>().swap(startUnits);
    std::vector<uint64_t>().swap(innerStates);
    lowestStart = 0xFFFF;
}

std::size_t RuleMatcher::MemoryBytes() const {
    return transitions.size() * alphabetSize * sizeof(uint16_t) +
           transitions.capacity() * sizeof(uint16_t*) + ruleAtState.capacity() * sizeof(uint16_t) +
           columns.MemoryBytes();
}

}  // namespace kavex
