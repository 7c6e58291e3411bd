// Allocation failures: every function that allocates is walked over its
// failure points N = 1, 2, ...: each gives the documented result and leaves
// the object as it was and usable, or nothing behind (ASan reports leaks).
// The allocator of a static copy of the library is wrapped at link time; only
// the arming thread counts, so workers never move the count.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <stdio.h>
#include <unistd.h>

using lc_test::wait_until;

static thread_local int fail_at = 0, seen = 0;  // fail_at 0: disarmed
static thread_local bool failed = false;

// The linker sends the library's calls of name to __wrap_name: it fails this
// thread's armed allocation and otherwise calls the original, __real_name.
#define WRAP(type, name, params, args)             \
    extern "C" type __real_##name params noexcept; \
    extern "C" type __wrap_##name params noexcept  \
    { return fail_at != 0 && ++seen == fail_at ? (failed = true, nullptr) : __real_##name args; }
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
    fail_at = 0;
    return failed;
}

// The common shape of every step: call, with allocation n failing, gives
// refused, and made again gives done.  True when an allocation failed.  The
// step then checks that one call took effect and that the object still works.
bool attempt(int n, const std::function<long()> &call, long refused, long done)
{
    long rc = 0;
    const bool hit = failing_nth(n, [&] { rc = call(); });
    if (hit) {
        EXPECT_EQ(rc, refused);
        rc = call();
    }
    EXPECT_EQ(rc, done);
    return hit;
}

// Each operation's step is run for n = 1, 2, ... until no allocation failed.
using Step = std::function<bool(int)>;
void walk(const std::vector<std::pair<const char *, Step>> &ops)
{
    for (const auto &[name, step] : ops) {
        int n = 1;
        while (n <= 64 && !::testing::Test::HasFatalFailure() && step(n))
            n++;
        EXPECT_LE(n, 64) << name << " never ran without a failure";
        EXPECT_GE(n, 2) << name << ": the seam missed its allocations";
        printf("alloc walk: %-26s %2d failure points\n", name, n - 1);
    }
}

// A constructor gives null; release takes what it made.
template <class T> Step made(std::function<T *()> make, void (*release)(T *))
{
    return [make, release](int n) {
        T *obj = nullptr;
        const bool hit = attempt(n, [&] { return long((obj = make()) != nullptr); }, 0, 1);
        release(obj);
        return hit;
    };
}

bool taken(int32_t rc) { return rc == 1; }     // a store's set: 1 for a new value
bool taken(void *rc) { return rc != nullptr; }  // a request's: the entry

// A store or request: the ninth entry grows the table; a parse of three drops
// the one whose entry failed and goes on.
template <class T> Step set_or_parse(T *(*make)(), void (*parse)(T *), void (*release)(T *))
{
    return [=](int n) {
        T *obj = make();
        for (const char *key : {"k1", "k2", "k3", "k4", "k5", "k6", "k7", "k8"})
            if (parse == nullptr)
                obj->set(obj, key, "v");
        const bool hit = parse ? attempt(n, [&] { parse(obj); return long(obj->count); }, 2, 3)
                               : attempt(n, [&] { return long(taken(obj->set(obj, "new", "v"))); }, 0, 1);
        EXPECT_NE(obj->find(obj, parse ? "c" : "new"), nullptr);
        EXPECT_STREQ(obj->find(obj, parse ? "b" : "k8")->value, parse ? "x y" : "v");
        release(obj);
        return hit;
    };
}

std::atomic<int> ran{0};
void count_up(void *) { ran++; }

// Registrations in the command list (read only; this thread alone adds).
int registrations()
{
    int n = 0;
    for (const fifo_link *l = fifo_queue.link.next; l != nullptr && l != &fifo_queue.link; l = l->next)
        n++;
    return n;
}

}  // namespace

