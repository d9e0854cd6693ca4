// Sequential reader of one text file, in ASCII mode (one byte a character) or Unicode
// mode (one 16-bit little-endian unit a character, after the mark FF FE).
//
// Protocol: read, then ask IsEof; stop once IsEof is true. A read that runs into the end
// delivers what it found; the next read raises "End of file encountered.". A device error
// that is not the end of the file raises IOException 0x11 instead of looking like the end,
// so a read loop can never spin on it.
#ifndef KAVEX_IO_FILEREADER_H
#define KAVEX_IO_FILEREADER_H

#include <cstdint>
#include <fstream>
#include <istream>
#include <string>

namespace kavex {

enum class FileMode : int32_t { Unicode = 0, Ascii = 1 };

// The file's buffer with its unread bytes in view, so that a unit is taken from it in
// place.
class FileBuffer : public std::filebuf {
  public:
    std::streamsize Buffered() const { return egptr() - gptr(); }
    // The next two bytes as one unit, the first low; only while Buffered() >= 2.
    char16_t TakeUnit() {
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(gptr());
        gbump(2);
        return static_cast<char16_t>(bytes[0] | (bytes[1] << 8));
    }
};

class FileReader {
  public:
    FileReader();
    ~FileReader();
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    // Raises IOException 0x10 on a null or empty name, a file that cannot be opened, or
    // (Unicode mode) a file that does not begin with FF FE. Returns true otherwise.
    bool Open(const char* fileName, FileMode newMode);
    void Close();
    bool IsEof() const { return isOpen && stream.eof(); }

    bool ReadAsciiString(std::string& out, int maxLength, char delimiter);
    bool ReadUnicodeString(std::u16string& out, int maxLength, char16_t delimiter);
    bool ReadUnicodeChars(std::u16string& out, int count);
    // Stores 0 in units[0] first; reads up to `count` units whatever the mode. A rules
    // file is read one unit a call: while the buffer holds the unit, no call is made and
    // no check can fail.
    bool ReadUnits(char16_t* units, int count) {
        if (count == 1 && units != nullptr && isOpen && stream.good() && buffer.Buffered() >= 2) {
            units[0] = buffer.TakeUnit();
            return true;
        }
        return ReadUnitsChecked(units, count);
    }
    bool ReadBytes(unsigned char* buffer, int size);
    bool ReadBytesAt(unsigned char* buffer, int offset, int size);
    bool UnreadAscii(int count);
    bool UnreadUnicode(int count);
    // Offsets count bytes; in Unicode mode from the first byte after the mark.
    bool Seek(int offset);
    // The whole file in bytes, the mark included; 0 when not open, -1 at the end.
    int GetFileSize();
    static bool FileExists(const char* fileName);

  private:
    bool ReadUnitsChecked(char16_t* units, int count);
    // One character from the stream: false at the end of the file (a partial unit is
    // dropped); raises on a device error.
    bool ReadChar(char& value);
    bool ReadUnit(char16_t& unit);
    // Raises IOException 0x11 when the last stream read failed without reaching the end.
    void CheckReadError();

    FileBuffer buffer;
    // Binary reads over `buffer`: no newline translation.
    std::istream stream;
    bool isOpen;
    FileMode mode;
    // Kept for the message of a device read error.
    std::string fileName;
};

}  // namespace kavex

#endif  // KAVEX_IO_FILEREADER_H
