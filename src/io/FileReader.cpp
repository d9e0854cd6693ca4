#include "io/FileReader.h"

#include <climits>

#include "errors/KavexException.h"

// Every raise carries this source file's name and the line of the raise itself.
#define KAVEX_RAISE(code, message) throw IOException("FileReader", __LINE__, (code), (message))

namespace kavex {

namespace {

const char kEndOfFile[] = "End of file encountered.";
const char kNotAscii[] = "File not openned as ASCII initially.";
const char kNotUnicode[] = "File not openned as Unicode initially.";
const char kNullBuffer[] = "Null buffer or zero size specified.";

}  // namespace

FileReader::FileReader() : stream(&buffer), isOpen(false), mode(FileMode::Ascii) {}

FileReader::~FileReader() { Close(); }

bool FileReader::Open(const char* name, FileMode newMode) {
    if (name == nullptr || name[0] == '\0') {
        KAVEX_RAISE(kErrorCodeOpen, "Invalid file name specified.");
    }
    if (isOpen) Close();

    stream.clear();
    if (buffer.open(name, std::ios::in | std::ios::binary) == nullptr) {
        KAVEX_RAISE(kErrorCodeOpen, "Could not open file: " + std::string(name) + ".");
    }
    mode = newMode;
    fileName = name;

    if (mode == FileMode::Unicode) {
        // Any mark read that does not deliver FF FE, a device error included (a directory
        // on Linux opens but cannot be read), means the file is not usable as Unicode.
        char mark[2] = {0, 0};
        stream.read(mark, 2);
        const bool complete = stream.gcount() == 2;
        const char16_t unit = static_cast<char16_t>(static_cast<unsigned char>(mark[0]) |
                                                    (static_cast<unsigned char>(mark[1]) << 8));
        if (!complete || unit != 0xFEFF) {
            buffer.close();
            stream.clear();
            KAVEX_RAISE(kErrorCodeOpen, "File is not Unicode based.");
        }
    }
    isOpen = true;
    return true;
}

void FileReader::Close() {
    if (!isOpen) return;
    buffer.close();
    stream.clear();
    isOpen = false;
}

void FileReader::CheckReadError() {
    // The end of the file sets eofbit; a failure without it is the device refusing the
    // read, and must not pass for the end or a loop waiting for IsEof would never stop.
    if (!stream.eof() && stream.fail()) {
        KAVEX_RAISE(kErrorCodeRead, "Could not read file: " + fileName + ".");
    }
}

bool FileReader::ReadChar(char& value) {
    const auto c = stream.get();
    if (c == std::ifstream::traits_type::eof()) {
        CheckReadError();
        return false;
    }
    value = static_cast<char>(c);
    return true;
}

bool FileReader::ReadUnit(char16_t& unit) {
    // Straight from the buffer when it holds the unit: no sentry, no virtual call. The
    // outcomes (bytes, end of file, read error) are those of read.
    if (stream.good() && buffer.Buffered() >= 2) {
        unit = buffer.TakeUnit();
        return true;
    }
    char bytes[2];
    stream.read(bytes, 2);
    if (stream.gcount() != 2) {
        CheckReadError();
        return false;
    }
    unit = static_cast<char16_t>(static_cast<unsigned char>(bytes[0]) |
                                 (static_cast<unsigned char>(bytes[1]) << 8));
    return true;
}

bool FileReader::ReadAsciiString(std::string& out, int maxLength, char delimiter) {
    if (!isOpen) return false;
    if (stream.eof()) KAVEX_RAISE(kErrorCodeRead, kEndOfFile);
    if (mode != FileMode::Ascii) KAVEX_RAISE(kErrorCodeRead, kNotAscii);

    std::string text;
    char value;
    for (int count = 0; count < maxLength; ++count) {
        if (!ReadChar(value) || value == delimiter) break;
        text.push_back(value);
    }
    if (text.empty()) return false;
    out = std::move(text);
    return true;
}

bool FileReader::ReadUnicodeString(std::u16string& out, int maxLength, char16_t delimiter) {
    if (!isOpen) return false;
    if (stream.eof()) KAVEX_RAISE(kErrorCodeRead, kEndOfFile);
    if (mode != FileMode::Unicode) {
        KAVEX_RAISE(kErrorCodeRead, "File not openned as UNICODE initially.");
    }

    std::u16string text;
    char16_t unit;
    for (int count = 0; count < maxLength; ++count) {
        if (!ReadUnit(unit) || unit == delimiter) break;
        text.push_back(unit);
    }
    if (text.empty()) return false;
    out = std::move(text);
    return true;
}

bool FileReader::ReadUnicodeChars(std::u16string& out, int count) {
    if (!isOpen) return false;
    if (stream.eof()) KAVEX_RAISE(kErrorCodeRead, kEndOfFile);
    if (mode != FileMode::Unicode) KAVEX_RAISE(kErrorCodeRead, kNotUnicode);

    std::u16string text;
    char16_t unit;
    for (int index = 0; index < count; ++index) {
        if (!ReadUnit(unit)) break;
        text.push_back(unit);
    }
    if (text.empty()) return false;
    out = std::move(text);
    return true;
}

bool FileReader::ReadUnitsChecked(char16_t* units, int count) {
    if (units == nullptr || count <= 0) KAVEX_RAISE(kErrorCodeRead, kNullBuffer);
    if (!isOpen) return false;
    if (stream.eof()) KAVEX_RAISE(kErrorCodeRead, kEndOfFile);

    units[0] = 0;
    int stored = 0;
    while (stored < count && ReadUnit(units[stored])) ++stored;
    return stored > 0;
}

bool FileReader::ReadBytes(unsigned char* buffer, int size) {
    if (buffer == nullptr || size <= 0) KAVEX_RAISE(kErrorCodeRead, kNullBuffer);
    if (!isOpen) return false;
    if (stream.eof()) KAVEX_RAISE(kErrorCodeRead, kEndOfFile);

    stream.read(reinterpret_cast<char*>(buffer), size);
    const auto got = stream.gcount();
    if (got != size) CheckReadError();
    return got > 0;
}

bool FileReader::ReadBytesAt(unsigned char* buffer, int offset, int size) {
    if (buffer == nullptr || size <= 0) KAVEX_RAISE(kErrorCodeRead, kNullBuffer);
    if (!isOpen) return false;
    if (stream.eof()) KAVEX_RAISE(kErrorCodeRead, kEndOfFile);

    stream.clear();
    Seek(offset);
    stream.read(reinterpret_cast<char*>(buffer), size);
    const auto got = stream.gcount();
    if (got != size) CheckReadError();
    return got > 0;
}

bool FileReader::UnreadAscii(int count) {
    if (!isOpen) return false;
    if (mode != FileMode::Ascii) KAVEX_RAISE(kErrorCodeRead, kNotAscii);
    stream.clear();
    stream.seekg(-static_cast<std::streamoff>(count), std::ios::cur);
    // A refused move leaves the position where it was; keep the reader usable.
    stream.clear();
    return true;
}

bool FileReader::UnreadUnicode(int count) {
    if (!isOpen) return false;
    if (mode != FileMode::Unicode) KAVEX_RAISE(kErrorCodeRead, kNotUnicode);
    stream.clear();
    stream.seekg(-2 * static_cast<std::streamoff>(count), std::ios::cur);
    stream.clear();
    return true;
}

bool FileReader::Seek(int offset) {
    if (!isOpen) return false;
    // seekg would clear eofbit itself; the end-of-file condition must survive a Seek.
    if (stream.eof()) return true;
    const auto state = stream.rdstate();
    const std::streamoff target =
        static_cast<std::streamoff>(offset) + (mode == FileMode::Unicode ? 2 : 0);
    stream.seekg(target, std::ios::beg);
    // A refused move (a negative target) leaves the position; do not let it pass for a
    // read error later.
    if (stream.fail()) stream.clear(state);
    return true;
}

int FileReader::GetFileSize() {
    if (!isOpen) return 0;
    if (stream.eof()) return -1;
    const auto position = stream.tellg();
    if (position == std::streampos(-1)) return -1;
    stream.seekg(0, std::ios::end);
    const auto end = stream.tellg();
    stream.seekg(position);
    if (end == std::streampos(-1)) return -1;
    const std::streamoff size = end;
    return size > INT_MAX ? INT_MAX : static_cast<int>(size);
}

bool FileReader::FileExists(const char* name) {
    if (name == nullptr) return false;
    std::ifstream probe(name, std::ios::in | std::ios::binary);
    const bool exists = probe.is_open();
    probe.close();
    return exists;
}

}  // namespace kavex
