/*
 * fifo.cpp - the debug command pipe: its node, the reading and splitting of
 * commands, the registration list of command tables and the "help" listing.
 */
#include "fifo.h"
#include "fifo_internal.h"
#include "trace.h"
#include "common_internal.h"
#include "lc_lock_internal.h"
#include "reply_internal.h"

#include <assert.h>
#include <errno.h>
#include <fcntl.h>
#include <new>
#include <pthread.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

enum {
    READ_MAX = 256,   /* bytes taken by one fifo_handle */
    FIELD_SIZE = 100, /* a key or value: 99 characters and a terminator */
    PATH_SIZE = 64,   /* fifo_path: at most 62 characters are kept */
};

static const char shared_path[] = "/dev/libfifo";

extern "C" {

/* Zero until the first fifo_init_fun: no registration is possible before. */
LC_API fifo_work fifo_queue;
}

const fifo_cmd lc_fifo_help_cmds[LC_FIFO_HELP_ROWS] = {
    {"help", nullptr, fifo_print_debug, nullptr},
};

static char fifo_path[PATH_SIZE];
/* Cleared for good once this process found its node already present. */
static bool fifo_created = true;
/* Process that made the node at fifo_path (0: none); a forked child must
   not remove its parent's node. */
static pid_t node_owner;
/* Whether fifo_path is served: fifo_init_fun opened it. */
static bool serving;
/* The descriptor whose last read ended inside a piece that goes on in the
   pipe (-1: none); only the thread that runs fifo_handle uses it. */
static int cut_fd = -1;

/* Recursive, so that an output hook that registers a table while "help"
   lists the rows does not deadlock. */
static lc_mutex list_lock = LC_RECURSIVE_MUTEX_INITIALIZER;

/* list_lock for a scope.  Taken before the reply sinks' lock, never while
   it is held: traces made under list_lock take that lock. */
static lc_lock_guard hold_list(void)
{
    assert(!lc_reply_sinks_mine());
    return lc_lock_guard(list_lock);
}

static fifo_work *work_of(fifo_link *link)
{
    return reinterpret_cast<fifo_work *>(reinterpret_cast<char *>(link) - offsetof(fifo_work, link));
}

/* Frees every registration and leaves the list empty (head linked to
   itself).  The caller holds list_lock. */
static void free_registrations(void)
{
    assert(list_lock.owner.mine());
    fifo_link *head = &fifo_queue.link;
    for (fifo_link *l = head->next; l != nullptr && l != head;) {
        fifo_link *next = l->next;
        delete work_of(l);
        l = next;
    }
    head->prev = head;
    head->next = head;
}

/* Writes this process's own pipe path, "/dev/libfifo_<tid>". */
static void use_own_path(void)
{
    snprintf(fifo_path, PATH_SIZE - 1, "/dev/libfifo_%ld", (long)syscall(SYS_gettid));
}

extern "C" LC_API int32_t fifo_init_fun(void)
{
    /* A node left by an earlier start without fifo_exit_fun goes first. */
    if (node_owner == getpid())
        remove(fifo_path);
    node_owner = 0;
    cut_fd = -1;
    serving = false;

    bool shared = access(shared_path, F_OK) != 0;
    if (shared)
        snprintf(fifo_path, PATH_SIZE - 1, "%s", shared_path);
    else
        use_own_path();

    {
        lc_lock_guard lock = hold_list();
        free_registrations();
    }
    if (!fifo_created)
        return -1;

    int rc = mkfifo(fifo_path, 0766);
    if (rc != 0 && errno == EEXIST && shared) {
        /* Another process made the shared node since we looked. */
        use_own_path();
        rc = mkfifo(fifo_path, 0766);
    }
    if (rc != 0) {
        int err = errno;
        char text[128];
        XEL_TRACE(lib, 6, "can not create fifo server %d %s\n", err, strerror_r(err, text, sizeof text));
        if (err == EEXIST) {
            fifo_created = false;
            return -1;
        }
    } else {
        node_owner = getpid();
    }

    int fd = open(fifo_path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        XEL_TRACE(lib, 6, "fifo open erro\n\n");
        return -1;
    }
    serving = true;
    XEL_TRACE(lib, 6, " %s is ready,fd:%d\n\n", fifo_path, fd);
    return fd;
}

