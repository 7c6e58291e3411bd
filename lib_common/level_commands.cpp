/*
 * level_commands.cpp - the debug commands that change the trace levels and
 * switch the time stamp of dbgout_profile while the process runs.
 */
#include "fifo.h"
#include "trace.h"
#include "common_internal.h"
#include "lc_modules_internal.h"

#include <assert.h>
#include <stdint.h>

static void set_debug_level(const char *value, void *data);
static void set_time_enable_level(const char *value, void *data);

/* The data of a level row is its code: module letter and level digit.  The
   row's word is untyped; set_debug_level only reads through it. */
// The formatter takes a macro that starts with a brace for a block.
// clang-format off
#define LEVEL_ROWS(name, letter)                                               \
    {#name "_level", "err", set_debug_level, const_cast<char *>(letter "3")},  \
    {#name "_level", "info", set_debug_level, const_cast<char *>(letter "6")}, \
    {#name "_level", "debug", set_debug_level, const_cast<char *>(letter "7")},
// clang-format on

/* Listed by "help" in this order: the modules, then all of them. */
static const fifo_cmd level_cmds[] = {
    LC_MODULES(LEVEL_ROWS) LEVEL_ROWS(all, "A"){"dbg_time", "1", set_time_enable_level, (void *)(intptr_t)1},
    {"dbg_time", "0", set_time_enable_level, (void *)(intptr_t)0},
};
enum { LEVEL_CMD_COUNT = sizeof level_cmds / sizeof level_cmds[0] };
LC_STATIC_ASSERT(LEVEL_CMD_COUNT == 26, "eight keys of three levels, two dbg_time rows");

/* Stores the level of a code such as "L7" in its module's field(s).  The
   codes are the rows' own (LEVEL_ROWS): a letter and 3, 6 or 7.  Relaxed
   stores: other threads read the levels with XEL_LEVEL meanwhile. */
static void set_debug_level(const char *, void *data)
{
    const char *code = static_cast<const char *>(data);
    assert(code != nullptr);
    assert(code[1] == '3' || code[1] == '6' || code[1] == '7');
    assert(code[2] == '\0');
    const int32_t level = code[1] - '0';
    for (const lc_module &m : lc_modules)
        if (code[0] == 'A' || code[0] == m.letter)
            __atomic_store_n(m.level, level, __ATOMIC_RELAXED);
    XEL_TRACE(lib, 7, "%s\n", code);
}

/* Stores the 1 or 0 carried by the row in time_enable. */
static void set_time_enable_level(const char *, void *data)
{
    int32_t on = (int32_t)(intptr_t)data;
    __atomic_store_n(&dbgout_profile.time_enable, on, __ATOMIC_RELAXED);
    XEL_TRACE(lib, 6, "time_enable %d\n", (int)on);
}

extern "C" LC_API void trace_debug_init(void)
{
    lc_trace_ratelimit_setup();
    add_fifo_work(level_cmds, LEVEL_CMD_COUNT);
}
