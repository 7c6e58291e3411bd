/*
 * configure.cpp - key=value configuration store.
 */
#include "configure.h"
#include "common_internal.h"
#include "conhelper_internal.h"

#include <assert.h>
#include <ctype.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>

/* Longest key or value an entry holds, and the longest text of either that
   the line parser passes on before trimming. */
static const size_t field_max = 255;
static const size_t line_part_max = 265;

namespace {

#ifndef NDEBUG
/* The lock of the store whose write lock the calling thread holds (null:
   none); for the asserts. */
thread_local const pthread_rwlock_t *write_held = nullptr;
#endif

/* Holds the store's lock, shared or exclusive, for one scope.  A lock the
   thread cannot take (glibc refuses one the thread holds for writing:
   a loop callback that uses its own store) is not released either, so
   the loop keeps its own. */
class StoreLock {
public:
    StoreLock(pthread_rwlock_t *l, bool exclusive) : l_(l)
    {
        /* A loop callback must not use the store its loop holds. */
        assert(write_held != l_);
        taken_ = (exclusive ? pthread_rwlock_wrlock(l_) : pthread_rwlock_rdlock(l_)) == 0;
#ifndef NDEBUG
        outer_ = write_held;
        if (taken_ && exclusive)
            write_held = l_;
#endif
    }
    ~StoreLock()
    {
#ifndef NDEBUG
        write_held = outer_;
#endif
        if (taken_)
            pthread_rwlock_unlock(l_);
    }
    StoreLock(const StoreLock &) = delete;
    StoreLock &operator=(const StoreLock &) = delete;

private:
    pthread_rwlock_t *l_;
    bool taken_;
#ifndef NDEBUG
    const pthread_rwlock_t *outer_;
#endif
};

}  // namespace

/* Linear scan in insertion order.  Keys longer than an entry holds are never
   stored, so they are never found. */
static configure_entry *store_find(configure_store *store, const char *key)
{
    if (store == nullptr || key == nullptr)
        return nullptr;
    size_t len = strnlen(key, field_max + 1);
    if (len > field_max)
        return nullptr;
    for (uint32_t i = 0; i < store->count; i++) {
        configure_entry *e = store->entries[i];
        if (e != nullptr && e->key_len == len && memcmp(e->key, key, len) == 0)
            return e;
    }
    return nullptr;
}

static int32_t store_get(configure_store *store, const char *key, char *out, int32_t outsize)
{
    if (out == nullptr || outsize < 1)
        return -1;
    out[0] = '\0';
    if (store == nullptr || key == nullptr)
        return -1;
    StoreLock guard(&store->lock, false);
    const configure_entry *e = store_find(store, key);
    if (e == nullptr || outsize <= e->value_len)
        return -1;
    memcpy(out, e->value, e->value_len + 1u);
    return 0;
}

/* Appends a new entry; -1 leaves the store exactly as it was.  The caller
   holds the store's write lock. */
static int32_t store_add(configure_store *store, const char *key, size_t key_len, const char *value, size_t value_len)
{
    assert(write_held == &store->lock);
    assert(key_len <= field_max);
    assert(value_len <= field_max);
    configure_entry *e = static_cast<configure_entry *>(calloc(1, sizeof(configure_entry)));
    if (e == nullptr)
        return -1;
    void *table = lc_table_make_room(store->entries, store->count, &store->capacity);
    if (table == nullptr) {
        free(e);
        return -1;
    }
    store->entries = static_cast<configure_entry **>(table);
    memcpy(e->key, key, key_len);
    e->key_len = static_cast<uint8_t>(key_len);
    memcpy(e->value, value, value_len);
    e->value_len = static_cast<uint8_t>(value_len);
    store->entries[store->count++] = e;
    return 1;
}

/* The value is compared as it would be stored (cut to 255 characters), so
   setting an over-long value again is no change. */
static int32_t store_set(configure_store *store, const char *key, const char *value)
{
    if (store == nullptr || key == nullptr || value == nullptr)
        return -1;
    size_t key_len = strnlen(key, field_max + 1);
    if (key_len > field_max)
        return -1;
    size_t value_len = strnlen(value, field_max);

    StoreLock guard(&store->lock, true);
    configure_entry *e = store_find(store, key);
    if (e == nullptr)
        return store_add(store, key, key_len, value, value_len);
    e->changed = 0;
    if (e->value_len != value_len || memcmp(e->value, value, value_len) != 0) {
        e->changed = 1;
        memset(e->value, 0, sizeof e->value);
        memcpy(e->value, value, value_len);
        e->value_len = static_cast<uint8_t>(value_len);
    }
    return e->changed;
}

extern "C" LC_API configure_store *configure_init(void)
{
    configure_store *store = static_cast<configure_store *>(calloc(1, sizeof(configure_store)));
    if (store == nullptr)
        return nullptr;
    /* glibc's initialisation with default attributes cannot fail; another
       C library's might. */
    if (pthread_rwlock_init(&store->lock, nullptr) != 0) {
        free(store);
        return nullptr;
    }
    store->get = store_get;
    store->loop = loop;
    store->set = store_set;
    store->find = store_find;
    return store;
}

extern "C" LC_API void configure_free(configure_store *store)
{
    if (store == nullptr)
        return;
    for (uint32_t i = 0; i < store->count; i++)
        free(store->entries[i]);
    free(store->entries);
    pthread_rwlock_destroy(&store->lock);
    free(store);
}

