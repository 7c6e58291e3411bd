/*
 * start_levels.cpp - trace levels a process starts with, from the
 * environment: LIB_COMMON_LEVELS="all=info,lib=7,cc=debug,time=1".  Parts
 * apply left to right, so "all" goes first.
 */
#include "common_internal.h"
#include "lc_modules_internal.h"
#include "trace.h"

#include <string.h>

static bool equals(const char *s, size_t len, const char *word)
{
    return strlen(word) == len && memcmp(s, word, len) == 0;
}

/* Drops blanks and tabs at both ends of [*s, *s + *len). */
static void strip_blanks(const char **s, size_t *len)
{
    while (*len > 0 && (**s == ' ' || **s == '\t')) {
        ++*s;
        --*len;
    }
    while (*len > 0 && ((*s)[*len - 1] == ' ' || (*s)[*len - 1] == '\t'))
        --*len;
}

/* A level: one digit 0..7, or err, info, debug; -1 when it is neither. */
static int32_t level_of(const char *s, size_t len)
{
    if (len == 1 && s[0] >= '0' && s[0] <= '7')
        return s[0] - '0';
    if (equals(s, len, "err"))
        return 3;
    if (equals(s, len, "info"))
        return 6;
    if (equals(s, len, "debug"))
        return 7;
    return -1;
}

/* Applies one "name=value" part; null when it did, otherwise why not. */
static const char *apply(const char *part, size_t len)
{
    const char *eq = static_cast<const char *>(memchr(part, '=', len));
    if (eq == nullptr)
        return "no '='";
    const char *name = part;
    size_t name_len = (size_t)(eq - part);
    const char *value = eq + 1;
    size_t value_len = len - name_len - 1;
    strip_blanks(&name, &name_len);
    strip_blanks(&value, &value_len);
    if (equals(name, name_len, "time")) {
        if (!equals(value, value_len, "0") && !equals(value, value_len, "1"))
            return "time is 0 or 1";
        __atomic_store_n(&dbgout_profile.time_enable, value[0] - '0', __ATOMIC_RELAXED);
        return nullptr;
    }
    const bool all = equals(name, name_len, "all");
    const lc_module *one = nullptr;
    for (const lc_module &m : lc_modules)
        if (equals(name, name_len, m.name))
            one = &m;
    if (!all && one == nullptr)
        return "no such module";
    const int32_t level = level_of(value, value_len);
    if (level < 0)
        return "not a level (0..7, err, info, debug)";
    for (const lc_module &m : lc_modules)
        if (all || &m == one)
            __atomic_store_n(m.level, level, __ATOMIC_RELAXED);
    return nullptr;
}

bool lc_levels_next(const char **text, lc_levels_part *bad)
{
    *bad = lc_levels_part();
    if (*text == nullptr || **text == '\0')
        return false;
    const char *part = *text;
    const char *comma = strchr(part, ',');
    size_t len = comma != nullptr ? (size_t)(comma - part) : strlen(part);
    *text = comma != nullptr ? comma + 1 : part + len;
    const char *trimmed = part;
    size_t trimmed_len = len;
    strip_blanks(&trimmed, &trimmed_len);
    if (trimmed_len > 0 && (bad->why = apply(trimmed, trimmed_len)) != nullptr) {
        bad->text = trimmed;
        bad->len = trimmed_len;
    }
    return true;
}
