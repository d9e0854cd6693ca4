// kavex against ICU's Normalizer2: the same UTF-16 text through the public sized Normalize
// with the shipped rules and through ICU for the same form, in one process. Also the time
// of Initialize and the load time and matcher memory of each shipped rules file.
#include <benchmark/benchmark.h>
#include <unicode/unorm2.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
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

struct Text {
    std::u16string units;
    std::vector<unsigned char> bytes;  // the same text as UTF-16LE
};

// One text at a time: the kavex and ICU runs of a text are registered side by side, and
// the largest texts are too big to keep all of them.
const Text& TextFor(Workload workload, const Form& form, const Size& size) {
    static std::string cachedKey;
    static Text cached;
    const bool perForm = workload == Workload::MatcherWorstCase;
    const std::string key = std::string(kavex::bench::WorkloadName(workload)) + "/" +
                            (perForm ? form.name : "") + "/" + size.name;
    if (key != cachedKey) {
        cached.units = kavex::bench::MakeWorkload(workload, size.bytes / 2, sourcesOf[form.mode]);
        cached.bytes.resize(cached.units.size() * 2);
        for (std::size_t i = 0; i < cached.units.size(); ++i) {
            cached.bytes[2 * i] = static_cast<unsigned char>(cached.units[i] & 0xFF);
            cached.bytes[2 * i + 1] = static_cast<unsigned char>(cached.units[i] >> 8);
        }
        cachedKey = key;
    }
    return cached;
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

void KavexNormalize(benchmark::State& state, Workload workload, const Form& form,
                    const Size& size) {
    const Text& text = TextFor(workload, form, size);
    const int length = static_cast<int>(text.bytes.size());
    const int needed = -shippedRules->Normalize(text.bytes.data(), length, form.mode, nullptr, 0);
    if (needed <= 0) {
        state.SkipWithError("Normalize did not report the size of the result");
        return;
    }
    std::vector<unsigned char> out(static_cast<std::size_t>(needed));
    for (auto _ : state) {
        const int written =
            shippedRules->Normalize(text.bytes.data(), length, form.mode, out.data(), needed);
        benchmark::DoNotOptimize(written);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
    // Informative only: where the shipped rules and ICU agree on this text.
    const std::size_t units = static_cast<std::size_t>(needed - 1) / 2;
    std::u16string result(units, u'\0');
    for (std::size_t i = 0; i < units; ++i) {
        result[i] = static_cast<char16_t>(out[2 * i] | (out[2 * i + 1] << 8));
    }
    state.counters["same_as_icu"] = result == IcuNormalize(form, text.units) ? 1 : 0;
    state.counters["output_ratio"] = static_cast<double>(units) / text.units.size();
}

void IcuNormalizeBench(benchmark::State& state, Workload workload, const Form& form,
                       const Size& size) {
    const Text& text = TextFor(workload, form, size);
    UErrorCode status = U_ZERO_ERROR;
    const UNormalizer2* icu = form.icuInstance(&status);
    const int32_t length = static_cast<int32_t>(text.units.size());
    const int32_t capacity = unorm2_normalize(icu, text.units.data(), length, nullptr, 0, &status);
    std::vector<UChar> out(static_cast<std::size_t>(capacity) + 1);
    for (auto _ : state) {
        status = U_ZERO_ERROR;
        const int32_t written =
            unorm2_normalize(icu, text.units.data(), length, out.data(), capacity, &status);
        benchmark::DoNotOptimize(written);
        benchmark::ClobberMemory();
    }
    if (U_FAILURE(status)) state.SkipWithError(u_errorName(status));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length * 2);
}

// The hardware's own reference: a plain copy of the same number of bytes. Its scaling shows
// what 16 MiB (input and output out of cache) costs over 1 MiB for work at memory speed.
void MemcpyBench(benchmark::State& state, const Size& size) {
    std::vector<unsigned char> in(size.bytes, 0x41);
    std::vector<unsigned char> out(size.bytes + 1);
    for (auto _ : state) {
        std::memcpy(out.data(), in.data(), in.size());
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

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    // --rules_dir=DIR measures another set of rules than the shipped one.
    std::string rulesDir = KAVEX_RULES_DIR;
    const std::string rulesFlag = "--rules_dir=";
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.compare(0, rulesFlag.size(), rulesFlag) == 0) {
            rulesDir = arg.substr(rulesFlag.size());
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
            ->Unit(size.bytes >= (1 << 20) ? benchmark::kMillisecond : benchmark::kMicrosecond);
    }
    for (Workload workload : kavex::bench::kAllWorkloads) {
        for (const Size& size : kSizes) {
            for (const Form& form : kForms) {
                const std::string suffix = std::string(kavex::bench::WorkloadName(workload)) + "/" +
                                           form.name + "/" + size.name;
                const auto unit =
                    size.bytes >= (1 << 20) ? benchmark::kMillisecond : benchmark::kMicrosecond;
                benchmark::RegisterBenchmark(("kavex/" + suffix).c_str(), KavexNormalize, workload,
                                             form, size)
                    ->Unit(unit);
                benchmark::RegisterBenchmark(("icu/" + suffix).c_str(), IcuNormalizeBench, workload,
                                             form, size)
                    ->Unit(unit);
            }
        }
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
