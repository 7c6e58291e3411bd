/* hello - a program of one's own, built against an installed lib_common
   for the board (README, "Building your own program for the board").  It
   sends one trace through its own output hook and trims a text; it starts
   none of the library's threads, so it leaves nothing behind. */
#include <lib_common/lib_common.h>
#include <stdio.h>

static void print_trace(int32_t level, const char *text)
{
    printf("<%d> %s", (int)level, text);
}

int main(void)
{
    char text[] = "  \"board\"\n";
    dbgout_profile.output_hook = print_trace;
    XEL_TRACE(lib, 6, "hello from lib_common %s\n", lc_version());
    printf("trimmed: %s\n", lib_trim(text, NULL));
    return 0;
}
