// The program's operator new and delete, for the tools that load rules. Loading builds a few
// tables of megabytes (the rule list, the matcher's rows, the byte-path tables) and touches
// each page of them once. In a virtual machine a fresh 4 KiB page costs a fault of several
// microseconds, so a short run spent most of its time mapping pages. On Linux, blocks of
// kMinBlock bytes or more are mapped on their own, aligned to 2 MiB and advised for
// transparent huge pages: one fault maps 2 MiB. Everything else comes from malloc.
//
// Blocks from 256 KiB: each rounds up to 2 MiB of address space, and resident memory with it
// once touched, which a run that loads one form can afford.
//
// Built into the executables only: the library itself allocates through the standard
// allocator and calls no operating-system service; a host that wants this does it here.
// Left out of sanitizer builds, which bring their own operator new.
#include <cstddef>
#include <cstdlib>
#include <new>

#include "engine/Platform.h"

#if defined(__linux__) && !KAVEX_ASAN && !KAVEX_TSAN

#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kMinBlock = std::size_t{256} << 10;
constexpr std::size_t kMaxBlocks = 64;

struct MappedBlock {
    void* start;
    std::size_t length;
};

// The live mapped blocks. A few at a time (the tables of at most three forms); when all
// slots are taken, further blocks come from malloc.
std::mutex blocksLock;
MappedBlock blocks[kMaxBlocks];
std::atomic<std::size_t> liveBlocks{0};

void* MapBlock(std::size_t bytes) {
    if (bytes > SIZE_MAX - 2 * kHugePage) return nullptr;
    const std::size_t length = (bytes + kHugePage - 1) & ~(kHugePage - 1);
    const std::size_t mapped = length + kHugePage;
    void* raw = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    // Keep the 2 MiB-aligned part: a huge page can only back an aligned 2 MiB.
    const auto rawStart = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t start = (rawStart + kHugePage - 1) & ~(kHugePage - 1);
    if (start > rawStart) munmap(raw, start - rawStart);
    const std::uintptr_t end = start + length;
    if (rawStart + mapped > end) munmap(reinterpret_cast<void*>(end), rawStart + mapped - end);
    void* block = reinterpret_cast<void*>(start);
    madvise(block, length, MADV_HUGEPAGE);  // only advice: small pages work as well

    std::lock_guard<std::mutex> hold(blocksLock);
    for (MappedBlock& slot : blocks) {
        if (slot.start == nullptr) {
            slot = {block, length};
            liveBlocks.fetch_add(1, std::memory_order_release);
            return block;
        }
    }
    munmap(block, length);
    return nullptr;
}

// True when `pointer` was a mapped block, now unmapped.
bool UnmapBlock(void* pointer) {
    // malloc never returns a 2 MiB-aligned pointer from a mapping of its own, and rarely
    // from its heap: most frees return here without taking the lock.
    if (liveBlocks.load(std::memory_order_acquire) == 0 ||
        (reinterpret_cast<std::uintptr_t>(pointer) & (kHugePage - 1)) != 0) {
        return false;
    }
    std::lock_guard<std::mutex> hold(blocksLock);
    for (MappedBlock& slot : blocks) {
        if (slot.start == pointer) {
            munmap(slot.start, slot.length);
            slot = {nullptr, 0};
            liveBlocks.fetch_sub(1, std::memory_order_release);
            return true;
        }
    }
    return false;
}

void* Allocate(std::size_t bytes) {
    if (bytes >= kMinBlock) {
        if (void* block = MapBlock(bytes)) return block;
    }
    for (;;) {
        if (void* block = std::malloc(bytes == 0 ? 1 : bytes)) return block;
        std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) throw std::bad_alloc();
        handler();
    }
}

void Free(void* pointer) noexcept {
    if (pointer == nullptr || UnmapBlock(pointer)) return;
    std::free(pointer);
}

}  // namespace

// The array, nothrow and sized forms of the standard library call these two.
void* operator new(std::size_t bytes) { return Allocate(bytes); }
void operator delete(void* pointer) noexcept { Free(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { Free(pointer); }

#endif
