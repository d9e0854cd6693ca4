// The C interface (include/kavex/kavex.h): a handle over one RulesFolder, the UTF-16 and UTF-8
// entry points over the engine's byte form, and the boundary where every exception becomes a
// status. Nothing here may throw past an exported function.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "common/Utf8.h"
#include "engine/Normalizer.h"
#include "engine/Platform.h"
#include "interface/Form.h"
#include "interface/RulesFolder.h"
#include "kavex/kavex.h"

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <dlfcn.h>
#endif

// The folder of the installed rules, relative to the folder the library is installed in.
#ifndef KAVEX_C_INSTALLED_RULES
#define KAVEX_C_INSTALLED_RULES "../share/kavex/rules"
#endif

static_assert(KAVEX_VERSION_MAJOR == KAVEX_C_PROJECT_VERSION_MAJOR &&
                  KAVEX_VERSION_MINOR == KAVEX_C_PROJECT_VERSION_MINOR &&
                  KAVEX_VERSION_PATCH == KAVEX_C_PROJECT_VERSION_PATCH,
              "the version macros of kavex.h follow the project's version");

struct kavex_rules {
    std::unique_ptr<kavex::RulesFolder> folder;
    mutable std::mutex messageLock;
    mutable std::string message;
};

namespace kavex {
namespace {

namespace fs = std::filesystem;

std::string Quote(const std::string& text) { return "'" + text + "'"; }

// A failure with the status it is reported as and its message.
struct Failure {
    kavex_status status;
    std::string message;
};

// Copies a message into a caller's buffer of `capacity` bytes, always terminated, cut where a
// UTF-8 character begins so that a path is never left with half a character.
void WriteMessage(const char* text, std::size_t size, char* buffer, std::size_t capacity) {
    if (buffer == nullptr || capacity == 0) return;
    std::size_t length = std::min(size, capacity - 1);
    if (length < size) {
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
    }
    std::memcpy(buffer, text, length);
    buffer[length] = '\0';
}
void WriteMessage(const char* text, char* buffer, std::size_t capacity) {
    WriteMessage(text, std::strlen(text), buffer, capacity);
}
void WriteMessage(const std::string& text, char* buffer, std::size_t capacity) {
    WriteMessage(text.data(), text.size(), buffer, capacity);
}

void Record(const kavex_rules* rules, const char* message) noexcept {
    if (rules == nullptr) return;
    try {
        std::lock_guard<std::mutex> hold(rules->messageLock);
        rules->message.assign(message);
    } catch (...) {
        // Out of memory for the message: the status still says what happened.
    }
}
void Record(const kavex_rules* rules, const std::string& message) noexcept {
    Record(rules, message.c_str());
}

// The message of an exception other than bad_alloc, made without allocating.
struct InternalError {
    explicit InternalError(const char* what) {
        std::snprintf(text, sizeof text, "internal error: %s", what);
    }
    char text[256];
};

// `form` is the form being loaded, or -1 when the folder is being opened.
Failure FromFolderError(const RulesFolderError& error, const std::string& folder,
                        kavex_form form = -1) {
    using Kind = RulesFolderError::Kind;
    const std::string where = "rules folder " + Quote(folder) + ": ";
    const std::string key = form < 0 ? std::string() : FormKey(static_cast<Form>(form));
    const std::string detail = error.Detail().empty() ? "" : ": " + error.Detail();
    switch (error.GetKind()) {
        case Kind::kFolder:
            if (error.File() == "config.ini") {
                return {KAVEX_CONFIG_ERROR,
                        where + "cannot open config.ini: there is no such file"};
            }
            return {KAVEX_FOLDER_ERROR, error.what()};
        case Kind::kConfig:
            if (error.Detail().empty())
                return {KAVEX_CONFIG_ERROR, where + "cannot open config.ini"};
            return {KAVEX_CONFIG_ERROR, where + "cannot read config.ini" + detail};
        case Kind::kMissingKey:
            return {KAVEX_FORM_NOT_CONFIGURED, where + "config.ini names no " +
                                                   FormName(static_cast<Form>(form)) +
                                                   " rules file: it has no " + key + detail};
        case Kind::kRulesFile:
            return {KAVEX_RULES_FILE_ERROR,
                    where + error.File() + " " + error.Detail() + " (" + key + " in config.ini)"};
        case Kind::kUnknownProfile:
            break;
    }
    return {KAVEX_UNKNOWN_PROFILE, error.what()};
}

// Runs `body`, which returns a status, turning every exception into one.
template <typename Body>
kavex_status Guarded(const kavex_rules* rules, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        Record(rules, "out of memory");
        return KAVEX_OUT_OF_MEMORY;
    } catch (const std::exception& e) {
        Record(rules, InternalError(e.what()).text);
        return KAVEX_INTERNAL_ERROR;
    } catch (...) {
        Record(rules, "internal error");
        return KAVEX_INTERNAL_ERROR;
    }
}

kavex_status Fail(const kavex_rules* rules, const Failure& failure) {
    Record(rules, failure.message);
    return failure.status;
}

bool KnownForm(kavex_form form) { return form >= 0 && form < static_cast<int>(kFormCount); }

std::string FormMessage(kavex_form form) {
    return "form " + std::to_string(form) +
           " is not one of KAVEX_NFD (0), KAVEX_NFC (1), KAVEX_NFKD (2), KAVEX_NFKC (3)";
}

// The form's normalizer, loaded on first use; a load that fails is a Failure.
const Normalizer* Engine(const kavex_rules* rules, kavex_form form, Failure& failure) {
    try {
        return &rules->folder->Get(static_cast<Form>(form));
    } catch (const RulesFolderError& error) {
        failure = FromFolderError(error, rules->folder->Folder(), form);
        return nullptr;
    }
}

// A buffer on the stack for short texts, on the heap for longer ones.
template <typename T, std::size_t kInline>
class Scratch {
  public:
    explicit Scratch(std::size_t count) { Resize(count); }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    void Resize(std::size_t count) {
        if (count <= kInline) {
            data_ = inline_;
        } else {
            heap_.reset(new T[count]);
            data_ = heap_.get();
        }
    }
    T* Data() { return data_; }

