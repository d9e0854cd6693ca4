/* Compiled only for its syntax, as an MSVC user would compile it (scripts/check-msvc-header),
 * as C99, C11 and C++: the C interface's header must stand alone with <stddef.h> and
 * <stdint.h>, and every declaration must be usable from each. */
#include "kavex/kavex.h"

int kavex_header_check(const char *folder, const char *utf8, size_t bytes, const uint16_t *units,
                       size_t length, uint16_t *out16, char *out8, size_t capacity);

int kavex_header_check(const char *folder, const char *utf8, size_t bytes, const uint16_t *units,
                       size_t length, uint16_t *out16, char *out8, size_t capacity) {
    kavex_rules *rules = NULL;
    char message[256];
    size_t needed = 0;
    int normalized = 0;
    kavex_status status = kavex_open(folder, &rules, message, sizeof message);
    if (status != KAVEX_OK) status = kavex_open_shipped(&rules, message, sizeof message);
    if (status != KAVEX_OK) status = kavex_open_profile(NULL, "urdu", &rules, message, 256);
    if (status != KAVEX_OK) return (int)kavex_status_text(status)[0];
    status = kavex_load(rules, KAVEX_NFKC, message, sizeof message);
    status = kavex_normalize_utf16(rules, KAVEX_NFD, units, length, out16, capacity, &needed);
    status = kavex_normalize_utf8(rules, KAVEX_NFKD, utf8, bytes, out8, capacity, &needed);
    status = kavex_is_normalized_utf16(rules, KAVEX_NFC, units, length, &normalized);
    status = kavex_is_normalized_utf8(rules, KAVEX_NFC, utf8, bytes, &normalized, &needed);
    needed += kavex_message(rules, message, sizeof message) + kavex_rules_folder(rules)[0];
    kavex_close(rules);
    return status + (int)needed + normalized + (int)kavex_version_number() +
           kavex_version()[0] + KAVEX_VERSION_NUMBER + (int)sizeof(KAVEX_VERSION_STRING);
}