// Queue copies are refused as full; a failed ring holds and takes nothing.
TEST(AllocFailure, PoolsQueuesTextsAndRecords)
{
    static const std::string path = "/tmp/lc_alloc_walk_" + std::to_string(getpid());
    ASSERT_EQ(write_file(path.c_str(), "content", 7), 0);
    static const char *const keys[] = {"a", "bb"};
    static pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    static pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
    void (*const release_text)(char *) = [](char *text) { free(text); };
    const auto submit = [](int (*add)(threadpool *, lc_task_fn, void *)) -> Step {
        return [add](int n) {
            ran = 0;
            threadpool *pool = threadpool_create(1, 1, 15);
            const bool hit = attempt(n, [&] { return add(pool, count_up, nullptr); }, -1, 0);
            EXPECT_TRUE(wait_until([] { return ran == 1; }));
            EXPECT_EQ(threadpool_destroy(pool), 0);
            EXPECT_EQ(ran, 1);
            return hit;
        };
    };
    walk({{"threadpool_create", made<threadpool>([] { return threadpool_create(2, 4, 15); },
                                                  [](threadpool *pool) { EXPECT_EQ(threadpool_destroy(pool), 0); })},
          {"threadpool_add_task", submit(threadpool_add_task)},
          {"threadpool_add_task_sync", submit(threadpool_add_task_sync)},
          {"queue_write2", [](int n) {
               frame_queue_t q;
               queue_create2(&q, 2);
               const bool hit = attempt(n, [&] { return queue_write2(&mutex, &cond, &q, "frame", 6, 1); },
                                        LC_QUEUE_FULL, LC_QUEUE_OK);
               EXPECT_EQ(queue_write2(&mutex, &cond, &q, "frame", 6, 1) + queue_length2(&q), LC_QUEUE_OK + 2);
               queue_clear2(&q);
               return hit;
           }},
          {"queue_write3", [](int n) {
               block_queue_t q;
               queue_create3(&q, 2);
               const bool hit = attempt(n, [&] { return queue_write3(&q, "block", 6, 1, 11); }, LC_QUEUE_FULL,
                                        LC_QUEUE_OK);
               EXPECT_EQ(queue_write3(&q, "block", 6, 1, 11) + queue_length3(&q), LC_QUEUE_OK + 2);
               queue_clear3(&q);
               return hit;
           }},
          {"ring_buf_init", [](int n) {
               ring_buf_t rb;  // a failed ring is empty and full: it holds and takes nothing
               const bool hit = attempt(n, [&] {
                   return ring_buf_init(&rb, 4, 8) ? 1 : ring_buf_is_empty(&rb) + ring_buf_is_full(&rb) +
                                                             10 * ring_buf_write(&rb, "element");
               }, 2, 1);
               EXPECT_EQ(ring_buf_write(&rb, "element"), 1);
               ring_buf_free(&rb);
               return hit;
           }},
          {"streamq_alloc", made<streamq_t>([] { return streamq_alloc(16, 4, 8); }, streamq_free)},
          {"lib_strdup", made<char>([] { return lib_strdup("content"); }, release_text)},
          {"read_file_to_buf", made<char>([] { return read_file_to_buf(path.c_str()); }, release_text)},
          {"read_file_fixbytes_to_buf", made<char>([] {
               return static_cast<char *>(read_file_fixbytes_to_buf(path.c_str(), 8)); }, release_text)},
          {"configure_init", made<configure_store>(configure_init, configure_free)},
          {"config_keys_format", made<config_key>([] { return config_keys_format(keys, 2); },
                                                   [](config_key *filter) { free(filter); })},
          {"request_init", made<request_t>(request_init, request_free)},
          {"response_init", made<response_t>(response_init, response_free)},
          {"configure set (grows)", set_or_parse<configure_store>(configure_init, nullptr, configure_free)},
          {"request set (grows)", set_or_parse<request_t>(request_init, nullptr, request_free)},
          {"configure_parse_buf", set_or_parse<configure_store>(configure_init, [](configure_store *s) {
               char text[] = "a = 1\nb = \"x y\"\n# note\nc=3\n";
               EXPECT_EQ(configure_parse_buf(s, nullptr, text), 0);
           }, configure_free)},
          {"request parse", set_or_parse<request_t>(request_init, [](request_t *r) { r->parse(r, "a=1&b=x%20y&c"); },
                                                     request_free)}});
    remove(path.c_str());
}

