/* Compiled as strict C (c99, c11, c17) and C++ (c++14, c++17, c++20) with -Wall -Wextra -pedantic -Werror: the
   public header brings no warning, defines no feature macro for its includer (g++ defines _GNU_SOURCE itself), and
   its trace macro works with and without format arguments. */
#include "lib_common.h"

#if !defined(__cplusplus) &&                                                                                     \
    (defined(_GNU_SOURCE) || defined(_DEFAULT_SOURCE) || defined(_XOPEN_SOURCE) || defined(_FILE_OFFSET_BITS) || \
     defined(_TIME_BITS) || defined(_LARGEFILE64_SOURCE) || defined(_BSD_SOURCE) || defined(_SVID_SOURCE))
#error "a header defined a feature macro"
#endif

#if LC_VERSION_MAJOR < 1 || LC_VERSION_MINOR < 0 || LC_VERSION_PATCH < 0
#error "the version macros are not numbers"
#endif

void lc_strict_header_use(const char *name)
{
    XEL_TRACE(lib, 6, "no arguments\n");
    XEL_TRACE(cc, 7, "%s %d\n", name, 2);
    XEL_TRACE(module, 3, "%s\n", lc_version());
}