/* Filter membership: same length (as an 8-bit number) and same text. */
static int32_t filter_index(const config_key *filter, const char *key)
{
    uint8_t len = static_cast<uint8_t>(strlen(key));
    for (int32_t i = 0; !filter[i].end; i++) {
        if (filter[i].key != nullptr && filter[i].len == len && strcmp(filter[i].key, key) == 0)
            return i;
    }
    return -1;
}

/* Copies at most `max` characters of [from, to) into out (max + 1 bytes). */
static void copy_part(char *out, const char *from, size_t n, size_t max)
{
    if (n > max)
        n = max;
    memcpy(out, from, n);
    out[n] = '\0';
}

extern "C" LC_API int32_t configure_parse_line(configure_store *store, const config_key *filter, const char *line)
{
    if (store == nullptr || line == nullptr || store->set == nullptr)
        return -1;
    if (!isalpha(static_cast<unsigned char>(line[0])))
        return -1;
    const char *eq = strchr(line, '=');
    if (eq == nullptr)
        return -1;

    char key[line_part_max + 1];
    char value[line_part_max + 1];
    copy_part(key, line, static_cast<size_t>(eq - line), line_part_max);
    copy_part(value, eq + 1, strnlen(eq + 1, line_part_max), line_part_max);
    lc_strip(key, nullptr);
    lc_strip(value, nullptr);

    /* A setting line counts as parsed even when the store refuses its pair
       (a key longer than an entry holds, or no memory): the store is left
       as it was, and the caller has nothing to tell apart. */
    if (filter == nullptr || filter_index(filter, key) >= 0)
        (void)store->set(store, key, value);
    return 0;
}

extern "C" LC_API int32_t configure_parse(configure_store *store, const config_key *filter, const char *path)
{
    if (store == nullptr || path == nullptr)
        return -1;
    FILE *fp = fopen(path, "rb");
    if (fp == nullptr)
        return -1;
    /* Keeps a writer that locks the file too from changing it mid-read. */
    int fd = fileno(fp);
    (void)flock(fd, LOCK_EX);
    /* A read error ends the file like its end does: what was read so far
       is stored, and the file was opened, so the result is 0. */
    char line[512];
    while (fgets(line, sizeof line, fp) != nullptr)
        configure_parse_line(store, filter, line);
    (void)flock(fd, LOCK_UN);
    fclose(fp);
    return 0;
}

extern "C" LC_API int32_t configure_parse_buf(configure_store *store, const config_key *filter, char *text)
{
    if (store == nullptr || text == nullptr)
        return -1;
    char *save = nullptr;
    for (char *line = strtok_r(text, "\n", &save); line != nullptr; line = strtok_r(nullptr, "\n", &save))
        configure_parse_line(store, filter, line);
    return 0;
}

/* The cursor lives in the store, so iterations take the write lock and
   exclude each other. */
extern "C" LC_API void loop(configure_store *store, configure_loop_cb callback, void *arg)
{
    if (store == nullptr || callback == nullptr)
        return;
    StoreLock guard(&store->lock, true);
    store->cursor = 0;
    while (store->cursor < store->count) {
        const configure_entry *e = store->entries[store->cursor];
        if (e == nullptr)
            break;
        store->cursor++;
        callback(arg, e->key, e->value);
    }
}

/* One output line; at most 1022 characters, which any stored pair fits. */
static size_t format_line(char *line, size_t size, const char *key, const char *value)
{
    int n = snprintf(line, size - 1, "%s = \"%s\"\n", key, value);
    /* snprintf fails only for a format it cannot apply; this one it can. */
    return n < 0 ? 0 : strlen(line);
}

extern "C" LC_API int32_t loop_2_conf(void *arg, const char *key, const char *value)
{
    FILE *stream = static_cast<FILE *>(arg);
    if (stream == nullptr || key == nullptr || value == nullptr)
        return -1;
    char line[1024];
    size_t len = format_line(line, sizeof line, key, value);
    return fwrite(line, len, 1, stream) == 1 ? 0 : -1;
}

extern "C" LC_API int32_t loop_2_buf(void *arg, const char *key, const char *value)
{
    config_textbuf *tb = static_cast<config_textbuf *>(arg);
    if (tb == nullptr || tb->text == nullptr || key == nullptr || value == nullptr)
        return -1;
    char line[1024];
    size_t len = format_line(line, sizeof line, key, value);
    if (tb->used < 0 || static_cast<int64_t>(tb->used) + static_cast<int64_t>(len) >= tb->size) {
        tb->status = -1;
        return -1;
    }
    memcpy(tb->text + tb->used, line, len + 1);
    tb->used += static_cast<int32_t>(len);
    return 0;
}

extern "C" LC_API config_key *config_keys_format(const char *const *keys, uint8_t n)
{
    if (keys == nullptr && n > 0)
        return nullptr;
    config_key *filter = static_cast<config_key *>(calloc(n + 1u, sizeof(config_key)));
    if (filter == nullptr)
        return nullptr;
    for (uint8_t i = 0; i < n; i++) {
        if (keys[i] == nullptr) {
            free(filter);
            return nullptr;
        }
        filter[i].key = keys[i];
        filter[i].len = static_cast<uint8_t>(strlen(keys[i]));
    }
    filter[n].end = 1;
    return filter;
}

extern "C" LC_API int32_t configure_key_IsChanged(configure_store *store, const config_key *filter)
{
    if (store == nullptr || filter == nullptr)
        return -1;
    for (uint32_t i = 0; i < store->count; i++) {
        const configure_entry *e = store->entries[i];
        if (e == nullptr || e->changed != 1)
            continue;
        int32_t index = filter_index(filter, e->key);
        if (index >= 0)
            return index;
    }
    return -1;
}
