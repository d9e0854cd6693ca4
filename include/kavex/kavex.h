/* kavex: normalization of Arabic-script text, as a C interface.
 *
 *   kavex_rules *rules;
 *   char message[512];
 *   if (kavex_open_shipped(&rules, message, sizeof message) != KAVEX_OK) { puts(message); }
 *   size_t needed;
 *   kavex_normalize_utf8(rules, KAVEX_NFC, text, length, NULL, 0, &needed);  // sizes
 *   char *out = malloc(needed);
 *   kavex_normalize_utf8(rules, KAVEX_NFC, text, length, out, needed, &needed);  // writes
 *   kavex_close(rules);
 *
 * Plain C99 that also compiles as C++ and with MSVC, needing only <stddef.h> and <stdint.h>.
 * Every function returns a status or a value, never throws, and never aborts: an allocation
 * that fails is the status KAVEX_OUT_OF_MEMORY.
 *
 * A set of rules is opened from a folder given by path (never from the current directory):
 * a folder that holds config.ini and the rules files it names, a language profile by name,
 * or the rules installed with the library. Each form's rules file is loaded the first time a
 * call asks for that form (or by kavex_load).
 *
 * Threads: once kavex_open* has returned a handle, any number of threads may call every
 * function on it at once, including the first call of a form, which loads it while the others
 * wait. Only kavex_close needs exclusive access: no other call may be running on the handle,
 * or start on it, while it closes. Handles share nothing with one another.
 *
 * Text: UTF-16 in the host's byte order with lengths in 16-bit units, or UTF-8 with lengths
 * in bytes. No terminator is read or written, and U+0000 is a character like any other. A
 * result is written only into the caller's buffer, never past its capacity, and a result that
 * fits is written with nothing after it: a call with no buffer (NULL, capacity 0) returns
 * KAVEX_BUFFER_TOO_SMALL with the size needed, and a second call with a buffer of that size
 * writes it.
 */
#ifndef KAVEX_KAVEX_H
#define KAVEX_KAVEX_H

#include <stddef.h>
#include <stdint.h>

#define KAVEX_VERSION_MAJOR 1
#define KAVEX_VERSION_MINOR 0
#define KAVEX_VERSION_PATCH 0
#define KAVEX_VERSION_STRING "1.0.0"
/* 10000 * major + 100 * minor + patch, as kavex_version_number returns it. */
#define KAVEX_VERSION_NUMBER \
    (KAVEX_VERSION_MAJOR * 10000 + KAVEX_VERSION_MINOR * 100 + KAVEX_VERSION_PATCH)

#if defined(_WIN32) || defined(__CYGWIN__)
#if defined(KAVEX_C_BUILDING_LIBRARY)
#define KAVEX_C_API __declspec(dllexport)
#elif defined(KAVEX_C_STATIC)
#define KAVEX_C_API
#else
#define KAVEX_C_API __declspec(dllimport)
#endif
#elif defined(__GNUC__) || defined(__clang__)
#define KAVEX_C_API __attribute__((visibility("default")))
#else
#define KAVEX_C_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The result of every call that can fail: one of the KAVEX_ codes below. An int, so that a
 * binding from any language declares it as a 32-bit integer. */
typedef int kavex_status;
enum kavex_status_code {
    KAVEX_OK = 0,
    /* The result needs more room than the capacity given: *needed says how much. The first
     * `capacity` units or bytes of the output are unspecified; nothing after them is written. */
    KAVEX_BUFFER_TOO_SMALL = 1,
    /* A null handle, pointer or path where one is required, or an unknown form. */
    KAVEX_INVALID_ARGUMENT = 2,
    /* The UTF-8 input is not well-formed: *needed is the offset of the first invalid byte. */
    KAVEX_INVALID_UTF8 = 3,
    /* The rules made a result with a lone surrogate, which UTF-8 cannot carry. */
    KAVEX_UNPAIRED_SURROGATE = 4,
    /* The rules folder does not exist or is not a folder, or no installed rules were found. */
    KAVEX_FOLDER_ERROR = 5,
    /* The folder's config.ini is missing or cannot be opened or read. */
    KAVEX_CONFIG_ERROR = 6,
    /* config.ini names no rules file for the form asked for. */
    KAVEX_FORM_NOT_CONFIGURED = 7,
    /* The form's rules file cannot be loaded. */
    KAVEX_RULES_FILE_ERROR = 8,
    /* No language profile of that name. */
    KAVEX_UNKNOWN_PROFILE = 9,
    KAVEX_OUT_OF_MEMORY = 10,
    /* A failure of the library itself. */
    KAVEX_INTERNAL_ERROR = 11
};