  private:
    T inline_[kInline];
    std::unique_ptr<T[]> heap_;
    T* data_ = inline_;
};
// Units in the host's byte order.
using Units = Scratch<char16_t, 256>;

// Buffers past this many units cannot be had: sizes in bytes would not fit an address.
constexpr std::size_t kMaxUnits = static_cast<std::size_t>(PTRDIFF_MAX) / 4;

void SwapUnits(char16_t* units, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        units[i] = static_cast<char16_t>((units[i] >> 8) | (units[i] << 8));
    }
}

// The engine reads and writes UTF-16LE; hosts of the other byte order pass through a swap.
std::size_t NormalizeUnits(const Normalizer& engine, const char16_t* input, std::size_t length,
                           char16_t* output, std::size_t capacity) {
    static const char16_t kNone = 0;
    if (input == nullptr) input = &kNone;
    if (kLittleEndianHost) {
        return engine.NormalizeBytes(reinterpret_cast<const unsigned char*>(input), length,
                                     reinterpret_cast<unsigned char*>(output), capacity);
    }
    Units swapped(length);
    std::copy(input, input + length, swapped.Data());
    SwapUnits(swapped.Data(), length);
    // Room for the longest result at most, whatever the caller's capacity.
    const std::size_t room =
        output != nullptr ? std::min(capacity, engine.MaxResultUnits(length)) : 0;
    Units result(room);
    const std::size_t size = engine.NormalizeBytes(
        reinterpret_cast<const unsigned char*>(swapped.Data()), length,
        output != nullptr ? reinterpret_cast<unsigned char*>(result.Data()) : nullptr, room);
    if (output != nullptr && size <= room) {
        SwapUnits(result.Data(), size);
        std::copy(result.Data(), result.Data() + size, output);
    }
    return size;
}

// The whole result into `result`, sized to a first guess and normalized again when the text
// grows past it.
std::size_t NormalizeWhole(const Normalizer& engine, const char16_t* input, std::size_t length,
                           Units& result) {
    std::size_t room = std::min(engine.MaxResultUnits(length), 2 * length + 16);
    result.Resize(room);
    std::size_t size = NormalizeUnits(engine, input, length, result.Data(), room);
    if (size > room) {
        result.Resize(size);
        size = NormalizeUnits(engine, input, length, result.Data(), size);
    }
    return size;
}

