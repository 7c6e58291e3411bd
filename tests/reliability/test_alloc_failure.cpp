// Allocation failures: each function that allocates, walked with its allocation N = 1, 2, ... failing, gives its
// documented result and leaves the object usable, or nothing behind (ASan reports leaks).  Only the arming thread counts.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <stdio.h>
#include <unistd.h>

static thread_local int fail_at = 0, seen = 0;  // fail_at 0: disarmed
static thread_local bool failed = false;

// The linker sends the library's calls of name to __wrap_name: it fails this thread's armed allocation.
#define WRAP(type, name, params, args)                                                            \
    extern "C" type __real_##name params noexcept;                                                \
    extern "C" type __wrap_##name params noexcept                                                 \
    {                                                                                             \
        return fail_at != 0 && ++seen == fail_at ? (failed = true, nullptr) : __real_##name args; \
    }
WRAP(void *, malloc, (size_t n), (n))
WRAP(void *, calloc, (size_t count, size_t n), (count, n))
WRAP(void *, realloc, (void *p, size_t n), (p, n))
WRAP(char *, strdup, (const char *s), (s))
#if defined(__LP64__)  // operator new(size_t, const std::nothrow_t &)
WRAP(void *, _ZnwmRKSt9nothrow_t, (size_t n, const std::nothrow_t &tag), (n, tag))
#else
WRAP(void *, _ZnwjRKSt9nothrow_t, (size_t n, const std::nothrow_t &tag), (n, tag))
#endif

namespace {

// Runs call with this thread's nth allocation failing: true when one did.
template <class F> bool failing_nth(int nth, F call)
{
    seen = 0, failed = false, fail_at = nth;
    call();
    return fail_at = 0, failed;
}

std::atomic<int> ran{0};
const lc_task_fn count_up = [](void *) { ran++; };

// Registrations in the command list (read only; this thread alone adds).
long registrations()
{
    long n = 0;
    for (const fifo_link *l = fifo_queue.link.next; l != nullptr && l != &fifo_queue.link; l = l->next)
        n++;
    return n;
}

// What the walk works on, on a started library: a pool without workers (tasks wait) and one with a worker, queues
// with room for one, a ring not yet made, a store and a request holding eight entries (a ninth grows the table), the
// command tables and timer tokens there were, the traces.
struct Objects {
    threadpool *idle = threadpool_create(0, 1, 15), *pool = threadpool_create(1, 1, 15);
    frame_queue_t frames;
    block_queue_t blocks;
    ring_buf_t ring{};
    configure_store *store = configure_init();
    request_t *request = request_init();
    lc_test::TraceCapture capture;
    const long tables = registrations(), tokens = DelayQueueEntry::tokenCounter;
    int token = 0;  // of a timer entry made: it must still run, then go
    Objects()
    {
        ran = 0;
        queue_create2(&frames, 1);
        queue_create3(&blocks, 1);
        for (const char *key : {"k1", "k2", "k3", "k4", "k5", "k6", "k7", "k8"}) {
            store->set(store, key, "v");
            request->set(request, key, "v");
        }
    }
    ~Objects()
    {
        EXPECT_EQ(threadpool_destroy(idle), 0);
        EXPECT_EQ(threadpool_destroy(pool), 0);
        queue_clear2(&frames);
        queue_clear3(&blocks);
        ring_buf_free(&ring);
        configure_free(store);
        request_free(request);
        if (token > 0) {
            EXPECT_EQ(update_task(token, 0, 1000), 0);
            EXPECT_TRUE(lc_test::wait_until([] { return ran > 0; }));
            EXPECT_EQ(remove_task(&token), 0);
        }
    }
    long dropped() const { return long(capture.count("]command table dropped: no memory\n")); }
    // Ten for each copy refused for want of memory, which the writing function traces itself.
    long malloc_errors(const char *file, const char *function) const
    {
        return 10 *
               long(capture.count(lc_test::traced_tag("lib", file, function, "Malloc Error!") + "Malloc Error!\n"));
    }
};

// call works on fresh Objects and gives what the function returned and what it left behind.  With allocation n failing
// it must give refused; made again, done: one call took effect and the objects still work.
using Result = std::pair<long, long>;
void walk(const char *name, Result refused, Result done, const std::function<Result(Objects &)> &call)
{
    int n = 1;
    for (; n <= 64 && !::testing::Test::HasFatalFailure(); n++) {
        SCOPED_TRACE(std::string(name) + " with allocation " + std::to_string(n) + " failing");
        Objects context;
        Result got;
        if (!failing_nth(n, [&] { got = call(context); })) {
            EXPECT_EQ(got, done);
            break;
        }
        EXPECT_EQ(got, refused);
        EXPECT_EQ(call(context), done);
    }
    EXPECT_LE(n, 64) << name << " never ran without a failure";
    EXPECT_GE(n, 2) << name << ": the seam missed its allocations";
}

// A constructor: made or not; what it made goes at once.
template <class R, class F> void made(const char *name, R release, F make)
{
    walk(name, {0, 0}, {1, 0}, [make, release](Objects &) {
        auto *obj = make();
        return obj == nullptr ? Result{0, 0} : (release(obj), Result{1, 0});
    });
}

// A timer entry of one kind: a failure uses up no token.
void timer(const char *name, int (*add)(lc_task_fn, void *, long, long))
{
    walk(name, {-1, 0}, {1, 1}, [add](Objects &o) {
        o.token = add(count_up, nullptr, 3600, 0);
        return Result{o.token < 0 ? o.token : o.token - o.tokens, DelayQueueEntry::tokenCounter - o.tokens};
    });
}

}  // namespace

