#include "kavex_pieces.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "common/Utf8.h"
#include "engine/Marks.h"
#include "engine/Normalizer.h"
#include "engine/Platform.h"
#include "engine/RuleList.h"
#include "interface/RulesFolder.h"

struct KavexRules {
    const kavex::Normalizer* normalizer = nullptr;
    // Units of result per unit of text reserved at first; a longer result is written again
    // into a buffer of its size.
    std::size_t room = 2;
    // The ASCII bytes a piece may start with: no rule source holds them and they are neither
    // a mark nor U+06BE, so no match and no move of U+06BE crosses the cut before them.
    std::array<bool, 128> cutsBefore{};
};

namespace {

template <std::size_t N>
void Put(char (&to)[N], const std::string& text) {
    std::snprintf(to, N, "%s", text.c_str());
}

KavexStatus Fail(KavexError* error, KavexStatus status, const std::string& message,
                 const std::string& hint = "", const std::string& detail = "") {
    error->status = status;
    error->offset = 0;
    Put(error->message, message);
    Put(error->hint, hint);
    Put(error->detail, detail);
    return status;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

std::string KnownProfiles(const std::string& folder) {
    std::string known;
    for (const std::string& name : kavex::RulesFolder::ProfileNames(folder)) {
        known += (known.empty() ? "" : ", ") + name;
    }
    return known;
}

KavexStatus FromRulesError(KavexError* error, const kavex::RulesFolderError& e, kavex::Form form) {
    using Kind = kavex::RulesFolderError::Kind;
    const std::string key = kavex::FormKey(form);
    switch (e.GetKind()) {
        case Kind::kMissingKey:
            return Fail(error, KAVEX_RULES_MISSING_KEY, e.what(),
                        std::string("Name the ") + kavex::FormName(form) +
                            " rules file in that config.ini (" + key +
                            "=FILE), or choose a form it names.");
        case Kind::kRulesFile:
            return Fail(error, KAVEX_RULES_FILE, e.what(),
                        "A rules file is UTF-16LE text that begins with FF FE and holds one "
                        "rule a line (source:replacement, then CR LF); kavex-rules check FILE "
                        "says what is wrong with it.");
        case Kind::kUnknownProfile:
            return Fail(error, KAVEX_UNKNOWN_PROFILE, e.what());
        case Kind::kFolder:
        case Kind::kConfig:
            break;
    }
    return Fail(error, KAVEX_RULES_FOLDER, e.what(),
                "A rules folder holds a config.ini naming the rules file of each form "
                "(NFDfilepath=NFD.txt and so on) and those files.");
}

// Every folder and form loaded in this process, for its whole life: a backend loads each
// once, on first use.
struct Loaded {
    std::map<std::string, std::unique_ptr<kavex::RulesFolder>> folders;
    std::map<std::pair<std::string, int>, std::unique_ptr<KavexRules>> rules;
};

Loaded& TheLoaded() {
    static Loaded loaded;
    return loaded;
}

std::unique_ptr<KavexRules> Describe(const kavex::Normalizer& normalizer) {
    auto rules = std::make_unique<KavexRules>();
    rules->normalizer = &normalizer;
    rules->room = std::min<std::size_t>(kavex::ExpansionOf(normalizer.rules), 4);
    for (unsigned unit = 1; unit < 128; ++unit) {
        const auto u = static_cast<char16_t>(unit);
        rules->cutsBefore[unit] = !kavex::Normalizer::IsMark(u) && u != kavex::kHeh;
    }
    for (const kavex::NormalizationRule& rule : normalizer.rules) {
        for (const char16_t unit : rule.source) {
            if (unit < 128) rules->cutsBefore[unit] = false;
        }
    }
    return rules;
}

// A buffer that grows and is not cleared: every byte used is written first.
template <typename T>
class Scratch {
  public:
    T* Room(std::size_t count) {
        if (count > capacity_) {
            data_.reset();
            capacity_ = 0;
            data_.reset(new T[count]);
            capacity_ = count;
        }
        return data_.get();
    }
    void TrimTo(std::size_t most) {
        if (capacity_ > most) {
            data_.reset();
            capacity_ = 0;
        }
    }

  private:
    std::unique_ptr<T[]> data_;
    std::size_t capacity_ = 0;
};

struct PieceScratch {
    Scratch<char16_t> units;
    Scratch<char16_t> normalized;
    Scratch<unsigned char> utf8;
};

PieceScratch& TheScratch() {
    static PieceScratch scratch;
    return scratch;
}

void SwapBytes(char16_t* units, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        units[i] = static_cast<char16_t>((units[i] >> 8) | (units[i] << 8));
    }
}

std::string Hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "U+%04X", value);
    return text;
}

