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
#include "reply_protocol_internal.h"

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

/* Runs one "key=value" piece (changed in place); false when it has no '=',
   a part longer than 99 characters after trimming, or matches no row.  The
   handler runs without list_lock so that it may register tables. */
static bool parse_fifo_line(char *piece)
{
    char *eq = strchr(piece, '=');
    if (eq == nullptr)
        return false;
    *eq = '\0';
    char key[FIELD_SIZE];
    char value[FIELD_SIZE];
    if (!copy_field(key, lc_strip(piece, nullptr)) || !copy_field(value, lc_strip(eq + 1, nullptr)))
        return false;
    fifo_cmd row;
    if (!find_row(key, value, &row))
        return false;
    row.handler(value, row.data);
    return true;
}

/* Whether a full read ended inside a piece of which more waits in the
   pipe: its last byte is no ';' or line feed, and the pipe is not empty.
   Must look at the text before the semicolons are cut out. */
static bool piece_goes_on(int fd, const char *text, size_t len)
{
    if (len != READ_MAX || text[len - 1] == ';' || text[len - 1] == '\n')
        return false;
    int waiting = 0;
    return ioctl(fd, FIONREAD, &waiting) == 0 && waiting > 0;
}

/* A piece that starts with the reply header bytes. */
static bool is_reply_header(const char *piece, size_t len)
{
    return len >= LC_REPLY_HEADER_LEN && memcmp(piece, LC_REPLY_HEADER, LC_REPLY_HEADER_LEN) == 0;
}

namespace {
/* The request of a read that an asker wants answered (see
   reply_protocol_internal.h): its reply slot, whether one of its pieces
   failed, and whether its header was refused (then its pieces do not run:
   nothing is done that the asker cannot be told). */
struct Request {
    int slot = -1;
    bool failed = false;
    bool refused = false;
};
}  // namespace

/* Sends the registered rows into the answer in slot.  Takes list_lock. */
static void reply_rows(int slot)
{
    lc_lock_guard lock = hold_list();
    for (RowWalk walk; const fifo_cmd *row = walk.next();)
        lc_reply_row(slot, row->key, row->value);
}

/* Ends the current request's answer, if it has one. */
static void finish_request(Request *req)
{
    if (req->slot >= 0)
        lc_reply_finish(req->slot, !req->failed, fifo_path);
    *req = Request();
}

/* Starts a request from the header's words; false, with the reason in why
   (empty when the asker was told it is busy), when it cannot be answered. */
static bool start_request(const char *words, size_t len, Request *req, char *why, size_t size)
{
    finish_request(req);
    lc_reply_request asked;
    if (!lc_reply_parse(words, len, &asked)) {
        snprintf(why, size, "malformed request header");
        req->refused = true;
        return false;
    }
    req->slot = lc_reply_open(&asked, why, size);
    if (req->slot < 0) {
        req->refused = true;
        return false;
    }
    if (asked.rows)
        reply_rows(req->slot);
    return true;
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
    size_t len = n < 0 ? 0 : (size_t)n;
    /* A piece cut by the read boundary fails in both reads: neither half
       of a command may run. */
    const bool starts_cut = cut_fd == fd;
    const bool ends_cut = n > 0 && piece_goes_on(fd, buf, len);
    cut_fd = ends_cut ? fd : -1;

    /* Semicolons are looked for in every byte read, so a NUL byte only
       ends the piece it is in. */
    bool failed = false;
    Request req;
    size_t pos = 0;
    for (;;) {
        char *semi = static_cast<char *>(memchr(buf + pos, ';', len - pos));
        const size_t end = semi != nullptr ? (size_t)(semi - buf) : len;
        if (semi != nullptr)
            *semi = '\0';
        const bool cut = (pos == 0 && starts_cut) || (semi == nullptr && ends_cut);
        if (!cut && is_reply_header(buf + pos, end - pos)) {
            char why[256];
            if (!start_request(buf + pos + LC_REPLY_HEADER_LEN, end - pos - LC_REPLY_HEADER_LEN, &req, why,
                               sizeof why)) {
                failed = true;
                if (why[0] != '\0')
                    XEL_TRACE(lib, 3, "reply refused: %s\n", why);
            }
        } else if (cut || req.refused || !parse_fifo_line(buf + pos)) {
            failed = true;
            req.failed = true;
        }
        if (semi == nullptr || end + 1 >= len)
            break;
        pos = end + 1;
    }
    if (failed)
        XEL_TRACE(lib, 6, "please use echo \"help=1\" > /dev/libfifo \n");
    finish_request(&req);
}

extern "C" LC_API void fifo_exit_fun(int32_t fd)
{
    XEL_TRACE(cc, 6, "enter\n");
    {
        lc_lock_guard lock = hold_list();
        free_registrations();
    }
    lc_reply_close_all();
    cut_fd = -1;
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
