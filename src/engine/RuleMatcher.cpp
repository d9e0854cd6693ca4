#include "engine/RuleMatcher.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace kavex {

namespace {

// Granule of what the system maps on first write.
constexpr std::size_t kPageBytes = 4096;

// Bytes of the pages of `block` that hold something other than zeros.
std::size_t WrittenBytes(const void* block, std::size_t size) {
    static const unsigned char zeros[kPageBytes] = {};
    const unsigned char* bytes = static_cast<const unsigned char*>(block);
    std::size_t written = 0;
    for (std::size_t offset = 0; offset < size; offset += kPageBytes) {
        const std::size_t length = std::min(kPageBytes, size - offset);
        if (std::memcmp(bytes + offset, zeros, length) != 0) written += length;
    }
    return written;
}

const std::u16string& SourceOfList(const void* list, std::size_t index) {
    return (*static_cast<const std::vector<std::u16string>*>(list))[index];
}

}  // namespace

RuleMatcher::RuleMatcher() : alphabetSize(0), built(false), lowestStart(0xFFFF) {}

RuleMatcher::~RuleMatcher() { Clear(); }

RuleMatcher::RuleMatcher(const RuleMatcher& other)
    : alphabetSize(other.alphabetSize),
      rowStart(other.rowStart),
      cells(other.cells),
      writtenCells(cells.size()),
      ruleAtState(other.ruleAtState),
      columns(other.columns),
      built(other.built),
      stateInfo(other.stateInfo),
      pairStates(other.pairStates),
      lowestStart(other.lowestStart) {
    if (other.unitTables) {
        // Only the pages written in the original are written in the copy.
        unitTables.reset(static_cast<UnitTables*>(std::calloc(1, sizeof(UnitTables))));
        if (!unitTables) throw std::bad_alloc();
        const unsigned char* from = reinterpret_cast<const unsigned char*>(other.unitTables.get());
        unsigned char* to = reinterpret_cast<unsigned char*>(unitTables.get());
        for (std::size_t offset = 0; offset < sizeof(UnitTables); offset += kPageBytes) {
            const std::size_t length = std::min(kPageBytes, sizeof(UnitTables) - offset);
            if (WrittenBytes(from + offset, length) != 0) {
                std::memcpy(to + offset, from + offset, length);
            }
        }
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
    rowStart.swap(other.rowStart);
    cells.swap(other.cells);
    std::swap(writtenCells, other.writtenCells);
    ruleAtState.swap(other.ruleAtState);
    columns.Swap(other.columns);
    std::swap(built, other.built);
    unitTables.swap(other.unitTables);
    stateInfo.swap(other.stateInfo);
    pairStates.swap(other.pairStates);
    std::swap(lowestStart, other.lowestStart);
}

bool RuleMatcher::Build(std::vector<std::u16string> sources) {
    return BuildFrom(&sources, sources.size(), SourceOfList);
}

bool RuleMatcher::BuildFrom(const void* list, std::size_t count, SourceAt sourceAt) {
    Clear();
    // Beyond the limits an index, a state number or a column would wrap into a valid or
    // absent value; refuse instead. Partial work is freed at once rather than kept.
    bool ok = count <= kMaxRules;
    try {
        BuildLists lists;
        if (ok) ok = BuildTrie(list, count, sourceAt, lists);
        if (ok) {
            DeriveUnitTables(lists);
            PackRows();
        }
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    if (!ok) {
        Clear();
        return false;
    }
    built = true;
    return true;
}

// The trie as lists of children, in the arrays the packed rows will use: while building,
// rowStart[s] holds the last child of s made so far (low half) and the sibling made before
// s (high half), stateInfo[s] the column that leads to s, and `cells` is a hash table from
// a state and a column to the child, each slot (parent << 16 | child). No row is
// allocated, so the memory touched grows with the states, not with states times alphabet,
// and finding a child takes the same time however many siblings it has. Columns are handed
// out in the same pass, in the same order of first appearance as a pass of their own
// would; the limits come out the same, since a trie too wide for kMaxTableBytes at any
// state is too wide at the last.
bool RuleMatcher::BuildTrie(const void* list, std::size_t count, SourceAt sourceAt,
                            BuildLists& lists) {
    std::size_t units = 0;
    for (std::size_t i = 0; i < count; ++i) units += sourceAt(list, i).size();
    // Every unit of a source makes at most one state: room for all of them at once.
    const std::size_t most = std::min(kMaxStates, units + 1);
    ruleAtState.reserve(most);
    rowStart.reserve(most);
    stateInfo.reserve(most);
    // At most two thirds full. The packed rows take about as many cells, and take them
    // over once the table is done with.
    const std::size_t slots = std::max<std::size_t>(16, most + most / 2);
    cells.assign(slots, 0);
    writtenCells = slots;
    auto slotOf = [slots](std::size_t state, uint16_t column) {
        const uint32_t key = static_cast<uint32_t>(state << 16 | column) * 0x9E3779B1u;
        return static_cast<std::size_t>((uint64_t{key} * slots) >> 32);
    };
    std::vector<uint16_t>& rootRow = lists.rootRow;
    std::vector<char16_t>& unitOfColumn = lists.unitOfColumn;

    auto addState = [this](uint16_t parent, uint16_t column) {
        const std::size_t state = ruleAtState.size();
        if (state >= kMaxStates) return false;
        if ((state + 1) * alphabetSize * sizeof(uint16_t) > kMaxTableBytes) return false;
        ruleAtState.push_back(kAbsent);
        rowStart.push_back(0);
        stateInfo.push_back(column);
        if (state != 0) {
            rowStart[state] = (rowStart[parent] & 0xFFFF) << 16;
            rowStart[parent] = (rowStart[parent] & 0xFFFF0000u) | static_cast<uint32_t>(state);
        }
        return true;
    };
    if (!addState(0, 0)) return false;
    for (std::size_t i = 0; i < count; ++i) {
        uint16_t state = 0;
        for (char16_t unit : sourceAt(list, i)) {
            uint16_t column = columns.Lookup(unit);
            if (column == kAbsent) {
                if (static_cast<std::size_t>(columns.Count()) >= kMaxAlphabet ||
                    !columns.Insert(unit)) {
                    return false;
                }
                column = alphabetSize++;
                rootRow.push_back(0);
                unitOfColumn.push_back(unit);
            }
            uint16_t next = 0;
            std::size_t slot = 0;
            if (state == 0) {
                next = rootRow[column];
            } else {
                for (slot = slotOf(state, column); cells[slot] != 0;
                     slot = slot + 1 < slots ? slot + 1 : 0) {
                    const uint32_t entry = cells[slot];
                    if (entry >> 16 == state && stateInfo[entry & 0xFFFF] == column) {
                        next = static_cast<uint16_t>(entry);
                        break;
                    }
                }
            }
            if (next == 0) {
                if (!addState(state, column)) return false;
                next = static_cast<uint16_t>(ruleAtState.size() - 1);
                if (state == 0) {
                    rootRow[column] = next;
                } else {
                    cells[slot] = static_cast<uint32_t>(state) << 16 | next;
                }
            }
            state = next;
        }
        // Overwrites: of identical sources the later one keeps the state.
        ruleAtState[state] = static_cast<uint16_t>(i);
    }
    return ruleAtState.size() * alphabetSize * sizeof(uint16_t) <= kMaxTableBytes;
}

// Places each row where its transitions fall on free cells and turns the lists of
// children into rows. States come in order of number, so a state's children (numbered
// after it) still hold their list links when it is placed, and its own links were read
// when its parent was.
void RuleMatcher::PackRows() {
    const std::size_t states = ruleAtState.size();
    const std::size_t width = alphabetSize;
    // The hash table's room is reused: a row of the root, a cell per other state and an
    // alphabet past the last row is about what rows that fit into each other's gaps need.
    cells.assign(width + 1, 0);
    std::size_t firstFree = 1;  // cell 0 is in no row: columns count from 1 in cells
    std::size_t usedEnd = 1;    // past the last cell in use
    std::vector<uint32_t> children;
    for (std::size_t state = 0; state < states; ++state) {
        const uint32_t first = rowStart[state] & 0xFFFF;
        stateInfo[state] = ruleAtState[state] | (first != 0 ? kInnerState : 0);
        rowStart[state] = 0;
        if (first == 0) continue;
        children.clear();
        std::size_t lowest = width + 1;
        for (uint32_t child = first; child != 0; child = rowStart[child] >> 16) {
            children.push_back(child);
            lowest = std::min<std::size_t>(lowest, stateInfo[child] + 1);
        }
        auto fits = [&](std::size_t start) {
            for (uint32_t child : children) {
                const std::size_t cell = start + stateInfo[child] + 1;
                if (cell < cells.size() && cells[cell] != 0) return false;
            }
            return true;
        };
        // The lowest transition on the first free cell, or else every one past the cells in
        // use: one try keeps the packing linear, and real rule sets lose few cells by it.
        std::size_t start = firstFree > lowest ? firstFree - lowest : 0;
        if (!fits(start)) start = usedEnd > lowest ? usedEnd - lowest : 0;
        if (cells.size() < start + width + 1) cells.resize(start + width + 1, 0);
        for (uint32_t child : children) {
            const std::size_t cell = start + stateInfo[child] + 1;
            cells[cell] = static_cast<uint32_t>(state) << 16 | child;
            usedEnd = std::max(usedEnd, cell + 1);
        }
        rowStart[state] = static_cast<uint32_t>(start);
        while (firstFree < cells.size() && cells[firstFree] != 0) ++firstFree;
    }
    writtenCells = std::max(writtenCells, cells.size());
}

// The per-unit tables, from the first two levels of the trie while it is still lists:
// the units of the root's children start sources, those of its grandchildren stand second.
void RuleMatcher::DeriveUnitTables(const BuildLists& lists) {
    unitTables.reset(static_cast<UnitTables*>(std::calloc(1, sizeof(UnitTables))));
    if (!unitTables) throw std::bad_alloc();
    UnitTables& tables = *unitTables;
    const std::vector<uint16_t>& rootRow = lists.rootRow;
    const std::vector<char16_t>& unitOfColumn = lists.unitOfColumn;
    auto unitOf = [&](uint32_t state) { return unitOfColumn[stateInfo[state]]; };
    auto childrenOf = [&](uint32_t state, auto visit) {
        for (uint32_t child = rowStart[state] & 0xFFFF; child != 0; child = rowStart[child] >> 16) {
            visit(child);
        }
    };
    // Every unit that leads to a state below the first level.
    for (std::size_t state = 1; state < ruleAtState.size(); ++state) {
        const uint16_t column = static_cast<uint16_t>(stateInfo[state]);
        if (rootRow[column] != state) {
            tables.laterColumns[unitOfColumn[column]] = static_cast<uint16_t>(column + 1);
        }
    }
    lowestStart = 0xFFFF;
    // Rows of the pair table number the units that start a source of two units or more,
    // its columns the units that stand second in one; row and column 0 are for the other
    // units.
    uint32_t pairRows = 0;
    uint16_t pairColumnCount = 1;
    for (uint16_t first : rootRow) {
        if (first == 0) continue;
        const char16_t unit = unitOf(first);
        tables.startUnits[unit >> 6] |= uint64_t{1} << (unit & 63);
        lowestStart = std::min(lowestStart, unit);
        if (ruleAtState[first] != kAbsent) {
            // A one-unit source; its state holds the later of identical ones.
            tables.keyUnits[unit] |= kKeyOneUnit;
            tables.oneUnitRules[unit] = static_cast<uint16_t>(ruleAtState[first] + 1);
        }
        if ((rowStart[first] & 0xFFFF) == 0) continue;
        // Offsets hold row numbers until the width is known.
        tables.pairOffsets[unit] = ++pairRows;
        tables.keyUnits[unit] |= kKeyStartsLonger;
        childrenOf(first, [&](uint32_t second) {
            const char16_t next = unitOf(second);
            tables.keyUnits[next] |= kKeySecond;
            if (tables.pairColumns[next] == 0) tables.pairColumns[next] = pairColumnCount++;
        });
    }
    // At most one row per state of the first level and one column per unit of the
    // alphabet, so the table is never larger than the rows of the first level.
    const std::size_t width = pairColumnCount;
    pairStates.assign((pairRows + 1) * width, 0);
    for (uint16_t first : rootRow) {
        if (first == 0 || (rowStart[first] & 0xFFFF) == 0) continue;
        const char16_t unit = unitOf(first);
        childrenOf(first, [&](uint32_t second) {
            pairStates[tables.pairOffsets[unit] * width + tables.pairColumns[unitOf(second)]] =
                static_cast<uint16_t>(second);
        });
        tables.pairOffsets[unit] *= static_cast<uint32_t>(width);
    }
}

void RuleMatcher::Clear() {
    // Swapping with empty lists gives their memory back, not just their elements.
    std::vector<uint32_t>().swap(rowStart);
    std::vector<uint32_t>().swap(cells);
    writtenCells = 0;
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
    // Sizes, not capacities: room reserved and never filled is never mapped either.
    return rowStart.size() * sizeof(uint32_t) + writtenCells * sizeof(uint32_t) +
           ruleAtState.size() * sizeof(uint16_t) + stateInfo.size() * sizeof(uint32_t) +
           pairStates.size() * sizeof(uint16_t) + columns.MemoryBytes() +
           (unitTables ? WrittenBytes(unitTables.get(), sizeof(UnitTables)) : 0);
}

}  // namespace kavex