/* Copies a trimmed text into a field; false when it does not fit. */
static bool copy_field(char (&field)[FIELD_SIZE], const char *text)
{
    size_t len = strlen(text);
    if (len >= FIELD_SIZE)
        return false;
    memcpy(field, text, len + 1);
    return true;
}

namespace {
/* Steps through the rows of every registration in list order, leaving out
   rows without a key or handler, which can never run.  The caller holds
   list_lock while it walks. */
class RowWalk {
public:
    const fifo_cmd *next()
    {
        assert(list_lock.owner.mine());
        for (; link_ != nullptr && link_ != &fifo_queue.link; link_ = link_->next, index_ = 0) {
            const fifo_work *work = work_of(link_);
            while (index_ < work->count) {
                const fifo_cmd *row = &work->cmds[index_++];
                if (row->key != nullptr && row->handler != nullptr)
                    return row;
            }
        }
        return nullptr;
    }

private:
    fifo_link *link_ = fifo_queue.link.next;
    int32_t index_ = 0;
};
}  // namespace

/* Copies the first row matching key and value into *found. */
static bool find_row(const char *key, const char *value, fifo_cmd *found)
{
    lc_lock_guard lock = hold_list();
    for (RowWalk walk; const fifo_cmd *row = walk.next();) {
        if (strcmp(row->key, key) == 0 && (row->value == nullptr || strcmp(row->value, value) == 0)) {
            *found = *row;
            return true;
        }
    }
    return false;
}

/* Splits a "key=value" piece (changed in place) into trimmed fields;
   false when it has no '=' or a part longer than 99 characters after
   trimming. */
static bool split_piece(char *piece, char (&key)[FIELD_SIZE], char (&value)[FIELD_SIZE])
{
    char *eq = strchr(piece, '=');
    if (eq == nullptr)
        return false;
    *eq = '\0';
    return copy_field(key, lc_strip(piece, nullptr)) && copy_field(value, lc_strip(eq + 1, nullptr));
}

/* Runs one "key=value" piece (changed in place); false when it cannot be
   split or matches no row.  The handler runs without list_lock so that it
   may register tables. */
static bool parse_fifo_line(char *piece)
{
    char key[FIELD_SIZE];
    char value[FIELD_SIZE];
    fifo_cmd row;
    if (!split_piece(piece, key, value) || !find_row(key, value, &row))
        return false;
    row.handler(value, row.data);
    return true;
}

bool lc_fifo_run(char *piece)
{
    return parse_fifo_line(piece);
}

bool lc_fifo_matches(const char *piece)
{
    char copy[LC_FIFO_PIECE_MAX];
    const size_t len = strlen(piece);
    if (len >= sizeof copy)
        return false;
    memcpy(copy, piece, len + 1);
    char key[FIELD_SIZE];
    char value[FIELD_SIZE];
    fifo_cmd row;
    return split_piece(copy, key, value) && find_row(key, value, &row);
}

void lc_fifo_each_row(void (*fn)(const char *key, const char *value, void *ctx), void *ctx)
{
    lc_lock_guard lock = hold_list();
    for (RowWalk walk; const fifo_cmd *row = walk.next();)
        fn(row->key, row->value, ctx);
}

const char *lc_fifo_served_path(void)
{
    return serving ? fifo_path : nullptr;
}

/* Whether the byte waiting first in the pipe goes on with the piece a
   full read ended in: any byte but ';'.  A pipe cannot be read without
   taking, so the byte is copied out with tee(2) into a pipe of our own;
   when that fails the piece counts as cut, so that half a command never
   runs. */
