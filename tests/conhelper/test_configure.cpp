// Configuration store: line kinds, changed marks, limits, filters, writing
// back out, and readers racing a writer.
#include "lc_test.h"
#include "alloc_seam.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdio.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using Table = std::vector<std::pair<std::string, std::string>>;

struct Store {
    configure_store *s = configure_init();
    ~Store() { configure_free(s); }
    // The value of key, or "<none>" when get fails.
    std::string get(const char *key, int32_t outsize = 300) const
    {
        std::vector<char> out(static_cast<size_t>(outsize) + 1, 'z');
        if (s->get(s, key, out.data(), outsize) != 0) {
            EXPECT_EQ(out[0], '\0');
            return "<none>";
        }
        return out.data();
    }
    Table table() const
    {
        Table t;
        for (uint32_t i = 0; i < s->count; i++)
            t.emplace_back(s->entries[i]->key, s->entries[i]->value);
        return t;
    }
};

// A file in /tmp, unique to this process, removed at the end.
struct TempFile {
    std::string path;
    explicit TempFile(const char *tag)
        : path("/tmp/lc_conf_" + std::to_string(getpid()) + "_" + tag) {}
    ~TempFile() { remove(path.c_str()); }
    void write(const std::string &text) const
    {
        FILE *fp = fopen(path.c_str(), "wb");
        ASSERT_NE(fp, nullptr);
        fwrite(text.data(), 1, text.size(), fp);
        fclose(fp);
    }
    std::string read() const
    {
        std::string text;
        FILE *fp = fopen(path.c_str(), "rb");
        if (fp == nullptr)
            return text;
        for (int c = fgetc(fp); c != EOF; c = fgetc(fp))
            text += static_cast<char>(c);
        fclose(fp);
        return text;
    }
};

}  // namespace

TEST(Configure, LineKindsAndWhatTheyStore)
{
    Store st;
    std::string text =
        "# name = comment\n"
        "\n"
        "  indented = no\n"
        "9lives = no\n"
        "\"quoted\" = no\n"
        "lettersonly\n"
        "name = \"Camera 1\"\r\n"
        "a=b=c\n"
        "empty =\n"
        "mode = \"on\" # not a comment\n";
    EXPECT_EQ(configure_parse_buf(st.s, nullptr, &text[0]), 0);
    EXPECT_EQ(st.table(), (Table{{"name", "Camera 1"},
                                 {"a", "b=c"},
                                 {"empty", ""},
                                 {"mode", "on\" # not a comment"}}));
    EXPECT_EQ(text[16], '\0');  // the line feed that ended the first line

    EXPECT_EQ(configure_parse_line(st.s, nullptr, "# x = 1"), -1);
    EXPECT_EQ(configure_parse_line(st.s, nullptr, " x = 1"), -1);
    EXPECT_EQ(configure_parse_line(st.s, nullptr, "x"), -1);
    EXPECT_EQ(configure_parse_line(st.s, nullptr, ""), -1);
    EXPECT_EQ(configure_parse_line(st.s, nullptr, "x = 1"), 0);
    EXPECT_EQ(st.get("x"), "1");
}

TEST(Configure, SetMarksChangesAndCutsLongValues)
{
    Store st;
    EXPECT_EQ(st.s->set(st.s, "k", "v1"), 1);  // new key, mark 0
    EXPECT_EQ(st.s->find(st.s, "k")->changed, 0);
    EXPECT_EQ(st.s->set(st.s, "k", "v2"), 1);
    EXPECT_EQ(st.s->find(st.s, "k")->changed, 1);
    EXPECT_EQ(st.s->set(st.s, "k", "v2"), 0);  // same value clears the mark
    EXPECT_EQ(st.s->find(st.s, "k")->changed, 0);
    EXPECT_EQ(st.s->set(st.s, "k", "v"), 1);   // shorter: old tail must not survive
    EXPECT_EQ(st.get("k"), "v");

    std::string long_value(300, 'x');
    long_value[254] = 'E';
    EXPECT_EQ(st.s->set(st.s, "long", long_value.c_str()), 1);
    const configure_entry *e = st.s->find(st.s, "long");
    EXPECT_EQ(e->value_len, 255);
    EXPECT_EQ(std::string(e->value), long_value.substr(0, 255));
    EXPECT_EQ(st.s->set(st.s, "long", long_value.c_str()), 0);  // same once cut

    // get needs room for the value and its terminator.
    EXPECT_EQ(st.get("k", 1), "<none>");
    EXPECT_EQ(st.get("k", 2), "v");
    EXPECT_EQ(st.get("long", 255), "<none>");
    EXPECT_EQ(st.get("long", 256), long_value.substr(0, 255));
    EXPECT_EQ(st.get("missing"), "<none>");

    // Keys of 256 characters or more are refused, never cut.
    std::string long_key(256, 'k');
    EXPECT_EQ(st.s->set(st.s, long_key.c_str(), "v"), -1);
    EXPECT_EQ(configure_parse_line(st.s, nullptr, (long_key + "=v").c_str()), -1);
    EXPECT_EQ(st.s->find(st.s, long_key.c_str()), nullptr);
    std::string max_key(255, 'k');
    EXPECT_EQ(st.s->set(st.s, max_key.c_str(), "v"), 1);
    EXPECT_EQ(st.get(max_key.c_str()), "v");
    EXPECT_EQ(st.s->count, 3u);
}

