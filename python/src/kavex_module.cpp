// The Python module kavex._kavex: a rules folder behind a Python API.
//
// A Core is one kavex::RulesFolder, the loader the command-line tool uses too: config.ini is
// read when the Core is made, and each form's rules file the first time the form is used, so
// a process that only ever asks for NFC holds NFC's matcher and rules alone. Nothing here
// changes the current directory.
//
// A str of Arabic-script text (CPython's 2-byte kind) is normalized from its own storage
// straight into the storage of a new str. Other texts are converted to UTF-16 first, and
// normalized piece by piece between their U+0000 characters and between a lone high
// surrogate and a lone low one that follow each other (which UTF-16 would read as one
// character), so every str comes back character for character. The direct way is taken
// whenever it gives the same result: when the form's rules hold no surrogate and no U+0000
// in a source, or the text holds neither.
#include <pthread.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "engine/Marks.h"
#include "engine/Normalizer.h"
#include "engine/Platform.h"
#include "engine/RuleList.h"
#include "interface/Form.h"
#include "interface/RulesFolder.h"

namespace py = pybind11;

namespace {

// Texts (and batches) this long or longer are normalized without the GIL; for shorter ones
// releasing and taking it again would cost more than the work.
constexpr size_t kReleaseGilUnits = 2048;

// A text from this length on gets a margin of room for its result rather than room for the
// longest result possible, and is normalized again in the rare case the margin is short.
constexpr size_t kLongUnits = size_t{1} << 16;

// A batch goes to the engine in chunks of about this many units or items, so that it never
// holds more than a chunk's results besides the list it returns.
constexpr size_t kChunkUnits = size_t{1} << 16;
constexpr size_t kChunkItems = 4096;

inline uint16_t Swap(uint16_t unit) { return static_cast<uint16_t>((unit >> 8) | (unit << 8)); }
inline uint16_t ToLE(uint16_t unit) { return kavex::kLittleEndianHost ? unit : Swap(unit); }
inline bool IsHigh(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
inline bool IsLow(uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }
inline bool IsSurrogate(uint32_t unit) { return (unit & 0xF800) == 0xD800; }

const unsigned char* Bytes(const uint16_t* units) {
    return reinterpret_cast<const unsigned char*>(units);
}
unsigned char* Bytes(uint16_t* units) { return reinterpret_cast<unsigned char*>(units); }

// What a loaded form's rules allow the module to skip, read from them once.
struct FormTraits {
    // What a unit is to the check below, one byte per unit.
    static constexpr uint8_t kEndsSource = 1;
    static constexpr uint8_t kHehMark = 2;  // a U+06BE right after it is moved
    static constexpr uint8_t kHeh = 4;

    const kavex::Normalizer* engine = nullptr;
    // A text holding no unit that ends a rule source holds no source, and unless a U+06BE
    // follows one of the marks it is moved in front of, it is its own result: most short
    // texts are told so here faster than the engine's quick check (which tests a few
    // ranges that cover more units) would answer, and without a call.
    std::unique_ptr<uint8_t[]> units;
    bool anyNarrowEnd = false;  // a source ends in a unit below 256
    // Rules that read or write surrogates or read U+0000 make the text's surrogates and
    // zero units matter; otherwise they pass through every rewrite one for one.
    bool surrogatesInRules = false;
    bool surrogatesInReplacements = false;
    bool zeroInSources = false;
    bool zeroInReplacements = false;
    size_t growth = 1;  // result units per text unit the room is made for, at most 4
    size_t expansion = 1;

    // A rule with an empty source never matches, so it adds nothing.
    void Derive(const kavex::Normalizer& normalizer) {
        units.reset(new uint8_t[65536]());
        for (char16_t mark : kavex::kHehMarks) units[mark] |= kHehMark;
        units[kavex::kHeh] |= kHeh;
        for (const kavex::NormalizationRule& rule : normalizer.rules) {
            if (rule.source.empty()) continue;
            const char16_t end = rule.source.back();
            units[end] |= kEndsSource;
            anyNarrowEnd |= end < 256;
            for (char16_t unit : rule.source) {
                zeroInSources |= unit == 0;
                surrogatesInRules |= IsSurrogate(unit);
            }
            for (char16_t unit : rule.replacement) {
                surrogatesInReplacements |= IsSurrogate(unit);
                zeroInReplacements |= unit == 0;
            }
        }
        surrogatesInRules |= surrogatesInReplacements;
        expansion = kavex::ExpansionOf(normalizer.rules);
        growth = std::min<size_t>(expansion, 4);
        engine = &normalizer;
    }

    // Whether a rewrite may change the units (native order). No branch per unit, one per
    // block: a text that changes usually says so early.
    bool MayChange(const uint16_t* text, size_t length) const {
        const uint8_t* table = units.get();
        unsigned hit = 0;
        unsigned afterMark = 0;
        size_t i = 0;
        auto step = [&](uint16_t unit) {
            const unsigned kind = table[unit];
            hit |= kind & (kEndsSource | afterMark);
            afterMark = (kind & kHehMark) << 1;  // kHeh when this one is a mark
        };
        for (; i + 16 <= length; i += 16) {
            for (size_t j = 0; j < 16; ++j) step(text[i + j]);
            if (hit != 0) return true;
        }
        for (; i < length; ++i) step(text[i]);
        return hit != 0;
    }
    bool MayChange(const uint8_t* text, size_t length) const {
        if (!anyNarrowEnd) return false;
        const uint8_t* table = units.get();
        unsigned hit = 0;
        for (size_t i = 0; i < length; ++i) hit |= table[text[i]];
        return (hit & kEndsSource) != 0;
    }

    // Whether texts joined by U+0000 come back as their results joined the same way: no
    // match spans a U+0000 and none writes one (and a U+06BE moves across marks only).
    bool JoinsTexts() const { return !zeroInSources && !zeroInReplacements; }

    // Room for the result of `units` units: what nearly every result fits in.
    size_t Room(size_t count) const {
        if (count < kLongUnits) return count * growth + 16;
        return expansion == 1 ? count : count + count / 4 + 64;
    }
};

// Uninitialized growable storage for UTF-16LE units.
class UnitBuffer {
  public:
    uint16_t* data() { return data_.get(); }
    size_t size() const { return size_; }
    void clear() { size_ = 0; }
    void Truncate(size_t size) { size_ = size; }
    // Room for `more` units after the current ones.
    uint16_t* Reserve(size_t more) {
        if (more > capacity_ - size_) {
            const size_t capacity = std::max(size_ + more, capacity_ * 2);
            std::unique_ptr<uint16_t[]> grown(new uint16_t[capacity]);
            if (size_ != 0) std::memcpy(grown.get(), data_.get(), size_ * 2);
            data_ = std::move(grown);
            capacity_ = capacity;
        }
        return data_.get() + size_;
    }
    void Grow(size_t units) { size_ += units; }
    void Push(uint16_t unit) {
        Reserve(1);
        data_[size_++] = unit;
    }
    // A thread keeps its buffers between calls, but not the memory of a huge text.
    void Trim() {
        if (capacity_ > (size_t{1} << 20)) {
            data_.reset();
            capacity_ = 0;
        }
        size_ = 0;
    }

  private:
    std::unique_ptr<uint16_t[]> data_;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// Buffers for the texts that are converted, kept between calls. A short text is
// normalized with the GIL held, so one set serves every thread; a long one releases the
// GIL and uses its thread's own (a thread_local in a shared object costs a call to reach,
// more than a short text takes).
struct Buffers {
    UnitBuffer input;
    UnitBuffer output;
};
Buffers gHeldBuffers;
thread_local Buffers tBuffers;
// A batch's: the joined texts and the chunk's results, kept between its chunks (and calls)
// so that each chunk does not map and fault in fresh pages. Python code runs on the
// batch's thread only between chunks (the iterable's), where it may start a batch too.
thread_local Buffers tBatchBuffers;

Buffers& BuffersFor(bool releaseGil) { return releaseGil ? tBuffers : gHeldBuffers; }

// Keeps the buffers from holding a huge text after a call.
struct TrimOnExit {
    Buffers& buffers;
    ~TrimOnExit() {
        buffers.input.Trim();
        buffers.output.Trim();
    }
};

// Normalizes `count` units, appending the result to `out`.
void NormalizeUnits(const FormTraits& form, const uint16_t* units, size_t count, UnitBuffer& out) {
    size_t room = form.Room(count);
    uint16_t* target = out.Reserve(room);
    size_t size = form.engine->NormalizeBytes(Bytes(units), count, Bytes(target), room);
    if (size > room) {
        target = out.Reserve(size);
        size = form.engine->NormalizeBytes(Bytes(units), count, Bytes(target), size);
    }
    out.Grow(size);
}

// How a str is normalized.
enum class Way : uint8_t {
    kUnchanged,  // known to be its own result without a rewrite
    kDirect,     // its 2-byte storage is the engine's input, one unit per character
    kConverted,  // converted to UTF-16 and normalized piece by piece
};

// Whether any unit is a surrogate or U+0000.
inline bool HasSpecialUnits(const uint16_t* units, size_t length) {
    unsigned special = 0;
    for (size_t i = 0; i < length; ++i) {
        const uint16_t unit = units[i];
        special |= static_cast<unsigned>(unit == 0) | static_cast<unsigned>(IsSurrogate(unit));
    }
    return special != 0;
}

// Reads only the str's storage, so it may run without the GIL. Long texts go to the
// engine, whose quick check scans them faster.
Way WayFor(const FormTraits& form, PyObject* str) {
    const size_t length = static_cast<size_t>(PyUnicode_GET_LENGTH(str));
    if (length == 0) return Way::kUnchanged;
    const bool shortText = length < kReleaseGilUnits;
    switch (PyUnicode_KIND(str)) {
        case PyUnicode_1BYTE_KIND:
            // No U+06BE here.
            return form.MayChange(PyUnicode_1BYTE_DATA(str), length) ? Way::kConverted
                                                                     : Way::kUnchanged;
        case PyUnicode_2BYTE_KIND: {
            const uint16_t* units = PyUnicode_2BYTE_DATA(str);
            if (shortText && !form.MayChange(units, length)) return Way::kUnchanged;
            if (!kavex::kLittleEndianHost) return Way::kConverted;
            if (!form.surrogatesInRules && !form.zeroInSources) return Way::kDirect;
            return HasSpecialUnits(units, length) ? Way::kConverted : Way::kDirect;
        }
        default:
            return Way::kConverted;
    }
}

// A text converted to UTF-16LE units, with the places it is cut at besides its zero units.
struct Text {
    const uint16_t* units = nullptr;
    size_t length = 0;
    bool plain = true;  // no zero unit and no cut: one call of the engine does it all
    std::vector<size_t> cuts;
};

// Converts a str to units in `input`. Reads only the str's storage.
Text ConvertStr(PyObject* str, UnitBuffer& input) {
    Text text;
    const size_t length = static_cast<size_t>(PyUnicode_GET_LENGTH(str));
    const void* data = PyUnicode_DATA(str);
    switch (PyUnicode_KIND(str)) {
        case PyUnicode_1BYTE_KIND: {
            const uint8_t* chars = static_cast<const uint8_t*>(data);
            uint16_t* out = input.Reserve(length);
            unsigned zero = 0;
            for (size_t i = 0; i < length; ++i) {
                out[i] = ToLE(chars[i]);
                zero |= static_cast<unsigned>(chars[i] == 0);
            }
            input.Grow(length);
            text.units = out;
            text.length = length;
            text.plain = zero == 0;
            return text;
        }
        case PyUnicode_2BYTE_KIND: {
            const uint16_t* chars = static_cast<const uint16_t*>(data);
            if (kavex::kLittleEndianHost) {
                text.units = chars;
            } else {
                uint16_t* out = input.Reserve(length);
                for (size_t i = 0; i < length; ++i) out[i] = Swap(chars[i]);
                input.Grow(length);
                text.units = out;
            }
            text.length = length;
            if (HasSpecialUnits(chars, length)) {
                text.plain = false;
                for (size_t i = 1; i < length; ++i) {
                    if (IsHigh(chars[i - 1]) && IsLow(chars[i])) text.cuts.push_back(i);
                }
            }
            return text;
        }
        default: {
            const uint32_t* chars = static_cast<const uint32_t*>(data);
            uint16_t* out = input.Reserve(2 * length);
            size_t n = 0;
            for (size_t i = 0; i < length; ++i) {
                const uint32_t c = chars[i];
                if (c >= 0x10000) {
                    out[n++] = ToLE(static_cast<uint16_t>(0xD800 + ((c - 0x10000) >> 10)));
                    out[n++] = ToLE(static_cast<uint16_t>(0xDC00 + (c & 0x3FF)));
                } else {
                    if (c == 0) text.plain = false;
                    if (i > 0 && IsLow(c) && IsHigh(chars[i - 1])) text.cuts.push_back(n);
                    out[n++] = ToLE(static_cast<uint16_t>(c));
                }
            }
            input.Grow(n);
            text.units = out;
            text.length = n;
            if (!text.cuts.empty()) text.plain = false;
            return text;
        }
    }
}

// Appends the normalization of the whole text to `out`, piece by piece between zero units
// and cuts. `cutsOut` receives the places in `out`, from `cutsBase`, where the pieces of a
// cut meet.
void NormalizeText(const FormTraits& form, const Text& text, UnitBuffer& out,
                   std::vector<size_t>& cutsOut, size_t cutsBase) {
    if (text.plain) {
        NormalizeUnits(form, text.units, text.length, out);
        return;
    }
    size_t start = 0;
    size_t nextCut = 0;
    for (size_t i = 0; i <= text.length; ++i) {
        const bool atEnd = i == text.length;
        const bool zero = !atEnd && text.units[i] == 0;
        const bool cut = nextCut < text.cuts.size() && text.cuts[nextCut] == i;
        if (!atEnd && !zero && !cut) continue;
        if (i > start) NormalizeUnits(form, text.units + start, i - start, out);
        if (cut) {
            ++nextCut;
            cutsOut.push_back(out.size() - cutsBase);
        }
        if (zero) {
            out.Push(0);
            start = i + 1;
        } else {
            start = i;
        }
    }
}

// The index of the first U+0000 of units[from, end), or `end`: four units at a time.
size_t FindZeroUnit(const uint16_t* units, size_t from, size_t end) {
    constexpr uint64_t kOnes = 0x0001000100010001u;
    constexpr uint64_t kHighs = 0x8000800080008000u;
    for (; from + 4 <= end; from += 4) {
        uint64_t four;
        std::memcpy(&four, units + from, sizeof four);
        if (((four - kOnes) & ~four & kHighs) != 0) break;
    }
    while (from < end && units[from] != 0) ++from;
    return from;
}

bool SameUnits(const uint16_t* a, size_t aLength, const uint16_t* b, size_t bLength) {
    return aLength == bLength && (aLength == 0 || std::memcmp(a, b, 2 * aLength) == 0);
}

// A str from UTF-16LE units: surrogate pairs become one character, except across a cut.
PyObject* StrFromUnits(const uint16_t* units, size_t length, const size_t* cuts, size_t cutCount) {
    unsigned any = 0;
    unsigned surrogates = 0;
    for (size_t i = 0; i < length; ++i) {
        const uint16_t unit = ToLE(units[i]);
        any |= unit;
        surrogates |= static_cast<unsigned>(IsSurrogate(unit));
    }
    if (surrogates == 0) {
        const Py_UCS4 maxChar = any < 0x80 ? 0x7F : any < 0x100 ? 0xFF : 0xFFFF;
        PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(length), maxChar);
        if (str == nullptr) return nullptr;
        if (maxChar == 0xFFFF) {
            if (kavex::kLittleEndianHost) {
                std::memcpy(PyUnicode_2BYTE_DATA(str), units, 2 * length);
            } else {
                Py_UCS2* chars = PyUnicode_2BYTE_DATA(str);
                for (size_t i = 0; i < length; ++i) chars[i] = Swap(units[i]);
            }
        } else {
            Py_UCS1* chars = PyUnicode_1BYTE_DATA(str);
            for (size_t i = 0; i < length; ++i) chars[i] = static_cast<Py_UCS1>(ToLE(units[i]));
        }
        return str;
    }
    // A pair is one character, unless a cut separates its halves.
    auto pairAt = [&](size_t i, size_t& nextCut) {
        while (nextCut < cutCount && cuts[nextCut] <= i) ++nextCut;
        return IsHigh(ToLE(units[i])) && i + 1 < length && IsLow(ToLE(units[i + 1])) &&
               !(nextCut < cutCount && cuts[nextCut] == i + 1);
    };
    size_t chars = 0;
    size_t nextCut = 0;
    bool pairs = false;
    for (size_t i = 0; i < length; ++i, ++chars) {
        if (pairAt(i, nextCut)) {
            pairs = true;
            ++i;
        }
    }
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(chars), pairs ? 0x10FFFF : 0xFFFF);
    if (str == nullptr) return nullptr;
    const int kind = PyUnicode_KIND(str);
    void* data = PyUnicode_DATA(str);
    nextCut = 0;
    size_t at = 0;
    for (size_t i = 0; i < length; ++i) {
        Py_UCS4 c = ToLE(units[i]);
        if (pairAt(i, nextCut)) {
            c = 0x10000 + ((c - 0xD800) << 10) + (ToLE(units[i + 1]) - 0xDC00);
            ++i;
        }
        PyUnicode_WRITE(kind, data, at++, c);
    }
    return str;
}

// A str of one character per unit, of the narrowest kind that holds them. Little-endian
// hosts only (the direct way).
PyObject* StrFromChars(const uint16_t* units, size_t length) {
    unsigned any = 0;
    for (size_t i = 0; i < length; ++i) any |= units[i];
    if (any < 0x100) {
        return PyUnicode_FromKindAndData(PyUnicode_2BYTE_KIND, units,
                                         static_cast<Py_ssize_t>(length));
    }
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(length), 0xFFFF);
    if (str != nullptr) std::memcpy(PyUnicode_2BYTE_DATA(str), units, 2 * length);
    return str;
}

