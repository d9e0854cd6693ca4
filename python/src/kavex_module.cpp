// The Python module kavex._kavex: the public class Normalization behind a Python API.
//
// Python text goes to the library as UTF-16LE units. A str whose characters are all
// below U+10000 (CPython's 2-byte kind, which holds Arabic-script text) is passed as it is,
// without a copy; other texts are converted into a per-thread buffer. The sized Normalize
// ends its input at a zero unit, so texts are cut there and the zero unit is copied
// between the pieces. A high surrogate followed by a low surrogate, both lone characters
// of the str, would read as one character in UTF-16; the text is cut between them too, so
// every str comes back character for character.
//
// config.ini and the rules files are read through the library's own readers (the internal
// static libraries), so the quick check of short texts derives from the very rules the
// library loaded.
#include <fcntl.h>
#include <kavex/Normalization.h>
#include <pthread.h>
#include <pybind11/pybind11.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#ifdef __GLIBCXX__
#include <cxxabi.h>
#endif

#include "config/ConfigManager.h"
#include "engine/Marks.h"
#include "engine/Normalizer.h"
#include "engine/Platform.h"
#include "errors/KavexException.h"

namespace py = pybind11;

namespace {

// Texts this long or longer are normalized without the GIL; for shorter ones releasing
// and taking it again would cost more than the work.
constexpr size_t kReleaseGilUnits = 2048;

// The sized Normalize takes lengths in bytes as int, and the result, 2n + 1 bytes, must
// fit in an int as well.
constexpr size_t kMaxPieceUnits = (INT_MAX - 1) / 2;

inline uint16_t Swap(uint16_t unit) { return static_cast<uint16_t>((unit >> 8) | (unit << 8)); }
inline uint16_t ToLE(uint16_t unit) { return kavex::kLittleEndianHost ? unit : Swap(unit); }
inline bool IsHigh(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
inline bool IsLow(uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }
inline bool IsSurrogate(uint32_t unit) { return (unit & 0xF800) == 0xD800; }

// Uninitialized growable storage for UTF-16LE units.
class UnitBuffer {
  public:
    uint16_t* data() { return data_.get(); }
    size_t size() const { return size_; }
    void clear() { size_ = 0; }
    // Room for `more` units after the current ones, plus the library's zero byte.
    uint16_t* Reserve(size_t more) {
        if (size_ + more + 1 > capacity_) {
            size_t capacity = std::max(size_ + more + 1, capacity_ * 2);
            std::unique_ptr<uint16_t[]> grown(new uint16_t[capacity]);
            if (size_ != 0) std::memcpy(grown.get(), data_.get(), size_ * 2);
            data_ = std::move(grown);
            capacity_ = capacity;
        }
        return data_.get() + size_;
    }
    size_t Room() const { return capacity_ - size_; }
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

// Buffers to convert and normalize in, kept between calls. A short text is normalized with
// the GIL held, so one set serves every thread; a long one releases the GIL and uses its
// thread's own (a thread_local in a shared object costs a call to reach, more than a
// short text takes).
struct Buffers {
    UnitBuffer input;
    UnitBuffer output;
};
Buffers gHeldBuffers;
thread_local Buffers tBuffers;

Buffers& BuffersFor(bool releaseGil) { return releaseGil ? tBuffers : gHeldBuffers; }

// Text ready for the library: units (UTF-16LE) and the places the text must be cut, in
// addition to its zero units.
struct Text {
    const uint16_t* units = nullptr;
    size_t length = 0;
    bool plain = true;  // no zero unit and no cut: one call of the library does it all
    std::vector<size_t> cuts;
};

// Either a zero unit or a surrogate: such a text needs the careful path.
inline bool HasSpecialUnits(const uint16_t* units, size_t length) {
    unsigned special = 0;
    for (size_t i = 0; i < length; ++i) {
        const uint16_t unit = units[i];
        special |= (unit == 0) | ((unit & 0xF800) == 0xD800);
    }
    return special != 0;
}

// Converts a str to units. Runs with the GIL held: it reads the str's storage.
Text PrepareStr(PyObject* str, UnitBuffer& input) {
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
                zero |= chars[i] == 0;
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

enum class Status { kOk, kTooLong, kFailed };

// Appends the normalization of units that hold no zero unit to out.
Status NormalizePiece(const Normalization& norm, Normalization::NormMode mode, const uint16_t* in,
                      size_t length, UnitBuffer& out) {
    if (length > kMaxPieceUnits) return Status::kTooLong;
    const unsigned char* input = reinterpret_cast<const unsigned char*>(in);
    const int bytes = static_cast<int>(2 * length);
    // Most results are about as long as the text; twice plus a little covers nearly all
    // decompositions, so a second call is rare.
    size_t guess = std::min(2 * length + 16, kMaxPieceUnits);
    unsigned char* target = reinterpret_cast<unsigned char*>(out.Reserve(guess));
    int written = norm.Normalize(input, bytes, mode, target, static_cast<int>(2 * guess + 1));
    if (written < 0) {
        const size_t needed = static_cast<size_t>(-static_cast<long long>(written));
        target = reinterpret_cast<unsigned char*>(out.Reserve(needed / 2));
        written = norm.Normalize(input, bytes, mode, target, static_cast<int>(needed));
    }
    // 0: the result would not fit in an int (the object is loaded and the mode valid).
    if (written == 0) return Status::kTooLong;
    if (written < 0) return Status::kFailed;
    out.Grow(static_cast<size_t>(written - 1) / 2);
    return Status::kOk;
}

// Normalizes the whole text into out, piece by piece between zero units and cuts. `cutsOut`
// receives the places in out where the pieces of a cut meet.
Status NormalizeText(const Normalization& norm, Normalization::NormMode mode, const Text& text,
                     UnitBuffer& out, std::vector<size_t>* cutsOut) {
    if (text.plain) return NormalizePiece(norm, mode, text.units, text.length, out);
    size_t start = 0;
    size_t nextCut = 0;
    for (size_t i = 0; i <= text.length; ++i) {
        const bool atEnd = i == text.length;
        const bool zero = !atEnd && text.units[i] == 0;
        const bool cut = nextCut < text.cuts.size() && text.cuts[nextCut] == i;
        if (!atEnd && !zero && !cut) continue;
        if (i > start) {
            const Status status = NormalizePiece(norm, mode, text.units + start, i - start, out);
            if (status != Status::kOk) return status;
        }
        if (cut) {
            ++nextCut;
            if (cutsOut != nullptr) cutsOut->push_back(out.size());
        }
        if (zero) {
            out.Push(0);
            start = i + 1;
        } else {
            start = i;
        }
    }
    return Status::kOk;
}

bool SameUnits(const Text& text, UnitBuffer& out) {
    return out.size() == text.length &&
           (text.length == 0 || std::memcmp(out.data(), text.units, 2 * text.length) == 0);
}

// A str from UTF-16LE units: surrogate pairs become one character, except across a cut.
PyObject* StrFromUnits(const uint16_t* units, size_t length, const std::vector<size_t>& cuts) {
    unsigned any = 0;
    unsigned surrogates = 0;
    for (size_t i = 0; i < length; ++i) {
        const uint16_t unit = ToLE(units[i]);
        any |= unit;
        surrogates |= IsSurrogate(unit);
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
    // Count the characters: a pair is one, unless a cut separates its halves.
    size_t chars = 0;
    size_t nextCut = 0;
    bool pairs = false;
    for (size_t i = 0; i < length; ++i, ++chars) {
        while (nextCut < cuts.size() && cuts[nextCut] <= i) ++nextCut;
        if (IsHigh(ToLE(units[i])) && i + 1 < length && IsLow(ToLE(units[i + 1])) &&
            !(nextCut < cuts.size() && cuts[nextCut] == i + 1)) {
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
        while (nextCut < cuts.size() && cuts[nextCut] <= i) ++nextCut;
        Py_UCS4 c = ToLE(units[i]);
        if (IsHigh(c) && i + 1 < length && IsLow(ToLE(units[i + 1])) &&
            !(nextCut < cuts.size() && cuts[nextCut] == i + 1)) {
            c = 0x10000 + ((c - 0xD800) << 10) + (ToLE(units[i + 1]) - 0xDC00);
            ++i;
        }
        PyUnicode_WRITE(kind, data, at++, c);
    }
    return str;
}

// Forms: "NFD", "NFC", "NFKD" in any case, which includes kavex.Form members (a str enum).
Normalization::NormMode ParseForm(PyObject* form) {
    if (PyUnicode_Check(form) && PyUnicode_KIND(form) == PyUnicode_1BYTE_KIND) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(form);
        const Py_UCS1* c = PyUnicode_1BYTE_DATA(form);
        auto is = [&](const char* name) {
            for (Py_ssize_t i = 0; i < length; ++i) {
                if ((c[i] & ~0x20) != name[i]) return false;  // ASCII upper case
            }
            return true;
        };
        if (length == 3 && is("NFD")) return Normalization::NFD;
        if (length == 3 && is("NFC")) return Normalization::NFC;
        if (length == 4 && is("NFKD")) return Normalization::NFKD;
    }
    PyObject* shown = PyObject_Repr(form);
    if (shown != nullptr) {
        PyErr_Format(PyExc_ValueError,
                     "unknown normalization form %U: use \"NFD\", \"NFC\" or \"NFKD\"", shown);
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

[[noreturn]] void RaiseFailure(Status status) {
    if (status == Status::kTooLong) {
        PyErr_SetString(PyExc_OverflowError,
                        "text too long: a piece between U+0000 characters, and its result, must "
                        "stay below 2**30 UTF-16 units");
    } else {
        PyErr_SetString(PyExc_RuntimeError, "kavex: the library did not normalize the text");
    }
    throw py::error_already_set();
}

// Keeps the per-thread buffers from holding a huge text after a call.
struct TrimOnExit {
    Buffers& buffers;
    ~TrimOnExit() {
        buffers.input.Trim();
        buffers.output.Trim();
    }
};

// Runs `work` without the GIL. Not pybind11's gil_scoped_release: when the interpreter
// finalizes meanwhile, taking the GIL back ends a daemon thread with pthread_exit, whose
// forced unwind must pass through here; a destructor (noexcept) or a catch (...) that does
// not rethrow in its way terminates the process.
template <typename Work>
auto WithoutGil(Work work) -> decltype(work()) {
    PyThreadState* state = PyEval_SaveThread();
    decltype(work()) result{};
    try {
        result = work();
    } catch (...) {
        PyEval_RestoreThread(state);
        throw;
    }
    PyEval_RestoreThread(state);
    return result;
}

// Normalizes, with the GIL released for long texts (decided with the choice of buffers).
Status Run(const Normalization& norm, Normalization::NormMode mode, const Text& text,
           UnitBuffer& out, std::vector<size_t>* cutsOut, bool releaseGil) {
    if (!releaseGil) return NormalizeText(norm, mode, text, out, cutsOut);
    return WithoutGil([&] { return NormalizeText(norm, mode, text, out, cutsOut); });
}

// Units that may change a text under one form: the last unit of every rule source. A text
// holding none of them, and no U+06BE right after one of the marks the library moves it
// in front of, comes back as it is, so short texts skip the call into the library, as a
// quick check does elsewhere.
class ChangeSet {
  public:
    bool known() const { return known_; }
    bool Contains(uint16_t unit) const { return (bits_[unit >> 6] >> (unit & 63)) & 1; }
    bool AnyBelow256() const { return below256_; }

    // A rule with an empty source never matches, so it adds nothing.
    void Derive(const std::vector<kavex::NormalizationRule>& rules) {
        bits_.fill(0);
        for (const kavex::NormalizationRule& rule : rules) {
            if (!rule.source.empty()) Add(rule.source.back());
        }
        below256_ = (bits_[0] | bits_[1] | bits_[2] | bits_[3]) != 0;
        known_ = true;
    }

    // Whether the units may change under the form; true when the set is not known.
    bool MayChange(const uint16_t* units, size_t length) const {
        if (!known_) return true;
        for (size_t i = 0; i < length; ++i) {
            if (Contains(units[i])) return true;
            if (units[i] == kavex::kHeh && i > 0 && kavex::IsHehMark(units[i - 1])) return true;
        }
        return false;
    }

  private:
    void Add(uint16_t unit) { bits_[unit >> 6] |= uint64_t{1} << (unit & 63); }

    std::array<uint64_t, 1024> bits_{};
    bool known_ = false;
    bool below256_ = true;
};

// A rules folder that could not be loaded; kavex._kavex.LoadFailed(detail, file) in Python,
// `file` the name of the file at fault as config.ini gives it (relative to the folder), or
// None when it cannot be told.
struct LoadFailed {
    std::string detail;
    std::string file;
};

// config.ini is read from the current directory, which belongs to the whole process: loads
// take turns under this lock, enter the folder and always go back. A fork waits for a load
// to end (the at-fork handlers below), so no child starts inside a rules folder or with the
// lock held by a thread it does not have. Nothing holding the lock ever waits for the GIL.
std::mutex gLoadMutex;

void LockLoadsBeforeFork() { gLoadMutex.lock(); }
void UnlockLoadsAfterFork() { gLoadMutex.unlock(); }

// The rules file names config.ini gives, by mode.
std::array<const std::string*, 3> RulesFilesOf(const kavex::ConfigManager& config) {
    std::array<const std::string*, 3> paths{};
    paths[Normalization::NFD] = &config.nfdFilePath;
    paths[Normalization::NFC] = &config.nfcFilePath;
    paths[Normalization::NFKD] = &config.nfkdFilePath;
    return paths;
}

// The library's own result for the ways a load fails, checked in its order: config.ini,
// then the NFC, NFD and NFKD rules files.
LoadFailed DescribeFailure() {
    kavex::ConfigManager config;
    try {
        if (!config.ReadConfigFile()) {
            struct stat info;
            if (stat("config.ini", &info) != 0) return {"no config.ini there", "config.ini"};
            return {"config.ini cannot be opened", "config.ini"};
        }
    } catch (const kavex::KavexException& e) {
        return {"cannot read config.ini: " + e.GetMessage(), "config.ini"};
    }
    const std::array<const std::string*, 3> paths = RulesFilesOf(config);
    for (const std::string* path : paths) {
        if (path->empty()) {
            return {
                "config.ini does not name all three rules files (NFDfilepath, NFCfilepath, "
                "NFKDfilepath)",
                "config.ini"};
        }
    }
    for (Normalization::NormMode mode :
         {Normalization::NFC, Normalization::NFD, Normalization::NFKD}) {
        const std::string& path = *paths[mode];
        struct stat info;
        if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
            return {"rules file '" + path + "' named in config.ini is missing", path};
        }
        kavex::Normalizer reader;
        if (!reader.ReadRulesFile(path.c_str())) {
            return {"rules file '" + path +
                        "' named in config.ini cannot be read: " + reader.LastReadError(),
                    path};
        }
    }
    return {"config.ini or a rules file it names could not be loaded", ""};
}

class Core {
  public:
    explicit Core(const std::string& folder) {
        // chdir would stop at the NUL and load another folder.
        if (folder.find('\0') != std::string::npos) {
            PyErr_SetString(PyExc_ValueError, "embedded null byte");
            throw py::error_already_set();
        }
        LoadFailed failure;
        if (!WithoutGil([&] { return Load(folder, failure); })) throw failure;
    }

    py::object Normalize(py::handle textHandle, py::handle formHandle) const {
        PyObject* str = textHandle.ptr();
        RequireStr(str, "normalize");
        const Normalization::NormMode mode = ParseForm(formHandle.ptr());
        if (Unchanged(str, mode)) return py::reinterpret_borrow<py::object>(textHandle);
        const bool releaseGil = PyUnicode_GET_LENGTH(str) >= Py_ssize_t{kReleaseGilUnits};
        Buffers& buffers = BuffersFor(releaseGil);
        TrimOnExit trim{buffers};
        const Text text = PrepareStr(str, buffers.input);
        std::vector<size_t> cuts;
        const Status status = Run(norm_, mode, text, buffers.output, &cuts, releaseGil);
        if (status != Status::kOk) RaiseFailure(status);
        if (SameUnits(text, buffers.output)) return py::reinterpret_borrow<py::object>(textHandle);
        PyObject* result = StrFromUnits(buffers.output.data(), buffers.output.size(), cuts);
        if (result == nullptr) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(result);
    }

    bool IsNormalized(py::handle textHandle, py::handle formHandle) const {
        PyObject* str = textHandle.ptr();
        RequireStr(str, "is_normalized");
        const Normalization::NormMode mode = ParseForm(formHandle.ptr());
        if (Unchanged(str, mode)) return true;
        const bool releaseGil = PyUnicode_GET_LENGTH(str) >= Py_ssize_t{kReleaseGilUnits};
        Buffers& buffers = BuffersFor(releaseGil);
        TrimOnExit trim{buffers};
        const Text text = PrepareStr(str, buffers.input);
        const Status status = Run(norm_, mode, text, buffers.output, nullptr, releaseGil);
        if (status != Status::kOk) RaiseFailure(status);
        return SameUnits(text, buffers.output);
    }

    py::object NormalizeUtf16le(py::handle dataHandle, py::handle formHandle) const {
        PyObject* data = dataHandle.ptr();
        if (PyUnicode_Check(data) || !PyObject_CheckBuffer(data)) {
            PyErr_Format(PyExc_TypeError,
                         "normalize_utf16le() argument 'data' must be bytes-like, not %s",
                         Py_TYPE(data)->tp_name);
            throw py::error_already_set();
        }
        const Normalization::NormMode mode = ParseForm(formHandle.ptr());
        Py_buffer view;
        if (PyObject_GetBuffer(data, &view, PyBUF_FULL_RO) != 0) throw py::error_already_set();
        const size_t bytes = static_cast<size_t>(view.len);
        const bool releaseGil = bytes / 2 >= kReleaseGilUnits;
        Buffers& buffers = BuffersFor(releaseGil);
        TrimOnExit trim{buffers};
        // Copied, in C order whatever the strides, and the buffer given back before the GIL
        // is released: it may be unaligned, strided or change meanwhile.
        const Text text = CopyUnits(view, buffers.input);
        const Status status = Run(norm_, mode, text, buffers.output, nullptr, releaseGil);
        if (status != Status::kOk) RaiseFailure(status);
        if (PyBytes_CheckExact(data) && SameUnits(text, buffers.output)) {
            return py::reinterpret_borrow<py::object>(dataHandle);
        }
        return py::bytes(reinterpret_cast<const char*>(buffers.output.data()),
                         2 * buffers.output.size());
    }

  private:
    // Takes over `view` and releases it on every path.
    static Text CopyUnits(Py_buffer& view, UnitBuffer& input) {
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
        Text text;
        text.length = bytes / 2;
        uint16_t* units = input.Reserve(text.length);
        if (PyBuffer_IsContiguous(&view, 'C')) {
            if (bytes != 0) std::memcpy(units, view.buf, bytes);
        } else if (PyBuffer_ToContiguous(units, &view, view.len, 'C') != 0) {
            throw py::error_already_set();
        }
        input.Grow(text.length);
        text.units = units;
        text.plain = true;
        for (size_t i = 0; i < text.length; ++i) {
            if (units[i] == 0) {
                text.plain = false;
                break;
            }
        }
        return text;
    }

    // A short text without a unit that may change is its own result. Long texts go to the
    // library, which scans them as fast and without the GIL.
    bool Unchanged(PyObject* str, Normalization::NormMode mode) const {
        const ChangeSet& changes = changes_[mode];
        if (!changes.known()) return false;
        const size_t length = static_cast<size_t>(PyUnicode_GET_LENGTH(str));
        if (length >= kReleaseGilUnits) return false;
        switch (PyUnicode_KIND(str)) {
            case PyUnicode_1BYTE_KIND:
                return !changes.AnyBelow256();
            case PyUnicode_2BYTE_KIND:
                return !changes.MayChange(PyUnicode_2BYTE_DATA(str), length);
            default:
                return false;
        }
    }

    bool Load(const std::string& folder, LoadFailed& failure) {
        std::lock_guard<std::mutex> lock(gLoadMutex);
        const int previous = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (previous < 0) {
            failure = {std::string("cannot open the current directory: ") + std::strerror(errno),
                       ""};
            return false;
        }
        if (chdir(folder.c_str()) != 0) {
            const int error = errno;
            failure.detail = error == ENOENT || error == ENOTDIR
                                 ? std::string("not a folder")
                                 : std::string("cannot enter the folder: ") + std::strerror(error);
            close(previous);
            return false;
        }
        bool loaded = false;
        try {
            loaded = InitializeHere();
            if (loaded) {
                DeriveQuickChecks();
            } else {
                failure = DescribeFailure();
            }
        } catch (const std::exception& e) {
            loaded = false;
            failure = {e.what(), ""};
        }
        if (fchdir(previous) != 0) {
            failure = {std::string("loaded, but could not return to the previous current "
                                   "directory: ") +
                           std::strerror(errno),
                       ""};
            loaded = false;
        }
        close(previous);
        return loaded;
    }

    // The library's load in the current directory; false also when it raises (a
    // config.ini that cannot be read), which DescribeFailure then reports.
    bool InitializeHere() {
        try {
            return norm_.Initialize();
#ifdef __GLIBCXX__
        } catch (abi::__forced_unwind&) {
            throw;
#endif
        } catch (const std::bad_alloc&) {
            throw;
        } catch (...) {
            // kavex::IOException, raised inside the shared library: its type is the
            // library's own, not this module's copy.
            return false;
        }
    }

    // Reads config.ini and the rules files again, as the library just read them, for the
    // units that may change a text. A set left unknown only turns the quick check off.
    void DeriveQuickChecks() {
        kavex::ConfigManager config;
        try {
            if (!config.ReadConfigFile()) return;
        } catch (const kavex::KavexException&) {
            return;
        }
        const std::array<const std::string*, 3> paths = RulesFilesOf(config);
        for (int mode = 0; mode < 3; ++mode) {
            try {
                kavex::Normalizer reader;
                if (reader.ReadRulesFile(paths[mode]->c_str())) {
                    changes_[mode].Derive(reader.rules);
                }
            } catch (const std::bad_alloc&) {
            }
        }
    }

    Normalization norm_;
    std::array<ChangeSet, 3> changes_;
};

// The calls are plain vectorcall functions rather than pybind11 overloads: a tokenizer calls
// them once per word, and pybind11's argument dispatch would cost several times the work.

// Positional or keyword arguments (text, form="NFC"); returns false with a TypeError set.
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
    return Guard([&] { return SelfCore(self)->Normalize(text, form).release().ptr(); });
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
    return Guard([&] { return SelfCore(self)->NormalizeUtf16le(data, form).release().ptr(); });
}

// kavex.normalize: the default normalizer, made on first use by kavex._default_normalizer
// (which holds the lock), and kept for the life of the process.
PyObject* gDefaultFactory = nullptr;
PyObject* gDefault = nullptr;
const Core* gDefaultCore = nullptr;

PyObject* ModuleNormalize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject *text, *form;
    if (!ParseArguments("normalize", "text", args, nargs, kwnames, text, form)) return nullptr;
    return Guard([&] {
        if (gDefaultCore == nullptr) {
            if (gDefaultFactory == nullptr) throw std::runtime_error("kavex is not initialized");
            py::object made =
                py::reinterpret_steal<py::object>(PyObject_CallNoArgs(gDefaultFactory));
            if (!made) throw py::error_already_set();
            if (gDefaultCore == nullptr) {
                gDefaultCore = SelfCore(made.ptr());
                gDefault = made.release().ptr();
            }
        }
        return gDefaultCore->Normalize(text, form).release().ptr();
    });
}

constexpr int kFastCall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef gMethods[] = {
    {"normalize", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(MethodNormalize)),
     kFastCall,
     "normalize(text, form=\"NFC\") -> str\n\nThe normalized text, or `text` itself when "
     "nothing changed."},
    {"is_normalized",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(MethodIsNormalized)), kFastCall,
     "is_normalized(text, form=\"NFC\") -> bool\n\nWhether normalize would return the text "
     "unchanged."},
    {"normalize_utf16le",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(MethodNormalizeUtf16le)), kFastCall,
     "normalize_utf16le(data, form=\"NFC\") -> bytes\n\nThe same for UTF-16LE bytes, unit for "
     "unit."},
};

PyMethodDef gModuleNormalize = {
    "normalize", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ModuleNormalize)),
    kFastCall,
    "normalize(text, form=\"NFC\") -> str\n\nNormalizes with the shipped rules: the text in "
    "the form \"NFD\", \"NFC\" or \"NFKD\" (any case, or a kavex.Form), or `text` itself when "
    "nothing changed."};

}  // namespace