/* The normalization forms. KAVEX_NFKC needs rules that name it ("NFKCfilepath"). */
typedef int kavex_form;
enum kavex_form_code { KAVEX_NFD = 0, KAVEX_NFC = 1, KAVEX_NFKD = 2, KAVEX_NFKC = 3 };

/* An open set of rules. */
typedef struct kavex_rules kavex_rules;

/* The library's version: KAVEX_VERSION_STRING and KAVEX_VERSION_NUMBER as it was built. */
KAVEX_C_API const char *kavex_version(void);
KAVEX_C_API uint32_t kavex_version_number(void);

/* What a status means, in a few words ("unknown status" for any other value). */
KAVEX_C_API const char *kavex_status_text(kavex_status status);

/* The opening functions set *rules to a new handle and return KAVEX_OK, or set it to NULL and
 * return the failure, with a message naming the folder, the file and the cause written into
 * `message` (at most `message_capacity` bytes, always terminated; NULL and 0 for none).
 * Paths are UTF-8. Close every handle with kavex_close. */

/* The folder that holds config.ini; the relative paths it names are resolved against it. */
KAVEX_C_API kavex_status kavex_open(const char *folder, kavex_rules **rules, char *message,
                                    size_t message_capacity);
/* The rules installed with the library (<prefix>/share/kavex/rules, found from where the
 * library itself lies), or the folder the environment variable KAVEX_RULES names. */
KAVEX_C_API kavex_status kavex_open_shipped(kavex_rules **rules, char *message,
                                            size_t message_capacity);
/* The language profile `name` of the rules in `folder` (`folder`/profiles/`name`); a NULL
 * folder stands for the installed rules, as kavex_open_shipped finds them. */
KAVEX_C_API kavex_status kavex_open_profile(const char *folder, const char *name,
                                            kavex_rules **rules, char *message,
                                            size_t message_capacity);
/* Releases the handle; NULL is ignored. Needs exclusive access (see Threads above). */
KAVEX_C_API void kavex_close(kavex_rules *rules);

/* The folder the handle was opened from, UTF-8, valid until kavex_close. */
KAVEX_C_API const char *kavex_rules_folder(const kavex_rules *rules);

/* Loads the form's rules now rather than on first use, so that a broken rules file shows at
 * start-up; the message is written as the opening functions write theirs. KAVEX_OK at once
 * when the form is loaded. A failed load is tried again by the next call that needs it. */
KAVEX_C_API kavex_status kavex_load(const kavex_rules *rules, kavex_form form, char *message,
                                    size_t message_capacity);

/* The message of the latest call on this handle that failed (other than for a buffer too
 * small), written as the opening functions write theirs; "" when none failed. Returns the
 * message's full length in bytes, without the terminator: a larger buffer gets it whole.
 * When several threads share the handle, "latest" is whichever failed last. */
KAVEX_C_API size_t kavex_message(const kavex_rules *rules, char *buffer, size_t capacity);

/* Normalizes `length` units of UTF-16 at `input` into `output`, which holds `capacity`
 * units. *needed (when not NULL) is set to the result's length in units on KAVEX_OK and
 * KAVEX_BUFFER_TOO_SMALL, and to 0 otherwise. Lone surrogates pass through as units. */
KAVEX_C_API kavex_status kavex_normalize_utf16(const kavex_rules *rules, kavex_form form,
                                               const uint16_t *input, size_t length,
                                               uint16_t *output, size_t capacity,
                                               size_t *needed);

/* Normalizes `length` bytes of UTF-8 at `input` into `output`, which holds `capacity` bytes.
 * The input must be well-formed UTF-8 (no overlong forms, surrogates, values past U+10FFFF or
 * cut sequences). *needed (when not NULL) is set to the result's length in bytes on KAVEX_OK
 * and KAVEX_BUFFER_TOO_SMALL, to the offset of the first invalid byte on KAVEX_INVALID_UTF8,
 * and to 0 otherwise. */
KAVEX_C_API kavex_status kavex_normalize_utf8(const kavex_rules *rules, kavex_form form,
                                              const char *input, size_t length, char *output,
                                              size_t capacity, size_t *needed);

/* Sets *normalized to 1 when the text is unchanged by the form, 0 otherwise. */
KAVEX_C_API kavex_status kavex_is_normalized_utf16(const kavex_rules *rules, kavex_form form,
                                                   const uint16_t *input, size_t length,
                                                   int *normalized);
/* The same for UTF-8; on KAVEX_INVALID_UTF8, *error_offset (when not NULL) is the offset of
 * the first invalid byte. */
KAVEX_C_API kavex_status kavex_is_normalized_utf8(const kavex_rules *rules, kavex_form form,
                                                  const char *input, size_t length,
                                                  int *normalized, size_t *error_offset);

#ifdef __cplusplus
}
#endif

#endif /* KAVEX_KAVEX_H */
