// lib_fsync_for_FILE hands the stream's own descriptor to fsync (a link-time seam records the calls); a stream without
// a descriptor (in memory) and a null stream are left alone.
#include "lc_test.h"

#include <gtest/gtest.h>

static std::vector<int> synced;

extern "C" int __real_fsync(int fd);
extern "C" int __wrap_fsync(int fd)
{
    synced.push_back(fd);
    return __real_fsync(fd);
}

TEST(FsyncForFile, SyncsTheDescriptorOfAFileStreamOnly)
{
    char text[8];
    FILE *file = tmpfile(), *memory = fmemopen(text, sizeof text, "w");
    ASSERT_TRUE(file != nullptr && memory != nullptr);
    lib_fsync_for_FILE(file), lib_fsync_for_FILE(memory), lib_fsync_for_FILE(nullptr);
    EXPECT_EQ(synced, std::vector<int>{fileno(file)});
    fclose(memory), fclose(file);
}
