#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "engine/CodeUnitTable.h"
#include "engine/RuleMatcher.h"
#include "support/NaiveOracle.h"

// Counting allocator with one injectable failure, to prove that running out of memory
// part-way leaks nothing and leaves a usable object.
namespace {
long liveAllocations = 0;
long failAt = -1;  // index of the allocation to refuse, counted down; -1 when disarmed

void* CountedAllocate(std::size_t size) {
    if (failAt >= 0 && failAt-- == 0) return nullptr;
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block != nullptr) ++liveAllocations;
    return block;
}
void CountedFree(void* block) {
    if (block == nullptr) return;
    --liveAllocations;
    std::free(block);
}
}  // namespace

void* operator new(std::size_t size) {
    void* block = CountedAllocate(size);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return CountedAllocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return CountedAllocate(size);
}
void operator delete(void* block) noexcept { CountedFree(block); }
void operator delete[](void* block) noexcept { CountedFree(block); }
void operator delete(void* block, std::size_t) noexcept { CountedFree(block); }
void operator delete[](void* block, std::size_t) noexcept { CountedFree(block); }

namespace kavex {
namespace {

using testing::NaiveMatch;
using testing::NaiveSearch;

struct Probe : RuleMatcher {
    using RuleMatcher::columns;
    using RuleMatcher::ruleAtState;
};

TEST(CodeUnitTableTest, LookupInsertAndPages) {
    CodeUnitTable table;
    EXPECT_EQ(table.Lookup(0x0041), kAbsent);
    EXPECT_EQ(table.MemoryBytes(), 0u);
    ASSERT_TRUE(table.Insert(0x0628));
    ASSERT_TRUE(table.Insert(0x0627));  // same page
    ASSERT_TRUE(table.Insert(0xFFFF));  // last unit of the last page
    EXPECT_EQ(table.Lookup(0x0628), 0);
    EXPECT_EQ(table.Lookup(0x0627), 1);
    EXPECT_EQ(table.Lookup(0xFFFF), 2);
    EXPECT_EQ(table.Lookup(0x0629), kAbsent);  // allocated page, never inserted
    EXPECT_EQ(table.Lookup(0x0041), kAbsent);  // page never allocated
    EXPECT_EQ(table.Count(), 3);
    EXPECT_EQ(table.MemoryBytes(), 2u * 512u);

    CodeUnitTable copy(table);
    table.Reset();
    EXPECT_EQ(table.Count(), 0);
    EXPECT_EQ(table.Lookup(0x0628), kAbsent);
    EXPECT_EQ(copy.Lookup(0x0627), 1);
    EXPECT_EQ(copy.Count(), 3);
    table = copy;
    EXPECT_EQ(table.Lookup(0xFFFF), 2);
}

TEST(RuleMatcherTest, BuildNumbersColumnsAndStatesInOrderOfAppearance) {
    Probe matcher;
    ASSERT_TRUE(matcher.Build({u"ab", u"ac", u"b"}));
    EXPECT_EQ(matcher.AlphabetSize(), 3);
    EXPECT_EQ(matcher.StateCount(), 5u);
    EXPECT_EQ(matcher.columns.Lookup(u'a'), 0);
    EXPECT_EQ(matcher.columns.Lookup(u'b'), 1);
    EXPECT_EQ(matcher.columns.Lookup(u'c'), 2);
    EXPECT_EQ(matcher.ruleAtState, (std::vector<uint16_t>{kAbsent, kAbsent, 0, 1, 2}));
    EXPECT_EQ(matcher.Transition(0, 0), 1);  // root -a-> 1
    EXPECT_EQ(matcher.Transition(1, 2), 3);  // a -c-> 3
    EXPECT_EQ(matcher.Transition(0, 2), 0);  // no source starts with c

    ASSERT_TRUE(matcher.Build({u"ab", u"ac"}));  // shared prefix, old set forgotten
    EXPECT_EQ(matcher.StateCount(), 4u);
    EXPECT_EQ(matcher.AlphabetSize(), 3);
    EXPECT_EQ(matcher.Search(u"b", 0).position, -1);

    ASSERT_TRUE(matcher.Build({}));
    EXPECT_TRUE(matcher.IsBuilt());
    EXPECT_EQ(matcher.AlphabetSize(), 0);
    EXPECT_EQ(matcher.StateCount(), 1u);
    EXPECT_EQ(matcher.Search(u"anything", 0).position, -1);
}

struct SearchCase {
    const char* name;
    std::vector<std::u16string> sources;
    std::u16string text;
    int32_t start;
    int32_t position;
    uint16_t rule;
};

TEST(RuleMatcherTest, SearchCases) {
    const SearchCase cases[] = {
        {"identical sources: the later wins", {u"ab", u"ab"}, u"ab", 0, 0, 1},
        {"shorter listed first wins", {u"a", u"ab"}, u"ab", 0, 0, 0},
        {"longer listed first wins", {u"ab", u"a"}, u"ab", 0, 0, 0},
        {"longer fails, shorter found", {u"ab", u"a"}, u"ac", 0, 0, 1},
        {"neither longest nor shortest", {u"ab", u"a", u"abc"}, u"xabcd", 0, 1, 0},
        {"first listed among three lengths", {u"a", u"ab", u"abc"}, u"xabcd", 0, 1, 0},
        {"smallest index found past first hit", {u"abc", u"a"}, u"abc", 0, 0, 0},
        {"unknown unit stops the walk", {u"ab"}, u"a?b", 0, -1, kAbsent},
        {"start after the match", {u"ab"}, u"xxab", 3, -1, kAbsent},
        {"start at the match", {u"ab"}, u"xxab", 2, 2, 0},
        {"start at the length", {u"a"}, u"aa", 2, -1, kAbsent},
        {"negative start", {u"a"}, u"aa", -1, -1, kAbsent},
        {"empty text", {u"a"}, u"", 0, -1, kAbsent},
        {"empty source never matches", {u"", u"b"}, u"ab", 0, 1, 1},
        {"only empty sources", {u"", u""}, u"ab", 0, -1, kAbsent},
        {"leftmost beats lower index", {u"c", u"b"}, u"abc", 0, 1, 1},
        {"match at the last unit", {u"z"}, u"aaz", 0, 2, 0},
        {"path runs off the text end", {u"abc", u"ab"}, u"xab", 0, 1, 1},
    };
    for (const SearchCase& c : cases) {
        RuleMatcher matcher;
        ASSERT_TRUE(matcher.Build(c.sources)) << c.name;
        const RuleMatch match = matcher.Search(c.text, c.start);
        EXPECT_EQ(match.position, c.position) << c.name;
        EXPECT_EQ(match.rule, c.rule) << c.name;
    }
}

TEST(RuleMatcherTest, UnbuiltAndClearedFindNothing) {
    RuleMatcher matcher;
    EXPECT_EQ(matcher.Search(u"a", 0).position, -1);
    ASSERT_TRUE(matcher.Build({u"a"}));
    EXPECT_EQ(matcher.Search(u"a", 0).rule, 0);
    matcher.Clear();
    EXPECT_FALSE(matcher.IsBuilt());
    EXPECT_EQ(matcher.StateCount(), 0u);
    const RuleMatch match = matcher.Search(u"a", 0);
    EXPECT_EQ(match.position, -1);
    EXPECT_EQ(match.rule, kAbsent);
}

// Small alphabets make ties, shared prefixes, duplicates and empty sources common.
TEST(RuleMatcherTest, AgreesWithNaiveSearch) {
    std::mt19937 random(20240611);
    const std::u16string alphabet = u"abc\x0628\xFFFF";
    auto word = [&](std::size_t maxLength) {
        std::u16string s(random() % (maxLength + 1), u'a');
        for (char16_t& unit : s) unit = alphabet[random() % alphabet.size()];
        return s;
    };
    for (int round = 0; round < 3000; ++round) {
        std::vector<std::u16string> sources(random() % 8);
        for (auto& source : sources) source = word(4);
        RuleMatcher matcher;
        ASSERT_TRUE(matcher.Build(sources));
        const std::u16string text = word(16);
        for (int32_t start = -1; start <= static_cast<int32_t>(text.size()) + 1; ++start) {
            const NaiveMatch expected = NaiveSearch(sources, text, start);
            const RuleMatch match = matcher.Search(text, start);
            ASSERT_EQ(match.position, expected.position) << "round " << round;
            ASSERT_EQ(match.rule, expected.rule) << "round " << round;
        }
    }
}

// Wide alphabets spread over several table pages, and enough sources that packed rows
// fall into each other's gaps: a cell read for one state may belong to another. Copies
// and assigned matchers must answer the same.
TEST(RuleMatcherTest, WideAlphabetsAgreeWithNaiveSearch) {
    std::mt19937 random(17);
    for (int round = 0; round < 60; ++round) {
        std::u16string alphabet;
        const std::size_t width = 2 + random() % 400;
        for (std::size_t k = 0; k < width; ++k) {
            alphabet.push_back(static_cast<char16_t>(
                random() % 4 == 0 ? random() % 0x10000 : 0x0600 + random() % 0x300));
        }
        auto word = [&](std::size_t length) {
            std::u16string s(length, u'a');
            for (char16_t& unit : s) unit = alphabet[random() % alphabet.size()];
            return s;
        };
        std::vector<std::u16string> sources(1 + random() % 300);
        for (auto& source : sources) source = word(random() % 6);
        RuleMatcher matcher;
        ASSERT_TRUE(matcher.Build(sources));
        RuleMatcher copy(matcher);
        RuleMatcher assigned;
        ASSERT_TRUE(assigned.Build({u"zz"}));
        assigned = matcher;
        // Texts made of the sources themselves, so that long walks happen.
        std::u16string text;
        while (text.size() < 200) {
            text += random() % 3 == 0 ? word(1) : sources[random() % sources.size()];
        }
        for (int32_t start = 0; start <= static_cast<int32_t>(text.size()); ++start) {
            const NaiveMatch expected = NaiveSearch(sources, text, start);
            for (const RuleMatcher* m : {&matcher, &copy, &assigned}) {
                const RuleMatch match = m->Search(text, start);
                ASSERT_EQ(match.position, expected.position) << "round " << round;
                ASSERT_EQ(match.rule, expected.rule) << "round " << round;
            }
        }
    }
}

// One state followed by thousands of units: a row as wide as the alphabet, and a child
// among thousands of siblings found for each source.
TEST(RuleMatcherTest, StateWithThousandsOfChildren) {
    std::vector<std::u16string> sources;
    for (char16_t unit = 0x1000; unit < 0x1000 + 5000; ++unit) {
        sources.push_back(std::u16string(u"\x0628") + unit);
        sources.push_back(std::u16string(u"\x0628") + unit + u"\x0650");
    }
    Probe matcher;
    ASSERT_TRUE(matcher.Build(sources));
    EXPECT_EQ(matcher.StateCount(), 1u + 1u + 5000u + 5000u);
    for (char16_t unit = 0x1000; unit < 0x1000 + 5000; unit += 7) {
        const std::u16string text = std::u16string(u"x\x0628") + unit + u"\x0650";
        const RuleMatch match = matcher.Search(text, 0);
        EXPECT_EQ(match.position, 1);
        EXPECT_EQ(match.rule, 2 * (unit - 0x1000)) << unsigned(unit);
    }
    EXPECT_EQ(matcher.Search(u"\x0628\x0650", 0).position, -1);
    EXPECT_EQ(matcher.Transition(0, matcher.columns.Lookup(0x1000)), 0);
}

TEST(RuleMatcherTest, RuleLimit) {
    std::vector<std::u16string> sources(kMaxRules, u"a");
    RuleMatcher matcher;
    ASSERT_TRUE(matcher.Build(sources));
    EXPECT_EQ(matcher.Search(u"a", 0).rule, kMaxRules - 1);
    sources.push_back(u"b");  // index 65535 would read as "no rule"
    EXPECT_FALSE(matcher.Build(sources));
    EXPECT_FALSE(matcher.IsBuilt());
    EXPECT_EQ(matcher.Search(u"b", 0).position, -1);
}

TEST(RuleMatcherTest, StateLimit) {
    RuleMatcher matcher;
    // A chain of n units makes n + 1 states.
    ASSERT_TRUE(matcher.Build({std::u16string(kMaxStates - 1, u'a')}));
    EXPECT_EQ(matcher.StateCount(), kMaxStates);
    EXPECT_EQ(matcher.Search(std::u16string(kMaxStates - 1, u'a'), 0).rule, 0);
    EXPECT_FALSE(matcher.Build({std::u16string(kMaxStates, u'a')}));
    EXPECT_FALSE(matcher.IsBuilt());
    EXPECT_EQ(matcher.StateCount(), 0u);
    // Split over 256 sources of 256 units: 65,536 states besides the root, one too many.
    std::vector<std::u16string> sources;
    for (char16_t first = 1; first <= 256; ++first) {
        sources.push_back(first + std::u16string(255, u'x'));
    }
    EXPECT_FALSE(matcher.Build(sources));
    sources.back().pop_back();
    EXPECT_TRUE(matcher.Build(sources));
    EXPECT_EQ(matcher.StateCount(), kMaxStates);
}

TEST(RuleMatcherTest, AlphabetLimit) {
    std::u16string everyUnit;
    for (uint32_t unit = 0; unit <= 0xFFFF; ++unit) everyUnit.push_back(char16_t(unit));
    RuleMatcher matcher;
    const long before = liveAllocations;
    EXPECT_FALSE(matcher.Build({everyUnit}));
    EXPECT_FALSE(matcher.IsBuilt());
    EXPECT_EQ(matcher.MemoryBytes(), 0u);
    EXPECT_EQ(liveAllocations, before);
}

TEST(RuleMatcherTest, TableSizeLimit) {
    // One source of n distinct units: n + 1 dense rows of n columns each.
    auto distinct = [](std::size_t n) {
        std::u16string source;
        for (std::size_t unit = 0x100; unit < 0x100 + n; ++unit) source.push_back(char16_t(unit));
        return source;
    };
    RuleMatcher matcher;
    const long before = liveAllocations;
    EXPECT_FALSE(matcher.Build({distinct(12000)}));  // 288 MB of rows
    EXPECT_FALSE(matcher.IsBuilt());
    EXPECT_EQ(liveAllocations, before);
    ASSERT_TRUE(matcher.Build({distinct(11000)}));  // 242 MB of rows
    EXPECT_LE(matcher.MemoryBytes(), kMaxTableBytes + (std::size_t{1} << 20));
    EXPECT_EQ(matcher.Search(u"x" + distinct(11000), 0).position, 1);
}

// Refuses the k-th allocation for k = 0, 1, ... until the operation completes: every
// failure must be reported and must leave the heap as it was.
template <typename Operation>
void EveryAllocationFails(Operation operation) {
    for (long k = 0;; ++k) {
        const long before = liveAllocations;
        failAt = k;
        const bool completed = operation();
        const bool injected = failAt < 0;
        failAt = -1;
        if (!injected) {
            ASSERT_TRUE(completed);
            return;
        }
        ASSERT_FALSE(completed) << "allocation " << k;
        ASSERT_EQ(liveAllocations, before) << "allocation " << k;
    }
}

TEST(RuleMatcherTest, OutOfMemoryDuringBuildLeaksNothing) {
    const std::vector<std::u16string> sources = {u"ab", u"ac", u"\x0628\x0650", u"b", u""};
    EveryAllocationFails([&] {
        RuleMatcher matcher;
        bool built = false;
        try {
            built = matcher.Build(sources);
        } catch (const std::bad_alloc&) {
            return false;  // copying the argument, before Build runs
        }
        EXPECT_EQ(built, matcher.IsBuilt());
        if (!built) {
            EXPECT_EQ(matcher.Search(u"ab", 0).position, -1);
        }
        return built;
    });
    // A rebuild that fails also lets go of the previous trie.
    for (long k = 0; k < 16; ++k) {
        RuleMatcher reused;
        ASSERT_TRUE(reused.Build({u"zz"}));
        const long before = liveAllocations;
        const std::size_t held = reused.MemoryBytes();
        std::vector<std::u16string> copy = sources;
        failAt = k;
        const bool built = reused.Build(std::move(copy));
        failAt = -1;
        if (built) break;
        EXPECT_FALSE(reused.IsBuilt());
        EXPECT_EQ(reused.MemoryBytes(), 0u);
        EXPECT_LT(liveAllocations, before) << held;
    }
}

TEST(RuleMatcherTest, CopiesAreDeepAndAllOrNothing) {
    RuleMatcher original;
    ASSERT_TRUE(original.Build({u"ab", u"\x0628", u"b"}));
    RuleMatcher copy(original);
    original.Clear();
    EXPECT_EQ(copy.Search(u"xab", 0).rule, 0);
    EXPECT_EQ(copy.MemoryBytes(), RuleMatcher(copy).MemoryBytes());

    EveryAllocationFails([&] {
        try {
            RuleMatcher another(copy);
            return another.Search(u"\x0628", 0).rule == 1;
        } catch (const std::bad_alloc&) {
            return false;
        }
    });
    RuleMatcher target;
    ASSERT_TRUE(target.Build({u"q"}));
    EveryAllocationFails([&] {
        try {
            target = copy;
            return true;
        } catch (const std::bad_alloc&) {
            // Unchanged by the failed copy.
            EXPECT_EQ(target.Search(u"q", 0).position, 0);
            EXPECT_EQ(target.Search(u"ab", 0).position, -1);
            return false;
        }
    });
    EXPECT_EQ(target.Search(u"ab", 0).rule, 0);
    EXPECT_EQ(target.Search(u"q", 0).position, -1);
}

}  // namespace
}  // namespace kavex
