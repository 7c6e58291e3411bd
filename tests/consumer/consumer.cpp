// A C++ program that includes the installed header and calls the installed library, found through its CMake
// package, whose version is the running library's.
#include <lib_common/lib_common.h>

#include <cstdio>
#include <string>

int main()
{
    static std::string seen;
    dbgout_profile.output_hook = [](int32_t, const char *text) { seen = text; };
    xel_traceout_raw(6, "rx", "\x01\xab", 2);
    if (seen != "rx [len:2],data:0x01,0xab," || std::string(lc_version()) != LC_PACKAGE_VERSION) {
        std::fprintf(stderr, "traced '%s', lc_version() %s, package %s\n", seen.c_str(), lc_version(),
                     LC_PACKAGE_VERSION);
        return 1;
    }
    std::puts("c++ consumer ok");
    return 0;
}
