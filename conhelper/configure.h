/**
 * \file
 * \defgroup lib_common_configure Configuration store
 * \ingroup lib_common_text
 * configure.h - key=value configuration store.
 *
 * A store holds key/value settings in insertion order.  A process fills it
 * from a file (configure_parse) or a text (configure_parse_buf), reads it
 * from any thread through the get slot, updates it through the set slot, and
 * writes it back out with loop() and loop_2_conf or loop_2_buf, one line
 * "key = \"value\"" per entry.  Each entry remembers whether its last set
 * changed the value; configure_key_IsChanged asks that for a set of keys.
 * The slots are called with the store itself as first argument:
 *
 *     configure_store *cfg = configure_init();
 *     configure_parse(cfg, NULL, "/etc/app.conf");
 *     char name[64];
 *     if (cfg->get(cfg, "name", name, sizeof name) == 0) ...
 *     FILE *out = fopen("/tmp/app.conf", "w");
 *     loop(cfg, loop_2_conf, out);
 *
 * Lines: a setting starts with a letter and holds '='; the key is the text
 * before the first '=', the value all of the rest (further '=' and '#'
 * included: there are no inline comments), both trimmed of white space and
 * double quotes at the ends.  Anything else (comments, blank lines, lines
 * starting with a blank, digit or quote) is skipped.
 *
 * Limits and bad input:
 *  - A key holds at most 255 characters.  A longer key is refused: set
 *    returns -1 and stores nothing, and get and find do not find it; its
 *    line still counts as a setting (configure_parse_line returns 0).
 *  - A value holds at most 255 characters; a longer one is cut to its first
 *    255 and counts as unchanged when those equal the stored value, so that
 *    re-reading an unchanged file reports no change.
 *  - Out of memory: configure_init and config_keys_format return null; a
 *    set that would create an entry returns -1 and leaves the store as it
 *    was (configure_parse_line still returns 0 for its line).
 *  - Null store, key, value, text, path, callback or filter: -1 (or null,
 *    or nothing for the functions without a result); nothing is stored.
 *
 * Locking: get takes the store's read lock, set and loop its write lock;
 * loop calls its callback with the write lock held, so the callback must not
 * use the same store.  find and configure_key_IsChanged take no lock: call
 * them only while no other thread sets values.  configure_parse also holds
 * an exclusive flock on the file while reading it.
 * @{
 */
#ifndef LC_CONFIGURE_H
#define LC_CONFIGURE_H

#include "lc_defs.h"

#include <pthread.h>
#include <stdio.h>

LC_BEGIN_DECLS

/** One stored key; the fields and their order are part of the interface. */
typedef struct configure_entry {
    char key[256];     /**< NUL-terminated, at most 255 characters */
    char value[256];   /**< NUL-terminated, at most 255 characters */
    uint8_t key_len;   /**< length of key */
    uint8_t value_len; /**< length of value (255 for a value that was cut) */
    uint8_t changed;   /**< 1: the last set of this existing key changed it */
} configure_entry;

/** The store's type name (the record is configure_store, below). */
typedef struct configure_store configure_store;

/** Callback of loop: called with (arg, key, value); its result is ignored.
    loop_2_conf and loop_2_buf have exactly this type, so they are passed to
    loop as they are (a cast to another function type would make the call
    undefined).  It runs on loop's thread with the store's write lock held:
    it must not use the same store. */
typedef int32_t (*configure_loop_cb)(void *arg, const char *key, const char *value);

/* Slot types: each takes the store as its first argument. */
/** Type of the get slot. */
typedef int32_t (*configure_get_fn)(configure_store *store, const char *key, char *out, int32_t outsize);
/** Type of the loop slot. */
typedef void (*configure_loop_fn)(configure_store *store, configure_loop_cb callback, void *arg);
/** Type of the set slot. */
typedef int32_t (*configure_set_fn)(configure_store *store, const char *key, const char *value);
/** Type of the find slot. */
typedef configure_entry *(*configure_find_fn)(configure_store *store, const char *key);

/** A store; configure_init makes it, configure_free releases it.  Its
    operations are the slots below, called with the store itself. */
