/* An MSVC-ABI program linked with kavex_c.lib, the import library made from kavex_c.def
 * (scripts/test-windows compiles it with clang for x86_64-pc-windows-msvc and links it with
 * lld-link, with no C runtime, then runs it under Wine). Its exit code is 0 when the calls
 * through the import library reach kavex_c.dll and give the right results. */
#include "kavex/kavex.h"

int start(void);

int start(void) {
    static const char alef_madda[] = "\xD8\xA7\xD9\x93";
    char out[8];
    size_t needed = 0;
    kavex_rules *rules = NULL;
    if (kavex_version_number() != KAVEX_VERSION_NUMBER) return 10;
    if (kavex_open(KAVEX_RULES_FOLDER, &rules, NULL, 0) != KAVEX_OK) return 11;
    if (kavex_normalize_utf8(rules, KAVEX_NFC, alef_madda, 4, out, sizeof out, &needed) !=
            KAVEX_OK ||
        needed != 2 || (unsigned char)out[0] != 0xD8 || (unsigned char)out[1] != 0xA2) {
        return 12;
    }
    if (kavex_normalize_utf8(rules, KAVEX_NFC, "\xC0\x80", 2, out, 8, &needed) !=
            KAVEX_INVALID_UTF8) {
        return 13;
    }
    kavex_close(rules);
    return 0;
}
