// replay_main.cpp - runs a fuzz target over files without libFuzzer, so that
// every build (also gcc, sanitizers and the ARM target) replays the
// regression corpus.  Arguments are files or folders of files.
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

// Runs the target once on the content of one file; false if unreadable.
static bool replay_file(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return false;
    std::vector<uint8_t> data;
    uint8_t chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        data.insert(data.end(), chunk, chunk + n);
    fclose(f);
    // A copy of exactly the input's size, so that reads past it are caught.
    uint8_t *copy = static_cast<uint8_t *>(malloc(data.size() ? data.size() : 1));
    if (!data.empty())
        memcpy(copy, data.data(), data.size());
    LLVMFuzzerTestOneInput(copy, data.size());
    free(copy);
    return true;
}

int main(int argc, char **argv)
{
    size_t runs = 0;
    for (int i = 1; i < argc; i++) {
        struct stat st;
        if (stat(argv[i], &st) != 0)
            continue;  // an empty corpus folder may not exist in a checkout
        if (!S_ISDIR(st.st_mode)) {
            runs += replay_file(argv[i]);
            continue;
        }
        DIR *dir = opendir(argv[i]);
        if (dir == nullptr)
            continue;
        while (struct dirent *ent = readdir(dir)) {
            if (ent->d_name[0] == '.')
                continue;
            runs += replay_file(std::string(argv[i]) + "/" + ent->d_name);
        }
        closedir(dir);
    }
    // The empty input is always worth one run.
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(""), 0);
    printf("replayed %zu inputs\n", runs + 1);
    return 0;
}
