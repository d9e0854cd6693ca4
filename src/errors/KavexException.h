// Exceptions raised inside the library. Only FileReader raises them; the configuration
// and rules readers either turn them into `false` or annotate and raise them again.
// Neither class derives from std::exception, so hosts catch them explicitly or with (...).
#ifndef KAVEX_ERRORS_KAVEXEXCEPTION_H
#define KAVEX_ERRORS_KAVEXEXCEPTION_H

#include <cstdint>
#include <string>

namespace kavex {

// Opening a file failed.
constexpr int32_t kErrorCodeOpen = 0x10;
// A read, or a step back, in an open file was refused.
constexpr int32_t kErrorCodeRead = 0x11;

class KavexException {
public:
    KavexException(std::string file, int32_t line, int32_t code, std::string message);

    std::string GetFile() const;
    int32_t GetLine() const;
    int32_t GetCode() const;
    std::string GetMessage() const;

    void SetFile(std::string newFile);
    void SetLine(int32_t newLine);
    void SetCode(int32_t newCode);
    void SetMessage(std::string newMessage);

    // "Error Code (0x<code>) in <file> (<line>): <message>"
    std::string GetFullMessage() const;

private:
    std::string file;
    int32_t line;
    int32_t code;
    std::string message;
};

class IOException : public KavexException {
public:
    IOException(std::string file, int32_t line, int32_t code, std::string message);
};

}  // namespace kavex

#endif  // KAVEX_ERRORS_KAVEXEXCEPTION_H
