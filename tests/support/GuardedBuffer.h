// A heap buffer of exactly `capacity` usable bytes followed by guard bytes, all filled with
// kFill. Under the address sanitizer the guard is poisoned, so a write past the capacity
// stops the run at the write itself; elsewhere the guard is checked afterwards.
#ifndef KAVEX_TESTS_SUPPORT_GUARDEDBUFFER_H
#define KAVEX_TESTS_SUPPORT_GUARDEDBUFFER_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/Platform.h"

#if KAVEX_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace kavex::testing {

class GuardedBuffer {
  public:
    static constexpr std::size_t kGuard = 32;
    static constexpr uint8_t kFill = 0xA5;

    explicit GuardedBuffer(std::size_t capacity)
        : capacity_(capacity), bytes_(new unsigned char[capacity + kGuard]) {
        for (std::size_t i = 0; i < capacity + kGuard; ++i) bytes_[i] = kFill;
#if KAVEX_ASAN
        ASAN_POISON_MEMORY_REGION(bytes_.get() + capacity_, kGuard);
#endif
    }
    ~GuardedBuffer() {
#if KAVEX_ASAN
        ASAN_UNPOISON_MEMORY_REGION(bytes_.get() + capacity_, kGuard);
#endif
    }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    unsigned char* Data() { return bytes_.get(); }
    std::size_t Capacity() const { return capacity_; }

    bool GuardIntact() {
#if KAVEX_ASAN
        ASAN_UNPOISON_MEMORY_REGION(bytes_.get() + capacity_, kGuard);
#endif
        bool intact = true;
        for (std::size_t i = capacity_; i < capacity_ + kGuard; ++i) intact &= bytes_[i] == kFill;
#if KAVEX_ASAN
        ASAN_POISON_MEMORY_REGION(bytes_.get() + capacity_, kGuard);
#endif
        return intact;
    }
    // Neither the buffer nor its guard written.
    bool Untouched() {
        for (std::size_t i = 0; i < capacity_; ++i) {
            if (bytes_[i] != kFill) return false;
        }
        return GuardIntact();
    }

  private:
    std::size_t capacity_;
    std::unique_ptr<unsigned char[]> bytes_;
};

}  // namespace kavex::testing

#endif  // KAVEX_TESTS_SUPPORT_GUARDEDBUFFER_H