// The result of the direct way, in units: one character each, unless the rules wrote
// surrogates (the text held none), which then pair as UTF-16 reads them.
PyObject* StrFromDirect(const FormTraits& form, const uint16_t* units, size_t length) {
    if (form.surrogatesInReplacements) return StrFromUnits(units, length, nullptr, 0);
    return StrFromChars(units, length);
}

// Runs `work` without the GIL. Not pybind11's gil_scoped_release: when the interpreter
// finalizes meanwhile, taking the GIL back ends a daemon thread with pthread_exit, whose
// forced unwind must pass through here; a destructor (noexcept) or a catch (...) that does
// not rethrow in its way terminates the process. For the same reason nothing that owns a
// Python reference lives across the call: its destructor would run without the GIL.
template <typename Work>
void WithoutGil(bool release, Work work) {
    if (!release) {
        work();
        return;
    }
    PyThreadState* state = PyEval_SaveThread();
    try {
        work();
    } catch (...) {
        PyEval_RestoreThread(state);
        throw;
    }
    PyEval_RestoreThread(state);
}

// Forms: "NFD", "NFC", "NFKD", "NFKC" in any case, which includes kavex.Form members (a str
// enum).
kavex::Form ParseForm(PyObject* form) {
    if (PyUnicode_Check(form) && PyUnicode_KIND(form) == PyUnicode_1BYTE_KIND) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(form);
        const Py_UCS1* c = PyUnicode_1BYTE_DATA(form);
        auto is = [&](const char* name) {
            for (Py_ssize_t i = 0; i < length; ++i) {
                if ((c[i] & ~0x20) != name[i]) return false;  // ASCII upper case
            }
            return true;
        };
        if (length == 3 && is("NFC")) return kavex::Form::kNfc;
        if (length == 3 && is("NFD")) return kavex::Form::kNfd;
        if (length == 4 && is("NFKD")) return kavex::Form::kNfkd;
        if (length == 4 && is("NFKC")) return kavex::Form::kNfkc;
    }
    PyObject* shown = PyObject_Repr(form);
    if (shown != nullptr) {
        PyErr_Format(PyExc_ValueError,
                     "unknown normalization form %U: use \"NFD\", \"NFC\", \"NFKD\" or \"NFKC\"",
                     shown);
        Py_DECREF(shown);
    }
    throw py::error_already_set();
}

