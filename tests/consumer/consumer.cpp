// A C++ program that includes the public header and calls the library.
#include <lib_common/lib_common.h>

#include <cstdio>
#include <string>

static std::string seen;

int main()
{
    dbgout_profile.output_hook = [](int32_t, const char *text) { seen = text; };
    xel_traceout_raw(6, "rx", "\x01\xab", 2);
    if (seen != "rx [len:2],data:0x01,0xab,") {
        std::fprintf(stderr, "unexpected trace: %s\n", seen.c_str());
        return 1;
    }
    // The CMake package's version is the running library's.
    if (std::string(lc_version()) != LC_PACKAGE_VERSION) {
        std::fprintf(stderr, "lc_version() %s, package %s\n", lc_version(), LC_PACKAGE_VERSION);
        return 1;
    }
    std::puts("c++ consumer ok");
    return 0;
}
