// Deterministic texts for the benchmarks: the same workload and size always give the same
// units, on every machine, so figures from different runs compare.
#ifndef KAVEX_BENCH_WORKLOADS_H
#define KAVEX_BENCH_WORKLOADS_H

#include <cstddef>
#include <string>
#include <vector>

namespace kavex::bench {

enum class Workload {
    Diacritized,        // Arabic words with full diacritics typed in random mark order
    UrduHeh,            // Urdu words with U+06BE typed after the marks of its letter
    PresentationForms,  // Arabic presentation forms (FBxx to FExx)
    Unmarked,           // Persian and Arabic words without marks, already normalized
    Ascii,              // ASCII prose: no unit of any rule source
    MatcherWorstCase,   // long rule sources whose last unit is changed
};

constexpr Workload kAllWorkloads[] = {
    Workload::Diacritized, Workload::UrduHeh, Workload::PresentationForms,
    Workload::Unmarked,    Workload::Ascii,   Workload::MatcherWorstCase};

const char* WorkloadName(Workload workload);

// Exactly `units` units, none of them zero. `sources` (the rule sources of one form, in
// rule-list order) is read by MatcherWorstCase only.
std::u16string MakeWorkload(Workload workload, std::size_t units,
                            const std::vector<std::u16string>& sources);

// The worst case for a matcher over `sources`: the longest sources, each with its last
// unit replaced by one that continues no source, so every walk runs the whole prefix and
// fails at its last unit. Exposed for inspection by the benchmark's own checks.
std::vector<std::u16string> NearMisses(const std::vector<std::u16string>& sources);

}  // namespace kavex::bench

#endif  // KAVEX_BENCH_WORKLOADS_H