// Decodes strict UTF-8 into `units`; on invalid input, a Failure naming the offset, which
// `offset` receives.
bool DecodeStrict(const char* input, std::size_t length, Units& units, std::size_t& count,
                  std::size_t& offset, Failure& failure) {
    if (length > kMaxUnits) throw std::bad_alloc();
    units.Resize(length);
    const auto* bytes = reinterpret_cast<const unsigned char*>(input);
    const cli::Converted converted = cli::ConvertUtf8ToUtf16(bytes, length, units.Data());
    if (converted.error == nullptr && converted.read == length) {
        count = converted.written;
        return true;
    }
    offset = converted.read;
    failure = {KAVEX_INVALID_UTF8,
               "invalid UTF-8 at byte offset " + std::to_string(offset) + ": " +
                   (converted.error != nullptr ? converted.error
                                               : "truncated sequence at the end of the input")};
    return false;
}

Failure LoneSurrogate(const kavex_rules* rules, kavex_form form, const char16_t* result,
                      std::size_t at) {
    char unit[8];
    std::snprintf(unit, sizeof unit, "%04X", static_cast<unsigned>(result[at]));
    return {KAVEX_UNPAIRED_SURROGATE, "rules folder " + Quote(rules->folder->Folder()) + ": the " +
                                          FormName(static_cast<Form>(form)) +
                                          " result holds a lone surrogate U+" + unit + " at unit " +
                                          std::to_string(at) + ", which UTF-8 cannot carry"};
}

// An address inside the library, to ask the system which file holds it.
const char kAnchor = 0;

// Where the library itself lies, or empty when the system cannot say.
fs::path LibraryFolder() {
#if defined(_WIN32)
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCWSTR>(&kAnchor), &module)) {
        return {};
    }
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
        const DWORD got = GetModuleFileNameW(module, &name[0], static_cast<DWORD>(name.size()));
        if (got == 0) return {};
        if (got < name.size()) {
            name.resize(got);
            break;
        }
        name.resize(name.size() * 2);
    }
    return fs::path(name).parent_path();
#else
    Dl_info info;
    if (dladdr(&kAnchor, &info) == 0 || info.dli_fname == nullptr) {
        return {};
    }
    std::error_code error;
    // Through links, so that a library linked into another folder finds its own rules.
    fs::path file = fs::canonical(fs::u8path(info.dli_fname), error);
    if (error) file = fs::absolute(fs::u8path(info.dli_fname), error);
    return error ? fs::path() : file.parent_path();
#endif
}

// The value of KAVEX_RULES as UTF-8; false when it is unset or empty.
bool RulesOverride(std::string& folder) {
#if defined(_WIN32)
    const wchar_t* value = _wgetenv(L"KAVEX_RULES");
    if (value == nullptr || *value == L'\0') return false;
    folder = fs::path(value).u8string();
#else
    const char* value = std::getenv("KAVEX_RULES");
    if (value == nullptr || *value == '\0') return false;
    folder = value;
#endif
    return true;
}

bool FindShipped(std::string& folder, Failure& failure) {
    if (RulesOverride(folder)) return true;
    const fs::path here = LibraryFolder();
    if (here.empty()) {
        failure = {KAVEX_FOLDER_ERROR,
                   "the installed rules cannot be found: the system does not say where the "
                   "library lies; set KAVEX_RULES to a rules folder, or open one by path"};
        return false;
    }
    // Installed: <prefix>/share/kavex/rules. Beside the library: a private bundle, and the
    // build tree on Windows.
    const fs::path candidates[] = {(here / fs::u8path(KAVEX_C_INSTALLED_RULES)).lexically_normal(),
                                   here / "rules"};
    for (const fs::path& candidate : candidates) {
        std::error_code error;
        if (fs::exists(candidate / "config.ini", error)) {
            folder = candidate.u8string();
            return true;
        }
    }
    failure = {KAVEX_FOLDER_ERROR, "no installed rules found in " +
                                       Quote(candidates[0].u8string()) + " or " +
                                       Quote(candidates[1].u8string()) +
                                       "; set KAVEX_RULES to a rules folder, or open one by path"};
    return false;
}

kavex_status Open(const std::string& folder, kavex_rules** rules, char* message,
                  std::size_t capacity) {
    auto opened = std::make_unique<kavex_rules>();
    try {
        opened->folder = std::make_unique<RulesFolder>(folder);
    } catch (const RulesFolderError& error) {
        const Failure failure = FromFolderError(error, folder);
        WriteMessage(failure.message, message, capacity);
        return failure.status;
    }
    *rules = opened.release();
    return KAVEX_OK;
}