struct configure_store {
    configure_entry **entries; /**< table in insertion order; null until the first */
    uint32_t count;            /**< entries in use */
    uint32_t capacity;         /**< slots in the table; grows by 8 */
    uint32_t cursor;           /**< iteration position of loop */
    pthread_rwlock_t lock;     /**< guards all of the above and the entries */
    /** Copies the value of key into out (outsize bytes, at least 1), read
        lock.  0, or -1 with an empty out when the key is missing or the
        value does not fit with its terminator.

        Thread safety: any thread, beside other gets and sets. */
    configure_get_fn get;
    /** loop().

        Thread safety: as loop. */
    configure_loop_fn loop;
    /** Creates or updates key, write lock.  1: created or value changed;
        0: same value; -1: refused (null or over-long key, out of memory).

        Thread safety: any thread, beside gets and other sets; not from a
        loop callback on the same store. */
    configure_set_fn set;
    /** Entry of key or null; no lock.  The entry stays the store's.

        Thread safety: only while no other thread sets values. */
    configure_find_fn find;
};

/** Key filter element, made by config_keys_format; an array of them ends
   with the element whose `end` is 1 (its other fields mean nothing). */
typedef struct config_key {
    const char *key; /**< caller's text, not copied */
    uint8_t len;     /**< strlen(key) */
    uint8_t end;     /**< 1 on the element that ends the array */
} config_key;

/** Caller's text that loop_2_buf fills; status must be 0 beforehand. */
typedef struct config_textbuf {
    char *text;     /**< caller's storage, holding a NUL-terminated string */
    int32_t size;   /**< capacity of text in bytes */
    int32_t used;   /**< length of the string held */
    int32_t status; /**< set to -1 when a line did not fit */
} config_textbuf;

/** New empty store with its slots set; null when out of memory.

    Thread safety: any thread. */
LC_API configure_store *configure_init(void);
/** Releases the store; no other thread may be using it.  Null is ignored.

    Thread safety: once the store is no longer shared. */
LC_API void configure_free(configure_store *store);

/** Parses the file at path line by line (lines of up to 511 characters;
    longer ones arrive in pieces, each parsed as a line).  Only keys in the
    filter are stored when one is given.  -1 if the file cannot be opened
    for reading, else 0: a read that fails later (a directory, say) ends the
    parse like the end of the file, keeping the lines read before it.

    Thread safety: any thread; each pair is set under the write lock, so
    readers see the pairs arrive one by one.  Not from a loop callback on
    the same store. */
LC_API int32_t configure_parse(configure_store *store, const config_key *filter, const char *path);
/** Parses a text line by line, overwriting each line feed with a NUL.  0.

    Thread safety: as configure_parse; the text is the caller's. */
LC_API int32_t configure_parse_buf(configure_store *store, const config_key *filter, char *text);
/** Parses one line: -1 when it is not a setting, else 0, whether the pair
    was stored, filtered out or refused by the store (over-long key, out of
    memory).

    Thread safety: as configure_parse. */
LC_API int32_t configure_parse_line(configure_store *store, const config_key *filter, const char *line);

/** Calls callback(arg, key, value) per entry in insertion order, holding the
    write lock throughout.

    Thread safety: any thread; gets and sets of other threads wait until it
    ends.  The callback must not use the same store (it would wait for
    itself). */
LC_API void loop(configure_store *store, configure_loop_cb callback, void *arg);
/** loop callback, arg a FILE pointer: writes `key = "value"` and a line feed
    to the stream; 0, or -1 when the stream is null or the write failed.

    Thread safety: the thread that runs loop; the stream is the caller's. */
LC_API int32_t loop_2_conf(void *stream, const char *key, const char *value);
/** loop callback, arg a config_textbuf pointer: appends `key = "value"` and
    a line feed when used + length < size, else sets status to -1 and skips
    the line; 0 when appended.

    Thread safety: the thread that runs loop; the record is the caller's. */
LC_API int32_t loop_2_buf(void *textbuf, const char *key, const char *value);

/** Filter of n keys (at most 255), released by the caller with free; the
    key texts must outlive it.  Null when out of memory or a key is null.

    Thread safety: any thread; a filter is only read afterwards, so threads
    may share it. */
LC_API config_key *config_keys_format(const char *const *keys, uint8_t n);
/** Filter index of the first entry, in store order, that is marked changed
    and is in the filter; -1 when there is none or the filter is null.

    Thread safety: no lock: only while no other thread sets values. */
LC_API int32_t configure_key_IsChanged(configure_store *store, const config_key *filter);

LC_END_DECLS

/** @} */

#endif /* LC_CONFIGURE_H */