// Each failure of the start shows as exactly one of: no pool, no scheduler (the
// task functions refuse), one command table dropped with its trace.  The stop
// always frees the command tables.  On a started library, timer entries of
// every kind (a failure uses up no token) and command tables (dropped, traced).
TEST(AllocFailure, LibraryStartTimerEntriesAndCommandTables)
{
    ASSERT_EQ(lib_common_init(), 0);  // the command list exists from now on
    ASSERT_EQ(lib_common_exit(), 0);
    lc_test::TraceCapture capture;
    const auto dropped = [&] { return static_cast<int>(capture.count("]command table dropped: no memory\n")); };
    walk({{"lib_common_init", [&](int n) {
               capture.clear();
               int rc = 0;
               const bool hit = failing_nth(n, [&] { rc = lib_common_init(); });
               ran = 0;
               const int token = gpool != nullptr ? add_task(count_up, nullptr, 0, 0) : -1;
               const int no_pool = rc == -1 && gpool == nullptr, no_scheduler = gpool != nullptr && token == -1;
               EXPECT_EQ(no_pool + no_scheduler + dropped(), hit ? 1 : 0);
               EXPECT_TRUE(token < 0 || wait_until([] { return ran == 1; }));
               EXPECT_EQ(lib_common_exit(), 0);
               EXPECT_EQ(registrations(), 0);
               return hit;
           }}});
    ASSERT_EQ(lib_common_init(), 0);
    static const fifo_cmd table[] = {{"walk_row", nullptr, [](const char *, void *) {}, nullptr}};
    const auto timer = [](int (*add)(lc_task_fn, void *, long, long)) -> Step {
        return [add](int n) {
            int token = DelayQueueEntry::tokenCounter + 1;  // the next: a failure uses up none
            const bool hit = attempt(n, [&] { return add(count_up, nullptr, 3600, 0); }, -1, token);
            const int before = ran;
            EXPECT_EQ(update_task(token, 0, 1000), 0);
            EXPECT_TRUE(wait_until([&] { return ran > before; }));
            EXPECT_EQ(remove_task(&token), 0);
            return hit;
        };
    };
    walk({{"add_task", timer(add_task)}, {"add_fixperiod_task", timer(add_fixperiod_task)},
          {"add_fixdelay_task", timer(add_fixdelay_task)}, {"add_nodestroy_task", timer(add_nodestroy_task)},
          {"add_fifo_work", [&](int n) {
               const int before = registrations();
               capture.clear();
               const bool hit = attempt(n, [&] { add_fifo_work(table, 1); return long(registrations() - before); }, 0, 1);
               EXPECT_EQ(dropped(), hit ? 1 : 0);
               return hit;
           }}});
    EXPECT_EQ(lib_common_exit(), 0);
}

// String buffers do not report running out of memory: the process stops
// with the assertion naming the operation.
TEST(AllocFailureDeathTest, StringBuffersStopTheProcess)
{
    EXPECT_DEATH(failing_nth(1, [] { buffer_init(); }), "conhelper/buffer:[0-9]+: buffer_init: Assertion `b' failed");
    buffer *b = buffer_init();
    buffer_copy_string(b, "abc");
    const std::string more(100, 'x');
    EXPECT_DEATH(failing_nth(1, [&] { buffer_append_string(b, more.c_str()); }),
                 "conhelper/buffer:[0-9]+: buffer_prepare_append: Assertion `b->ptr' failed");
    buffer_free(b);
}