// The opening functions' boundary: *rules is NULL unless they succeed, and every failure
// has its message.
template <typename Body>
kavex_status Opening(kavex_rules** rules, char* message, std::size_t capacity,
                     Body&& body) noexcept {
    WriteMessage("", message, capacity);
    if (rules == nullptr) {
        WriteMessage("rules is NULL: pass the address of a kavex_rules pointer", message, capacity);
        return KAVEX_INVALID_ARGUMENT;
    }
    *rules = nullptr;
    try {
        return body();
    } catch (const std::bad_alloc&) {
        WriteMessage("out of memory", message, capacity);
        return KAVEX_OUT_OF_MEMORY;
    } catch (const std::exception& e) {
        WriteMessage(InternalError(e.what()).text, message, capacity);
        return KAVEX_INTERNAL_ERROR;
    } catch (...) {
        WriteMessage("internal error", message, capacity);
        return KAVEX_INTERNAL_ERROR;
    }
}

// Checks shared by the normalizing functions; false with the status in `status`.
bool ValidCall(const kavex_rules* rules, kavex_form form, const void* input, std::size_t length,
               kavex_status& status) {
    if (rules == nullptr) {
        status = KAVEX_INVALID_ARGUMENT;
        return false;
    }
    if (!KnownForm(form)) {
        status = Fail(rules, {KAVEX_INVALID_ARGUMENT, FormMessage(form)});
        return false;
    }
    if (input == nullptr && length > 0) {
        status = Fail(rules, {KAVEX_INVALID_ARGUMENT,
                              "input is NULL but its length is " + std::to_string(length)});
        return false;
    }
    return true;
}

bool ValidOutput(const kavex_rules* rules, const void* output, std::size_t capacity,
                 kavex_status& status) {
    if (output == nullptr && capacity > 0) {
        status = Fail(rules, {KAVEX_INVALID_ARGUMENT,
                              "output is NULL but its capacity is " + std::to_string(capacity)});
        return false;
    }
    return true;
}

}  // namespace
}  // namespace kavex

using kavex::Failure;