void RequireStr(PyObject* text, const char* function) {
    if (!PyUnicode_Check(text)) {
        PyErr_Format(PyExc_TypeError, "%s() argument 'text' must be str, not %s", function,
                     Py_TYPE(text)->tp_name);
        throw py::error_already_set();
    }
    if (PyUnicode_READY(text) < 0) throw py::error_already_set();
}

// kavex.RulesError, given by the package when it is imported.
PyObject* gRulesError = nullptr;

[[noreturn]] void RaiseRulesError(const kavex::RulesFolderError& error, const std::string& folder) {
    // The names are the file system's, not necessarily UTF-8: decoded as os.fsdecode does,
    // which gives back the folder as the package named it.
    auto decode = [](const std::string& bytes) {
        PyObject* str =
            PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
        if (str == nullptr) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(str);
    };
    if (gRulesError == nullptr) throw std::runtime_error(error.what());
    const py::object message = decode(error.what());
    const py::object shown = decode(folder);
    py::object file = py::none();
    if (!error.File().empty()) {
        const std::string& named = error.File();
        file = decode(named.front() == '/' || folder.empty() ? named
                      : folder.back() == '/'                 ? folder + named
                                                             : folder + "/" + named);
    }
    PyObject* raised =
        PyObject_CallFunctionObjArgs(gRulesError, message.ptr(), shown.ptr(), file.ptr(), nullptr);
    if (raised == nullptr) throw py::error_already_set();
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(raised)), raised);
    Py_DECREF(raised);
    throw py::error_already_set();
}