// Queue copies are refused as full and traced; a failed ring holds and takes nothing; a parse drops the entry that
// failed and goes on; a command table is dropped with its trace.  The stop frees every command table, and each
// failure of the start shows as exactly one of: no pool, no scheduler (the task functions refuse), one table dropped.
TEST(AllocFailure, EveryFunctionThatAllocates)
{
    static const std::string path = "/tmp/lc_alloc_walk_" + std::to_string(getpid());
    ASSERT_EQ(write_file(path.c_str(), "content", 7), 0);
    static pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    static pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
    static const char *const keys[] = {"a", "bb"};
    static const fifo_cmd table[] = {{"walk_row", nullptr, [](const char *, void *) {}, nullptr}};
    ASSERT_EQ(lib_common_init(), 0);
    walk("lib_common_init", {1, 0}, {0, 0}, [](Objects &o) {
        EXPECT_EQ(lib_common_exit(), 0);
        const long tables = registrations();
        o.capture.clear();
        int token = 1;  // no such task: a running scheduler removes it (0), none refuses (-1)
        const long no_pool = lib_common_init() == -1 && gpool == nullptr;
        return Result{no_pool + (gpool != nullptr && remove_task(&token) == -1) + o.dropped(), tables};
    });
    made("threadpool_create", threadpool_destroy, [] { return threadpool_create(2, 4, 15); });
    walk("threadpool_add_task", {-1, 0}, {0, 1}, [](Objects &o) {
        return Result{threadpool_add_task(o.idle, count_up, nullptr), threadpool_task_size_lock(o.idle)};
    });
    walk("threadpool_add_task_sync", {-1, 0}, {0, 1}, [](Objects &o) {
        return Result{threadpool_add_task_sync(o.pool, count_up, nullptr), ran};
    });
    timer("add_task", add_task);
    timer("add_fixperiod_task", add_fixperiod_task);
    timer("add_fixdelay_task", add_fixdelay_task);
    timer("add_nodestroy_task", add_nodestroy_task);
    walk("add_fifo_work", {1, 0}, {0, 1}, [](Objects &o) {
        return o.capture.clear(), add_fifo_work(table, 1), Result{o.dropped(), registrations() - o.tables};
    });
    walk("queue_write2", {LC_QUEUE_FULL, 10}, {LC_QUEUE_OK, 1}, [](Objects &o) {
        o.capture.clear();
        const long rc = queue_write2(&mutex, &cond, &o.frames, "frame", 6, 1);
        return Result{rc, queue_length2(&o.frames) + o.malloc_errors("queues/frame_queue.cpp", "queue_write2")};
    });
    walk("queue_write3", {LC_QUEUE_FULL, 10}, {LC_QUEUE_OK, 1}, [](Objects &o) {
        o.capture.clear();
        const long rc = queue_write3(&o.blocks, "block", 6, 1, 11);
        return Result{rc, queue_length3(&o.blocks) + o.malloc_errors("queues/block_queue.cpp", "queue_write3")};
    });
    walk("ring_buf_init", {0, 2}, {1, 11}, [](Objects &o) {
        const int rc = ring_buf_init(&o.ring, 4, 8), held = ring_buf_is_empty(&o.ring) + ring_buf_is_full(&o.ring);
        return Result{rc, held + 10 * ring_buf_write(&o.ring, "element")};
    });
    made("streamq_alloc", streamq_free, [] { return streamq_alloc(16, 4, 8); });
    made("lib_strdup", free, [] { return lib_strdup("content"); });
    made("read_file_to_buf", free, [] { return read_file_to_buf(path.c_str()); });
    made("read_file_fixbytes_to_buf", free, [] { return read_file_fixbytes_to_buf(path.c_str(), 8); });
    made("configure_init", configure_free, configure_init);
    made("config_keys_format", free, [] { return config_keys_format(keys, 2); });
    made("request_init", request_free, request_init);
    made("response_init", response_free, response_init);
    walk("configure set (grows)", {-1, 8}, {1, 9}, [](Objects &o) {
        return Result{o.store->set(o.store, "new", "v"), o.store->count};
    });
    walk("request set (grows)", {0, 8}, {1, 9}, [](Objects &o) {
        return Result{o.request->set(o.request, "new", "v") != nullptr, o.request->count};
    });
    walk("configure_parse_buf", {0, 10}, {0, 11}, [](Objects &o) {
        char text[] = "a = 1\nb = \"x y\"\n# note\nc=3\n";
        return Result{configure_parse_buf(o.store, nullptr, text), o.store->count};
    });
    walk("request parse", {0, 10}, {0, 11}, [](Objects &o) {
        return o.request->parse(o.request, "a=1&b=%20&c"), Result{0, o.request->count};
    });
    EXPECT_EQ(lib_common_exit(), 0);
    remove(path.c_str());
}

// String buffers do not report running out of memory, nor a capacity that cannot be represented: the process stops
// with the assertion naming the operation.
TEST(AllocFailureDeathTest, StringBuffersStopTheProcess)
{
    EXPECT_DEATH(failing_nth(1, [] { buffer_init(); }), "conhelper/buffer:[0-9]+: buffer_init: Assertion `b' failed");
    buffer *b = buffer_init();
    buffer_copy_string(b, "abc");
    const std::string more(100, 'x');
    EXPECT_DEATH(failing_nth(1, [&] { buffer_append_string(b, more.c_str()); }),
                 "conhelper/buffer:[0-9]+: buffer_prepare_append: Assertion `b->ptr' failed");
    EXPECT_DEATH(buffer_prepare_copy(b, SIZE_MAX),
                 "conhelper/buffer:[0-9]+: buffer_prepare_copy: Assertion `b->ptr' failed");
    buffer_free(b);
}
