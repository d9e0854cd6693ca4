#include "engine/CodeUnitTable.h"

#include <algorithm>
#include <new>

namespace kavex {

namespace {
constexpr std::size_t kPageCount = 256;
constexpr std::size_t kPageSize = 256;
}  // namespace

CodeUnitTable::CodeUnitTable() : count(0) { std::fill(pages, pages + kPageCount, nullptr); }

CodeUnitTable::~CodeUnitTable() { Reset(); }

CodeUnitTable::CodeUnitTable(const CodeUnitTable& other) : count(other.count) {
    std::fill(pages, pages + kPageCount, nullptr);
    try {
        for (std::size_t k = 0; k < kPageCount; ++k) {
            if (other.pages[k] == nullptr) continue;
            pages[k] = new uint16_t[kPageSize];
            std::copy(other.pages[k], other.pages[k] + kPageSize, pages[k]);
        }
    } catch (...) {
        // The destructor does not run for a constructor that throws.
        Reset();
        throw;
    }
}

CodeUnitTable& CodeUnitTable::operator=(const CodeUnitTable& other) {
    if (this != &other) {
        CodeUnitTable copy(other);
        Swap(copy);
    }
    return *this;
}

void CodeUnitTable::Swap(CodeUnitTable& other) noexcept {
    std::swap(count, other.count);
    for (std::size_t k = 0; k < kPageCount; ++k) std::swap(pages[k], other.pages[k]);
}

bool CodeUnitTable::Insert(uint16_t unit) {
    uint16_t*& page = pages[unit >> 8];
    if (page == nullptr) {
        page = new (std::nothrow) uint16_t[kPageSize];
        if (page == nullptr) return false;
        std::fill(page, page + kPageSize, kAbsent);
    }
    page[unit & 0xFF] = static_cast<uint16_t>(count);
    ++count;
    return true;
}

void CodeUnitTable::Reset() {
    for (std::size_t k = 0; k < kPageCount; ++k) {
        delete[] pages[k];
        pages[k] = nullptr;
    }
    count = 0;
}

std::size_t CodeUnitTable::MemoryBytes() const {
    std::size_t present = 0;
    for (std::size_t k = 0; k < kPageCount; ++k) present += pages[k] != nullptr ? 1 : 0;
    return present * kPageSize * sizeof(uint16_t);
}

}  // namespace kavex