// A fork waits for a load of rules to end, so that no child starts with the loaders' lock
// held by a thread it does not have. Nothing holding that lock ever waits for the GIL.
void LockLoadsBeforeFork() { kavex::RulesFolder::LoadLock().lock(); }
void UnlockLoadsAfterFork() { kavex::RulesFolder::LoadLock().unlock(); }

// One item of a batch and where its result is.
struct BatchItem {
    PyObject* str;  // a reference the batch owns
    Way way;
    bool changed = false;
    size_t offset = 0;  // of its result in the chunk's output
    size_t length = 0;
    size_t firstCut = 0;  // its cuts in the chunk's list, for the converted way
    size_t cutCount = 0;
    size_t joinedAt = 0;  // its units in the chunk's joined texts
    size_t joinedLength = 0;
};

class Core {
  public:
    explicit Core(const std::string& folder) : folder_(folder) {
        // The file system would stop at the NUL and load another folder.
        if (folder.find('\0') != std::string::npos) {
            PyErr_SetString(PyExc_ValueError, "embedded null byte");
            throw py::error_already_set();
        }
        // config.ini may be slow to read (a network file system, a file that never ends).
        bool failed = false;
        kavex::RulesFolderError failure(kavex::RulesFolderError::Kind::kFolder, "");
        WithoutGil(true, [&] {
            try {
                rules_ = std::make_unique<kavex::RulesFolder>(folder);
            } catch (const kavex::RulesFolderError& error) {
                failure = error;
                failed = true;
            }
        });
        if (failed) RaiseRulesError(failure, folder_);
    }

    // The form's traits, its rules loaded on first use (without the GIL: other threads go on
    // meanwhile, and those that want the same form wait for the one load).
    const FormTraits& Traits(kavex::Form form) {
        FormTraits& traits = traits_[static_cast<size_t>(form)];
        if (traits.engine != nullptr) return traits;
        FormTraits derived;
        bool failed = false;
        kavex::RulesFolderError failure(kavex::RulesFolderError::Kind::kFolder, "");
        WithoutGil(true, [&] {
            try {
                derived.Derive(rules_->Get(form));
            } catch (const kavex::RulesFolderError& error) {
                failure = error;
                failed = true;
            }
        });
        if (failed) RaiseRulesError(failure, folder_);
        // Another thread may have derived them meanwhile; they are the same.
        if (traits.engine == nullptr) traits = std::move(derived);
        return traits;
    }

