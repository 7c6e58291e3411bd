// Configuration store: bad input, files (unreadable ones, long lines in pieces, the round trip), growth by 8, readers
// racing a writer, a loop callback using its own store.  Line rules, keys too long, changed marks, cut values, filters,
// get with and without room and the text written out, against a model: fuzz/fuzz_configure.cpp.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fstream>
#include <thread>
#include <unistd.h>

class Configure : public ::testing::Test {
public:
    void SetUp() override { ASSERT_NE(mkdtemp(&dir[0]), nullptr); }
    void TearDown() override
    {
        configure_free(s), configure_free(t);
        EXPECT_EQ(system(("rm -rf " + dir).c_str()), 0);
    }
    std::string get(const std::string &key) const  // "<none>" when get fails
    {
        char out[300];
        return s->get(s, key.c_str(), out, sizeof out) == 0 ? out : "<none>";
    }
    static std::vector<std::pair<std::string, std::string>> table(const configure_store *c)
    {
        std::vector<std::pair<std::string, std::string>> pairs;
        for (uint32_t i = 0; i < c->count; i++)
            pairs.emplace_back(c->entries[i]->key, c->entries[i]->value);
        return pairs;
    }
    std::string file(const char *name, const std::string &text) const  // the path of a new file holding text
    {
        std::ofstream(dir + "/" + name, std::ios::binary) << text;
        return dir + "/" + name;
    }
    configure_store *s = configure_init(), *t = configure_init();
    std::string dir = "/tmp/lc_conf_XXXXXX";
};

TEST_F(Configure, BadInputIsRefusedAndStoresNothing)
{
    char out[8] = "x";
    const char *with_null[] = {"alpha", nullptr};
    FILE *read_only = fopen("/dev/null", "r");  // the line cannot be written
    for (int32_t rc : {configure_parse(nullptr, nullptr, "/etc/hostname"), configure_parse_buf(s, nullptr, nullptr),
                       configure_parse_line(nullptr, nullptr, "k = v"), configure_parse_line(s, nullptr, " k = v"),
                       s->set(s, "k", nullptr), s->get(s, nullptr, out, sizeof out), s->get(s, "k", nullptr, 8),
                       s->get(s, "k", out, 0), loop_2_buf(nullptr, "k", "v"), loop_2_conf(nullptr, "k", "v"),
                       loop_2_conf(read_only, "k", "v"), configure_key_IsChanged(s, nullptr)})
        EXPECT_EQ(rc, -1);
    fclose(read_only);
    EXPECT_STREQ(out, "");
    for (void *p : {(void *)s->find(s, nullptr), (void *)s->find(nullptr, "k"), (void *)config_keys_format(nullptr, 1),
                    (void *)config_keys_format(with_null, 2)})
        EXPECT_EQ(p, nullptr);
    config_key *no_keys = config_keys_format(nullptr, 0);  // an empty filter
    ASSERT_NE(no_keys, nullptr);
    EXPECT_EQ(no_keys[0].end, 1);
    free(no_keys);
    EXPECT_EQ(s->count, 0u);
    loop(nullptr, loop_2_conf, stdout);
    configure_free(nullptr);
    char *written = nullptr;  // a pair called in by hand, longer than any stored one: its line is cut at 1022
    size_t length = 0;
    FILE *memory = open_memstream(&written, &length);
    EXPECT_EQ(loop_2_conf(memory, std::string(2000, 'k').c_str(), "v"), 0);
    fclose(memory);
    EXPECT_EQ(length, 1022u);
    free(written);
}

