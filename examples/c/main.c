/* normalize-line-c: prints a line of UTF-8 text in NFC, normalized by the installed rules.
 *
 *   normalize-line-c [TEXT]    (without TEXT: the Urdu word پّھ, shadda typed before the heh)
 */
#include <kavex/kavex.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv) {
    const char *text = argc > 1 ? argv[1] : "\xD9\xBE\xD9\x91\xDA\xBE";  /* پّھ */
    char message[512];
    size_t needed = 0;
    kavex_rules *rules;
    if (kavex_open_shipped(&rules, message, sizeof message) != KAVEX_OK) {
        fprintf(stderr, "%s\n", message);
        return 2;
    }
    /* One call sizes the result, the next writes it. */
    kavex_normalize_utf8(rules, KAVEX_NFC, text, strlen(text), NULL, 0, &needed);
    char *out = malloc(needed + 1);
    kavex_status status =
        kavex_normalize_utf8(rules, KAVEX_NFC, text, strlen(text), out, needed, &needed);
    if (status != KAVEX_OK) {
        kavex_message(rules, message, sizeof message);
        fprintf(stderr, "%s: %s\n", kavex_status_text(status), message);
        return 1;
    }
    printf("%.*s\n", (int)needed, out);
    free(out);
    kavex_close(rules);
    return 0;
}
