// Sparse map from a 16-bit code unit to a 16-bit value: 256 pages of 256 entries, each
// page allocated on first use, so rules confined to a few blocks cost a few 512-byte pages.
#ifndef KAVEX_ENGINE_CODEUNITTABLE_H
#define KAVEX_ENGINE_CODEUNITTABLE_H

#include <cstddef>
#include <cstdint>

namespace kavex {

// Marks an absent table entry, rule index or 16-bit value.
constexpr uint16_t kAbsent = 0xFFFF;

class CodeUnitTable {
  public:
    CodeUnitTable();
    ~CodeUnitTable();
    // Deep copies; a copy that runs out of memory throws std::bad_alloc and leaks nothing.
    CodeUnitTable(const CodeUnitTable& other);
    CodeUnitTable& operator=(const CodeUnitTable& other);
    void Swap(CodeUnitTable& other) noexcept;

    // kAbsent when nothing was inserted for the unit.
    uint16_t Lookup(uint16_t unit) const {
        const uint16_t* page = pages[unit >> 8];
        return page == nullptr ? kAbsent : page[unit & 0xFF];
    }
    // Stores the low 16 bits of Count() as the unit's value and counts it. Does not test
    // whether the unit is present. False, with nothing changed, when its page cannot be
    // allocated.
    bool Insert(uint16_t unit);
    int32_t Count() const { return count; }
    void Reset();
    // Bytes held by the allocated pages.
    std::size_t MemoryBytes() const;

  private:
    int32_t count;
    uint16_t* pages[256];
};

}  // namespace kavex

#endif  // KAVEX_ENGINE_CODEUNITTABLE_H
