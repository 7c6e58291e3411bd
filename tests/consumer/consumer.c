/* A program that includes the installed header and calls the installed library, built as C through pkg-config and
   as C++ through the CMake package.  argv[1] is the version that pkg-config or the package gives: the running library
   and the header must both say it. */
#include <lib_common/lib_common.h>
#include <stdio.h>
#include <string.h>

static char seen[256];

static void hook(int32_t level, const char *text)
{
    (void)level;
    snprintf(seen, sizeof seen, "%s", text);
}

int main(int argc, char **argv)
{
    char text[] = "  \"value\"\n", tagged[sizeof seen];
    const char *version = argc == 2 ? argv[1] : "?";
    dbgout_profile.output_hook = hook;
    XEL_TRACE(lib, 6, "hello %d\n", 42);
    memcpy(tagged, seen, sizeof seen);
    xel_traceout_raw(6, "rx", "\x01\xab", 2);
    if (strcmp(lc_version(), version) != 0 || strcmp(LC_VERSION_STRING, version) != 0 ||
        strncmp(tagged, "[lib main +", 11) != 0 || strstr(tagged, "]hello 42\n") == NULL ||
        strcmp(seen, "rx [len:2],data:0x01,0xab,") != 0 || strcmp(lib_trim(text, NULL), "value") != 0) {
        fprintf(stderr, "lc_version() %s, header %s, package %s; traced '%s', '%s'; trimmed '%s'\n", lc_version(),
                LC_VERSION_STRING, version, tagged, seen, text);
        return 1;
    }
    puts("consumer ok");
    return 0;
}
