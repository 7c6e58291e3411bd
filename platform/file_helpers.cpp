/*
 * file_helpers.cpp - whole-file transfers under flock, path joining, and
 * file and device mappings.
 */
#include "file_helpers.h"
#include "lib_helpers.h"
#include "platform_internal.h"
#include "trace.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
/* Holds the exclusive whole-file lock of an open stream for one scope. */
class FileLock {
public:
    explicit FileLock(FILE *f) : fd_(fileno(f)) { (void)flock(fd_, LOCK_EX); }
    explicit FileLock(int fd) : fd_(fd) { (void)flock(fd_, LOCK_EX); }
    ~FileLock() { (void)flock(fd_, LOCK_UN); }
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

private:
    int fd_;
};
}  // namespace

/* Appends src to dst (holding used characters) if it fits below size;
   returns false, leaving dst alone, otherwise. */
static bool append_text(char *dst, size_t size, size_t *used, const char *src)
{
    size_t len = strlen(src);
    if (*used + len >= size)
        return false;
    memcpy(dst + *used, src, len + 1);
    *used += len;
    return true;
}

/* Size of an open stream's file now, or -1. */
static long current_size(FILE *f)
{
    struct stat st;
    /* fstat of a stream's open descriptor does not fail. */
    if (fstat(fileno(f), &st) != 0)
        return -1;
    return static_cast<long>(st.st_size);
}

void lc_write_all(int fd, const void *buf, size_t len)
{
    const char *p = static_cast<const char *>(buf);
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n <= 0)
            return;
        p += n;
        len -= static_cast<size_t>(n);
    }
}

