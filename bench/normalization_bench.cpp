// kavex against ICU's Normalizer2: the same UTF-16 text through both public Normalize forms
// with the shipped rules and through ICU for the same form, in one process, on synthetic
// workloads and, given --corpus_dir (made by bench/corpus.sh), on real text. Also memcpy
// over the same buffers, the time of Initialize and the load time and matcher memory of
// each shipped rules file.
#include <benchmark/benchmark.h>
#include <unicode/unorm2.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "config/ConfigManager.h"
#include "engine/Normalizer.h"
#include "kavex/Normalization.h"
#include "workloads.h"

namespace {

using kavex::bench::Workload;

struct Form {
    Normalization::NormMode mode;
    const char* name;
    const UNormalizer2* (*icuInstance)(UErrorCode*);
    std::string kavex::ConfigManager::*path;
};

const Form kForms[] = {
    {Normalization::NFD, "NFD", unorm2_getNFDInstance, &kavex::ConfigManager::nfdFilePath},
    {Normalization::NFC, "NFC", unorm2_getNFCInstance, &kavex::ConfigManager::nfcFilePath},
    {Normalization::NFKD, "NFKD", unorm2_getNFKDInstance, &kavex::ConfigManager::nfkdFilePath},
};

struct Size {
    std::size_t bytes;
    const char* name;
};

const Size kSizes[] = {{64 << 10, "64KiB"}, {1 << 20, "1MiB"}, {16 << 20, "16MiB"}};

// Loaded once; Normalize only reads it.
Normalization* shippedRules = nullptr;
kavex::ConfigManager* shippedPaths = nullptr;
// The rule sources of each form, for the matcher's worst case.
std::vector<std::u16string> sourcesOf[3];
// Bytes of distinct text every size runs through (--pool_mib); at least the size itself.
std::size_t poolBytes = std::size_t{16} << 20;

// A text to normalize: made to any length (synthetic, per form for the matcher's worst
// case), or read whole from a corpus file.
struct Text {
    std::string name;
    bool perForm;
    std::function<std::u16string(std::size_t units, const Form& form)> make;
};

// Every size normalizes distinct slices of one large text in turn, never the same text
// twice in a row: a small text repeated would stay in cache and let the branch predictor
// learn it by heart, which measures the hardware's memory of the text rather than the
// work. With the same pool of text and results behind every size, the 1 MiB and 16 MiB
// runs meet the same caches, and their ratio shows how the work grows.
struct Pool {
    std::u16string units;              // the whole text
    std::vector<unsigned char> bytes;  // the same text as UTF-16LE
};

// Pools are kept once made: repetitions of different benchmarks may run interleaved.
Pool& PoolFor(const Text& text, const Form& form, const Size& size) {
    static std::map<std::string, Pool> pools;
    const std::size_t units = std::max(poolBytes, size.bytes) / 2;
    const std::string key =
        text.name + "/" + (text.perForm ? form.name : "") + "/" + std::to_string(units);
    const auto found = pools.find(key);
    if (found != pools.end()) return found->second;
    Pool& pool = pools[key];
    pool.units = text.make(units, form);
    pool.bytes.resize(pool.units.size() * 2);
    for (std::size_t i = 0; i < pool.units.size(); ++i) {
        pool.bytes[2 * i] = static_cast<unsigned char>(pool.units[i] & 0xFF);
        pool.bytes[2 * i + 1] = static_cast<unsigned char>(pool.units[i] >> 8);
    }
    return pool;
}

// The units of a UTF-16LE corpus file; empty when it cannot be read.
std::u16string ReadCorpus(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::u16string units(bytes.size() / 2, u'\0');
    for (std::size_t i = 0; i < units.size(); ++i) {
        units[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                         (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    }
    return units;
}

std::u16string IcuNormalize(const Form& form, const std::u16string& text) {
    UErrorCode status = U_ZERO_ERROR;
    const UNormalizer2* icu = form.icuInstance(&status);
    const int32_t needed =
        unorm2_normalize(icu, text.data(), static_cast<int32_t>(text.size()), nullptr, 0, &status);
    std::u16string out(static_cast<std::size_t>(needed), u'\0');
    status = U_ZERO_ERROR;
    unorm2_normalize(icu, text.data(), static_cast<int32_t>(text.size()), out.data(), needed,
                     &status);
    return out;
}

// Slice k of a pool: its input and the room for its result, of exactly the result's size
// as a caller who asked for the size first would give.
struct Slice {
    std::size_t offset;    // in units of the pool
    std::size_t capacity;  // in the engine's own measure: bytes for kavex, units for ICU
    std::size_t output;    // where its result goes in the output pool
};

// The public form measured: the sized one, given exactly the room of the result, or the
// four-argument one, whose caller vouches for the room.
enum class Call { Sized, FourArgument };

void KavexNormalize(benchmark::State& state, const Text& text, const Form& form, const Size& size,
                    Call call) {
    Pool& pool = PoolFor(text, form, size);
    if (call == Call::FourArgument) {
        // Its text ends at the first unit whose low byte is zero (U+FC00, U+FD00, ...): the
        // figure would be of a shorter text.
        for (char16_t unit : pool.units) {
            if ((unit & 0xFF) == 0) {
                state.SkipWithError("the four-argument form stops at a unit whose low byte is 0");
                return;
            }
        }
    }
    const std::size_t sliceUnits = size.bytes / 2;
    const int length = static_cast<int>(size.bytes);
    std::vector<Slice> slices;
    std::size_t outputBytes = 0;
    for (std::size_t offset = 0; offset + sliceUnits <= pool.units.size(); offset += sliceUnits) {
        const int needed =
            -shippedRules->Normalize(pool.bytes.data() + 2 * offset, length, form.mode, nullptr, 0);
        if (needed <= 0) {
            state.SkipWithError("Normalize did not report the size of the result");
            return;
        }
        slices.push_back({offset, static_cast<std::size_t>(needed), outputBytes});
        outputBytes += static_cast<std::size_t>(needed);
    }
    std::vector<unsigned char> out(outputBytes);
    std::size_t next = 0;
    for (auto _ : state) {
        const Slice& slice = slices[next];
        next = next + 1 == slices.size() ? 0 : next + 1;
        unsigned char* input = pool.bytes.data() + 2 * slice.offset;
        const int written =
            call == Call::Sized
                ? shippedRules->Normalize(static_cast<const unsigned char*>(input), length,
                                          form.mode, out.data() + slice.output,
                                          static_cast<int>(slice.capacity))
                : shippedRules->Normalize(input, length, form.mode, out.data() + slice.output);
        benchmark::DoNotOptimize(written);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
    // Informative only: where the shipped rules and ICU agree on the first slice.
    shippedRules->Normalize(pool.bytes.data(), length, form.mode, out.data(),
                            static_cast<int>(slices[0].capacity));
    const std::size_t units = (slices[0].capacity - 1) / 2;
    std::u16string result(units, u'\0');
    for (std::size_t i = 0; i < units; ++i) {
        result[i] = static_cast<char16_t>(out[2 * i] | (out[2 * i + 1] << 8));
    }
    state.counters["same_as_icu"] =
        result == IcuNormalize(form, pool.units.substr(0, sliceUnits)) ? 1 : 0;
    // Text that no rule changes: its speed is compared with memcpy's.
    state.counters["unchanged"] = result == pool.units.substr(0, sliceUnits) ? 1 : 0;
    state.counters["output_ratio"] = static_cast<double>(units) / sliceUnits;
    state.counters["slices"] = static_cast<double>(slices.size());
}

void IcuNormalizeBench(benchmark::State& state, const Text& text, const Form& form,
                       const Size& size) {
    const Pool& pool = PoolFor(text, form, size);
    UErrorCode status = U_ZERO_ERROR;
    const UNormalizer2* icu = form.icuInstance(&status);
    const std::size_t sliceUnits = size.bytes / 2;
    const int32_t length = static_cast<int32_t>(sliceUnits);
    std::vector<Slice> slices;
    std::size_t outputUnits = 0;
    for (std::size_t offset = 0; offset + sliceUnits <= pool.units.size(); offset += sliceUnits) {
        status = U_ZERO_ERROR;
        const int32_t needed =
            unorm2_normalize(icu, pool.units.data() + offset, length, nullptr, 0, &status);
        slices.push_back({offset, static_cast<std::size_t>(needed), outputUnits});
        outputUnits += static_cast<std::size_t>(needed) + 1;
    }
    std::vector<UChar> out(outputUnits);
    std::size_t next = 0;
    for (auto _ : state) {
        const Slice& slice = slices[next];
        next = next + 1 == slices.size() ? 0 : next + 1;
        status = U_ZERO_ERROR;
        const int32_t written = unorm2_normalize(icu, pool.units.data() + slice.offset, length,
                                                 out.data() + slice.output,
                                                 static_cast<int32_t>(slice.capacity), &status);
        benchmark::DoNotOptimize(written);
        benchmark::ClobberMemory();
    }
    if (U_FAILURE(status)) state.SkipWithError(u_errorName(status));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length * 2);
}

// The hardware's own reference: plain copies of the same sizes over the same pools. Work at
// memory speed scales as this does.
void MemcpyBench(benchmark::State& state, const Size& size) {
    const std::size_t total = std::max(poolBytes, size.bytes);
    std::vector<unsigned char> in(total, 0x41);
    std::vector<unsigned char> out(total);
    std::size_t offset = 0;
    for (auto _ : state) {
        std::memcpy(out.data() + offset, in.data() + offset, size.bytes);
        offset = offset + 2 * size.bytes <= total ? offset + size.bytes : 0;
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(size.bytes));
}

// memcpy over one workload's own slices, from its pool to an output pool of the same size:
// the ceiling of text that no rule changes.
void MemcpyTextBench(benchmark::State& state, const Text& text, const Form& form,
                     const Size& size) {
    const Pool& pool = PoolFor(text, form, size);
    const std::size_t slices = pool.bytes.size() / size.bytes;
    std::vector<unsigned char> out(pool.bytes.size());
    std::size_t next = 0;
    for (auto _ : state) {
        std::memcpy(out.data() + next * size.bytes, pool.bytes.data() + next * size.bytes,
                    size.bytes);
        next = next + 1 == slices ? 0 : next + 1;
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(size.bytes));
}

void InitializeBench(benchmark::State& state) {
    for (auto _ : state) {
        Normalization norm;
        const auto begin = std::chrono::steady_clock::now();
        const bool ok = norm.Initialize();
        const auto end = std::chrono::steady_clock::now();
        if (!ok) {
            state.SkipWithError("Initialize failed");
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(end - begin).count());
    }
}

void LoadBench(benchmark::State& state, const Form& form) {
    const std::string path = (*shippedPaths).*form.path;
    std::unique_ptr<kavex::Normalizer> loaded;
    for (auto _ : state) {
        auto normalizer = std::make_unique<kavex::Normalizer>();
        const auto begin = std::chrono::steady_clock::now();
        const bool ok = normalizer->LoadRules(path);
        const auto end = std::chrono::steady_clock::now();
        if (!ok) {
            state.SkipWithError(("cannot load " + path).c_str());
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(end - begin).count());
        loaded = std::move(normalizer);
    }
    state.counters["matcher_bytes"] = static_cast<double>(loaded->MemoryBytes());
    state.counters["states"] = static_cast<double>(loaded->StateCount());
    state.counters["alphabet"] = loaded->AlphabetSize();
    state.counters["rules"] = static_cast<double>(loaded->rules.size());
}

// The fastest of the repetitions: on a shared machine the least disturbed run.
double Fastest(const std::vector<double>& values) {
    return values.empty() ? 0.0 : *std::min_element(values.begin(), values.end());
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    // --rules_dir=DIR measures another set of rules than the shipped one.
    std::string rulesDir = KAVEX_RULES_DIR;
    const std::string rulesFlag = "--rules_dir=";
    // --pool_mib=N: the MiB of distinct text behind every size (16 by default).
    const std::string poolFlag = "--pool_mib=";
    // --corpus_dir=DIR: the real texts made by bench/corpus.sh; without it, or for a kind
    // missing there, only the synthetic workloads run.
    const std::string corpusFlag = "--corpus_dir=";
    std::string corpusDir;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.compare(0, rulesFlag.size(), rulesFlag) == 0) {
            rulesDir = arg.substr(rulesFlag.size());
        } else if (arg.compare(0, poolFlag.size(), poolFlag) == 0) {
            poolBytes = std::stoul(arg.substr(poolFlag.size())) << 20;
        } else if (arg.compare(0, corpusFlag.size(), corpusFlag) == 0) {
            corpusDir = std::filesystem::absolute(arg.substr(corpusFlag.size())).string();
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

    // "config.ini" names the rules files relative to the rules folder.
    std::filesystem::current_path(rulesDir);
    static Normalization norm;
    static kavex::ConfigManager paths;
    if (!norm.Initialize() || !paths.ReadConfigFile()) {
        std::fprintf(stderr, "kavex_bench: cannot load the rules in %s\n", rulesDir.c_str());
        return 1;
    }
    shippedRules = &norm;
    shippedPaths = &paths;
    for (const Form& form : kForms) {
        kavex::Normalizer normalizer;
        if (!normalizer.LoadRules(paths.*form.path)) {
            std::fprintf(stderr, "kavex_bench: cannot load %s\n", (paths.*form.path).c_str());
            return 1;
        }
        for (const kavex::NormalizationRule& rule : normalizer.rules) {
            sourcesOf[form.mode].push_back(rule.source);
        }
    }

    benchmark::RegisterBenchmark("Initialize", InitializeBench)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    for (const Form& form : kForms) {
        benchmark::RegisterBenchmark((std::string("Load/") + form.name).c_str(), LoadBench, form)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    }
    for (const Size& size : kSizes) {
        benchmark::RegisterBenchmark((std::string("memcpy/") + size.name).c_str(), MemcpyBench,
                                     size)
            ->ComputeStatistics("min", Fastest)
            ->Unit(size.bytes >= (1 << 20) ? benchmark::kMillisecond : benchmark::kMicrosecond);
    }
    // Synthetic texts at every size; each real text whole, as one slice of (about) 16 MiB.
    std::vector<std::pair<Text, std::vector<Size>>> texts;
    for (Workload workload : kavex::bench::kAllWorkloads) {
        texts.push_back(
            {Text{kavex::bench::WorkloadName(workload), workload == Workload::MatcherWorstCase,
                  [workload](std::size_t units, const Form& form) {
                      return kavex::bench::MakeWorkload(workload, units, sourcesOf[form.mode]);
                  }},
             std::vector<Size>(std::begin(kSizes), std::end(kSizes))});
    }
    if (!corpusDir.empty()) {
        for (const char* kind : {"vowelled", "urdu", "persian", "presentation"}) {
            const std::string path = corpusDir + "/" + kind + ".utf16";
            const auto bytes = std::filesystem::exists(path) ? std::filesystem::file_size(path) : 0;
            if (bytes < 2) {
                std::fprintf(stderr, "kavex_bench: no %s: real %s text skipped\n", path.c_str(),
                             kind);
                continue;
            }
            texts.push_back({Text{std::string("real-") + kind, false,
                                  [path](std::size_t, const Form&) { return ReadCorpus(path); }},
                             {Size{static_cast<std::size_t>(bytes) & ~std::size_t{1}, "16MiB"}}});
        }
        std::ifstream manifest(corpusDir + "/MANIFEST");
        const std::string sources((std::istreambuf_iterator<char>(manifest)),
                                  std::istreambuf_iterator<char>());
        if (!sources.empty()) benchmark::AddCustomContext("corpus", sources);
    }
    for (const auto& [text, sizes] : texts) {
        for (const Size& size : sizes) {
            const std::string where = text.name + "/" + size.name;
            const auto unit =
                size.bytes >= (1 << 20) ? benchmark::kMillisecond : benchmark::kMicrosecond;
            benchmark::RegisterBenchmark(("memcpy/" + where).c_str(), MemcpyTextBench, text,
                                         kForms[0], size)
                ->ComputeStatistics("min", Fastest)
                ->Unit(unit);
            for (const Form& form : kForms) {
                const std::string suffix = text.name + "/" + form.name + "/" + size.name;
                benchmark::RegisterBenchmark(("kavex/" + suffix).c_str(), KavexNormalize, text,
                                             form, size, Call::Sized)
                    ->ComputeStatistics("min", Fastest)
                    ->Unit(unit);
                benchmark::RegisterBenchmark(("kavex-4arg/" + suffix).c_str(), KavexNormalize, text,
                                             form, size, Call::FourArgument)
                    ->ComputeStatistics("min", Fastest)
                    ->Unit(unit);
                benchmark::RegisterBenchmark(("icu/" + suffix).c_str(), IcuNormalizeBench, text,
                                             form, size)
                    ->ComputeStatistics("min", Fastest)
                    ->Unit(unit);
            }
        }
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
