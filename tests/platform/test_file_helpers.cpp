// File helpers on real files: path joining, whole-file transfers under flock
// (also against a second process), shared mappings, and the mapping record.
#include "lc_test.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <stddef.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

// Offsets on 32-bit ARM (first) and on the 64-bit host.
#define AT(arm, host) (UINTPTR_MAX == 0xffffffffu ? (arm) : (host))
static_assert(offsetof(mapped_file, length) == AT(4, 8) && offsetof(mapped_file, offset) == AT(8, 16), "");
static_assert(offsetof(mapped_file, fd) == AT(12, 24) && offsetof(mapped_file, addr) == AT(16, 32), "");
static_assert(sizeof(mapped_file) == AT(20, 40), "");

class Files : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(mkdtemp(&dir_[0]), nullptr); }
    void TearDown() override { EXPECT_EQ(system(("rm -rf " + dir_).c_str()), 0); }
    std::string path(const char *name) const { return dir_ + "/" + name; }
    static std::string read_back(const std::string &p)
    {
        char *text = read_file_to_buf(p.c_str());
        std::string s = text ? text : "(null)";
        free(text);
        return s;
    }
    lc_test::TraceCapture cap_;
    std::string dir_ = "/tmp/lc_files_XXXXXX";
};

TEST(CatFileName, JoinsWithOneSlashAndNeverCutsOrOverruns)
{
    const char *cases[][3] = {{"/tmp", "a.txt", "/tmp/a.txt"}, {"/tmp/", "a.txt", "/tmp/a.txt"},
                              {nullptr, "a.txt", "a.txt"},     {"/tmp", nullptr, "/tmp/"},
                              {"", "a.txt", "a.txt"},          {nullptr, nullptr, ""}};
    for (const auto &c : cases) {
        size_t need = strlen(c[2]) + 1;
        char dst[16];
        memset(dst, '#', sizeof dst);
        cat_file_name(dst, static_cast<uint32_t>(need), c[0], c[1]);
        EXPECT_EQ(std::string(dst, need + 1), std::string(c[2]) + '\0' + '#');
        memset(dst, '#', sizeof dst);  // one byte short: empty, not cut
        cat_file_name(dst, static_cast<uint32_t>(need - 1), c[0], c[1]);
        EXPECT_EQ(std::string(dst, need), std::string(need - 1, '\0') + "#") << c[2];
    }
}

TEST_F(Files, WholeFileReadsAndWrites)
{
    const std::string a = path("a"), missing = path("missing");
    ASSERT_EQ(write_file(a.c_str(), "li\0ne", 5), 0);
    char buf[8] = "#######";
    int32_t len = -1;
    EXPECT_EQ(read_file2(a.c_str(), &len, buf, 5), -1) << "refused";
    EXPECT_EQ(len, 5) << "size given";
    EXPECT_EQ(buf[0], '#') << "nothing copied";
    EXPECT_EQ(read_file2(a.c_str(), &len, buf, 6), 0);
    EXPECT_EQ(std::string(buf, 6), std::string("li\0ne#", 6));  // no terminator

    ASSERT_EQ(write_file(a.c_str(), "ab", 2), 0);
    EXPECT_EQ(read_back(a), "ab");  // nothing left of the longer content
    EXPECT_EQ(write_file(a.c_str(), nullptr, 2), -1);
    EXPECT_EQ(read_file_to_buf(missing.c_str()), nullptr);
    EXPECT_EQ(read_file2(missing.c_str(), &len, buf, 8), -1);
    EXPECT_EQ(len, 5) << "len left alone";
    EXPECT_EQ(cap_.count("]" + missing + " does not exist\n\n"), 2u);
}

TEST_F(Files, LockedReadersNeverSeeATornOrEmptiedFile)
{
    const std::string p = path("shared"), a(1000, 'a'), b(3000, 'b');
    ASSERT_EQ(write_file(p.c_str(), a.data(), 1000), 0);
    // A writer process alternates two lengths; every read gets one whole
    // (never an empty file from a writer still waiting for the lock).
    const pid_t child = fork();
    if (child == 0)
        for (int i = 0;; i++)
            write_file(p.c_str(), (i % 2 ? a : b).data(), i % 2 ? 1000 : 3000);
    int torn = 0;
    char buf[4096];
    for (int i = 0; i < 300; i++) {
        std::string whole = read_back(p);
        int32_t len = 0;
        torn += whole != a && whole != b;
        torn += read_file2(p.c_str(), &len, buf, sizeof buf) != 0 || (len != 1000 && len != 3000) ||
                std::string(buf, static_cast<size_t>(len)) != (len == 1000 ? a : b);
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(torn, 0);
}

TEST_F(Files, MappingsGrowWithZerosAndAreShared)
{
    testing::internal::CaptureStdout();  // the helpers print what they map
    const std::string p = path("map"), e = path("empty"), bad = path("no/file");
    mapped_file one = {}, two = {}, empty = {}, nowhere = {};
    one.path = two.path = p.c_str();
    one.length = 4096;
    ASSERT_EQ(map_file_to_buf(&one), 0);
    ASSERT_EQ(map_file_to_buf(&two), 0);  // length 0: the whole file
    EXPECT_EQ(std::string(static_cast<char *>(two.addr), two.length), std::string(4096, '\0'));
    memcpy(one.addr, "shared!", 7);
    EXPECT_EQ(memcmp(two.addr, "shared!", 7), 0);
    EXPECT_EQ(unmap_file_to_buf(&two), 0);
    EXPECT_EQ(unmap_file_to_buf(&one), 0);
    EXPECT_EQ(one.addr, nullptr);
    EXPECT_EQ(one.fd, 0);
    EXPECT_EQ(read_back(p), "shared!");


    empty.path = e.c_str();  // a new, empty file maps zero bytes: refused
    nowhere.path = bad.c_str();
    nowhere.length = 4096;
    EXPECT_EQ(map_file_to_buf(&empty), -1);
    EXPECT_EQ(map_file_to_buf(&nowhere), -1);
    EXPECT_EQ(map_devmem(&nowhere), -1);
    EXPECT_EQ(empty.addr, nullptr);
    EXPECT_EQ(empty.fd, 0);
    testing::internal::GetCapturedStdout();
}