// Only a file that cannot be opened gives -1: a directory opens, reads nothing and gives 0.  What loop_2_conf writes
// parses back to the same table; a 600-character line arrives in pieces of 511: the first is cut to 255, the rest
// stores nothing.
TEST_F(Configure, FilesParseAndRoundTrip)
{
    const std::string sub = dir + "/sub", out = file("out", "");
    ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
    EXPECT_EQ(configure_parse(s, nullptr, sub.c_str()), 0);
    EXPECT_EQ(configure_parse(s, nullptr, (sub + "/gone").c_str()), -1);
    EXPECT_EQ(s->count, 0u);
    const std::string text = "name = \"Camera 1\"\nexpr = a=b\nempty =\nlong = " + std::string(600, 'w') + "\n";
    ASSERT_EQ(configure_parse(s, nullptr, file("in", text).c_str()), 0);
    FILE *fp = fopen(out.c_str(), "w");
    loop(s, loop_2_conf, fp);
    fclose(fp);
    ASSERT_EQ(configure_parse(t, nullptr, out.c_str()), 0);
    EXPECT_EQ(table(t), table(s));
    EXPECT_EQ(table(s), (decltype(table(s)){
                            {"name", "Camera 1"}, {"expr", "a=b"}, {"empty", ""}, {"long", std::string(255, 'w')}}));
}

// Keys longer than 255 characters are the fuzz model's part; it cannot tell how much the table grows at a time.
TEST_F(Configure, TheTableGrowsByEight)
{
    for (uint32_t i = 1; i <= 17; i++) {
        ASSERT_EQ(s->set(s, ("key" + std::to_string(i)).c_str(), "v"), 1);
        EXPECT_EQ(s->capacity, (i + 7) / 8 * 8);
    }
}

TEST_F(Configure, ReadersNeverSeeATornValueWhileTheFileIsReparsed)
{
    const std::string a(255, 'a'), b(255, 'b');
    ASSERT_EQ(configure_parse(s, nullptr, file("race", "key = " + a + "\n").c_str()), 0);
    std::atomic<bool> done{false};
    std::atomic<int> torn{0}, reads{0};
    auto reader = [&] {
        for (; !done; reads++, std::this_thread::yield()) {  // readers are preferred: let the writer in
            const std::string value = get("key");
            torn += value != a && value != b;
        }
    };
    std::thread readers[] = {std::thread(reader), std::thread(reader), std::thread(reader)};
    EXPECT_TRUE(lc_test::wait_until([&] { return reads > 0; }));
    for (int r = 1; r <= (lc_test::under_emulation() ? 40 : 150); r++)
        EXPECT_EQ(configure_parse(s, nullptr, file("race", "key = " + (r % 2 ? b : a) + "\n").c_str()), 0);
    done = true;
    for (std::thread &reader_thread : readers)
        reader_thread.join();
    EXPECT_EQ(torn, 0);
}

// A loop callback must not use its own store.  Debug builds stop there (the broken contract); other builds let it
// read, since the loop's write lock is the thread's own, and the loop keeps that lock until it ends.
TEST_F(Configure, LoopCallbackUsingItsOwnStore)
{
    ASSERT_EQ(s->set(s, "a", "1") + s->set(s, "b", "2"), 2);
    struct Seen {
        const Configure *test;
        std::string values;
        std::vector<int> writer_refused;  // what another thread's try of the write lock gave, per call
    } seen{this, "", {}};
    const configure_loop_cb reads_own_store = [](void *arg, const char *key, const char *) -> int32_t {
        Seen *in = static_cast<Seen *>(arg);
        in->values += in->test->get(key);
        std::thread([in] {
            const int rc = pthread_rwlock_trywrlock(&in->test->s->lock);
            if (rc == 0)
                pthread_rwlock_unlock(&in->test->s->lock);
            in->writer_refused.push_back(rc);
        }).join();
        return 0;
    };
#ifndef NDEBUG
    EXPECT_DEATH(loop(s, reads_own_store, &seen), "Assertion .*failed");
#else
    loop(s, reads_own_store, &seen);
    EXPECT_EQ(seen.values, "12");
    EXPECT_EQ(seen.writer_refused, (std::vector<int>{EBUSY, EBUSY}));
#endif
    EXPECT_EQ(s->set(s, "c", "3"), 1);  // the store works on
}
