// kavex: normalization of Arabic-script text held as UTF-16LE.
//
//   Normalization norm;
//   if (!norm.Initialize()) { /* "config.ini" or a rules file could not be loaded */ }
//   int needed = norm.Normalize(in, inBytes, Normalization::NFC, nullptr, 0);  // -(2n + 1)
//   std::vector<unsigned char> out(-needed);
//   int written = norm.Normalize(in, inBytes, Normalization::NFC, out.data(), -needed);
//
// Initialize reads "config.ini" from the process's current directory. Its keys
// "NFDfilepath", "NFCfilepath" and "NFKDfilepath" name three rules files (UTF-16LE with
// the mark FF FE, one "source:replacement" rule per line, lines ended by CR LF).
//
// This header is self-contained and includes no standard header, so that it compiles
// with MSVC, GCC and Clang alike. A C++ class exported from a DLL binds its users to the
// compiler family that built the DLL.
#ifndef KAVEX_NORMALIZATION_H
#define KAVEX_NORMALIZATION_H

#if defined(_WIN32) || defined(__CYGWIN__)
#if defined(KAVEX_BUILDING_LIBRARY)
#define KAVEX_API __declspec(dllexport)
#elif defined(KAVEX_STATIC)
#define KAVEX_API
#else
#define KAVEX_API __declspec(dllimport)
#endif
#elif defined(__GNUC__) || defined(__clang__)
#define KAVEX_API __attribute__((visibility("default")))
#else
#define KAVEX_API
#endif

namespace kavex {
class ConfigManager;
class Normalizer;
}  // namespace kavex

class KAVEX_API Normalization {
  public:
    // Fixed to int, so any int a host passes is a value of the type (and answered by 0).
    enum NormMode : int { NFD = 0, NFC = 1, NFKD = 2 };

    // Reads no file. Throws std::bad_alloc, leaking nothing, when memory runs out.
    Normalization();
    // Performs Clear, then releases the configuration.
    ~Normalization();

    // Deep copy: the target gets the source's paths, loaded rules and state, and the
    // two objects share nothing afterwards. Self-assignment is harmless.
    Normalization& operator=(const Normalization& other);
    Normalization(const Normalization&) = delete;

    // Releases the rules and empties the configuration. A later Initialize starts over
    // as on a new object.
    void Clear();

    // Reads "config.ini" from the current directory, then loads the NFC, NFD and NFKD
    // rules files it names, in that order. True once all three are loaded; false when
    // the configuration cannot be opened or a rules file cannot be loaded. A second call
    // after success reads only the configuration. An error while reading the opened
    // configuration reaches the caller as an exception (kavex::IOException).
    bool Initialize();

    // Normalizes UTF-16LE text and writes the result to output as UTF-16LE followed by
    // one zero byte; returns the bytes written (2n + 1 for n units), or 0 when nothing
    // was done (not initialized, unknown mode, or a result too long for an int).
    //
    // The input ends at `length` bytes or at the first even offset whose byte is zero,
    // whichever comes first: a unit with a zero low byte (U+0600, U+FC00, U+FD00, ...)
    // therefore ends the text. A lone final byte is dropped. The caller guarantees room
    // for the whole result, which can be longer than the input; prefer the sized form.
    int Normalize(unsigned char* input, int length, NormMode mode, unsigned char* output);

    // The same, but never writes more than `capacity` bytes, and the input ends only at
    // `length` bytes or at a whole zero unit (both bytes zero), so no character is cut.
    // When the result needs 2n + 1 > capacity bytes, -(2n + 1) is returned and the first
    // `capacity` bytes of output are unspecified (part of the result may have been written
    // before it was known not to fit); a null output with capacity 0 asks for the size and
    // writes nothing. When the result fits, no byte after its terminator is written. A
    // null input with a positive length, or a null output with a positive capacity,
    // returns 0.
    //
    // Normalize only reads the object: once initialized, several threads may call either
    // form at the same time. Initialize, Clear and assignment need exclusive access.
    int Normalize(const unsigned char* input, int length, NormMode mode, unsigned char* output,
                  int capacity) const;

  private:
    bool initialized;
    kavex::ConfigManager* configManager;
    kavex::Normalizer* nfdNormalizer;
    kavex::Normalizer* nfcNormalizer;
    kavex::Normalizer* nfkdNormalizer;
};

#endif  // KAVEX_NORMALIZATION_H