extern "C" {

const char* kavex_version(void) { return KAVEX_VERSION_STRING; }

uint32_t kavex_version_number(void) { return KAVEX_VERSION_NUMBER; }

const char* kavex_status_text(kavex_status status) {
    switch (status) {
        case KAVEX_OK:
            return "success";
        case KAVEX_BUFFER_TOO_SMALL:
            return "the output buffer is too small for the result";
        case KAVEX_INVALID_ARGUMENT:
            return "invalid argument";
        case KAVEX_INVALID_UTF8:
            return "the input is not well-formed UTF-8";
        case KAVEX_UNPAIRED_SURROGATE:
            return "the result holds a lone surrogate, which UTF-8 cannot carry";
        case KAVEX_FOLDER_ERROR:
            return "the rules folder cannot be used";
        case KAVEX_CONFIG_ERROR:
            return "config.ini cannot be opened or read";
        case KAVEX_FORM_NOT_CONFIGURED:
            return "config.ini names no rules file for the form";
        case KAVEX_RULES_FILE_ERROR:
            return "the rules file cannot be loaded";
        case KAVEX_UNKNOWN_PROFILE:
            return "unknown profile";
        case KAVEX_OUT_OF_MEMORY:
            return "out of memory";
        case KAVEX_INTERNAL_ERROR:
            return "internal error";
        default:
            return "unknown status";
    }
}

kavex_status kavex_open(const char* folder, kavex_rules** rules, char* message,
                        size_t message_capacity) {
    return kavex::Opening(rules, message, message_capacity, [&]() -> kavex_status {
        if (folder == nullptr) {
            kavex::WriteMessage("folder is NULL: name the folder that holds config.ini", message,
                                message_capacity);
            return KAVEX_INVALID_ARGUMENT;
        }
        return kavex::Open(folder, rules, message, message_capacity);
    });
}

kavex_status kavex_open_shipped(kavex_rules** rules, char* message, size_t message_capacity) {
    return kavex::Opening(rules, message, message_capacity, [&]() -> kavex_status {
        std::string folder;
        Failure failure;
        if (!kavex::FindShipped(folder, failure)) {
            kavex::WriteMessage(failure.message, message, message_capacity);
            return failure.status;
        }
        return kavex::Open(folder, rules, message, message_capacity);
    });
}

kavex_status kavex_open_profile(const char* folder, const char* name, kavex_rules** rules,
                                char* message, size_t message_capacity) {
    return kavex::Opening(rules, message, message_capacity, [&]() -> kavex_status {
        if (name == nullptr) {
            kavex::WriteMessage("name is NULL: name a profile", message, message_capacity);
            return KAVEX_INVALID_ARGUMENT;
        }
        std::string base;
        Failure failure;
        if (folder != nullptr) {
            base = folder;
        } else if (!kavex::FindShipped(base, failure)) {
            kavex::WriteMessage(failure.message, message, message_capacity);
            return failure.status;
        }
        std::string profile;
        try {
            profile = kavex::RulesFolder::ProfileFolder(base, name);
        } catch (const kavex::RulesFolderError& error) {
            const std::string known = error.Detail().empty()
                                          ? "the rules in " + kavex::Quote(base) + " have none"
                                          : "known: " + error.Detail();
            kavex::WriteMessage("unknown profile '" + std::string(name) + "'; " + known, message,
                                message_capacity);
            return KAVEX_UNKNOWN_PROFILE;
        }
        return kavex::Open(profile, rules, message, message_capacity);
    });
}

void kavex_close(kavex_rules* rules) { delete rules; }

const char* kavex_rules_folder(const kavex_rules* rules) {
    return rules == nullptr ? "" : rules->folder->Folder().c_str();
}

kavex_status kavex_load(const kavex_rules* rules, kavex_form form, char* message,
                        size_t message_capacity) {
    kavex::WriteMessage("", message, message_capacity);
    if (rules == nullptr) {
        kavex::WriteMessage("rules is NULL", message, message_capacity);
        return KAVEX_INVALID_ARGUMENT;
    }
    // This call's own message, whatever other threads record on the handle meanwhile.
    std::string failed;
    const kavex_status status = kavex::Guarded(rules, [&]() -> kavex_status {
        Failure failure{KAVEX_OK, ""};
        if (!kavex::KnownForm(form)) {
            failure = {KAVEX_INVALID_ARGUMENT, kavex::FormMessage(form)};
        } else if (kavex::Engine(rules, form, failure) != nullptr) {
            return KAVEX_OK;
        }
        failed = failure.message;
        return kavex::Fail(rules, failure);
    });
    if (status != KAVEX_OK) {
        if (failed.empty()) {
            kavex::WriteMessage(kavex_status_text(status), message, message_capacity);
        } else {
            kavex::WriteMessage(failed, message, message_capacity);
        }
    }
    return status;
}

size_t kavex_message(const kavex_rules* rules, char* buffer, size_t capacity) {
    kavex::WriteMessage("", buffer, capacity);
    if (rules == nullptr) return 0;
    try {
        std::lock_guard<std::mutex> hold(rules->messageLock);
        kavex::WriteMessage(rules->message, buffer, capacity);
        return rules->message.size();
    } catch (...) {
        return 0;
    }
}

kavex_status kavex_normalize_utf16(const kavex_rules* rules, kavex_form form, const uint16_t* input,
                                   size_t length, uint16_t* output, size_t capacity,
                                   size_t* needed) {
    if (needed != nullptr) *needed = 0;
    return kavex::Guarded(rules, [&]() -> kavex_status {
        kavex_status status;
        if (!kavex::ValidCall(rules, form, input, length, status) ||
            !kavex::ValidOutput(rules, output, capacity, status)) {
            return status;
        }
        Failure failure;
        const kavex::Normalizer* engine = kavex::Engine(rules, form, failure);
        if (engine == nullptr) return kavex::Fail(rules, failure);
        const std::size_t size =
            kavex::NormalizeUnits(*engine, reinterpret_cast<const char16_t*>(input), length,
                                  reinterpret_cast<char16_t*>(output), capacity);
        if (needed != nullptr) *needed = size;
        return size <= capacity ? KAVEX_OK : KAVEX_BUFFER_TOO_SMALL;
    });
}

kavex_status kavex_normalize_utf8(const kavex_rules* rules, kavex_form form, const char* input,
                                  size_t length, char* output, size_t capacity, size_t* needed) {
    if (needed != nullptr) *needed = 0;
    return kavex::Guarded(rules, [&]() -> kavex_status {
        kavex_status status;
        if (!kavex::ValidCall(rules, form, input, length, status) ||
            !kavex::ValidOutput(rules, output, capacity, status)) {
            return status;
        }
        Failure failure;
        const kavex::Normalizer* engine = kavex::Engine(rules, form, failure);
        if (engine == nullptr) return kavex::Fail(rules, failure);
        kavex::Units text(0);
        std::size_t count = 0;
        std::size_t offset = 0;
        if (!kavex::DecodeStrict(input, length, text, count, offset, failure)) {
            if (needed != nullptr) *needed = offset;
            return kavex::Fail(rules, failure);
        }
        kavex::Units result(0);
        const std::size_t size = kavex::NormalizeWhole(*engine, text.Data(), count, result);
        if (size > kavex::kMaxUnits) throw std::bad_alloc();
        // Text the form leaves as it is, most text, is its own UTF-8.
        if (size == count && std::equal(text.Data(), text.Data() + count, result.Data())) {
            if (needed != nullptr) *needed = length;
            if (length > capacity) return KAVEX_BUFFER_TOO_SMALL;
            if (length > 0) std::memcpy(output, input, length);
            return KAVEX_OK;
        }
        // Encoded into a buffer of ours (three bytes per unit at most), since the block
        // encoder may write past the end of the result within that bound: the caller's
        // buffer gets the result and nothing else.
        kavex::Scratch<unsigned char, 768> encoded(3 * size);
        const kavex::cli::Converted converted =
            kavex::cli::ConvertUtf16ToUtf8(result.Data(), size, encoded.Data());
        if (converted.read < size) {
            return kavex::Fail(rules,
                               kavex::LoneSurrogate(rules, form, result.Data(), converted.read));
        }
        if (needed != nullptr) *needed = converted.written;
        if (converted.written > capacity) return KAVEX_BUFFER_TOO_SMALL;
        if (converted.written > 0) std::memcpy(output, encoded.Data(), converted.written);
        return KAVEX_OK;
    });
}

kavex_status kavex_is_normalized_utf16(const kavex_rules* rules, kavex_form form,
                                       const uint16_t* input, size_t length, int* normalized) {
    return kavex::Guarded(rules, [&]() -> kavex_status {
        kavex_status status;
        if (!kavex::ValidCall(rules, form, input, length, status)) return status;
        if (normalized == nullptr) {
            return kavex::Fail(rules, {KAVEX_INVALID_ARGUMENT, "normalized is NULL"});
        }
        *normalized = 0;
        Failure failure;
        const kavex::Normalizer* engine = kavex::Engine(rules, form, failure);
        if (engine == nullptr) return kavex::Fail(rules, failure);
        if (length > kavex::kMaxUnits) throw std::bad_alloc();
        // A result of another length differs; one of the same length is compared.
        kavex::Units result(length);
        const auto* text = reinterpret_cast<const char16_t*>(input);
        const std::size_t size =
            kavex::NormalizeUnits(*engine, text, length, result.Data(), length);
        *normalized = size == length && std::equal(text, text + length, result.Data()) ? 1 : 0;
        return KAVEX_OK;
    });
}

kavex_status kavex_is_normalized_utf8(const kavex_rules* rules, kavex_form form, const char* input,
                                      size_t length, int* normalized, size_t* error_offset) {
    if (error_offset != nullptr) *error_offset = 0;
    return kavex::Guarded(rules, [&]() -> kavex_status {
        kavex_status status;
        if (!kavex::ValidCall(rules, form, input, length, status)) return status;
        if (normalized == nullptr) {
            return kavex::Fail(rules, {KAVEX_INVALID_ARGUMENT, "normalized is NULL"});
        }
        *normalized = 0;
        Failure failure;
        const kavex::Normalizer* engine = kavex::Engine(rules, form, failure);
        if (engine == nullptr) return kavex::Fail(rules, failure);
        kavex::Units text(0);
        std::size_t count = 0;
        std::size_t offset = 0;
        if (!kavex::DecodeStrict(input, length, text, count, offset, failure)) {
            if (error_offset != nullptr) *error_offset = offset;
            return kavex::Fail(rules, failure);
        }
        kavex::Units result(count);
        const std::size_t size =
            kavex::NormalizeUnits(*engine, text.Data(), count, result.Data(), count);
        *normalized =
            size == count && std::equal(text.Data(), text.Data() + count, result.Data()) ? 1 : 0;
        return KAVEX_OK;
    });
}

}  // extern "C"
