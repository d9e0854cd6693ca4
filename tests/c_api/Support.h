/* What the C interface's test needs beyond C11, written in C++: the exported class as the
 * oracle, folders, the environment and threads. */
#ifndef KAVEX_TESTS_C_API_SUPPORT_H
#define KAVEX_TESTS_C_API_SUPPORT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Initializes the class with the config.ini of `folder`; 1 on success. */
int support_oracle_open(const char *folder);
/* The class's result for `length` units in form 0 (NFD), 1 (NFC) or 2 (NFKD): its length in
 * units, written to `output` when it fits in `capacity`; -1 when the class did nothing. */
long support_oracle_normalize(int form, const uint16_t *input, size_t length, uint16_t *output,
                              size_t capacity);
void support_oracle_close(void);

/* A new empty folder under the system's temporary folder; its path, to be freed with free(). */
char *support_temp_folder(void);
int support_make_folder(const char *path);
void support_remove_tree(const char *path);
/* Sets the variable, or unsets it when `value` is NULL; 1 on success. */
int support_set_env(const char *name, const char *value);
/* Runs body(arg, index) for index 0..count-1, each on a thread of its own, all at once. */
void support_run_threads(int count, void (*body)(void *arg, int index), void *arg);

#ifdef __cplusplus
}
#endif

#endif /* KAVEX_TESTS_C_API_SUPPORT_H */