    bool IsLoaded(kavex::Form form) const { return rules_->IsLoaded(form); }

    PyObject* Normalize(PyObject* str, PyObject* formName) {
        RequireStr(str, "normalize");
        const FormTraits& form = Traits(ParseForm(formName));
        switch (WayFor(form, str)) {
            case Way::kUnchanged:
                break;
            case Way::kDirect:
                return NormalizeDirect(form, str);
            case Way::kConverted:
                return NormalizeConverted(form, str);
        }
        Py_INCREF(str);
        return str;
    }

    bool IsNormalized(PyObject* str, PyObject* formName) {
        RequireStr(str, "is_normalized");
        const FormTraits& form = Traits(ParseForm(formName));
        const Way way = WayFor(form, str);
        if (way == Way::kUnchanged) return true;
        const size_t length = static_cast<size_t>(PyUnicode_GET_LENGTH(str));
        const bool releaseGil = length >= kReleaseGilUnits;
        Buffers& buffers = BuffersFor(releaseGil);
        TrimOnExit trim{buffers};
        bool same = false;
        WithoutGil(releaseGil, [&] {
            if (way == Way::kDirect) {
                // The quick check copies the units while it looks for one that can change;
                // a text with none is answered without a rewrite.
                const uint16_t* units = PyUnicode_2BYTE_DATA(str);
                uint16_t* out = buffers.output.Reserve(length);
                const size_t size =
                    form.engine->NormalizeBytes(Bytes(units), length, Bytes(out), length);
                same = size == length && std::memcmp(out, units, 2 * length) == 0;
            } else {
                const Text text = ConvertStr(str, buffers.input);
                std::vector<size_t> cuts;
                NormalizeText(form, text, buffers.output, cuts, 0);
                same = SameUnits(text.units, text.length, buffers.output.data(),
                                 buffers.output.size());
            }
        });
        return same;
    }

