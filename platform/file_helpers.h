/**
 * \file
 * \defgroup lib_common_files File helpers
 * \ingroup lib_common_platform
 * file_helpers.h - whole-file reads and writes, path joining, mappings.
 *
 * Every whole-file read and write holds an exclusive advisory flock() on
 * the file while it transfers the data, so processes using these helpers
 * on one file take turns.  A writer opens the file without truncating it
 * and sets the new length only once it holds the lock, and readers take
 * the file's size under the lock: a reader never sees a file that a
 * waiting writer emptied, nor a mix of two versions.
 *
 * Choices on odd input: cat_file_name never writes past dstsize and leaves
 * dst empty when the joined path does not fit (a cut path would name some
 * other file); an empty dir adds nothing, not even "/".  map_file_to_buf
 * only ever grows a file, it never cuts what lies beyond the mapped range.
 * A read helper that cannot allocate its block returns null.
 *
 * The helpers keep no state and may be called from any thread.  The file
 * lock is blocking: a whole-file call waits while another process or
 * thread holds the file, which from a command handler holds up the
 * scheduler.  A mapped_file record belongs to one caller at a time.
 * @{
 */
#ifndef LC_FILE_HELPERS_H
#define LC_FILE_HELPERS_H

#include "lc_defs.h"

#include <stdio.h>

LC_BEGIN_DECLS

/** One mapping; zero-fill it before first use.  Unmapped: addr null, fd 0. */
typedef struct mapped_file {
    const char *path; /**< file or memory device to map */
    uint32_t length;  /**< bytes to map; map_file_to_buf: 0 = whole file */
    long offset;      /**< start in the file, a multiple of the page size */
    int32_t fd;       /**< kept open by map_file_to_buf; 0 = none */
    void *addr;       /**< start of the mapping; null = nothing mapped */
} mapped_file;

/** fsync of the stream's descriptor; the stream's buffer is not flushed.

    Thread safety: any thread. */
LC_API void lib_fsync_for_FILE(FILE *stream);

/** dst = dir "/" name (no second slash when dir ends with one), "dir/" for
    a null name, name for a null dir.  Zero-fills dstsize bytes first.

    Thread safety: any thread. */
LC_API void cat_file_name(char *dst, uint32_t dstsize, const char *dir, const char *name);

/** size bytes from the start of the file in a new block (free it); bytes
    past the end of a shorter file are zero.  Null when the file cannot be
    opened.

    Thread safety: any thread (file lock). */
LC_API void *read_file_fixbytes_to_buf(const char *path, uint32_t size);
/** The whole file and a NUL in a new block (free it); null when missing.

    Thread safety: any thread (file lock). */
LC_API char *read_file_to_buf(const char *path);
/** The whole file into buf (no terminator); *len receives the file's size
    even when buf is too small.  buf must be at least one byte larger than
    the file.  0, or -1.

    Thread safety: any thread (file lock). */
LC_API int read_file2(const char *path, int32_t *len, void *buf, int32_t bufsize);
/** Replaces the file's content with len bytes of buf, creating it when
    missing.  -1 when it cannot be opened (or buf is null with len > 0).

    Thread safety: any thread (file lock). */
LC_API int write_file(const char *path, const void *buf, uint32_t len);

/** Maps length bytes of a memory device at offset (shared, read-write):
    0, or -1.

    Thread safety: any thread, on a record of its own. */
LC_API int map_devmem(mapped_file *mf);
/** Creates the file if needed, grows it to offset + length, maps it shared
    and read-write and keeps the descriptor in fd.  0, or -1.

    Thread safety: any thread, on a record of its own. */
LC_API int map_file_to_buf(mapped_file *mf);
/** Unmaps addr and closes fd; 0 on success or when nothing is mapped.

    Thread safety: any thread, on a record of its own, once nothing uses
    the mapping. */
LC_API int unmap_file_to_buf(mapped_file *mf);

LC_END_DECLS

/** @} */

#endif /* LC_FILE_HELPERS_H */
