// Configuration store: line kinds, changed marks, limits, filters, writing
// back out, and readers racing a writer.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>
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
    // The value of key, or "<none>" when get fails (leaving out empty).
    std::string get(const std::string &key, int32_t outsize = 300) const
    {
        std::vector<char> out(static_cast<size_t>(outsize), 'z');
        int32_t rc = s->get(s, key.c_str(), out.data(), outsize);
        return rc == 0 ? out.data() : out[0] == '\0' ? "<none>" : "<not emptied>";
    }
    Table table() const
    {
        Table t;
        for (uint32_t i = 0; i < s->count; i++)
            t.emplace_back(s->entries[i]->key, s->entries[i]->value);
        return t;
    }
};

std::string temp_path(const char *tag)
{
    return "/tmp/lc_conf_" + std::to_string(getpid()) + "_" + tag;
}
void write_file(const std::string &path, const std::string &text)
{
    std::ofstream(path, std::ios::binary) << text;
}
std::string read_file(const std::string &path)
{
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

}  // namespace

TEST(Configure, LineKindsAndWhatTheyStore)
{
    Store st;
    std::string text = "# name = comment\n\n  indented = no\n9lives = no\n\"q\" = no\nletters\n"
                       "name = \"Camera 1\"\r\na=b=c\nempty =\nmode = \"on\" # not a comment\n";
    EXPECT_EQ(configure_parse_buf(st.s, nullptr, &text[0]), 0);
    EXPECT_EQ(st.table(), (Table{{"name", "Camera 1"}, {"a", "b=c"}, {"empty", ""},
                                 {"mode", "on\" # not a comment"}}));
    EXPECT_EQ(text[16], '\0');  // the line feed that ended the first line
    EXPECT_EQ(configure_parse_line(st.s, nullptr, " x = 1"), -1);
    EXPECT_EQ(configure_parse_line(st.s, nullptr, "x"), -1);
    EXPECT_EQ(configure_parse_line(st.s, nullptr, "x = 1"), 0);
}

TEST(Configure, SetMarksChangesAndCutsLongValuesAndRefusesLongKeys)
{
    Store st;
    EXPECT_EQ(st.s->set(st.s, "k", "v1"), 1);  // new key, mark 0
    EXPECT_EQ(st.s->find(st.s, "k")->changed, 0);
    EXPECT_EQ(st.s->set(st.s, "k", "v2"), 1);
    EXPECT_EQ(st.s->find(st.s, "k")->changed, 1);
    EXPECT_EQ(st.s->set(st.s, "k", "v2"), 0);  // same value clears the mark
    EXPECT_EQ(st.s->find(st.s, "k")->changed, 0);
    EXPECT_EQ(st.s->set(st.s, "k", "v"), 1);   // the old tail must not survive
    EXPECT_EQ(st.get("k", 1), "<none>");       // get needs room for the terminator
    EXPECT_EQ(st.get("k", 2), "v");
    EXPECT_EQ(st.get("missing"), "<none>");

    std::string long_value(300, 'x');
    long_value[254] = 'E';
    EXPECT_EQ(st.s->set(st.s, "long", long_value.c_str()), 1);
    EXPECT_EQ(st.s->find(st.s, "long")->value_len, 255);
    EXPECT_EQ(st.get("long", 255), "<none>");
    EXPECT_EQ(st.get("long", 256), long_value.substr(0, 255));
    EXPECT_EQ(st.s->set(st.s, "long", long_value.c_str()), 0);  // same once cut

    std::string key255(255, 'k'), key256(256, 'k');
    EXPECT_EQ(st.s->set(st.s, key256.c_str(), "v"), -1);
    EXPECT_EQ(configure_parse_line(st.s, nullptr, (key256 + "=v").c_str()), -1);
    EXPECT_EQ(st.s->set(st.s, key255.c_str(), "v"), 1);
    EXPECT_EQ(st.get(key255), "v");
    EXPECT_EQ(st.s->count, 3u);
}

TEST(Configure, TableGrowsByEight)
{
    Store st;
    for (uint32_t i = 1; i <= 17; i++) {
        ASSERT_EQ(st.s->set(st.s, ("key" + std::to_string(i)).c_str(), "v"), 1);
        EXPECT_EQ(st.s->capacity, (i + 7) / 8 * 8);
    }
    EXPECT_EQ(st.get("key1") + st.get("key17"), "vv");
}

TEST(Configure, FilterStoresOnlyItsKeysAndReportsTheFirstChangeInStoreOrder)
{
    const char *keys[] = {"alpha", "beta"};
    config_key *filter = config_keys_format(keys, 2);
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(filter[0].len + filter[1].len, 9);
    EXPECT_EQ(filter[0].end + 10 * filter[1].end + 100 * filter[2].end, 100);

    Store st;
    std::string path = temp_path("filter");
    write_file(path, "beta = 1\nalpha = 1\ngamma = 1\nalphabet = 1\n");
    EXPECT_EQ(configure_parse(st.s, filter, path.c_str()), 0);
    EXPECT_EQ(st.table(), (Table{{"beta", "1"}, {"alpha", "1"}}));
    EXPECT_EQ(configure_key_IsChanged(st.s, filter), -1);  // first stores mark nothing
    write_file(path, "beta = 2\nalpha = 2\n");
    EXPECT_EQ(configure_parse(st.s, filter, path.c_str()), 0);
    EXPECT_EQ(configure_key_IsChanged(st.s, filter), 1);  // beta comes first in the store
    write_file(path, "beta = 2\nalpha = 3\n");
    EXPECT_EQ(configure_parse(st.s, filter, path.c_str()), 0);
    EXPECT_EQ(configure_key_IsChanged(st.s, filter), 0);
    EXPECT_EQ(configure_key_IsChanged(st.s, nullptr), -1);
    const char *with_null[] = {"alpha", nullptr};
    EXPECT_EQ(config_keys_format(with_null, 2), nullptr);
    free(filter);
    remove(path.c_str());
}

