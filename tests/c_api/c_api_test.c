/* The C interface from C: every function, status and message, and its results against the
 * exported class's on the shipped rules, for every form, in both encodings, with buffers of
 * exactly the size, one unit too small, and none, each followed by guard bytes.
 *
 *   c_api_test RULES_FOLDER TEXT_FILE...   (a .dic file gives lines of its words)
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "Support.h"
#include "kavex/kavex.h"

static int checks;
static int failures;

#define CHECK(condition, ...)                                  \
    do {                                                       \
        ++checks;                                              \
        if (!(condition)) {                                    \
            ++failures;                                        \
            fprintf(stderr, "%s:%d: ", __FILE__, __LINE__);    \
            fprintf(stderr, __VA_ARGS__);                      \
            fputc('\n', stderr);                               \
        }                                                      \
    } while (0)

enum { GUARD = 16, FILL = 0xA5, MESSAGE = 1024 };

static const char *rules_folder;

static void *allocate(size_t bytes) {
    void *memory = malloc(bytes > 0 ? bytes : 1);
    if (memory == NULL) {
        fputs("out of memory\n", stderr);
        exit(2);
    }
    return memory;
}

/* `bytes` usable bytes and GUARD more, all FILL. */
static unsigned char *guarded(size_t bytes) {
    unsigned char *buffer = allocate(bytes + GUARD);
    memset(buffer, FILL, bytes + GUARD);
    return buffer;
}

static int untouched(const unsigned char *buffer, size_t from, size_t to) {
    size_t i;
    for (i = from; i < to; ++i) {
        if (buffer[i] != FILL) return 0;
    }
    return 1;
}

static int contains(const char *text, const char *part) { return strstr(text, part) != NULL; }

/* The test's own conversions, for its data: well-formed input only. */
static size_t utf8_to_utf16(const char *text, size_t length, uint16_t *out) {
    const unsigned char *in = (const unsigned char *)text;
    size_t i = 0, n = 0;
    while (i < length) {
        uint32_t c = in[i];
        int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
        int k;
        if (extra > 0) c &= 0x3Fu >> extra;
        for (k = 1; k <= extra; ++k) c = (c << 6) | (in[i + k] & 0x3Fu);
        i += (size_t)extra + 1;
        if (c >= 0x10000) {
            out[n++] = (uint16_t)(0xD800 + ((c - 0x10000) >> 10));
            out[n++] = (uint16_t)(0xDC00 + (c & 0x3FF));
        } else {
            out[n++] = (uint16_t)c;
        }
    }
    return n;
}

