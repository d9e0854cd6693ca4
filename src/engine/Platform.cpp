#include "engine/Platform.h"

#include <cstdio>
#include <cstdlib>

namespace kavex {

void DcheckFailed(const char* condition, const char* file, int line) {
#if KAVEX_DCHECKS
    // Only builds with the checks compiled in get here, and those may print: a Release
    // library logs nothing.
    std::fprintf(stderr, "kavex: invariant broken at %s:%d: %s\n", file, line, condition);
    std::fflush(stderr);
#else
    (void)condition;
    (void)file;
    (void)line;
#endif
    std::abort();
}

namespace {
CpuLevel DetectCpuLevel() {
#if KAVEX_X86_DISPATCH
    // Also checks that the system saves the wide registers.
    if (__builtin_cpu_supports("avx2")) return CpuLevel::kAvx2;
#endif
#if KAVEX_SSE2
    return CpuLevel::kSse2;
#else
    return CpuLevel::kScalar;
#endif
}
}  // namespace

CpuLevel BestCpuLevel() {
    static const CpuLevel best = DetectCpuLevel();
    return best;
}

const char* CpuLevelName(CpuLevel level) {
    switch (level) {
        case CpuLevel::kScalar:
            return "scalar";
        case CpuLevel::kSse2:
            return "sse2";
        case CpuLevel::kAvx2:
            return "avx2";
    }
    return "?";
}

}  // namespace kavex
