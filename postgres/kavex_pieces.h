/* The engine as the PostgreSQL glue sees it: plain C, no exceptions, no server headers.
 *
 * The glue (kavex_pg.c) owns every byte of text and every error report; this side only
 * finds the rules and turns one UTF-8 piece into its normalized UTF-8. No call here ever
 * raises a server error or runs while one unwinds the stack, so C++ destructors and the
 * server's longjmp-based errors never meet: each call catches everything it may throw
 * and returns a status instead. */
#ifndef KAVEX_POSTGRES_PIECES_H
#define KAVEX_POSTGRES_PIECES_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KavexRules KavexRules;

typedef enum KavexStatus {
    KAVEX_OK = 0,
    KAVEX_UNKNOWN_FORM,    /* the hint names the known forms */
    KAVEX_UNKNOWN_PROFILE, /* the hint names the known profiles */
    KAVEX_RULES_FOLDER,    /* the folder or its config.ini cannot be opened or read */
    KAVEX_RULES_MISSING_KEY,
    KAVEX_RULES_FILE,   /* a rules file config.ini names cannot be loaded */
    KAVEX_INVALID_UTF8, /* `offset`: the first byte of the piece that is not UTF-8 */
    KAVEX_UNENCODABLE,  /* the result holds U+0000 or a lone surrogate */
    KAVEX_OUT_OF_MEMORY,
    KAVEX_INTERNAL
} KavexStatus;

typedef struct KavexError {
    KavexStatus status;
    size_t offset;
    char message[1024];
    char detail[1024];
    char hint[1024];
} KavexError;

/* The rules of `form` (NFC, NFD, NFKC, NFKD in any case) in the rules folder `folder`, or
 * in its profile `profile` when that is not null. Loaded on the first call and kept for the
 * life of the process. Null, with `error` filled in, when they cannot be had. */
const KavexRules* kavex_rules_find(const char* folder, const char* form, const char* profile,
                                   KavexError* error);

/* Where the first piece of the UTF-8 text [text, text + size) ends: at `size` when that is
 * at most `wanted`, else before the first byte at or past `wanted` that no rule and no move
 * of U+06BE can reach across, or at `size` when there is none. Each piece normalized on its
 * own gives, put together, exactly the text normalized whole. */
size_t kavex_piece_end(const KavexRules* rules, const char* text, size_t size, size_t wanted);

/* Normalizes the piece [text, text + size). On KAVEX_OK `*result` holds `*resultSize` bytes
 * of UTF-8, valid until the next call. */
KavexStatus kavex_normalize_piece(const KavexRules* rules, const char* text, size_t size,
                                  const char** result, size_t* resultSize, KavexError* error);

/* Gives back the scratch of the pieces when it has grown past what a typical call needs. */
void kavex_trim_scratch(void);

#ifdef __cplusplus
}
#endif

#endif /* KAVEX_POSTGRES_PIECES_H */
