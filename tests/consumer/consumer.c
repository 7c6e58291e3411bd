/* A C program that includes the installed header and calls the installed library; argv[1] is the version
   pkg-config gives, which the running library and the header it was compiled with must both say. */
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
    if (argc != 2 || strcmp(lc_version(), argv[1]) != 0 || strcmp(LC_VERSION_STRING, argv[1]) != 0) {
        fprintf(stderr, "lc_version() %s, LC_VERSION_STRING %s, pkg-config %s\n", lc_version(), LC_VERSION_STRING,
                argc == 2 ? argv[1] : "?");
        return 1;
    }
    dbgout_profile.output_hook = hook;
    XEL_TRACE(lib, 6, "hello %d\n", 42);
    if (strncmp(seen, "[lib main +", 11) != 0 || strstr(seen, "]hello 42\n") == NULL ||
        strcmp(lib_trim(text, NULL), "value") != 0) {
        fprintf(stderr, "traced '%s', trimmed '%s'\n", seen, text);
        return 1;
    }
    puts("c consumer ok");
    return 0;
}
