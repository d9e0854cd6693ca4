// The Python module kavex._kavex: the public class Normalization behind a Python API.
//
// Python text goes to the library as UTF-16LE units. A str whose characters are all
// below U+10000 (CPython's 2-byte kind, which holds Arabic-script text) is passed as it is,
// without a copy; other texts are converted into a per-thread buffer. The sized Normalize
// ends its input at a zero unit, so texts are cut there and the zero unit is copied
// between the pieces. A high surrogate followed by a low surrogate, both lone characters
// of the str, would read as one character in UTF-16; the text is cut between them too, so
// every str comes back character for character.
#include <fcntl.h>
#include <kavex/Normalization.h>
#include <pybind11/pybind11.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

constexpr bool kLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

// Texts this long or longer are normalized without the GIL; for shorter ones releasing
// and taking it again would cost more than the work.
constexpr size_t kReleaseGilUnits = 2048;

// The sized Normalize takes lengths in bytes as int, and the result, 2n + 1 bytes, must
// fit in an int as well.
constexpr size_t kMaxPieceUnits = (INT_MAX - 1) / 2;

inline uint16_t Swap(uint16_t unit) { return static_cast<uint16_t>((unit >> 8) | (unit << 8)); }
inline uint16_t ToLE(uint16_t unit) { return kLittleEndian ? unit : Swap(unit); }
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
            if (kLittleEndian) {
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
            if (kLittleEndian) {
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

// Normalizes, with the GIL released for long texts (decided with the choice of buffers).
Status Run(const Normalization& norm, Normalization::NormMode mode, const Text& text,
           UnitBuffer& out, std::vector<size_t>* cutsOut, bool releaseGil) {
    if (!releaseGil) return NormalizeText(norm, mode, text, out, cutsOut);
    py::gil_scoped_release release;
    return NormalizeText(norm, mode, text, out, cutsOut);
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

    // Reads a rules file as the library does: a source is what precedes a colon, so the unit
    // before every colon covers every source's last unit. Stays unknown when a source could
    // be empty or the file does not look like a rules file.
    void Derive(const std::string& path) {
        std::ifstream file(path, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        if (!file.good() && !file.eof()) return;
        if (bytes.size() < 2 || bytes.size() % 2 != 0 ||
            static_cast<unsigned char>(bytes[0]) != 0xFF ||
            static_cast<unsigned char>(bytes[1]) != 0xFE) {
            return;
        }
        const size_t count = bytes.size() / 2 - 1;
        auto unit = [&](size_t i) {
            return static_cast<uint16_t>(static_cast<unsigned char>(bytes[2 + 2 * i]) |
                                         static_cast<unsigned char>(bytes[3 + 2 * i]) << 8);
        };
        bits_.fill(0);
        for (size_t i = 0; i < count; ++i) {
            if (unit(i) != u':') continue;
            if (i == 0 || unit(i - 1) == u':' || unit(i - 1) == u'\n' ||
                (i >= 2 && unit(i - 2) == u'\r')) {
                return;  // possibly an empty source
            }
            Add(unit(i - 1));
        }
        below256_ = false;
        for (unsigned u = 0; u < 256; ++u)
            below256_ = below256_ || Contains(static_cast<uint16_t>(u));
        known_ = true;
    }

    // Whether the units may change under the form; true when the set is not known.
    bool MayChange(const uint16_t* units, size_t length) const {
        if (!known_) return true;
        for (size_t i = 0; i < length; ++i) {
            if (Contains(units[i])) return true;
            if (units[i] == 0x06BE && i > 0 && IsHehMark(units[i - 1])) return true;
        }
        return false;
    }

    // The marks a U+06BE moves in front of: U+0610-0615, U+064B, U+064E-0654,
    // U+0656-0658, U+0670.
    static bool IsHehMark(uint16_t unit) {
        return (unit >= 0x0610 && unit <= 0x0615) || unit == 0x064B ||
               (unit >= 0x064E && unit <= 0x0654) || (unit >= 0x0656 && unit <= 0x0658) ||
               unit == 0x0670;
    }

  private:
    void Add(uint16_t unit) { bits_[unit >> 6] |= uint64_t{1} << (unit & 63); }

    std::array<uint64_t, 1024> bits_{};
    bool known_ = false;
    bool below256_ = true;
};

// The rules files config.ini names for NFD, NFC and NFKD, read as the library reads it
// (key=value lines, tab, LF, CR and space trimmed, the last entry of a key wins). Empty
// when any line is of a shape the two readings could take differently.
std::array<std::string, 3> RulesFilesOf(const std::string& config) {
    std::array<std::string, 3> paths;
    std::ifstream file(config, std::ios::binary);
    std::string line;
    auto trim = [](std::string text) {
        const char* blanks = " \t\r\n";
        const size_t first = text.find_first_not_of(blanks);
        if (first == std::string::npos) return std::string();
        return text.substr(first, text.find_last_not_of(blanks) - first + 1);
    };
    while (std::getline(file, line)) {
        const size_t equals = line.find('=');
        if (equals == std::string::npos) {
            if (!trim(line).empty()) return {};
            continue;
        }
        const std::string key = trim(line.substr(0, equals));
        const std::string value = trim(line.substr(equals + 1));
        if (equals > 64 || line.size() - equals > 512 || line.find('\0') != std::string::npos) {
            return {};
        }
        if (key == "NFDfilepath") paths[Normalization::NFD] = value;
        if (key == "NFCfilepath") paths[Normalization::NFC] = value;
        if (key == "NFKDfilepath") paths[Normalization::NFKD] = value;
    }
    return paths;
}

// A rules folder that could not be loaded; kavex._kavex.LoadFailed in Python.
struct LoadFailed {
    std::string message;
};

class Core {
  public:
    explicit Core(const std::string& folder) {
        std::string error;
        bool loaded;
        {
            py::gil_scoped_release release;
            loaded = Load(folder, error);
        }
        if (!loaded) throw LoadFailed{error};
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
        py::buffer_info view = py::reinterpret_borrow<py::buffer>(dataHandle).request();
        const size_t bytes = static_cast<size_t>(view.size * view.itemsize);
        if (bytes % 2 != 0) {
            PyErr_Format(PyExc_ValueError,
                         "UTF-16LE data must have an even number of bytes, got %zu", bytes);
            throw py::error_already_set();
        }
        const bool releaseGil = bytes / 2 >= kReleaseGilUnits;
        Buffers& buffers = BuffersFor(releaseGil);
        UnitBuffer& input = buffers.input;
        TrimOnExit trim{buffers};
        // Copied: the buffer may be unaligned or change while the GIL is released.
        Text text;
        text.length = bytes / 2;
        uint16_t* units = input.Reserve(text.length);
        if (bytes != 0) std::memcpy(units, view.ptr, bytes);
        input.Grow(text.length);
        text.units = units;
        text.plain = true;
        for (size_t i = 0; i < text.length; ++i) {
            if (units[i] == 0) {
                text.plain = false;
                break;
            }
        }
        const Status status = Run(norm_, mode, text, buffers.output, nullptr, releaseGil);
        if (status != Status::kOk) RaiseFailure(status);
        if (PyBytes_CheckExact(data) && SameUnits(text, buffers.output)) {
            return py::reinterpret_borrow<py::object>(dataHandle);
        }
        return py::bytes(reinterpret_cast<const char*>(buffers.output.data()),
                         2 * buffers.output.size());
    }

  private:
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

    // "config.ini" is read from the current directory, which belongs to the whole process:
    // loads take turns, enter the folder and always go back to where the process was.
    bool Load(const std::string& folder, std::string& error) {
        static std::mutex cwdMutex;
        std::lock_guard<std::mutex> lock(cwdMutex);
        const int previous = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (previous < 0) {
            error = std::string("cannot open the current directory: ") + std::strerror(errno);
            return false;
        }
        if (chdir(folder.c_str()) != 0) {
            error = std::string("cannot enter the folder: ") + std::strerror(errno);
            close(previous);
            return false;
        }
        bool loaded = false;
        try {
            loaded = norm_.Initialize();
            if (!loaded) error = "config.ini or a rules file it names could not be loaded";
            if (loaded) {
                // Same current directory, so the same files as the library just loaded.
                const std::array<std::string, 3> paths = RulesFilesOf("config.ini");
                for (int mode = 0; mode < 3; ++mode) {
                    if (!paths[mode].empty()) changes_[mode].Derive(paths[mode]);
                }
            }
        } catch (const std::exception& e) {
            error = e.what();
        } catch (...) {
            error = "config.ini could not be read";
        }
        if (fchdir(previous) != 0) {
            error = std::string(
                        "loaded, but could not return to the previous current "
                        "directory: ") +
                    std::strerror(errno);
            loaded = false;
        }
        close(previous);
        return loaded;
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
            PyErr_SetString(loadFailed.ptr(), e.message.c_str());
        }
    });

    py::class_<Core> core(m, "Core", py::dynamic_attr());
    core.def(py::init([](py::bytes folder) { return new Core(folder); }), py::arg("folder"),
             "Loads config.ini and the rules files it names from `folder` (bytes).");
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