KavexStatus NormalizePiece(const KavexRules& rules, const char* text, std::size_t size,
                           const char** result, std::size_t* resultSize, KavexError* error) {
    PieceScratch& scratch = TheScratch();
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    char16_t* units = scratch.units.Room(size + 1);
    const kavex::cli::Converted decoded = kavex::cli::ConvertUtf8ToUtf16(bytes, size, units);
    if (decoded.error != nullptr || decoded.read < size) {
        const KavexStatus status =
            Fail(error, KAVEX_INVALID_UTF8, "invalid byte sequence for encoding \"UTF8\"",
                 "kavex reads text as UTF-8 and never guesses at other bytes.",
                 decoded.error != nullptr ? decoded.error : "truncated sequence");
        error->offset = decoded.read;
        return status;
    }
    const std::size_t count = decoded.written;
    if (!kavex::kLittleEndianHost) SwapBytes(units, count);

    const auto* input = reinterpret_cast<const unsigned char*>(units);
    std::size_t room = count * rules.room + 16;
    char16_t* normalized = scratch.normalized.Room(room);
    std::size_t length = rules.normalizer->NormalizeBytes(
        input, count, reinterpret_cast<unsigned char*>(normalized), room);
    if (length > room) {
        room = length;
        normalized = scratch.normalized.Room(room);
        length = rules.normalizer->NormalizeBytes(
            input, count, reinterpret_cast<unsigned char*>(normalized), room);
    }
    if (!kavex::kLittleEndianHost) SwapBytes(normalized, length);

    unsigned char* utf8 = scratch.utf8.Room(3 * length + 1);
    const kavex::cli::Converted encoded = kavex::cli::ConvertUtf16ToUtf8(normalized, length, utf8);
    // A literal, not a string: this runs for every token a dictionary sees.
    const char* const hint =
        "A rules file of this form writes it; a rule's replacement must be text that a "
        "database can hold.";
    if (encoded.read < length) {
        return Fail(error, KAVEX_UNENCODABLE,
                    "the normalized text holds the lone surrogate " +
                        Hex(normalized[encoded.read]) + ", which UTF-8 cannot carry",
                    hint);
    }
    if (std::memchr(utf8, 0, encoded.written) != nullptr) {
        return Fail(error, KAVEX_UNENCODABLE,
                    "the normalized text holds U+0000, which a text value cannot hold", hint);
    }
    *result = reinterpret_cast<const char*>(utf8);
    *resultSize = encoded.written;
    return KAVEX_OK;
}

}  // namespace

extern "C" {

const KavexRules* kavex_rules_find(const char* folder, const char* formName, const char* profile,
                                   KavexError* error) {
    kavex::Form form = kavex::Form::kNfc;
    try {
        if (!kavex::FormFromName(formName, form)) {
            Fail(error, KAVEX_UNKNOWN_FORM, "unknown normalization form " + Quoted(formName),
                 "Known forms: NFC, NFD, NFKC, NFKD.");
            return nullptr;
        }
        std::string path = folder;
        if (profile != nullptr) {
            try {
                path = kavex::RulesFolder::ProfileFolder(folder, profile);
            } catch (const kavex::RulesFolderError&) {
                const std::string known = KnownProfiles(folder);
                Fail(error, KAVEX_UNKNOWN_PROFILE, "unknown profile " + Quoted(profile),
                     known.empty() ? "These rules have no profiles."
                                   : "Known profiles: " + known + ".");
                return nullptr;
            }
        }
        Loaded& loaded = TheLoaded();
        const auto key = std::make_pair(path, static_cast<int>(form));
        const auto found = loaded.rules.find(key);
        if (found != loaded.rules.end()) return found->second.get();

        std::unique_ptr<kavex::RulesFolder>& opened = loaded.folders[path];
        if (!opened) {
            try {
                opened = std::make_unique<kavex::RulesFolder>(path);
            } catch (...) {
                loaded.folders.erase(path);
                throw;
            }
        }
        std::unique_ptr<KavexRules> rules = Describe(opened->Get(form));
        return (loaded.rules[key] = std::move(rules)).get();
    } catch (const kavex::RulesFolderError& e) {
        FromRulesError(error, e, form);
    } catch (const std::bad_alloc&) {
        Fail(error, KAVEX_OUT_OF_MEMORY, "out of memory loading the kavex rules");
    } catch (const std::exception& e) {
        Fail(error, KAVEX_INTERNAL, std::string("cannot load the kavex rules: ") + e.what());
    } catch (...) {
        Fail(error, KAVEX_INTERNAL, "cannot load the kavex rules");
    }
    return nullptr;
}

size_t kavex_piece_end(const KavexRules* rules, const char* text, size_t size, size_t wanted) {
    if (size <= wanted) return size;
    for (std::size_t i = std::max<std::size_t>(wanted, 1); i < size; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 128 && rules->cutsBefore[byte]) return i;
    }
    return size;
}

KavexStatus kavex_normalize_piece(const KavexRules* rules, const char* text, size_t size,
                                  const char** result, size_t* resultSize, KavexError* error) {
    try {
        return NormalizePiece(*rules, text, size, result, resultSize, error);
    } catch (const std::bad_alloc&) {
        return Fail(error, KAVEX_OUT_OF_MEMORY, "out of memory normalizing a text");
    } catch (const std::exception& e) {
        return Fail(error, KAVEX_INTERNAL, std::string("cannot normalize a text: ") + e.what());
    } catch (...) {
        return Fail(error, KAVEX_INTERNAL, "cannot normalize a text");
    }
}

void kavex_trim_scratch(void) {
    // A megabyte of UTF-8 a buffer: what pieces of typical values need, kept between calls.
    constexpr std::size_t kKept = std::size_t{1} << 20;
    PieceScratch& scratch = TheScratch();
    scratch.units.TrimTo(kKept / 2);
    scratch.normalized.TrimTo(kKept / 2);
    scratch.utf8.TrimTo(kKept);
}

}  // extern "C"