TEST(Configure, RoundTripThroughAFileGivesTheSameTable)
{
    std::string in = temp_path("in"), out = temp_path("out");
    write_file(in, "name = \"Camera 1\"\nip=10.0.0.2\nexpr = a=b\nempty =\nlong = " +
                       std::string(600, 'w') + "\n");
    Store first, second;
    ASSERT_EQ(configure_parse(first.s, nullptr, in.c_str()), 0);
    FILE *fp = fopen(out.c_str(), "w");
    ASSERT_NE(fp, nullptr);
    loop(first.s, loop_2_conf, fp);
    fclose(fp);
    // 600 characters arrive as pieces of 511: the first is cut to 255, the
    // rest (letters without '=') stores nothing.
    EXPECT_EQ(read_file(out), "name = \"Camera 1\"\nip = \"10.0.0.2\"\nexpr = \"a=b\"\n"
                              "empty = \"\"\nlong = \"" + std::string(255, 'w') + "\"\n");
    ASSERT_EQ(configure_parse(second.s, nullptr, out.c_str()), 0);
    EXPECT_EQ(second.table(), first.table());
    EXPECT_EQ(first.s->count, 5u);
    remove(in.c_str());
    remove(out.c_str());
}

TEST(Configure, LoopToBufSkipsLinesThatDoNotFit)
{
    Store st;
    st.s->set(st.s, "a", "1");  // 8 characters a line
    st.s->set(st.s, "long", std::string(30, 'x').c_str());
    st.s->set(st.s, "b", "2");
    char text[17] = "";  // used + length must stay below size: 16 does not fit
    config_textbuf tb = {text, sizeof text, 0, 0};
    loop(st.s, loop_2_buf, &tb);
    EXPECT_STREQ(text, "a = \"1\"\nb = \"2\"\n");
    EXPECT_EQ(tb.used, 16);
    EXPECT_EQ(tb.status, -1);
    tb = {text, 16, 0, 0};
    text[0] = '\0';
    loop(st.s, loop_2_buf, &tb);
    EXPECT_STREQ(text, "a = \"1\"\n");
}

TEST(Configure, BadInputGivesMinusOneAndStoresNothing)
{
    Store st;
    char out[8] = "x";
    EXPECT_EQ(configure_parse(nullptr, nullptr, "/etc/hostname"), -1);
    EXPECT_EQ(configure_parse(st.s, nullptr, "/nonexistent/lc_conf"), -1);
    EXPECT_EQ(configure_parse(st.s, nullptr, "/tmp"), -1);  // opens, cannot be read
    EXPECT_EQ(configure_parse_buf(st.s, nullptr, nullptr), -1);
    EXPECT_EQ(configure_parse_line(nullptr, nullptr, "k = v"), -1);
    EXPECT_EQ(st.s->set(st.s, "k", nullptr), -1);
    EXPECT_EQ(st.s->get(st.s, nullptr, out, sizeof out), -1);
    EXPECT_STREQ(out, "");
    EXPECT_EQ(st.s->count, 0u);
    EXPECT_EQ(loop_2_buf(nullptr, "k", "v") + loop_2_conf(nullptr, "k", "v"), -2);
    loop(nullptr, loop_2_conf, stdout);
    configure_free(nullptr);
}

TEST(Configure, ReadersNeverSeeATornValueWhileTheFileIsReparsed)
{
    const int rounds = lc_test::under_emulation() ? 40 : 150;
    const std::string a(200, 'a'), b(200, 'b'), path = temp_path("race");
    std::string versions[2];
    for (int k = 0; k < 4; k++) {
        versions[0] += "key" + std::to_string(k) + " = " + a + "\n";
        versions[1] += "key" + std::to_string(k) + " = " + b + "\n";
    }
    Store st;
    write_file(path, versions[0]);
    ASSERT_EQ(configure_parse(st.s, nullptr, path.c_str()), 0);

    std::atomic<bool> done{false};
    std::atomic<int> torn{0}, reads{0};
    auto reader = [&] {
        while (!done.load()) {
            for (int k = 0; k < 4; k++) {
                std::string value = st.get("key" + std::to_string(k));
                torn += value != a && value != b;
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
        write_file(path, versions[r % 2]);
        EXPECT_EQ(configure_parse(st.s, nullptr, path.c_str()), 0);
    }
    done = true;
    for (std::thread &t : readers)
        t.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(st.s->count, 4u);
    remove(path.c_str());
}
