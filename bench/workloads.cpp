#include "workloads.h"

#include <algorithm>
#include <cstdint>
#include <set>

namespace kavex::bench {

namespace {

// splitmix64: tiny, and its sequence is fixed by its definition, unlike the standard
// distributions, whose results differ between library implementations.
class Random {
  public:
    explicit Random(uint64_t seed) : state(seed) {}
    uint64_t Next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    // Uniform enough for texts: 0 .. bound - 1.
    std::size_t Below(std::size_t bound) { return static_cast<std::size_t>(Next() % bound); }
    bool Chance(int percent) { return Below(100) < static_cast<std::size_t>(percent); }
    template <typename T, std::size_t N>
    T Pick(const T (&items)[N]) {
        return items[Below(N)];
    }

  private:
    uint64_t state;
};

constexpr char16_t kSpace = 0x0020;
constexpr char16_t kHeh = 0x06BE;

// Arabic letters with no decomposition: the bases a writer puts marks on.
constexpr char16_t kArabicLetters[] = {
    0x0627, 0x0628, 0x062A, 0x062B, 0x062C, 0x062D, 0x062E, 0x062F, 0x0630, 0x0631,
    0x0632, 0x0633, 0x0634, 0x0635, 0x0636, 0x0637, 0x0638, 0x0639, 0x063A, 0x0641,
    0x0642, 0x0643, 0x0644, 0x0645, 0x0646, 0x0647, 0x0648, 0x064A, 0x0621, 0x0629};
constexpr char16_t kVowels[] = {0x064E, 0x064F, 0x0650, 0x0652};  // fatha, damma, kasra, sukun
constexpr char16_t kTanween[] = {0x064B, 0x064C, 0x064D};
constexpr char16_t kShadda = 0x0651;
constexpr char16_t kArabicPunctuation[] = {0x060C, 0x061F, 0x061B, 0x002E};

// Urdu letters, the aspirating consonants first.
constexpr char16_t kAspirated[] = {0x0628, 0x067E, 0x062A, 0x0679, 0x062C,
                                   0x0686, 0x062F, 0x0688, 0x06A9, 0x06AF};
constexpr char16_t kUrduLetters[] = {0x0627, 0x0628, 0x067E, 0x062A, 0x0679, 0x062C, 0x0686, 0x062D,
                                     0x062E, 0x062F, 0x0688, 0x0631, 0x0691, 0x0632, 0x0698, 0x0633,
                                     0x0634, 0x0639, 0x0641, 0x0642, 0x06A9, 0x06AF, 0x0644, 0x0645,
                                     0x0646, 0x06BA, 0x0648, 0x06C1, 0x06CC, 0x06D2};
constexpr char16_t kUrduMarks[] = {0x064E, 0x064F, 0x0650, 0x0651, 0x0652, 0x0670};

// Persian and Arabic letters that neither decompose nor compose with a neighbour.
constexpr char16_t kPersianLetters[] = {
    0x0627, 0x0628, 0x067E, 0x062A, 0x062B, 0x062C, 0x0686, 0x062D, 0x062E, 0x062F, 0x0630,
    0x0631, 0x0632, 0x0698, 0x0633, 0x0634, 0x0635, 0x0636, 0x0637, 0x0638, 0x0639, 0x063A,
    0x0641, 0x0642, 0x06A9, 0x06AF, 0x0644, 0x0645, 0x0646, 0x0648, 0x0647, 0x06CC, 0x0621};
constexpr char16_t kZwnj = 0x200C;

constexpr const char* kAsciiWords[] = {"the",   "of",    "and",    "text",   "normal", "form",
                                       "rules", "match", "unit",   "string", "fast",   "table",
                                       "a",     "is",    "write",  "read",   "file",   "line",
                                       "word",  "which", "letter", "mark",   "order",  "page"};

template <typename Emit>
std::u16string Generate(std::size_t units, uint64_t seed, Emit emitWord) {
    std::u16string text;
    text.reserve(units + 64);
    Random random(seed);
    while (text.size() < units) emitWord(random, text);
    text.resize(units);
    return text;
}

void EndWord(Random& random, std::u16string& text, int punctuationPercent,
             const char16_t* punctuation, std::size_t punctuationCount) {
    if (random.Chance(punctuationPercent)) {
        text.push_back(punctuation[random.Below(punctuationCount)]);
    }
    if (random.Chance(3)) {
        text.push_back(0x000D);
        text.push_back(0x000A);
    } else {
        text.push_back(kSpace);
    }
}

void DiacritizedWord(Random& random, std::u16string& text) {
    const std::size_t letters = 2 + random.Below(6);
    for (std::size_t i = 0; i < letters; ++i) {
        const char16_t letter = random.Pick(kArabicLetters);
        text.push_back(letter);
        char16_t marks[3];
        std::size_t count = 0;
        if (letter == 0x0627 && random.Chance(15)) {
            // Hamza or madda typed as a mark, which the composing form joins to the alef.
            marks[count++] = random.Chance(70) ? 0x0654 : 0x0653;
        }
        marks[count++] =
            i + 1 == letters && random.Chance(30) ? random.Pick(kTanween) : random.Pick(kVowels);
        if (random.Chance(25)) marks[count++] = kShadda;
        // Writers type the marks of one letter in any order.
        for (std::size_t k = count; k > 1; --k) std::swap(marks[k - 1], marks[random.Below(k)]);
        text.append(marks, count);
    }
    EndWord(random, text, 8, kArabicPunctuation, 4);
}

void UrduWord(Random& random, std::u16string& text) {
    const std::size_t letters = 2 + random.Below(5);
    for (std::size_t i = 0; i < letters; ++i) {
        if (random.Chance(30)) {
            text.push_back(random.Pick(kAspirated));
            // The heh of an aspirate typed after the marks of its consonant.
            if (random.Chance(70)) {
                text.push_back(random.Pick(kUrduMarks));
                if (random.Chance(30)) text.push_back(kShadda);
            }
            text.push_back(kHeh);
        } else {
            text.push_back(random.Pick(kUrduLetters));
            if (random.Chance(30)) text.push_back(random.Pick(kUrduMarks));
        }
    }
    EndWord(random, text, 6, kArabicPunctuation, 4);
}

char16_t PresentationForm(Random& random) {
    const std::size_t kind = random.Below(100);
    if (kind < 78) return static_cast<char16_t>(0xFE80 + random.Below(0xFEF5 - 0xFE80));
    if (kind < 86) return static_cast<char16_t>(0xFEF5 + random.Below(8));  // lam-alef
    if (kind < 94) return static_cast<char16_t>(0xFB50 + random.Below(0xFBB2 - 0xFB50));
    if (kind < 98) return static_cast<char16_t>(0xFC00 + random.Below(0xFC5E - 0xFC00));
    return static_cast<char16_t>(0xFDF0 + random.Below(12));  // word ligatures
}

void PresentationWord(Random& random, std::u16string& text) {
    const std::size_t letters = 2 + random.Below(6);
    for (std::size_t i = 0; i < letters; ++i) text.push_back(PresentationForm(random));
    EndWord(random, text, 5, kArabicPunctuation, 4);
}

void UnmarkedWord(Random& random, std::u16string& text) {
    const std::size_t letters = 2 + random.Below(7);
    for (std::size_t i = 0; i < letters; ++i) {
        text.push_back(random.Pick(kPersianLetters));
        if (i + 1 < letters && random.Chance(4)) text.push_back(kZwnj);
    }
    EndWord(random, text, 6, kArabicPunctuation, 4);
}

void AsciiWord(Random& random, std::u16string& text) {
    const char* word = random.Pick(kAsciiWords);
    const bool capital = random.Chance(8);
    for (const char* c = word; *c != '\0'; ++c) {
        char16_t unit = static_cast<unsigned char>(*c);
        if (capital && c == word) unit = static_cast<char16_t>(unit - 'a' + 'A');
        text.push_back(unit);
    }
    if (random.Chance(3)) text.append(u"42");
    static constexpr char16_t kPunctuation[] = {u',', u'.', u';', u'?'};
    EndWord(random, text, 8, kPunctuation, 4);
}

bool ContinuesSome(const std::set<std::u16string>& sorted, const std::u16string& prefix) {
    const auto it = sorted.lower_bound(prefix);
    return it != sorted.end() && it->compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

const char* WorkloadName(Workload workload) {
    switch (workload) {
        case Workload::Diacritized:
            return "diacritized";
        case Workload::UrduHeh:
            return "urdu-heh";
        case Workload::PresentationForms:
            return "presentation";
        case Workload::Unmarked:
            return "unmarked";
        case Workload::Ascii:
            return "ascii";
        case Workload::MatcherWorstCase:
            return "worst-case";
    }
    return "?";
}

std::vector<std::u16string> NearMisses(const std::vector<std::u16string>& sources) {
    std::set<std::u16string> sorted;
    std::set<char16_t> alphabet;
    for (const std::u16string& source : sources) {
        if (source.empty()) continue;
        sorted.insert(source);
        alphabet.insert(source.begin(), source.end());
    }
    std::vector<std::u16string> longest;
    for (const std::u16string& source : sorted) {
        if (source.size() >= 2) longest.push_back(source);
    }
    // Without sources of two units there is no prefix to walk; every unit then matches.
    if (longest.empty()) return {sorted.begin(), sorted.end()};
    std::stable_sort(
        longest.begin(), longest.end(),
        [](const std::u16string& a, const std::u16string& b) { return a.size() > b.size(); });
    constexpr std::size_t kKept = 64;
    if (longest.size() > kKept) longest.resize(kKept);

    // A unit that occurs in no source ends a walk only when no alphabet unit will.
    char16_t outside = kSpace;
    while (alphabet.count(outside) != 0) ++outside;

    std::vector<std::u16string> misses;
    for (const std::u16string& source : longest) {
        std::u16string miss = source;
        miss.back() = outside;
        // Prefer a unit of the alphabet: its column exists, so the walk reaches the row
        // of the last state before it fails.
        for (char16_t unit : alphabet) {
            miss.back() = unit;
            if (!ContinuesSome(sorted, miss)) break;
            miss.back() = outside;
        }
        misses.push_back(miss);
    }
    return misses;
}

std::u16string MakeWorkload(Workload workload, std::size_t units,
                            const std::vector<std::u16string>& sources) {
    switch (workload) {
        case Workload::Diacritized:
            return Generate(units, 1, DiacritizedWord);
        case Workload::UrduHeh:
            return Generate(units, 2, UrduWord);
        case Workload::PresentationForms:
            return Generate(units, 3, PresentationWord);
        case Workload::Unmarked:
            return Generate(units, 4, UnmarkedWord);
        case Workload::Ascii:
            return Generate(units, 5, AsciiWord);
        case Workload::MatcherWorstCase: {
            const std::vector<std::u16string> misses = NearMisses(sources);
            if (misses.empty()) return Generate(units, 6, AsciiWord);
            return Generate(units, 6, [&misses](Random& random, std::u16string& text) {
                text.append(misses[random.Below(misses.size())]);
            });
        }
    }
    return std::u16string();
}

}  // namespace kavex::bench
