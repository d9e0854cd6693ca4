// Several threads normalize with one initialized object while others create, initialize,
// copy and destroy objects of their own. Run under ThreadSanitizer it shows that Normalize
// only reads its object and that separate objects share nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kavex/Normalization.h"
#include "support/TempDir.h"

namespace {

using kavex::testing::TempDir;
using kavex::testing::Utf16leBytes;
using kavex::testing::WorkingDirectory;

constexpr int kNormalizingThreads = 4;
constexpr int kLifecycleThreads = 2;
constexpr int kCallsPerThread = 4000;
constexpr int kObjectsPerThread = 100;

// Rules that shrink, grow and delete, over a small alphabet so that texts match often.
std::string RulesFile(char16_t tag) {
    std::string bytes = "\xFF\xFE";
    const std::u16string alphabet = u"abcd\u0627\u0653\u064E\u06BE";
    for (char16_t first : alphabet) {
        for (char16_t second : alphabet) {
            const std::u16string source{first, second};
            const std::u16string replacement(static_cast<std::size_t>((first + second) % 4), tag);
            bytes += Utf16leBytes(source + u":" + replacement + u"\r\n");
        }
        bytes += Utf16leBytes(std::u16string{first} + u":" + first + tag + u"\r\n");
    }
    return bytes;
}

std::vector<unsigned char> RandomText(std::mt19937& random) {
    const std::u16string alphabet = u"abcd\u0627\u0653\u064E\u06BEx ";
    std::uniform_int_distribution<std::size_t> length(0, 40), pick(0, alphabet.size() - 1);
    std::u16string text;
    for (std::size_t n = length(random); n > 0; --n) text.push_back(alphabet[pick(random)]);
    const std::string bytes = Utf16leBytes(text);
    return std::vector<unsigned char>(bytes.begin(), bytes.end());
}

std::vector<unsigned char> NormalizeSized(const Normalization& norm,
                                          const std::vector<unsigned char>& in,
                                          Normalization::NormMode mode) {
    const int length = static_cast<int>(in.size());
    const int needed = norm.Normalize(in.data(), length, mode, nullptr, 0);
    if (needed >= 0) return {};
    std::vector<unsigned char> out(static_cast<std::size_t>(-needed));
    const int written = norm.Normalize(in.data(), length, mode, out.data(), -needed);
    out.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
    return out;
}

TEST(ThreadsTest, SharedObjectNormalizesWhileOthersComeAndGo) {
    TempDir dir;
    dir.Write("config.ini", "NFDfilepath=nfd.txt\nNFCfilepath=nfc.txt\nNFKDfilepath=nfkd.txt\n");
    dir.Write("nfd.txt", RulesFile(u'D'));
    dir.Write("nfc.txt", RulesFile(u'C'));
    dir.Write("nfkd.txt", RulesFile(u'K'));
    // The current folder is process-wide: set once, before any thread starts.
    WorkingDirectory cwd(dir.Path());

    Normalization shared;
    ASSERT_TRUE(shared.Initialize());

    // Expected results, computed before any concurrency.
    std::mt19937 random(6);
    struct Job {
        std::vector<unsigned char> input;
        Normalization::NormMode mode;
        std::vector<unsigned char> expected;
    };
    std::vector<Job> jobs;
    for (int i = 0; i < 64; ++i) {
        Job job{RandomText(random), static_cast<Normalization::NormMode>(i % 3), {}};
        job.expected = NormalizeSized(shared, job.input, job.mode);
        ASSERT_FALSE(job.expected.empty());
        jobs.push_back(std::move(job));
    }

    std::atomic<int> mismatches{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kNormalizingThreads; ++t) {
        threads.emplace_back([&, t] {
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < kCallsPerThread; ++i) {
                const Job& job = jobs[static_cast<std::size_t>(i * 7 + t) % jobs.size()];
                if (i % 2 == 0) {
                    if (NormalizeSized(shared, job.input, job.mode) != job.expected) ++mismatches;
                } else {
                    std::vector<unsigned char> in = job.input;
                    std::vector<unsigned char> out(job.expected.size());
                    const int written = shared.Normalize(in.data(), static_cast<int>(in.size()),
                                                         job.mode, out.data());
                    if (written != static_cast<int>(out.size()) || out != job.expected) {
                        ++mismatches;
                    }
                }
            }
        });
    }
    for (int t = 0; t < kLifecycleThreads; ++t) {
        threads.emplace_back([&, t] {
            while (!go.load()) std::this_thread::yield();
            for (int i = 0; i < kObjectsPerThread; ++i) {
                const Job& job = jobs[static_cast<std::size_t>(i + t) % jobs.size()];
                Normalization own;
                if (!own.Initialize()) {
                    ++mismatches;
                    continue;
                }
                if (NormalizeSized(own, job.input, job.mode) != job.expected) ++mismatches;
                // Copying reads the shared object, as Normalize does.
                Normalization copy;
                copy = shared;
                if (NormalizeSized(copy, job.input, job.mode) != job.expected) ++mismatches;
                own.Clear();
                if (!own.Initialize()) ++mismatches;
            }
        });
    }
    go = true;
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
