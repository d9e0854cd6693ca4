// Everything kavex detects about the compiler, the CPU and the build, in one place: byte
// order, the x86 instruction sets the kernels use, sanitizers, and the invariant checks
// (KAVEX_DCHECK). Every other file uses these macros and never tests the compiler's own.
#ifndef KAVEX_ENGINE_PLATFORM_H
#define KAVEX_ENGINE_PLATFORM_H

#include <cstdint>

// Byte order: UTF-16LE bytes are the host's own 16-bit units on little-endian hosts, so
// one load or copy serves where a big-endian host needs two bytes.
#if defined(_WIN32) || (defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__)
#define KAVEX_LITTLE_ENDIAN 1
#else
#define KAVEX_LITTLE_ENDIAN 0
#endif

// SSE2 is there on every x86-64 CPU (and x86 builds that ask for it): used without a test.
#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define KAVEX_SSE2 1
#else
#define KAVEX_SSE2 0
#endif

// Wider instruction sets are chosen at run time, the library being built for the baseline;
// that takes GCC's or Clang's target attribute and CPU test.
#if KAVEX_SSE2 && (defined(__GNUC__) || defined(__clang__)) && \
    (defined(__x86_64__) || defined(__i386__))
#define KAVEX_X86_DISPATCH 1
#else
#define KAVEX_X86_DISPATCH 0
#endif
#define KAVEX_AVX2_DISPATCH KAVEX_X86_DISPATCH

// Sanitizers, for code that must know (guard bytes poisoned only under ASan).
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KAVEX_ASAN 1
#endif
#if __has_feature(thread_sanitizer)
#define KAVEX_TSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) && !defined(KAVEX_ASAN)
#define KAVEX_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__) && !defined(KAVEX_TSAN)
#define KAVEX_TSAN 1
#endif
#ifndef KAVEX_ASAN
#define KAVEX_ASAN 0
#endif
#ifndef KAVEX_TSAN
#define KAVEX_TSAN 0
#endif
// A function that reads whole aligned blocks past the end of a buffer on purpose (never
// past the page its last byte lies in): the address sanitizer must not watch it.
#if defined(__clang__) || defined(__GNUC__)
#define KAVEX_NO_SANITIZE_ADDRESS __attribute__((no_sanitize_address))
#else
#define KAVEX_NO_SANITIZE_ADDRESS
#endif

// The kernels a rewrite calls at every match are written as functions of their own but
// must compile into the rewrite's loop, their state in its registers.
#if defined(__GNUC__) || defined(__clang__)
#define KAVEX_ALWAYS_INLINE inline __attribute__((always_inline))
#elif defined(_MSC_VER)
#define KAVEX_ALWAYS_INLINE __forceinline
#else
#define KAVEX_ALWAYS_INLINE inline
#endif

// Invariant checks: where a fast path relies on a condition (room in a buffer, padding
// past a replacement, a window longer than every source), KAVEX_DCHECK states it. The
// build defines KAVEX_DCHECKS=1 for Debug, sanitizer and fuzz builds; Release builds
// compile the checks out. A broken check names itself on stderr and aborts, so a fuzzer
// keeps the input and a test fails where the invariant broke, not where a wrong byte
// surfaced later.
#ifndef KAVEX_DCHECKS
#define KAVEX_DCHECKS 0
#endif

namespace kavex {

[[noreturn]] void DcheckFailed(const char* condition, const char* file, int line);

constexpr bool kLittleEndianHost = KAVEX_LITTLE_ENDIAN != 0;
constexpr bool kDchecks = KAVEX_DCHECKS != 0;

// The instruction sets a kernel may use, in order: a level allows every one before it.
enum class CpuLevel : uint8_t { kScalar = 0, kSse2 = 1, kAvx2 = 2 };

// The highest level this CPU and build support; detected once.
CpuLevel BestCpuLevel();

// Whether `level` can run here: tests and fuzzers run every such level.
inline bool CpuLevelAvailable(CpuLevel level) { return level <= BestCpuLevel(); }

const char* CpuLevelName(CpuLevel level);

}  // namespace kavex

#if KAVEX_DCHECKS
#define KAVEX_DCHECK(condition)                                                  \
    do {                                                                         \
        if (!(condition)) ::kavex::DcheckFailed(#condition, __FILE__, __LINE__); \
    } while (0)
#else
#define KAVEX_DCHECK(condition)  \
    do {                         \
        (void)sizeof(condition); \
    } while (0)
#endif

#endif  // KAVEX_ENGINE_PLATFORM_H