PYBIND11_MODULE(_kavex, m) {
    m.doc() = "The compiled part of kavex; use the kavex package.";
    static py::exception<LoadFailed> loadFailed(m, "LoadFailed", PyExc_RuntimeError);
    py::register_exception_translator([](std::exception_ptr pointer) {
        try {
            if (pointer) std::rethrow_exception(pointer);
        } catch (const LoadFailed& e) {
            // Bytes: the names are the file system's, not necessarily UTF-8.
            py::object file = e.file.empty() ? py::object(py::none()) : py::bytes(e.file);
            PyErr_SetObject(loadFailed.ptr(), py::make_tuple(py::bytes(e.detail), file).ptr());
        }
    });
    // Once per process, whatever imports the module again.
    static const int atFork =
        pthread_atfork(LockLoadsBeforeFork, UnlockLoadsAfterFork, UnlockLoadsAfterFork);
    if (atFork != 0) throw std::system_error(atFork, std::generic_category(), "pthread_atfork");

    py::class_<Core> core(m, "Core", py::dynamic_attr());
    core.def(py::init([](const std::string& folder) { return new Core(folder); }),
             py::arg("folder"),
             "Loads config.ini and the rules files it names from `folder` (bytes). Raises "
             "LoadFailed(detail, file) with bytes, `file` as config.ini names it or None.");
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(core.ptr());
    for (PyMethodDef& method : gMethods) {
        py::object descriptor = py::reinterpret_steal<py::object>(PyDescr_NewMethod(type, &method));
        if (!descriptor) throw py::error_already_set();
        core.attr(method.ml_name) = descriptor;
    }

    py::object normalize = py::reinterpret_steal<py::object>(
        PyCFunction_NewEx(&gModuleNormalize, nullptr, m.attr("__name__").ptr()));
    if (!normalize) throw py::error_already_set();
    m.attr("normalize") = normalize;
    m.def(
        "_set_default_factory",
        [](py::object factory) {
            Py_XDECREF(gDefaultFactory);
            gDefaultFactory = factory.release().ptr();
        },
        py::arg("factory"));
}