TEST(Configure, TableGrowsByEightSlots)
{
    Store st;
    EXPECT_EQ(st.s->capacity, 0u);
    EXPECT_EQ(st.s->entries, nullptr);
    for (int i = 1; i <= 17; i++) {
        std::string key = "key" + std::to_string(i);
        ASSERT_EQ(st.s->set(st.s, key.c_str(), "v"), 1);
        EXPECT_EQ(st.s->capacity, static_cast<uint32_t>((i + 7) / 8 * 8)) << i;
    }
    EXPECT_EQ(st.get("key1"), "v");
    EXPECT_EQ(st.get("key17"), "v");
}

TEST(Configure, FailedGrowthLeavesTheStoreAsItWas)
{
    Store st;
    for (int i = 0; i < 8; i++)
        st.s->set(st.s, ("key" + std::to_string(i)).c_str(), "v");
    configure_entry **table = st.s->entries;
    lc_test::fail_next_reallocs(2);
    EXPECT_EQ(st.s->set(st.s, "key8", "v"), -1);
    EXPECT_EQ(configure_parse_line(st.s, nullptr, "key8 = v"), -1);
    EXPECT_EQ(st.s->count, 8u);
    EXPECT_EQ(st.s->capacity, 8u);
    EXPECT_EQ(st.s->entries, table);
    EXPECT_EQ(st.get("key8"), "<none>");
    EXPECT_EQ(st.s->set(st.s, "key0", "w"), 1);  // updates need no memory
    EXPECT_EQ(st.s->set(st.s, "key8", "v"), 1);
    EXPECT_EQ(st.s->capacity, 16u);
    EXPECT_EQ(st.get("key0"), "w");
}

TEST(Configure, FilterStoresOnlyItsKeysAndReportsTheFirstChangeInStoreOrder)
{
    const char *keys[] = {"alpha", "beta"};
    config_key *filter = config_keys_format(keys, 2);
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(filter[0].len, 5);
    EXPECT_EQ(filter[1].len, 4);
    EXPECT_EQ(filter[0].end + filter[1].end, 0);
    EXPECT_EQ(filter[2].end, 1);

    Store st;
    TempFile file("filter");
    file.write("beta = 1\nalpha = 1\ngamma = 1\nalphabet = 1\n");
    EXPECT_EQ(configure_parse(st.s, filter, file.path.c_str()), 0);
    EXPECT_EQ(st.table(), (Table{{"beta", "1"}, {"alpha", "1"}}));
    EXPECT_EQ(configure_key_IsChanged(st.s, filter), -1);  // first stores mark nothing

    file.write("beta = 2\nalpha = 2\ngamma = 2\n");
    EXPECT_EQ(configure_parse(st.s, filter, file.path.c_str()), 0);
    EXPECT_EQ(configure_key_IsChanged(st.s, filter), 1);  // beta comes first in the store
    file.write("beta = 2\nalpha = 3\n");
    EXPECT_EQ(configure_parse(st.s, filter, file.path.c_str()), 0);
    EXPECT_EQ(configure_key_IsChanged(st.s, filter), 0);
    EXPECT_EQ(configure_key_IsChanged(st.s, nullptr), -1);

    config_key *none = config_keys_format(nullptr, 0);
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(none[0].end, 1);
    EXPECT_EQ(configure_key_IsChanged(st.s, none), -1);
    const char *with_null[] = {"alpha", nullptr};
    EXPECT_EQ(config_keys_format(with_null, 2), nullptr);
    free(none);
    free(filter);
}

TEST(Configure, RoundTripThroughAFileGivesTheSameTable)
{
    TempFile in("in"), out("out");
    in.write("name = \"Camera 1\"\nip=10.0.0.2\nexpr = a=b\nempty =\nlong = " +
             std::string(600, 'w') + "\n");
    Store first, second;
    ASSERT_EQ(configure_parse(first.s, nullptr, in.path.c_str()), 0);
    FILE *fp = fopen(out.path.c_str(), "w");
    ASSERT_NE(fp, nullptr);
    loop(first.s, reinterpret_cast<configure_loop_cb>(loop_2_conf), fp);
    fclose(fp);
    // The 600 characters arrive as pieces of 511: the first is cut to 255;
    // the second piece (letters, no '=') stores nothing.
    std::string w255(255, 'w');
    EXPECT_EQ(out.read(), "name = \"Camera 1\"\nip = \"10.0.0.2\"\nexpr = \"a=b\"\n"
                          "empty = \"\"\nlong = \"" + w255 + "\"\n");
    ASSERT_EQ(configure_parse(second.s, nullptr, out.path.c_str()), 0);
    EXPECT_EQ(second.table(), first.table());
    EXPECT_EQ(first.table().size(), 5u);
}