    PyObject* NormalizeUtf16le(PyObject* data, PyObject* formName) {
        if (PyUnicode_Check(data) || !PyObject_CheckBuffer(data)) {
            PyErr_Format(PyExc_TypeError,
                         "normalize_utf16le() argument 'data' must be bytes-like, not %s",
                         Py_TYPE(data)->tp_name);
            throw py::error_already_set();
        }
        const FormTraits& form = Traits(ParseForm(formName));
        Py_buffer view;
        if (PyObject_GetBuffer(data, &view, PyBUF_FULL_RO) != 0) throw py::error_already_set();
        const size_t units = static_cast<size_t>(view.len) / 2;
        const bool releaseGil = units >= kReleaseGilUnits;
        Buffers& buffers = BuffersFor(releaseGil);
        TrimOnExit trim{buffers};
        // Copied, in C order whatever the strides, and the buffer given back before the GIL
        // is released: it may be strided or change meanwhile.
        CopyUnits(view, buffers.input);
        const uint16_t* input = buffers.input.data();
        WithoutGil(releaseGil, [&] {
            if (!form.zeroInSources) {
                NormalizeUnits(form, input, units, buffers.output);
                return;
            }
            // A source holding U+0000 never matches in the library's class, which ends a
            // text at a zero unit: the text is normalized piece by piece between them.
            size_t start = 0;
            for (size_t i = 0; i <= units; ++i) {
                if (i < units && input[i] != 0) continue;
                NormalizeUnits(form, input + start, i - start, buffers.output);
                if (i < units) buffers.output.Push(0);
                start = i + 1;
            }
        });
        if (PyBytes_CheckExact(data) &&
            SameUnits(input, units, buffers.output.data(), buffers.output.size())) {
            Py_INCREF(data);
            return data;
        }
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buffers.output.data()),
                                         static_cast<Py_ssize_t>(2 * buffers.output.size()));
    }

    // Every str of `texts`, an iterable, normalized; a list. Items that come back unchanged
    // are the same objects.
    PyObject* NormalizeAll(PyObject* texts, PyObject* formName) {
        const FormTraits& form = Traits(ParseForm(formName));
        // A str iterates as its characters, which would each be normalized on their own.
        if (PyUnicode_Check(texts)) {
            PyErr_SetString(PyExc_TypeError,
                            "normalize_all() argument 'texts' must be an iterable of str, not a "
                            "str: normalize() takes one text");
            throw py::error_already_set();
        }
        PyObject* iterator = PyObject_GetIter(texts);
        if (iterator == nullptr) {
            if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Format(PyExc_TypeError,
                             "normalize_all() argument 'texts' must be an iterable of str, "
                             "not %s",
                             Py_TYPE(texts)->tp_name);
            }
            throw py::error_already_set();
        }
        PyObject* results = PyList_New(0);
        if (results == nullptr) {
            Py_DECREF(iterator);
            throw py::error_already_set();
        }
        // Raw references, given back on every way out but the forced unwind of a thread
        // ended at exit, which must not touch them without the GIL.
        std::vector<BatchItem> chunk;
        auto releaseChunk = [&chunk] {
            for (BatchItem& item : chunk) Py_DECREF(item.str);
            chunk.clear();
        };
        Buffers& buffers = tBatchBuffers;
        TrimOnExit trim{buffers};
        UnitBuffer& output = buffers.output;
        try {
            std::vector<size_t> cuts;
            Py_ssize_t index = 0;
            for (bool more = true; more;) {
                size_t units = 0;
                while (chunk.size() < kChunkItems && units < kChunkUnits) {
                    PyObject* item = PyIter_Next(iterator);
                    if (item == nullptr) {
                        if (PyErr_Occurred()) throw py::error_already_set();
                        more = false;
                        break;
                    }
                    if (!PyUnicode_Check(item)) {
                        PyErr_Format(PyExc_TypeError,
                                     "normalize_all() item %zd must be str, not %s", index,
                                     Py_TYPE(item)->tp_name);
                        Py_DECREF(item);
                        throw py::error_already_set();
                    }
                    chunk.push_back(BatchItem{item, Way::kUnchanged});
                    if (PyUnicode_READY(item) < 0) throw py::error_already_set();
                    ++index;
                    units += static_cast<size_t>(PyUnicode_GET_LENGTH(item));
                }
                NormalizeChunk(form, chunk, units, buffers, cuts);
                for (BatchItem& item : chunk) {
                    PyObject* result = item.str;
                    if (item.changed) {
                        const uint16_t* at = output.data() + item.offset;
                        result = item.way == Way::kDirect
                                     ? StrFromDirect(form, at, item.length)
                                     : StrFromUnits(at, item.length, cuts.data() + item.firstCut,
                                                    item.cutCount);
                        if (result == nullptr) throw py::error_already_set();
                    } else {
                        Py_INCREF(result);
                    }
                    const int appended = PyList_Append(results, result);
                    Py_DECREF(result);
                    if (appended != 0) throw py::error_already_set();
                }
                releaseChunk();
            }
        } catch (const std::exception&) {
            releaseChunk();
            Py_DECREF(results);
            Py_DECREF(iterator);
            throw;
        }
        Py_DECREF(iterator);
        return results;
    }

  private:
    // The direct way: from the str's storage straight into a new str's.
    static PyObject* NormalizeDirect(const FormTraits& form, PyObject* str) {
        const size_t length = static_cast<size_t>(PyUnicode_GET_LENGTH(str));
        const uint16_t* units = PyUnicode_2BYTE_DATA(str);
        const bool releaseGil = length >= kReleaseGilUnits;
        size_t room = form.Room(length);
        PyObject* result = PyUnicode_New(static_cast<Py_ssize_t>(room), 0xFFFF);
        if (result == nullptr) throw py::error_already_set();
        size_t size = 0;
        try {
            WithoutGil(releaseGil, [&] {
                size = form.engine->NormalizeBytes(Bytes(units), length,
                                                   Bytes(PyUnicode_2BYTE_DATA(result)), room);
            });
            if (size > room) {
                Py_DECREF(result);
                room = size;
                result = PyUnicode_New(static_cast<Py_ssize_t>(room), 0xFFFF);
                if (result == nullptr) throw py::error_already_set();
                WithoutGil(releaseGil, [&] {
                    form.engine->NormalizeBytes(Bytes(units), length,
                                                Bytes(PyUnicode_2BYTE_DATA(result)), room);
                });
            }
        } catch (const std::exception&) {
            // Not a forced unwind, which must not touch the str without the GIL.
            Py_XDECREF(result);
            throw;
        }
        const uint16_t* written = PyUnicode_2BYTE_DATA(result);
        if (SameUnits(units, length, written, size)) {
            Py_DECREF(result);
            Py_INCREF(str);
            return str;
        }
        // A str must be of the narrowest kind that holds its characters.
        unsigned any = 0;
        unsigned surrogates = 0;
        for (size_t i = 0; i < size; ++i) {
            any |= written[i];
            surrogates |= static_cast<unsigned>(IsSurrogate(written[i]));
        }
        if (any < 0x100 || (surrogates != 0 && form.surrogatesInReplacements)) {
            PyObject* narrow = StrFromDirect(form, written, size);
            Py_DECREF(result);
            return narrow;
        }
        if (size != room && PyUnicode_Resize(&result, static_cast<Py_ssize_t>(size)) != 0) {
            Py_XDECREF(result);
            throw py::error_already_set();
        }
        return result;
    }

    static PyObject* NormalizeConverted(const FormTraits& form, PyObject* str) {
        const bool releaseGil = PyUnicode_GET_LENGTH(str) >= Py_ssize_t{kReleaseGilUnits};
        Buffers& buffers = BuffersFor(releaseGil);
        TrimOnExit trim{buffers};
        std::vector<size_t> cuts;
        bool same = false;
        WithoutGil(releaseGil, [&] {
            const Text text = ConvertStr(str, buffers.input);
            NormalizeText(form, text, buffers.output, cuts, 0);
            same = SameUnits(text.units, text.length, buffers.output.data(), buffers.output.size());
        });
        if (same) {
            Py_INCREF(str);
            return str;
        }
        PyObject* result =
            StrFromUnits(buffers.output.data(), buffers.output.size(), cuts.data(), cuts.size());
        if (result == nullptr) throw py::error_already_set();
        return result;
    }

    // Normalizes a chunk of a batch into `output`, reading only the strs' storage (the
    // batch holds their references). Where the rules allow it, the texts that may change
    // go to the engine in one call, joined by U+0000, so that its fixed cost per call is
    // paid once per chunk rather than once per line.
    static void NormalizeChunk(const FormTraits& form, std::vector<BatchItem>& chunk, size_t units,
                               Buffers& buffers, std::vector<size_t>& cuts) {
        UnitBuffer& joined = buffers.input;
        UnitBuffer& output = buffers.output;
        joined.clear();
        output.clear();
        cuts.clear();
        WithoutGil(units >= kReleaseGilUnits, [&] {
            // Room for every text at once (a text of 4-byte characters may take two units
            // per character), and for as long a result, which most batches stay within.
            joined.Reserve(units + chunk.size());
            output.Reserve(units + units / 8 + 16);
            std::vector<BatchItem*> members;
            for (BatchItem& item : chunk) {
                item.way = WayFor(form, item.str);
                if (item.way == Way::kUnchanged) continue;
                if (form.JoinsTexts() && Join(item, joined)) {
                    members.push_back(&item);
                } else {
                    NormalizeAlone(form, item, joined, output, cuts);
                }
            }
            if (!members.empty()) NormalizeJoined(form, members, joined, output, cuts);
        });
    }

    // Appends the item's units and a U+0000 to `joined`; false, leaving `joined` as it
    // was, when the text holds a U+0000 or must be cut.
    static bool Join(BatchItem& item, UnitBuffer& joined) {
        const size_t start = joined.size();
        if (item.way == Way::kDirect) {
            const size_t length = static_cast<size_t>(PyUnicode_GET_LENGTH(item.str));
            const uint16_t* units = PyUnicode_2BYTE_DATA(item.str);
            uint16_t* to = joined.Reserve(length + 1);
            unsigned zero = 0;
            for (size_t i = 0; i < length; ++i) {
                to[i] = units[i];
                zero |= static_cast<unsigned>(units[i] == 0);
            }
            if (zero != 0) return false;
            joined.Grow(length);
        } else {
            const Text text = ConvertStr(item.str, joined);
            if (!text.plain) {
                joined.Truncate(start);
                return false;
            }
            if (text.units != joined.data() + start) {  // passed as it is, not converted
                std::memcpy(joined.Reserve(text.length), text.units, 2 * text.length);
                joined.Grow(text.length);
            }
        }
        item.joinedAt = start;
        item.joinedLength = joined.size() - start;
        joined.Push(0);
        return true;
    }

    // One call for the joined texts, whose results lie between the same U+0000s.
    static void NormalizeJoined(const FormTraits& form, const std::vector<BatchItem*>& members,
                                UnitBuffer& joined, UnitBuffer& output, std::vector<size_t>& cuts) {
        const size_t base = output.size();
        NormalizeUnits(form, joined.data(), joined.size(), output);
        const uint16_t* out = output.data();
        const size_t end = output.size();
        size_t next = 0;
        size_t at = base;
        for (size_t i = base; next < members.size();) {
            i = FindZeroUnit(out, i, end);
            if (i == end) break;
            BatchItem& item = *members[next++];
            item.offset = at;
            item.length = i - at;
            at = ++i;
        }
        if (next != members.size() || at != output.size()) {
            // Never expected; each text on its own is right whatever the engine did.
            output.Truncate(base);
            const size_t end = joined.size();
            for (BatchItem* item : members) NormalizeAlone(form, *item, joined, output, cuts);
            joined.Truncate(end);
            return;
        }
        for (BatchItem* item : members) {
            item->changed = !SameUnits(joined.data() + item->joinedAt, item->joinedLength,
                                       output.data() + item->offset, item->length);
        }
    }

    // The item on its own, its result appended to `output`. Converts into `scratch` after
    // what it holds, which it leaves as it was.
    static void NormalizeAlone(const FormTraits& form, BatchItem& item, UnitBuffer& scratch,
                               UnitBuffer& output, std::vector<size_t>& cuts) {
        item.offset = output.size();
        item.firstCut = cuts.size();
        if (item.way == Way::kDirect) {
            const size_t length = static_cast<size_t>(PyUnicode_GET_LENGTH(item.str));
            const uint16_t* units = PyUnicode_2BYTE_DATA(item.str);
            NormalizeUnits(form, units, length, output);
            item.changed =
                !SameUnits(units, length, output.data() + item.offset, output.size() - item.offset);
        } else {
            const size_t start = scratch.size();
            const Text text = ConvertStr(item.str, scratch);
            NormalizeText(form, text, output, cuts, item.offset);
            item.changed = !SameUnits(text.units, text.length, output.data() + item.offset,
                                      output.size() - item.offset);
            scratch.Truncate(start);
        }
        item.length = output.size() - item.offset;
        item.cutCount = cuts.size() - item.firstCut;
        if (!item.changed) {
            output.Truncate(item.offset);
            cuts.resize(item.firstCut);
            item.cutCount = 0;
        }
    }

    // Takes over `view` and releases it on every way out.
    static void CopyUnits(Py_buffer& view, UnitBuffer& input) {
        struct Release {
            Py_buffer& view;
            ~Release() { PyBuffer_Release(&view); }
        } release{view};
        const size_t bytes = static_cast<size_t>(view.len);
        if (bytes % 2 != 0) {
            PyErr_Format(PyExc_ValueError,
                         "UTF-16LE data must have an even number of bytes, got %zu", bytes);
            throw py::error_already_set();
        }
        uint16_t* units = input.Reserve(bytes / 2);
        if (PyBuffer_IsContiguous(&view, 'C')) {
            if (bytes != 0) std::memcpy(units, view.buf, bytes);
        } else if (PyBuffer_ToContiguous(units, &view, view.len, 'C') != 0) {
            throw py::error_already_set();
        }
        input.Grow(bytes / 2);
    }

    std::string folder_;  // as the file system names it
    std::unique_ptr<kavex::RulesFolder> rules_;
    // Derived under the GIL, once per form; a batch reads its form's without the GIL.
    std::array<FormTraits, kavex::kFormCount> traits_;
};

