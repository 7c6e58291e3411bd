/*
 * crash.cpp - the crash report appended to "/dev/xel_core.file", and a way
 * to fault on purpose so that a process's crash path can be tried out.
 *
 * The report is written with plain write() calls on one descriptor; the
 * status, descriptor and map sections come from shell commands over the
 * proc file system, so a section whose command cannot start is left out.
 */
#include "lib_common.h"
#include "platform_internal.h"

#include <assert.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

static const char CORE_FILE[] = "/dev/xel_core.file";
static const char SEPARATOR[] = "---------------\n";

enum {
    CMD_SIZE = 64,       /* proc command texts */
    COPY_CMD_SIZE = 127, /* the copy command: at most 126 characters */
    STACK_LINES = 128,   /* 16 bytes each: 2048 bytes of stack */
    STACK_LINE_BYTES = 16,
    LINE_SIZE = 256,
};

/* Open only during one printBackTrace call. */
static int core_fd = -1;

/* Write errors are ignored: the report goes on as far as it can. */
static void put_bytes(const char *text, size_t len)
{
    assert(core_fd >= 0);
    lc_write_all(core_fd, text, len);
}

static void put(const char *text)
{
    put_bytes(text, strlen(text));
}

/* Copies the command's output line by line; empty reads are skipped. */
static void copy_output(FILE *pipe)
{
    char *line = nullptr;
    size_t cap = 0;
    ssize_t len;
    while ((len = getline(&line, &cap, pipe)) != -1) {
        if (len > 0 && line[0] != '\0')
            put_bytes(line, static_cast<size_t>(len));
    }
    free(line);
}

/* One proc section: the separator, optionally the command text and a line
   end, then the command's output.  Left out when the command cannot start. */
static void command_section(const char *cmd, bool echo_cmd)
{
    FILE *pipe = popen(cmd, "r");
    if (pipe == nullptr)
        return;
    put(SEPARATOR);
    if (echo_cmd) {
        put(cmd);
        put("\n");
    }
    copy_output(pipe);
    pclose(pipe);
}

/* "fd used:" and the first output line of the descriptor count command. */
static void fd_count_section(int pid)
{
    char cmd[CMD_SIZE];
    snprintf(cmd, sizeof cmd, "ls /proc/%d/fd |wc -l", pid);
    FILE *pipe = popen(cmd, "r");
    if (pipe == nullptr)
        return;
    char *line = nullptr;
    size_t cap = 0;
    ssize_t len = getline(&line, &cap, pipe);
    if (len > 0 && line[0] != '\0') {
        put(SEPARATOR);
        put("fd used:");
        put_bytes(line, static_cast<size_t>(len));
    }
    free(line);
    pclose(pipe);
}

/* Upper end of the calling thread's stack, or 0 when it cannot be read. */
static uintptr_t stack_top(void)
{
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0)
        return 0;
    void *base = nullptr;
    size_t size = 0;
    uintptr_t top = 0;
    if (pthread_attr_getstack(&attr, &base, &size) == 0)
        top = reinterpret_cast<uintptr_t>(base) + size;
    pthread_attr_destroy(&attr);
    return top;
}

/*
 * Dumps the stack upward from this function's line buffer.  Reading other
 * frames is the point here, so the sanitizers must not check these loads
 * (and must not move the buffer off the real stack).  Lines stop where the
 * thread's stack ends, so nothing beyond it is ever read.
 */
__attribute__((noinline, no_sanitize_address, no_sanitize_thread)) static void dump_stack_words(void)
{
    alignas(STACK_LINE_BYTES) char line[LINE_SIZE];
    uintptr_t start = reinterpret_cast<uintptr_t>(line);
    uintptr_t top = stack_top();
    size_t lines = 0;
    if (top > start)
        lines = (top - start) / STACK_LINE_BYTES;
    if (lines > STACK_LINES)
        lines = STACK_LINES;

    for (size_t i = 0; i < lines; i++) {
        uintptr_t at = start + i * STACK_LINE_BYTES;
        const volatile uint32_t *w = reinterpret_cast<const volatile uint32_t *>(at);
        uint32_t w0 = w[0], w1 = w[1], w2 = w[2], w3 = w[3];
        int n = snprintf(line, sizeof line, "%p:0x%16lx\t0x%16lx\t0x%16lx\t0x%16lx\n", reinterpret_cast<void *>(at),
                         static_cast<unsigned long>(w0), static_cast<unsigned long>(w1), static_cast<unsigned long>(w2),
                         static_cast<unsigned long>(w3));
        if (n > 0)
            put_bytes(line, static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1);
    }
}

/* Copies the crash file into core_copy_dir; a directory too long for the
   command text is not cut (that would copy somewhere else), it is skipped. */
static void copy_core_file(void)
{
    const char *dir = common_profile.core_copy_dir;
    if (dir == nullptr)
        return;
    char cmd[COPY_CMD_SIZE];
    int n = snprintf(cmd, sizeof cmd, "cp %s %s/ && sync", CORE_FILE, dir);
    if (n < 0 || static_cast<size_t>(n) >= sizeof cmd) {
        fprintf(stderr, "core copy to %s skipped: path too long\n", dir);
        return;
    }
    lib_system(cmd);
}

extern "C" LC_API void printBackTrace(void)
{
    core_fd = open(CORE_FILE, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (core_fd < 0) {
        fprintf(stderr, "open %s fail \n", CORE_FILE);
        return;
    }
    int pid = getpid();
    int tid = lib_getpid();
    char text[CMD_SIZE];

    put(SEPARATOR);
    snprintf(text, sizeof text, "pid:%d", tid);
    put(text);

    snprintf(text, sizeof text, "cat /proc/%d/task/%d/status", pid, tid);
    command_section(text, false);
    snprintf(text, sizeof text, "cat /proc/%d/status", pid);
    command_section(text, false);
    fd_count_section(pid);

    put(SEPARATOR);
    put("backtrace start\n");
    dump_stack_words();
    put("backtrace end\n");

    snprintf(text, sizeof text, "cat /proc/%d/maps", pid);
    command_section(text, true);

    close(core_fd);
    core_fd = -1;
    if (common_profile.core_copy_enable != 0)
        copy_core_file();
}

/* The store must reach the hardware: no sanitizer check may stop it first,
   and the volatile pointer keeps the compiler from replacing it by a trap. */
extern "C" LC_API __attribute__((no_sanitize("address", "undefined"))) void lib_core_test(void)
{
    volatile char *volatile p = nullptr;
    *p = 'a';
}
