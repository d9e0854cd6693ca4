#include "engine/RuleMatcher.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace kavex {

namespace {

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
      stateInfo(other.stateInfo),
      pairStates(other.pairStates),
      lowestStart(other.lowestStart) {
    if (other.unitTables) {
        unitTables.reset(static_cast<UnitTables*>(std::malloc(sizeof(UnitTables))));
        if (!unitTables) throw std::bad_alloc();
        std::memcpy(unitTables.get(), other.unitTables.get(), sizeof(UnitTables));
    }
    const std::size_t count = other.transitions.size();
    if (count == 0) return;
    // One zeroed chunk for all rows; only rows with a transition hold anything but zeros,
    // so the rows of final states are never written and cost no memory.
    const std::size_t rowUnits = std::max<std::size_t>(alphabetSize, 1);
    transitions.reserve(count);
    rowChunks.reserve(1);
    uint16_t* chunk = static_cast<uint16_t*>(std::calloc(count, rowUnits * sizeof(uint16_t)));
    if (chunk == nullptr) throw std::bad_alloc();
    rowChunks.push_back(chunk);
    for (std::size_t s = 0; s < count; ++s) {
        uint16_t* row = chunk + s * rowUnits;
        if (s >= other.stateInfo.size() || other.stateInfo[s] >= kInnerState) {
            std::copy(other.transitions[s], other.transitions[s] + alphabetSize, row);
        }
        transitions.push_back(row);
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
    unitTables.swap(other.unitTables);
    stateInfo.swap(other.stateInfo);
    pairStates.swap(other.pairStates);
    std::swap(lowestStart, other.lowestStart);
    rowChunks.swap(other.rowChunks);
    std::swap(nextRow, other.nextRow);
    std::swap(rowsLeft, other.rowsLeft);
    std::swap(nextChunkRows, other.nextChunkRows);
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
    const std::size_t rowUnits = std::max<std::size_t>(alphabetSize, 1);
    if (rowsLeft == 0) {
        // Rows come zeroed from chunks that double up to kMaxChunkBytes: a few rules cost
        // a small chunk, and pages of rows never written (those of final states, most of
        // a large trie) are never touched.
        const std::size_t largest = std::max<std::size_t>(1, kMaxChunkBytes / (rowUnits * 2));
        const std::size_t rows = std::min(nextChunkRows, largest);
        if (rowChunks.size() == rowChunks.capacity()) rowChunks.reserve(2 * rowChunks.size() + 4);
        uint16_t* chunk = static_cast<uint16_t*>(std::calloc(rows, rowUnits * sizeof(uint16_t)));
        if (chunk == nullptr) return false;
        rowChunks.push_back(chunk);
        nextRow = chunk;
        rowsLeft = rows;
        nextChunkRows = std::min(2 * rows, largest);
    }
    uint16_t* row = nextRow;
    nextRow += rowUnits;
    --rowsLeft;
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
    // Bit s: state s has a transition.
    std::vector<uint64_t> inner;
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
            inner.assign(kMaxStates / 64, 0);
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
                inner[state >> 6] |= uint64_t{1} << (state & 63);
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
            unitTables.reset(static_cast<UnitTables*>(std::calloc(1, sizeof(UnitTables))));
            if (!unitTables) throw std::bad_alloc();
            UnitTables& tables = *unitTables;
            stateInfo.resize(transitions.size());
            for (std::size_t s = 0; s < transitions.size(); ++s) {
                stateInfo[s] =
                    ruleAtState[s] | static_cast<uint32_t>(((inner[s >> 6] >> (s & 63)) & 1) << 16);
            }
            lowestStart = 0xFFFF;
            // Rows of the pair table number the units that start a source of two units or
            // more, its columns the units that stand second in one; row and column 0 are
            // for the other units.
            std::vector<char16_t> pairStarts;
            uint16_t pairColumnCount = 1;
            for (const std::u16string& source : sources) {
                if (source.empty()) continue;
                for (std::size_t k = 1; k < source.size(); ++k) {
                    tables.laterColumns[source[k]] =
                        static_cast<uint16_t>(columns.Lookup(source[k]) + 1);
                }
                const char16_t unit = source[0];
                tables.startUnits[unit >> 6] |= uint64_t{1} << (unit & 63);
                lowestStart = std::min(lowestStart, unit);
                tables.keyUnits[source.size() == 1 ? unit : source[1]] = 1;
                if (source.size() == 1) {
                    // The state of the unit holds the later of identical sources.
                    tables.oneUnitRules[unit] = static_cast<uint16_t>(
                        ruleAtState[transitions[0][columns.Lookup(unit)]] + 1);
                    continue;
                }
                // Offsets hold row numbers until the width is known.
                if (tables.pairOffsets[unit] == 0) {
                    pairStarts.push_back(unit);
                    tables.pairOffsets[unit] = static_cast<uint32_t>(pairStarts.size());
                }
                if (tables.pairColumns[source[1]] == 0) {
                    tables.pairColumns[source[1]] = pairColumnCount++;
                }
            }
            // At most one row per state of the first level and one column per unit of the
            // alphabet, so the table is never larger than the rows of the first level.
            const std::size_t width = pairColumnCount;
            pairStates.assign((pairStarts.size() + 1) * width, 0);
            for (const std::u16string& source : sources) {
                if (source.size() < 2) continue;
                const uint16_t first = transitions[0][columns.Lookup(source[0])];
                const uint16_t second = transitions[first][columns.Lookup(source[1])];
                pairStates[tables.pairOffsets[source[0]] * width + tables.pairColumns[source[1]]] =
                    second;
            }
            for (char16_t unit : pairStarts) {
                tables.pairOffsets[unit] *= static_cast<uint32_t>(width);
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

void RuleMatcher::Clear() {
    for (uint16_t* chunk : rowChunks) std::free(chunk);
    // Swapping with empty lists gives their memory back, not just their elements.
    std::vector<uint16_t*>().swap(rowChunks);
    nextRow = nullptr;
    rowsLeft = 0;
    nextChunkRows = kFirstChunkRows;
    std::vector<uint16_t*>().swap(transitions);
    std::vector<uint16_t>().swap(ruleAtState);
    alphabetSize = 0;
    columns.Reset();
    built = false;
    unitTables.reset();
    std::vector<uint32_t>().swap(stateInfo);
    std::vector<uint16_t>().swap(pairStates);
    lowestStart = 0xFFFF;
}

std::size_t RuleMatcher::MemoryBytes() const {
    return transitions.size() * alphabetSize * sizeof(uint16_t) +
           transitions.capacity() * sizeof(uint16_t*) + ruleAtState.capacity() * sizeof(uint16_t) +
           columns.MemoryBytes() + (unitTables ? sizeof(UnitTables) : 0) +
           stateInfo.capacity() * sizeof(uint32_t) + pairStates.capacity() * sizeof(uint16_t);
}

}  // namespace kavex