TEST(Configure, LoopToBufSkipsLinesThatDoNotFit)
{
    Store st;
    st.s->set(st.s, "a", "1");                     // a = "1"\n : 8
    st.s->set(st.s, "long", std::string(30, 'x').c_str());
    st.s->set(st.s, "b", "2");
    char text[20] = "";
    config_textbuf tb = {text, sizeof text, 0, 0};
    loop(st.s, reinterpret_cast<configure_loop_cb>(loop_2_buf), &tb);
    EXPECT_STREQ(text, "a = \"1\"\nb = \"2\"\n");
    EXPECT_EQ(tb.used, 16);
    EXPECT_EQ(tb.status, -1);

    // used + length must stay below size: 8 + 8 does not fit in 16.
    char exact[16] = "";
    config_textbuf full = {exact, sizeof exact, 0, 0};
    loop(st.s, reinterpret_cast<configure_loop_cb>(loop_2_buf), &full);
    EXPECT_STREQ(exact, "a = \"1\"\n");
    EXPECT_EQ(full.status, -1);
    EXPECT_EQ(loop_2_buf(nullptr, "k", "v"), -1);
    EXPECT_EQ(loop_2_conf(nullptr, "k", "v"), -1);
}

TEST(Configure, BadInputGivesMinusOneAndStoresNothing)
{
    Store st;
    char text[] = "k = v\n";
    char out[8] = "x";
    EXPECT_EQ(configure_parse(nullptr, nullptr, "/etc/hostname"), -1);
    EXPECT_EQ(configure_parse(st.s, nullptr, nullptr), -1);
    EXPECT_EQ(configure_parse(st.s, nullptr, "/nonexistent/lc_conf"), -1);
    EXPECT_EQ(configure_parse(st.s, nullptr, "/tmp"), -1);  // opens, cannot be read
    EXPECT_EQ(configure_parse_buf(nullptr, nullptr, text), -1);
    EXPECT_EQ(configure_parse_buf(st.s, nullptr, nullptr), -1);
    EXPECT_EQ(configure_parse_line(nullptr, nullptr, "k = v"), -1);
    EXPECT_EQ(configure_parse_line(st.s, nullptr, nullptr), -1);
    EXPECT_EQ(st.s->set(st.s, nullptr, "v"), -1);
    EXPECT_EQ(st.s->set(st.s, "k", nullptr), -1);
    EXPECT_EQ(st.s->get(st.s, nullptr, out, sizeof out), -1);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(st.s->get(st.s, "k", nullptr, 8), -1);
    EXPECT_EQ(st.s->get(st.s, "k", out, 0), -1);
    EXPECT_EQ(st.s->find(st.s, nullptr), nullptr);
    EXPECT_EQ(st.s->count, 0u);
    loop(nullptr, reinterpret_cast<configure_loop_cb>(loop_2_conf), stdout);
    loop(st.s, nullptr, nullptr);
    configure_free(nullptr);
}

TEST(Configure, ReadersNeverSeeATornValueWhileTheFileIsReparsed)
{
    const int value_len = 200;
    const int rounds = lc_test::under_emulation() ? 40 : 150;
    TempFile file("race");
    Store st;
    std::string versions[2];
    for (int v = 0; v < 2; v++)
        for (int k = 0; k < 4; k++)
            versions[v] += "key" + std::to_string(k) + " = " +
                           std::string(value_len, static_cast<char>('a' + v)) + "\n";
    file.write(versions[0]);
    ASSERT_EQ(configure_parse(st.s, nullptr, file.path.c_str()), 0);

    std::atomic<bool> done{false};
    std::atomic<int> torn{0}, reads{0};
    auto reader = [&] {
        char out[256];
        while (!done.load()) {
            for (int k = 0; k < 4; k++) {
                std::string key = "key" + std::to_string(k);
                if (st.s->get(st.s, key.c_str(), out, sizeof out) != 0) {
                    torn++;
                    continue;
                }
                std::string value(out);
                if (value != std::string(value_len, 'a') && value != std::string(value_len, 'b'))
                    torn++;
                reads++;
            }
            std::this_thread::yield();  // readers are preferred: let the writer in
        }
    };
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; i++)
        readers.emplace_back(reader);
    EXPECT_TRUE(lc_test::wait_until([&] { return reads.load() > 0; }));
    for (int r = 1; r <= rounds; r++) {
        file.write(versions[r % 2]);
        EXPECT_EQ(configure_parse(st.s, nullptr, file.path.c_str()), 0);
    }
    done = true;
    for (std::thread &t : readers)
        t.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(st.s->count, 4u);
}