static bool next_byte_goes_on(int fd)
{
    int waiting = 0;
    if (ioctl(fd, FIONREAD, &waiting) != 0 || waiting <= 0)
        return false;
    int peek[2];
    if (pipe2(peek, O_CLOEXEC | O_NONBLOCK) != 0)
        return true;
    char next = 0;
    const bool seen = tee(fd, peek[1], 1, SPLICE_F_NONBLOCK) == 1 && read(peek[0], &next, 1) == 1;
    close(peek[0]);
    close(peek[1]);
    return !seen || next != ';';
}

extern "C" LC_API void fifo_handle(int32_t fd)
{
    char buf[READ_MAX + 1];
    memset(buf, 0, sizeof buf);
    ssize_t n = read(fd, buf, READ_MAX);
    if (n < 0 && errno == EAGAIN) {
        XEL_TRACE(lib, 6, "no data yet\n\n");
        return;
    }
    if (n == 0)
        return;
    /* Any other read error leaves an empty text, which fails as a command. */
    const size_t len = n < 0 ? 0 : (size_t)n;
    /* The bytes read are one C text: a NUL byte ends it.  A piece cut by
       the read boundary fails in both reads, so that neither half of a
       command runs; a full read ends inside a piece unless its last byte
       is ';' or the next byte waiting is one. */
    const bool starts_cut = cut_fd == fd;
    const bool ends_cut = strlen(buf) == READ_MAX && buf[READ_MAX - 1] != ';' && next_byte_goes_on(fd);
    cut_fd = ends_cut ? fd : -1;

    bool failed = false;
    size_t pos = 0;
    for (;;) {
        char *semi = strchr(buf + pos, ';');
        if (semi != nullptr)
            *semi = '\0';
        const bool cut = (pos == 0 && starts_cut) || (semi == nullptr && ends_cut);
        if (cut || !parse_fifo_line(buf + pos))
            failed = true;
        if (semi == nullptr || (size_t)(semi - buf) + 1 >= len)
            break;
        pos = (size_t)(semi - buf) + 1;
    }
    if (failed)
        XEL_TRACE(lib, 6, "please use echo \"help=1\" > /dev/libfifo \n");
}

extern "C" LC_API void fifo_exit_fun(int32_t fd)
{
    XEL_TRACE(cc, 6, "enter\n");
    {
        lc_lock_guard lock = hold_list();
        free_registrations();
    }
    cut_fd = -1;
    serving = false;
    if (fd >= 0)
        close(fd);
    if (node_owner == getpid())
        remove(fifo_path);
    node_owner = 0;
    XEL_TRACE(cc, 6, "Leave\n");
}

extern "C" LC_API void add_fifo_work(const fifo_cmd *cmds, int32_t count)
{
    if (cmds == nullptr || count <= 0) {
        XEL_TRACE(lib, 3, "command table dropped: no rows\n");
        return;
    }
    fifo_work *work = new (std::nothrow) fifo_work();
    if (work == nullptr) {
        XEL_TRACE(lib, 3, "command table dropped: no memory\n");
        return;
    }
    work->cmds = cmds;
    work->count = count;

    lc_lock_guard lock = hold_list();
    fifo_link *head = &fifo_queue.link;
    if (head->next == nullptr) {
        delete work;
        XEL_TRACE(lib, 3, "command table dropped: fifo not initialised\n");
        return;
    }
    work->link.prev = head->prev;
    work->link.next = head;
    head->prev->next = &work->link;
    head->prev = &work->link;
}

extern "C" LC_API void fifo_print_debug(const char *, void *)
{
    XEL_TRACE(cc, 7, "enter\n");
    {
        lc_lock_guard lock = hold_list();
        for (RowWalk walk; const fifo_cmd *row = walk.next();) {
            if (row->value != nullptr)
                XEL_TRACE(cc, 6, "%s=%s\n", row->key, row->value);
            else
                XEL_TRACE(cc, 6, "%s=NULL\n", row->key);
        }
    }
    XEL_TRACE(cc, 7, "Leave\n");
}