extern "C" {

LC_API void lib_fsync_for_FILE(FILE *stream)
{
    if (stream == nullptr)
        return;
    int fd = fileno(stream);
    if (fd >= 0)
        (void)fsync(fd);
}

LC_API void cat_file_name(char *dst, uint32_t dstsize, const char *dir, const char *name)
{
    if (dst == nullptr || dstsize == 0)
        return;
    memset(dst, 0, dstsize);
    size_t used = 0;
    bool fits = true;
    if (dir != nullptr && dir[0] != '\0') {
        fits = append_text(dst, dstsize, &used, dir);
        if (fits && dir[strlen(dir) - 1] != '/')
            fits = append_text(dst, dstsize, &used, "/");
    }
    if (fits && name != nullptr)
        fits = append_text(dst, dstsize, &used, name);
    if (!fits)
        memset(dst, 0, dstsize);
}

LC_API void *read_file_fixbytes_to_buf(const char *path, uint32_t size)
{
    if (path == nullptr)
        return nullptr;
    XEL_TRACE(lib, 6, "%s\n", path);
    FILE *f = fopen(path, "r");
    if (f == nullptr)
        return nullptr;
    /* Zeroed, so a shorter file leaves zeros rather than heap leftovers. */
    void *buf = calloc(1, size > 0 ? size : 1);
    if (buf != nullptr && size > 0) {
        FileLock lock(f);
        (void)fread(buf, size, 1, f);
    }
    fclose(f);
    return buf;
}

LC_API char *read_file_to_buf(const char *path)
{
    if (path == nullptr)
        return nullptr;
    struct stat st;
    if (stat(path, &st) != 0) {
        XEL_TRACE(lib, 6, "%s does not exist\n\n", path);
        return nullptr;
    }
    XEL_TRACE(lib, 6, "%s\n", path);
    FILE *f = fopen(path, "r");
    if (f == nullptr)
        return nullptr;
    char *buf = nullptr;
    {
        /* The size is taken under the lock: a writer that ran between the
           stat above and the lock may have changed it. */
        FileLock lock(f);
        long size = current_size(f);
        if (size >= 0)
            buf = static_cast<char *>(malloc(static_cast<size_t>(size) + 1));
        if (buf != nullptr) {
            size_t got = size > 0 ? fread(buf, 1, static_cast<size_t>(size), f) : 0;
            buf[got] = '\0';
        }
    }
    fclose(f);
    return buf;
}

LC_API int read_file2(const char *path, int32_t *len, void *buf, int32_t bufsize)
{
    if (path == nullptr || len == nullptr)
        return -1;
    struct stat st;
    if (access(path, F_OK) != 0 || stat(path, &st) != 0) {
        XEL_TRACE(lib, 6, "%s does not exist\n\n", path);
        return -1;
    }
    /* Stored before the size check: a caller learns the size it needs. */
    *len = static_cast<int32_t>(st.st_size);
    if (buf == nullptr || static_cast<long long>(bufsize) <= static_cast<long long>(st.st_size))
        return -1;
    FILE *f = fopen(path, "rb");
    if (f == nullptr)
        return -1;
    int rc = -1;
    {
        FileLock lock(f);
        long size = current_size(f);
        if (size >= 0) {
            *len = static_cast<int32_t>(size);
            if (static_cast<long long>(bufsize) > size) {
                if (size > 0)
                    (void)fread(buf, static_cast<size_t>(size), 1, f);
                rc = 0;
            }
        }
    }
    fclose(f);
    return rc;
}

LC_API int write_file(const char *path, const void *buf, uint32_t len)
{
    if (path == nullptr || (buf == nullptr && len > 0))
        return -1;
    /* No O_TRUNC: the file is emptied only once this writer holds the lock. */
    int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return -1;
    {
        FileLock lock(fd);
        (void)ftruncate(fd, static_cast<off_t>(len));
        lc_write_all(fd, buf, len);
    }
    close(fd);
    return 0;
}

LC_API int map_devmem(mapped_file *mf)
{
    if (mf == nullptr || mf->path == nullptr)
        return -1;
    int fd = open(mf->path, O_RDWR | O_SYNC | O_CLOEXEC);
    if (fd < 0) {
        printf("open %s fail\n", mf->path);
        return -1;
    }
    void *addr = mmap(nullptr, mf->length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, static_cast<off_t>(mf->offset));
    int err = errno;
    close(fd); /* the mapping stays valid without it */
    if (addr == MAP_FAILED) {
        errno = err;
        lib_strerror("mmap");
        return -1;
    }
    mf->addr = addr;
    return 0;
}

LC_API int map_file_to_buf(mapped_file *mf)
{
    if (mf == nullptr || mf->path == nullptr)
        return -1;
    int fd = open(mf->path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        printf("open %s fail\n", mf->path);
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0)
        st.st_size = 0;
    if (mf->length == 0) {
        mf->offset = 0;
        mf->length = static_cast<uint32_t>(st.st_size);
    }
    printf("mmap file %s offset:%ld length:%uld\n", mf->path, mf->offset, mf->length);

    /* Grow only: whatever lies beyond the mapped range stays in the file. */
    off_t end = static_cast<off_t>(mf->offset) + static_cast<off_t>(mf->length);
    if (st.st_size < end && ftruncate(fd, end) != 0) {
        perror("ftruncate");
        close(fd);
        return -1;
    }
    void *addr = mmap(nullptr, mf->length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, static_cast<off_t>(mf->offset));
    if (addr == MAP_FAILED) {
        lib_strerror("mmap");
        close(fd);
        return -1;
    }
    mf->fd = fd;
    mf->addr = addr;
    return 0;
}

LC_API int unmap_file_to_buf(mapped_file *mf)
{
    if (mf == nullptr)
        return -1;
    if (mf->addr != nullptr) {
        if (munmap(mf->addr, mf->length) != 0) {
            perror("munmap");
            return -1;
        }
    }
    mf->addr = nullptr;
    if (mf->fd != 0) {
        if (close(mf->fd) != 0) {
            perror("close");
            return -1;
        }
    }
    mf->fd = 0;
    return 0;
}

}  // extern "C"
