/*
 * start_levels.cpp - trace levels a process starts with, from the
 * environment: LIB_COMMON_LEVELS="lib=7,cc=debug,all=info,time=1".
 */
#include "common_internal.h"
#include "trace.h"

#include <string.h>

namespace {
struct Module {
    const char *name;
    int32_t *field; /* null: every module ("all") */
};
}  // namespace

static const Module modules[] = {
    {"lib", &dbgout_profile.lib_level}, {"para", &dbgout_profile.para_level},
    {"cc", &dbgout_profile.cc_level},   {"visca", &dbgout_profile.visca_level},
    {"net", &dbgout_profile.net_level}, {"module", &dbgout_profile.module_level},
    {"mpp", &dbgout_profile.mpp_level}, {"all", nullptr},
};

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

/* Applies one "name=value" part; false when name or value is unknown. */
static bool apply(const char *part, size_t len)
{
    const char *eq = static_cast<const char *>(memchr(part, '=', len));
    if (eq == nullptr)
        return false;
    const char *name = part;
    size_t name_len = (size_t)(eq - part);
    const char *value = eq + 1;
    size_t value_len = len - name_len - 1;
    strip_blanks(&name, &name_len);
    strip_blanks(&value, &value_len);
    if (equals(name, name_len, "time")) {
        if (!equals(value, value_len, "0") && !equals(value, value_len, "1"))
            return false;
        __atomic_store_n(&dbgout_profile.time_enable, value[0] - '0', __ATOMIC_RELAXED);
        return true;
    }
    const int32_t level = level_of(value, value_len);
    for (const Module &m : modules) {
        if (level < 0 || !equals(name, name_len, m.name))
            continue;
        for (const Module &each : modules)
            if (each.field != nullptr && (m.field == nullptr || each.field == m.field))
                __atomic_store_n(each.field, level, __ATOMIC_RELAXED);
        return true;
    }
    return false;
}

bool lc_levels_next(const char **text, const char **bad, int *bad_len)
{
    *bad = nullptr;
    *bad_len = 0;
    if (*text == nullptr || **text == '\0')
        return false;
    const char *part = *text;
    const char *comma = strchr(part, ',');
    size_t len = comma != nullptr ? (size_t)(comma - part) : strlen(part);
    *text = comma != nullptr ? comma + 1 : part + len;
    const char *trimmed = part;
    size_t trimmed_len = len;
    strip_blanks(&trimmed, &trimmed_len);
    if (trimmed_len > 0 && !apply(trimmed, trimmed_len)) {
        *bad = trimmed;
        *bad_len = (int)trimmed_len;
    }
    return true;
}
