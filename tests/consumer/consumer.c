/* A C program that includes the public header and calls the library. */
#include <lib_common/lib_common.h>
#include <stdio.h>
#include <string.h>

static char seen[1024];

static void hook(int32_t level, const char *text)
{
    (void)level;
    snprintf(seen, sizeof seen, "%s", text);
}

int main(int argc, char **argv)
{
    char text[] = "  \"value\"\n";
    /* argv[1]: the version pkg-config gives; the running library and the
       header it was compiled with must both say it. */
    if (argc > 1 && strcmp(lc_version(), argv[1]) != 0) {
        fprintf(stderr, "lc_version() %s, pkg-config %s\n", lc_version(), argv[1]);
        return 1;
    }
    if (argc > 1 && strcmp(LC_VERSION_STRING, argv[1]) != 0) {
        fprintf(stderr, "LC_VERSION_STRING %s, pkg-config %s\n", LC_VERSION_STRING, argv[1]);
        return 1;
    }
    dbgout_profile.output_hook = hook;
    XEL_TRACE(lib, 6, "hello %d\n", 42);
    if (strstr(seen, "]hello 42\n") == NULL || strncmp(seen, "[lib main +", 11) != 0) {
        fprintf(stderr, "trace not seen: %s\n", seen);
        return 1;
    }
    if (strcmp(lib_trim(text, NULL), "value") != 0)
        return 1;
    puts("c consumer ok");
    return 0;
}