// The calls are plain vectorcall functions rather than pybind11 overloads: a tokenizer calls
// them once per word, and pybind11's argument dispatch would cost several times the work.

// Positional or keyword arguments (first, form="NFC"); returns false with a TypeError set.
bool ParseArguments(const char* function, const char* first, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject*& text, PyObject*& form) {
    static PyObject* nfc = PyUnicode_InternFromString("NFC");
    text = nargs > 0 ? args[0] : nullptr;
    form = nargs > 1 ? args[1] : nullptr;
    if (nargs > 2) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most 2 arguments (%zd given)", function,
                     nargs);
        return false;
    }
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < keywords; ++i) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, i);
        PyObject** slot = PyUnicode_CompareWithASCIIString(name, first) == 0    ? &text
                          : PyUnicode_CompareWithASCIIString(name, "form") == 0 ? &form
                                                                                : nullptr;
        if (slot == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument %R", function,
                         name);
            return false;
        }
        if (*slot != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument %R", function,
                         name);
            return false;
        }
        *slot = args[nargs + i];
    }
    if (text == nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", function, first);
        return false;
    }
    if (form == nullptr) form = nfc;
    return true;
}

// Runs a call, turning C++ exceptions into Python ones.
template <typename Call>
PyObject* Guard(Call call) {
    try {
        return call();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

// The Core inside a kavex.Normalizer (the method descriptors have checked its type). A
// looked-up cast costs more than normalizing a word, so the usual layout is read directly.
Core* SelfCore(PyObject* self) {
    auto* instance = reinterpret_cast<py::detail::instance*>(self);
    if (instance->simple_layout && instance->simple_holder_constructed) {
        return static_cast<Core*>(instance->simple_value_holder[0]);
    }
    return py::cast<Core*>(py::handle(self));
}

PyObject* MethodNormalize(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    PyObject *text, *form;
    if (!ParseArguments("normalize", "text", args, nargs, kwnames, text, form)) return nullptr;
    return Guard([&] { return SelfCore(self)->Normalize(text, form); });
}

PyObject* MethodIsNormalized(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    PyObject *text, *form;
    if (!ParseArguments("is_normalized", "text", args, nargs, kwnames, text, form)) {
        return nullptr;
    }
    return Guard([&] { return PyBool_FromLong(SelfCore(self)->IsNormalized(text, form)); });
}

PyObject* MethodNormalizeUtf16le(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    PyObject *data, *form;
    if (!ParseArguments("normalize_utf16le", "data", args, nargs, kwnames, data, form)) {
        return nullptr;
    }
    return Guard([&] { return SelfCore(self)->NormalizeUtf16le(data, form); });
}

PyObject* MethodNormalizeAll(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    PyObject *texts, *form;
    if (!ParseArguments("normalize_all", "texts", args, nargs, kwnames, texts, form)) {
        return nullptr;
    }
    return Guard([&] { return SelfCore(self)->NormalizeAll(texts, form); });
}

// kavex.normalize and kavex.normalize_all: the default normalizer, made on first use by
// kavex._default_normalizer (which holds the lock), and kept for the life of the process.
PyObject* gDefaultFactory = nullptr;
PyObject* gDefault = nullptr;
Core* gDefaultCore = nullptr;

Core& DefaultCore() {
    if (gDefaultCore == nullptr) {
        if (gDefaultFactory == nullptr) throw std::runtime_error("kavex is not initialized");
        PyObject* made = PyObject_CallNoArgs(gDefaultFactory);
        if (made == nullptr) throw py::error_already_set();
        if (gDefaultCore == nullptr) {
            gDefaultCore = SelfCore(made);
            gDefault = made;
        } else {
            Py_DECREF(made);
        }
    }
    return *gDefaultCore;
}

PyObject* ModuleNormalize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject *text, *form;
    if (!ParseArguments("normalize", "text", args, nargs, kwnames, text, form)) return nullptr;
    return Guard([&] { return DefaultCore().Normalize(text, form); });
}

PyObject* ModuleNormalizeAll(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    PyObject *texts, *form;
    if (!ParseArguments("normalize_all", "texts", args, nargs, kwnames, texts, form)) {
        return nullptr;
    }
    return Guard([&] { return DefaultCore().NormalizeAll(texts, form); });
}

template <typename Function>
PyCFunction AsCFunction(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

constexpr int kFastCall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef gMethods[] = {
    {"normalize", AsCFunction(MethodNormalize), kFastCall,
     "normalize(text, form=\"NFC\") -> str\n\nThe normalized text, or `text` itself when "
     "nothing changed."},
    {"normalize_all", AsCFunction(MethodNormalizeAll), kFastCall,
     "normalize_all(texts, form=\"NFC\") -> list[str]\n\nEvery str of the iterable `texts` "
     "normalized, with the GIL released over the batch; unchanged texts are the same "
     "objects."},
    {"is_normalized", AsCFunction(MethodIsNormalized), kFastCall,
     "is_normalized(text, form=\"NFC\") -> bool\n\nWhether normalize would return the text "
     "unchanged."},
    {"normalize_utf16le", AsCFunction(MethodNormalizeUtf16le), kFastCall,
     "normalize_utf16le(data, form=\"NFC\") -> bytes\n\nThe same for UTF-16LE bytes, unit for "
     "unit."},
};

PyMethodDef gModuleFunctions[] = {
    {"normalize", AsCFunction(ModuleNormalize), kFastCall,
     "normalize(text, form=\"NFC\") -> str\n\nNormalizes with the shipped rules: the text in "
     "the form \"NFD\", \"NFC\", \"NFKD\" or \"NFKC\" (any case, or a kavex.Form), or `text` "
     "itself when nothing changed."},
    {"normalize_all", AsCFunction(ModuleNormalizeAll), kFastCall,
     "normalize_all(texts, form=\"NFC\") -> list[str]\n\nNormalizes every str of the iterable "
     "`texts` with the shipped rules."},
};

}  // namespace

PYBIND11_MODULE(_kavex, m) {
    m.doc() = "The compiled part of kavex; use the kavex package.";
    // Once per process, whatever imports the module again.
    static const int atFork =
        pthread_atfork(LockLoadsBeforeFork, UnlockLoadsAfterFork, UnlockLoadsAfterFork);
    if (atFork != 0) throw std::system_error(atFork, std::generic_category(), "pthread_atfork");

    py::class_<Core> core(m, "Core", py::dynamic_attr());
    core.def(py::init([](const std::string& folder) { return new Core(folder); }),
             py::arg("folder"),
             "Opens the rules folder `folder` (bytes) and reads its config.ini; each form's "
             "rules load on first use. Raises kavex.RulesError.");
    core.def(
        "_is_loaded",
        [](const Core& self, const std::string& form) {
            kavex::Form parsed;
            if (!kavex::FormFromName(form, parsed)) throw py::value_error("unknown form");
            return self.IsLoaded(parsed);
        },
        py::arg("form"), "Whether the form's rules are loaded.");
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(core.ptr());
    for (PyMethodDef& method : gMethods) {
        py::object descriptor = py::reinterpret_steal<py::object>(PyDescr_NewMethod(type, &method));
        if (!descriptor) throw py::error_already_set();
        core.attr(method.ml_name) = descriptor;
    }
    for (PyMethodDef& function : gModuleFunctions) {
        py::object made = py::reinterpret_steal<py::object>(
            PyCFunction_NewEx(&function, nullptr, m.attr("__name__").ptr()));
        if (!made) throw py::error_already_set();
        m.attr(function.ml_name) = made;
    }
    m.def(
        "_set_hooks",
        [](py::object factory, py::object rulesError) {
            Py_XDECREF(gDefaultFactory);
            gDefaultFactory = factory.release().ptr();
            Py_XDECREF(gRulesError);
            gRulesError = rulesError.release().ptr();
        },
        py::arg("default_factory"), py::arg("rules_error"));
}