static size_t utf16_to_utf8(const uint16_t *in, size_t length, char *text) {
    unsigned char *out = (unsigned char *)text;
    size_t i, n = 0;
    for (i = 0; i < length; ++i) {
        uint32_t c = in[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < length && in[i + 1] >= 0xDC00 &&
            in[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (in[++i] - 0xDC00u);
        }
        if (c < 0x80) {
            out[n++] = (unsigned char)c;
        } else if (c < 0x800) {
            out[n++] = (unsigned char)(0xC0 | (c >> 6));
            out[n++] = (unsigned char)(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out[n++] = (unsigned char)(0xE0 | (c >> 12));
            out[n++] = (unsigned char)(0x80 | ((c >> 6) & 0x3F));
            out[n++] = (unsigned char)(0x80 | (c & 0x3F));
        } else {
            out[n++] = (unsigned char)(0xF0 | (c >> 18));
            out[n++] = (unsigned char)(0x80 | ((c >> 12) & 0x3F));
            out[n++] = (unsigned char)(0x80 | ((c >> 6) & 0x3F));
            out[n++] = (unsigned char)(0x80 | (c & 0x3F));
        }
    }
    return n;
}

static char *join(const char *folder, const char *name) {
    size_t size = strlen(folder) + strlen(name) + 2;
    char *path = allocate(size);
    snprintf(path, size, "%s/%s", folder, name);
    return path;
}

static void write_file(const char *folder, const char *name, const char *bytes, size_t size) {
    char *path = join(folder, name);
    FILE *file = fopen(path, "wb");
    CHECK(file != NULL && fwrite(bytes, 1, size, file) == size && fclose(file) == 0,
          "cannot write %s", path);
    free(path);
}

#define WRITE(folder, name, literal) write_file(folder, name, literal, sizeof literal - 1)

static char *read_file(const char *path, size_t *size) {
    FILE *file = fopen(path, "rb");
    char *bytes;
    long end;
    if (file == NULL || fseek(file, 0, SEEK_END) != 0 || (end = ftell(file)) < 0) {
        fprintf(stderr, "cannot read %s\n", path);
        exit(2);
    }
    rewind(file);
    bytes = allocate((size_t)end + 1);
    *size = fread(bytes, 1, (size_t)end, file);
    fclose(file);
    bytes[*size] = '\0';
    return bytes;
}

/* ------------------------------------------------------------------------------------------ */
/* The texts: lines of UTF-8 as read, with the class's results in each form. */

enum { FORMS = 3 };
static const kavex_form forms[FORMS] = {KAVEX_NFD, KAVEX_NFC, KAVEX_NFKD};

typedef struct {
    char *utf8;
    size_t bytes;
    uint16_t *units;
    size_t length;
    uint16_t *expected[FORMS];
    size_t expected_length[FORMS];
} Line;

static Line *lines;
static size_t line_count, line_room;

static void add_line(const char *text, size_t bytes) {
    Line *line;
    if (bytes == 0) return;
    if (line_count == line_room) {
        line_room = line_room ? 2 * line_room : 64;
        lines = realloc(lines, line_room * sizeof *lines);
        if (lines == NULL) exit(2);
    }
    line = &lines[line_count++];
    memset(line, 0, sizeof *line);
    line->utf8 = allocate(bytes);
    memcpy(line->utf8, text, bytes);
    line->bytes = bytes;
    line->units = allocate(bytes * sizeof(uint16_t));
    line->length = utf8_to_utf16(text, bytes, line->units);
}

/* Each line of a text file; from a hunspell word list (.dic), lines of six words taken evenly
 * across it, 150 lines at most. */
static void read_texts(const char *path) {
    size_t size, start = 0, i;
    char *bytes = read_file(path, &size);
    int dictionary = strlen(path) > 4 && strcmp(path + strlen(path) - 4, ".dic") == 0;
    char **words = NULL;
    size_t word_count = 0;
    if (dictionary) words = allocate((size / 2 + 1) * sizeof *words);
    for (i = 0; i <= size; ++i) {
        if (i < size && bytes[i] != '\n') continue;
        bytes[i] = '\0';
        if (i > start && bytes[i - 1] == '\r') bytes[i - 1] = '\0';
        if (!dictionary) {
            add_line(bytes + start, strlen(bytes + start));
        } else if (start > 0) { /* the first line is a count */
            char *slash = strchr(bytes + start, '/');
            if (slash != NULL) *slash = '\0';
            if (bytes[start] != '\0') words[word_count++] = bytes + start;
        }
        start = i + 1;
    }
    if (dictionary) {
        size_t per_line = 6, wanted = 150, stride = word_count / (per_line * wanted) + 1, w, n;
        for (n = 0; n < wanted && n * per_line * stride < word_count; ++n) {
            char line[1024] = "";
            for (w = 0; w < per_line && (n * per_line + w) * stride < word_count; ++w) {
                const char *word = words[(n * per_line + w) * stride];
                if (strlen(line) + strlen(word) + 2 >= sizeof line) break;
                if (w > 0) strcat(line, " ");
                strcat(line, word);
            }
            add_line(line, strlen(line));
        }
        free(words);
    }
    free(bytes);
}

/* ------------------------------------------------------------------------------------------ */

typedef kavex_status (*normalize_fn)(const kavex_rules *, kavex_form, const void *, size_t,
                                     void *, size_t, size_t *);

static kavex_status normalize16(const kavex_rules *rules, kavex_form form, const void *input,
                                size_t length, void *output, size_t capacity, size_t *needed) {
    return kavex_normalize_utf16(rules, form, input, length, output, capacity, needed);
}

static kavex_status normalize8(const kavex_rules *rules, kavex_form form, const void *input,
                               size_t length, void *output, size_t capacity, size_t *needed) {
    return kavex_normalize_utf8(rules, form, input, length, output, capacity, needed);
}

/* One text through one entry point: the size asked for with no buffer, then buffers of no
 * room, one unit too small, the exact size and more; nothing may be written past the
 * capacity, nor after a result that fits. */
static void check_normalize(normalize_fn normalize, size_t unit, const kavex_rules *rules,
                            kavex_form form, const void *input, size_t length,
                            const void *expected, size_t expected_length, const char *where) {
    size_t needed = 7777, tries[4], t;
    kavex_status status = normalize(rules, form, input, length, NULL, 0, &needed);
    CHECK(status == (expected_length ? KAVEX_BUFFER_TOO_SMALL : KAVEX_OK) &&
              needed == expected_length,
          "%s: size query gives status %d, %zu (expected %zu)", where, status, needed,
          expected_length);
    tries[0] = 0;
    tries[1] = expected_length > 0 ? expected_length - 1 : 0;
    tries[2] = expected_length;
    tries[3] = 3 * expected_length + 8;
    for (t = 0; t < 4; ++t) {
        size_t capacity = tries[t], bytes = capacity * unit;
        unsigned char *buffer = guarded(bytes);
        needed = 7777;
        status = normalize(rules, form, input, length, buffer, capacity, &needed);
        if (capacity >= expected_length) {
            CHECK(status == KAVEX_OK && needed == expected_length &&
                      memcmp(buffer, expected, expected_length * unit) == 0,
                  "%s: capacity %zu gives status %d and %zu units (expected %zu)", where,
                  capacity, status, needed, expected_length);
            CHECK(untouched(buffer, expected_length * unit, bytes + GUARD),
                  "%s: written after the result in capacity %zu", where, capacity);
        } else {
            CHECK(status == KAVEX_BUFFER_TOO_SMALL && needed == expected_length,
                  "%s: capacity %zu gives status %d, %zu", where, capacity, status, needed);
            CHECK(untouched(buffer, capacity == 0 ? 0 : bytes, bytes + GUARD),
                  "%s: written past capacity %zu", where, capacity);
        }
        free(buffer);
    }
}

static void check_is_normalized(const kavex_rules *rules, kavex_form form, const Line *line,
                                int expected, const char *where) {
    int normalized = 7;
    size_t offset = 7;
    kavex_status status =
        kavex_is_normalized_utf16(rules, form, line->units, line->length, &normalized);
    CHECK(status == KAVEX_OK && normalized == expected, "%s: UTF-16 is_normalized %d, %d", where,
          status, normalized);
    normalized = 7;
    status = kavex_is_normalized_utf8(rules, form, line->utf8, line->bytes, &normalized, &offset);
    CHECK(status == KAVEX_OK && normalized == expected && offset == 0,
          "%s: UTF-8 is_normalized %d, %d", where, status, normalized);
}

static void test_against_class(void) {
    kavex_rules *rules = NULL;
    char message[MESSAGE];
    size_t i;
    int f;
    CHECK(support_oracle_open(rules_folder), "the class does not load %s", rules_folder);
    CHECK(kavex_open(rules_folder, &rules, message, sizeof message) == KAVEX_OK, "%s", message);
    if (rules == NULL) return;
    CHECK(line_count >= 300, "only %zu lines of text", line_count);
    for (i = 0; i < line_count; ++i) {
        Line *line = &lines[i];
        for (f = 0; f < FORMS; ++f) {
            char where[64];
            size_t room = line->length * 20 + 16, bytes;
            uint16_t *expected = allocate(room * sizeof *expected);
            char *expected8;
            long length = support_oracle_normalize(forms[f], line->units, line->length,
                                                   expected, room);
            snprintf(where, sizeof where, "line %zu, form %d", i + 1, forms[f]);
            CHECK(length >= 0 && (size_t)length <= room, "%s: the class gives %ld", where, length);
            if (length < 0 || (size_t)length > room) length = 0;
            line->expected[f] = expected;
            line->expected_length[f] = (size_t)length;
            check_normalize(normalize16, 2, rules, forms[f], line->units, line->length, expected,
                            (size_t)length, where);
            expected8 = allocate(3 * (size_t)length + 1);
            bytes = utf16_to_utf8(expected, (size_t)length, expected8);
            check_normalize(normalize8, 1, rules, forms[f], line->utf8, line->bytes, expected8,
                            bytes, where);
            free(expected8);
            check_is_normalized(rules, forms[f], line,
                                (size_t)length == line->length &&
                                    memcmp(expected, line->units, 2 * line->length) == 0,
                                where);
        }
    }
    kavex_close(rules);
    support_oracle_close();
}

/* U+0000 is a character: alef + madda on each side of it compose on their own. */
static void test_zero_unit(void) {
    static const uint16_t input[] = {0x0627, 0x0653, 0, 0x0627, 0x0653};
    static const uint16_t nfc[] = {0x0622, 0, 0x0622};
    static const char input8[] = "\xD8\xA7\xD9\x93\0\xD8\xA7\xD9\x93";
    static const char nfc8[] = "\xD8\xA2\0\xD8\xA2";
    kavex_rules *rules = NULL;
    kavex_open(rules_folder, &rules, NULL, 0);
    check_normalize(normalize16, 2, rules, KAVEX_NFC, input, 5, nfc, 3, "U+0000, UTF-16");
    check_normalize(normalize8, 1, rules, KAVEX_NFC, input8, sizeof input8 - 1, nfc8,
                    sizeof nfc8 - 1, "U+0000, UTF-8");
    /* Empty input, with or without a pointer, and no `needed`. */
    CHECK(kavex_normalize_utf16(rules, KAVEX_NFC, NULL, 0, NULL, 0, NULL) == KAVEX_OK,
          "empty UTF-16 input");
    CHECK(kavex_normalize_utf8(rules, KAVEX_NFC, "", 0, NULL, 0, NULL) == KAVEX_OK,
          "empty UTF-8 input");
    kavex_close(rules);
}

/* ------------------------------------------------------------------------------------------ */

static void test_version_and_statuses(void) {
    char text[32];
    int s, t;
    snprintf(text, sizeof text, "%d.%d.%d", KAVEX_VERSION_MAJOR, KAVEX_VERSION_MINOR,
             KAVEX_VERSION_PATCH);
    CHECK(strcmp(kavex_version(), KAVEX_VERSION_STRING) == 0 &&
              strcmp(KAVEX_VERSION_STRING, text) == 0,
          "version %s, macros %s and %s", kavex_version(), KAVEX_VERSION_STRING, text);
    CHECK(kavex_version_number() == KAVEX_VERSION_NUMBER, "version number %lu",
          (unsigned long)kavex_version_number());
    for (s = KAVEX_OK; s <= KAVEX_INTERNAL_ERROR; ++s) {
        const char *meaning = kavex_status_text(s);
        CHECK(meaning != NULL && *meaning != '\0' && strcmp(meaning, "unknown status") != 0,
              "status %d has no text", s);
        for (t = KAVEX_OK; t < s; ++t) {
            CHECK(strcmp(meaning, kavex_status_text(t)) != 0, "statuses %d and %d read alike",
                  t, s);
        }
    }
    CHECK(strcmp(kavex_status_text(KAVEX_INTERNAL_ERROR + 1), "unknown status") == 0 &&
              strcmp(kavex_status_text(-1), "unknown status") == 0,
          "a status out of range");
}

/* Opening: each failure's status and the parts of its message. */
static void test_open(const char *scratch) {
    struct {
        const char *name; /* under the scratch folder; NULL: the folder is NULL */
        kavex_status status;
        const char *parts[2];
    } cases[] = {
        {"missing", KAVEX_FOLDER_ERROR, {"missing'", "does not exist"}},
        {"a-file", KAVEX_FOLDER_ERROR, {"a-file'", "is not a folder"}},
        {"empty", KAVEX_CONFIG_ERROR, {"empty': ", "cannot open config.ini"}},
        {"config-folder", KAVEX_CONFIG_ERROR, {"config-folder': ", "config.ini"}},
        {"large-config", KAVEX_CONFIG_ERROR, {"large-config': cannot read config.ini: ", "large"}},
        {NULL, KAVEX_INVALID_ARGUMENT, {"folder is NULL", ""}},
    };
    char *path;
    char message[MESSAGE];
    size_t i;
    kavex_rules *rules;
    WRITE(scratch, "a-file", "x");
    path = join(scratch, "empty");
    support_make_folder(path);
    free(path);
    path = join(scratch, "config-folder/config.ini");
    support_make_folder(path);
    free(path);
    path = join(scratch, "large-config");
    support_make_folder(path);
    {
        /* Past the reader's limit of 1 MiB. */
        size_t size = 1200000;
        char *large = allocate(size);
        memset(large, '\n', size);
        write_file(path, "config.ini", large, size);
        free(large);
    }
    free(path);
    for (i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        kavex_status status;
        path = cases[i].name ? join(scratch, cases[i].name) : NULL;
        rules = (kavex_rules *)&rules; /* must be set to NULL */
        status = kavex_open(path, &rules, message, sizeof message);
        CHECK(status == cases[i].status && rules == NULL, "%s: status %d", message, status);
        CHECK(contains(message, cases[i].parts[0]) && contains(message, cases[i].parts[1]),
              "case %zu: message '%s'", i, message);
        if (path != NULL) {
            CHECK(contains(message, path), "the message '%s' does not name %s", message, path);
        }
        free(path);
    }
    CHECK(kavex_open(rules_folder, NULL, message, sizeof message) == KAVEX_INVALID_ARGUMENT &&
              contains(message, "rules is NULL"),
          "no handle pointer: '%s'", message);
    /* Without a message buffer, and with one too short: cut, terminated, never mid-character. */
    path = join(scratch, "\xC3\xA9t\xC3\xA9");
    CHECK(kavex_open(path, &rules, NULL, 0) == KAVEX_FOLDER_ERROR, "no message buffer");
    {
        char full[MESSAGE], cut[MESSAGE];
        size_t accent, length;
        kavex_open(path, &rules, full, sizeof full);
        accent = (size_t)(strstr(full, "\xC3\xA9") - full);
        memset(cut, FILL, sizeof cut);
        kavex_open(path, &rules, cut, accent + 2); /* room for the accent's first byte only */
        length = strlen(cut);
        CHECK(length == accent && strncmp(cut, full, length) == 0 &&
                  untouched((unsigned char *)cut, accent + 1, sizeof cut),
              "a message cut to %zu bytes: '%s' of '%s'", accent + 1, cut, full);
        memset(cut, FILL, sizeof cut);
        kavex_open(path, &rules, cut, 0);
        CHECK(untouched((unsigned char *)cut, 0, sizeof cut), "capacity 0 written");
    }
    free(path);
    kavex_close(NULL);
    CHECK(strcmp(kavex_rules_folder(NULL), "") == 0, "the folder of no handle");
}

static void test_profiles_and_shipped(const char *scratch) {
    kavex_rules *rules = NULL;
    char message[MESSAGE];
    const char *folder;
    CHECK(kavex_open_profile(rules_folder, "urdu", &rules, message, sizeof message) == KAVEX_OK,
          "urdu: %s", message);
    folder = kavex_rules_folder(rules);
    CHECK(contains(folder, "profiles") && contains(folder, "urdu"), "urdu opened %s", folder);
    CHECK(kavex_load(rules, KAVEX_NFC, message, sizeof message) == KAVEX_OK, "%s", message);
    kavex_close(rules);

    CHECK(kavex_open_profile(rules_folder, "nope", &rules, message, sizeof message) ==
                  KAVEX_UNKNOWN_PROFILE &&
              rules == NULL,
          "unknown profile");
    CHECK(strncmp(message, "unknown profile 'nope'; known: ", 31) == 0 &&
              contains(message, "urdu"),
          "'%s'", message);
    CHECK(kavex_open_profile(scratch, "urdu", &rules, message, sizeof message) ==
                  KAVEX_UNKNOWN_PROFILE &&
              contains(message, "unknown profile 'urdu'; the rules in '") &&
              contains(message, scratch),
          "a folder without profiles: '%s'", message);
    CHECK(kavex_open_profile(rules_folder, NULL, &rules, message, sizeof message) ==
                  KAVEX_INVALID_ARGUMENT &&
              contains(message, "name is NULL"),
          "'%s'", message);

    /* The installed rules, as KAVEX_RULES overrides them; a profile of them. */
    support_set_env("KAVEX_RULES", rules_folder);
    CHECK(kavex_open_shipped(&rules, message, sizeof message) == KAVEX_OK &&
              strcmp(kavex_rules_folder(rules), rules_folder) == 0,
          "shipped: %s", message);
    kavex_close(rules);
    CHECK(kavex_open_profile(NULL, "persian", &rules, message, sizeof message) == KAVEX_OK,
          "the shipped persian profile: %s", message);
    kavex_close(rules);
    support_set_env("KAVEX_RULES", scratch);
    CHECK(kavex_open_shipped(&rules, message, sizeof message) == KAVEX_CONFIG_ERROR &&
              contains(message, scratch),
          "KAVEX_RULES without config.ini: '%s'", message);
    /* Unset: found beside the library or in its installed place, or named where it is looked
     * for (the build tree has none beside the library). */
    support_set_env("KAVEX_RULES", NULL);
    {
        kavex_status status = kavex_open_shipped(&rules, message, sizeof message);
        CHECK(status == KAVEX_OK ||
                  (status == KAVEX_FOLDER_ERROR && contains(message, "no installed rules found") &&
                   contains(message, "KAVEX_RULES")),
              "no KAVEX_RULES: %d '%s'", status, message);
        kavex_close(rules);
    }
    CHECK(kavex_open_shipped(NULL, message, sizeof message) == KAVEX_INVALID_ARGUMENT, "NULL");
    CHECK(kavex_open_profile(NULL, "x", NULL, message, sizeof message) == KAVEX_INVALID_ARGUMENT,
          "NULL");
}

/* A folder of our own: the load failures of each form, NFKC, and a result UTF-8 cannot
 * carry. */
static void test_folder_of_own(const char *scratch) {
    char *folder = join(scratch, "own");
    kavex_rules *rules = NULL;
    char message[MESSAGE], latest[MESSAGE];
    uint16_t out[8] = {'a'};
    char out8[8];
    size_t needed;
    int normalized;
    support_make_folder(folder);
    WRITE(folder, "config.ini",
          "NFDfilepath=nfd.txt\r\nNFCfilepath=NFC.txt\r\nNFKDfilepath=absent.txt\r\n");
    WRITE(folder, "NFC.txt", "x:y\r\n"); /* no byte-order mark */
    /* x -> U+D800, and U+FB50 -> U+0671 */
    WRITE(folder, "nfd.txt", "\xFF\xFEx\0:\0\x00\xD8\r\0\n\0\x50\xFB:\0\x71\x06\r\0\n\0");
    CHECK(kavex_open(folder, &rules, message, sizeof message) == KAVEX_OK, "%s", message);
    if (rules == NULL) return;
    CHECK(kavex_message(rules, message, sizeof message) == 0 && *message == '\0',
          "a new handle has a message");

    {
        struct {
            kavex_form form;
            kavex_status status;
            const char *parts[3];
        } cases[] = {
            {KAVEX_NFC, KAVEX_RULES_FILE_ERROR,
             {"NFC.txt has no byte-order mark", "(NFCfilepath in config.ini)", "rules folder '"}},
            {KAVEX_NFKD, KAVEX_RULES_FILE_ERROR,
             {"absent.txt does not exist", "(NFKDfilepath in config.ini)", "rules folder '"}},
            {KAVEX_NFKC, KAVEX_FORM_NOT_CONFIGURED,
             {"config.ini names no NFKC rules file", "NFKCfilepath", "rules folder '"}},
            {9, KAVEX_INVALID_ARGUMENT, {"form 9 is not one of", "KAVEX_NFKC", ""}},
            {-1, KAVEX_INVALID_ARGUMENT, {"form -1 is not one of", "", ""}},
        };
        size_t i;
        for (i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
            kavex_status status = kavex_load(rules, cases[i].form, message, sizeof message);
            CHECK(status == cases[i].status, "form %d: status %d '%s'", cases[i].form, status,
                  message);
            CHECK(contains(message, cases[i].parts[0]) && contains(message, cases[i].parts[1]) &&
                      contains(message, cases[i].parts[2]),
                  "form %d: '%s'", cases[i].form, message);
            if (cases[i].status != KAVEX_INVALID_ARGUMENT) {
                CHECK(contains(message, folder), "'%s' does not name %s", message, folder);
            }
            /* Every entry point gives the same status and keeps the message on the handle. */
            needed = 7;
            CHECK(kavex_normalize_utf16(rules, cases[i].form, out, 1, out, 8, &needed) ==
                          cases[i].status &&
                      needed == 0,
                  "form %d: UTF-16", cases[i].form);
            CHECK(kavex_normalize_utf8(rules, cases[i].form, "a", 1, out8, 8, &needed) ==
                      cases[i].status,
                  "form %d: UTF-8", cases[i].form);
            CHECK(kavex_is_normalized_utf16(rules, cases[i].form, out, 1, &normalized) ==
                          cases[i].status &&
                      kavex_is_normalized_utf8(rules, cases[i].form, "a", 1, &normalized, NULL) ==
                          cases[i].status,
                  "form %d: is_normalized", cases[i].form);
            CHECK(kavex_message(rules, latest, sizeof latest) == strlen(message) &&
                      strcmp(latest, message) == 0,
                  "form %d: the handle's message '%s'", cases[i].form, latest);
        }
        /* The handle's message returned whole in length, cut to fit the buffer. */
        CHECK(kavex_message(rules, latest, 6) == strlen(message) && strlen(latest) == 5,
              "a handle's message in 6 bytes");
    }

    /* A form that loads: U+D800 is a unit in UTF-16 and no UTF-8 at all. */
    {
        static const uint16_t x[] = {'x', 0xFB50};
        CHECK(kavex_normalize_utf16(rules, KAVEX_NFD, x, 2, out, 8, &needed) == KAVEX_OK &&
                  needed == 2 && out[0] == 0xD800 && out[1] == 0x0671,
              "x and U+FB50 in UTF-16");
        CHECK(kavex_normalize_utf8(rules, KAVEX_NFD, "ax", 2, out8, 8, &needed) ==
                      KAVEX_UNPAIRED_SURROGATE &&
                  needed == 0,
              "a lone surrogate in UTF-8");
        kavex_message(rules, message, sizeof message);
        CHECK(contains(message, "lone surrogate U+D800 at unit 1") && contains(message, folder),
              "'%s'", message);
    }

    /* Fixed files load on the next call; NFKC from a key of its own. */
    WRITE(folder, "NFC.txt", "\xFF\xFEx\0:\0y\0\r\0\n\0");
    WRITE(folder, "absent.txt", "\xFF\xFEx\0:\0\r\0\n\0");
    WRITE(folder, "config.ini",
          "NFDfilepath=nfd.txt\r\nNFCfilepath=NFC.txt\r\nNFKDfilepath=absent.txt\r\n"
          "NFKCfilepath=nfd.txt\r\n");
    CHECK(kavex_load(rules, KAVEX_NFC, message, sizeof message) == KAVEX_OK, "%s", message);
    CHECK(kavex_normalize_utf8(rules, KAVEX_NFC, "xax", 3, out8, 3, &needed) == KAVEX_OK &&
              needed == 3 && memcmp(out8, "yay", 3) == 0,
          "NFC after the fix");
    CHECK(kavex_normalize_utf8(rules, KAVEX_NFKD, "xax", 3, out8, 1, &needed) == KAVEX_OK &&
              needed == 1 && out8[0] == 'a',
          "NFKD deletes x");
    /* config.ini is read once, when the handle opens. */
    CHECK(kavex_load(rules, KAVEX_NFKC, message, sizeof message) == KAVEX_FORM_NOT_CONFIGURED,
          "NFKC before reopening");
    kavex_close(rules);
    CHECK(kavex_open(folder, &rules, message, sizeof message) == KAVEX_OK, "%s", message);
    CHECK(kavex_normalize_utf8(rules, KAVEX_NFKC, "\xEF\xAD\x90", 3, out8, 8, &needed) ==
                  KAVEX_OK &&
              needed == 2 && memcmp(out8, "\xD9\xB1", 2) == 0,
          "NFKC from its own key");
    CHECK(kavex_is_normalized_utf8(rules, KAVEX_NFKC, "\xD9\xB1", 2, &normalized, NULL) ==
                  KAVEX_OK &&
              normalized == 1,
          "NFKC is_normalized");
    kavex_close(rules);
    free(folder);
}

static void test_invalid_input(void) {
    struct {
        const char *bytes;
        size_t length;
        size_t offset;
    } cases[] = {
        {"\x80", 1, 0},                  /* stray continuation byte */
        {"ab\xC0\x80", 4, 2},            /* overlong NUL */
        {"a\xE0\x80\x80", 4, 1},         /* overlong three bytes */
        {"\xD8\xA7\xED\xA0\x80", 5, 2},  /* encoded surrogate */
        {"\xF4\x90\x80\x80", 4, 0},      /* past U+10FFFF */
        {"abc\xF5", 4, 3},               /* a byte UTF-8 never has */
        {"\xD8\xA7\xD9", 3, 2},          /* cut at the end */
        {"a\xE2\x82z", 4, 1},            /* cut inside */
        {"\xD8\xA7\xFF\xD8\xA7", 5, 2},
    };
    kavex_rules *rules = NULL;
    char message[MESSAGE], expected[64];
    size_t i, needed;
    int normalized;
    kavex_open(rules_folder, &rules, NULL, 0);
    for (i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        unsigned char *out = guarded(32);
        size_t offset = 77;
        needed = 77;
        CHECK(kavex_normalize_utf8(rules, KAVEX_NFC, cases[i].bytes, cases[i].length, (char *)out,
                                   32, &needed) == KAVEX_INVALID_UTF8 &&
                  needed == cases[i].offset,
              "case %zu: offset %zu", i, needed);
        CHECK(untouched(out, 0, 32 + GUARD), "case %zu: output written", i);
        kavex_message(rules, message, sizeof message);
        snprintf(expected, sizeof expected, "invalid UTF-8 at byte offset %zu: ", cases[i].offset);
        CHECK(strncmp(message, expected, strlen(expected)) == 0, "case %zu: '%s'", i, message);
        CHECK(kavex_is_normalized_utf8(rules, KAVEX_NFD, cases[i].bytes, cases[i].length,
                                       &normalized, &offset) == KAVEX_INVALID_UTF8 &&
                  offset == cases[i].offset,
              "case %zu: is_normalized offset %zu", i, offset);
        free(out);
    }

    /* Arguments: each check with its message on the handle. */
    {
        uint16_t unit = 'a';
        CHECK(kavex_normalize_utf16(NULL, KAVEX_NFC, &unit, 1, &unit, 1, &needed) ==
                      KAVEX_INVALID_ARGUMENT &&
                  kavex_normalize_utf8(NULL, KAVEX_NFC, "a", 1, message, 1, &needed) ==
                      KAVEX_INVALID_ARGUMENT &&
                  kavex_is_normalized_utf16(NULL, KAVEX_NFC, &unit, 1, &normalized) ==
                      KAVEX_INVALID_ARGUMENT &&
                  kavex_is_normalized_utf8(NULL, KAVEX_NFC, "a", 1, &normalized, NULL) ==
                      KAVEX_INVALID_ARGUMENT &&
                  kavex_load(NULL, KAVEX_NFC, message, sizeof message) ==
                      KAVEX_INVALID_ARGUMENT &&
                  kavex_message(NULL, message, sizeof message) == 0,
              "no handle");
        CHECK(kavex_normalize_utf16(rules, KAVEX_NFC, NULL, 3, &unit, 1, &needed) ==
                  KAVEX_INVALID_ARGUMENT,
              "NULL input");
        kavex_message(rules, message, sizeof message);
        CHECK(contains(message, "input is NULL but its length is 3"), "'%s'", message);
        CHECK(kavex_normalize_utf8(rules, KAVEX_NFC, "a", 1, NULL, 5, &needed) ==
                  KAVEX_INVALID_ARGUMENT,
              "NULL output");
        kavex_message(rules, message, sizeof message);
        CHECK(contains(message, "output is NULL but its capacity is 5"), "'%s'", message);
        CHECK(kavex_is_normalized_utf16(rules, KAVEX_NFC, &unit, 1, NULL) ==
                  KAVEX_INVALID_ARGUMENT,
              "NULL result");
        kavex_message(rules, message, sizeof message);
        CHECK(contains(message, "normalized is NULL"), "'%s'", message);
        /* More than can be had: a status, before the input is read. */
        CHECK(kavex_normalize_utf8(rules, KAVEX_NFC, "a", SIZE_MAX, NULL, 0, &needed) ==
                      KAVEX_OUT_OF_MEMORY &&
                  kavex_is_normalized_utf16(rules, KAVEX_NFC, &unit, SIZE_MAX / 2,
                                            &normalized) == KAVEX_OUT_OF_MEMORY,
              "out of memory");
        kavex_message(rules, message, sizeof message);
        CHECK(strcmp(message, "out of memory") == 0, "'%s'", message);
    }
    kavex_close(rules);
}

/* One handle, opened with no form loaded, used by eight threads at once: the first calls
 * load the forms while the others wait, and every result is the class's. */
typedef struct {
    kavex_rules *rules;
    int mismatches[8];
} Shared;

static void normalize_everything(void *arg, int index) {
    Shared *shared = arg;
    size_t i, needed;
    uint16_t out[4096];
    char message[MESSAGE];
    for (i = (size_t)index; i < line_count + (size_t)index; ++i) {
        const Line *line = &lines[i % line_count];
        int f = (int)((i + (size_t)index) % FORMS);
        kavex_status status = kavex_normalize_utf16(shared->rules, forms[f], line->units,
                                                    line->length, out, 4096, &needed);
        if (status != KAVEX_OK || needed != line->expected_length[f] ||
            memcmp(out, line->expected[f], 2 * needed) != 0) {
            ++shared->mismatches[index];
        }
        if (i % 64 == 0 &&
            kavex_load(shared->rules, KAVEX_NFKC, message, sizeof message) !=
                KAVEX_FORM_NOT_CONFIGURED) {
            ++shared->mismatches[index];
        }
    }
}

static void test_threads(const char *scratch) {
    Shared shared;
    char *folder = join(scratch, "threads"), *config, *file;
    size_t size, f;
    int i, total = 0;
    /* The shipped rules without their NFKC key, if they have one. */
    static const char *names[] = {"NFD.txt", "NFC.txt", "NFKD.txt"};
    support_make_folder(folder);
    WRITE(folder, "config.ini", "NFDfilepath=NFD.txt\nNFCfilepath=NFC.txt\nNFKDfilepath=NFKD.txt\n");
    for (f = 0; f < 3; ++f) {
        file = join(rules_folder, names[f]);
        config = read_file(file, &size);
        write_file(folder, names[f], config, size);
        free(config);
        free(file);
    }
    memset(&shared, 0, sizeof shared);
    CHECK(kavex_open(folder, &shared.rules, NULL, 0) == KAVEX_OK, "open for threads");
    support_run_threads(8, normalize_everything, &shared);
    for (i = 0; i < 8; ++i) total += shared.mismatches[i];
    CHECK(total == 0, "%d results differ under threads", total);
    kavex_close(shared.rules);
    free(folder);
}

int main(int argc, char **argv) {
    char *scratch;
    int i;
    size_t l;
    if (argc < 3) {
        fprintf(stderr, "usage: %s RULES_FOLDER TEXT_FILE...\n", argv[0]);
        return 2;
    }
    rules_folder = argv[1];
    for (i = 2; i < argc; ++i) read_texts(argv[i]);
    scratch = support_temp_folder();

    test_version_and_statuses();
    test_open(scratch);
    test_profiles_and_shipped(scratch);
    test_folder_of_own(scratch);
    test_invalid_input();
    test_zero_unit();
    test_against_class();
    test_threads(scratch);

    support_remove_tree(scratch);
    free(scratch);
    for (l = 0; l < line_count; ++l) {
        int f;
        free(lines[l].utf8);
        free(lines[l].units);
        for (f = 0; f < FORMS; ++f) free(lines[l].expected[f]);
    }
    free(lines);
    printf("c_api_test: %d passed, %d failed\n", checks - failures, failures);
    return failures == 0 ? 0 : 1;
}
