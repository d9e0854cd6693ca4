#include "errors/KavexException.h"

#include <cstdio>
#include <utility>

namespace kavex {

KavexException::KavexException(std::string file, int32_t line, int32_t code, std::string message)
    : line(0), code(0) {
    SetFile(std::move(file));
    SetLine(line);
    SetCode(code);
    SetMessage(std::move(message));
}

std::string KavexException::GetFile() const { return file; }
int32_t KavexException::GetLine() const { return line; }
int32_t KavexException::GetCode() const { return code; }
std::string KavexException::GetMessage() const { return message; }

void KavexException::SetFile(std::string newFile) { file = std::move(newFile); }
void KavexException::SetLine(int32_t newLine) { line = newLine; }
void KavexException::SetCode(int32_t newCode) { code = newCode; }
void KavexException::SetMessage(std::string newMessage) { message = std::move(newMessage); }

std::string KavexException::GetFullMessage() const {
    // "%x" reads the code's 32 bits as unsigned, so -1 shows as ffffffff.
    char codeText[16];
    std::snprintf(codeText, sizeof codeText, "%x",
                  static_cast<unsigned int>(static_cast<uint32_t>(code)));
    char lineText[16];
    std::snprintf(lineText, sizeof lineText, "%d", static_cast<int>(line));
    return "Error Code (0x" + std::string(codeText) + ") in " + file + " (" +
           std::string(lineText) + "): " + message;
}

IOException::IOException(std::string file, int32_t line, int32_t code, std::string message)
    : KavexException(std::move(file), line, code, std::move(message)) {}

}  // namespace kavex
