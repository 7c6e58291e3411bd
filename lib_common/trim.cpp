/*
 * trim.cpp - in-place stripping of a character set from both ends of a text.
 */
#include "lib_helpers.h"
#include "common_internal.h"

#include <string.h>

/* Tab, line feed, vertical tab, form feed, carriage return, space, quote. */
static const char default_set[] = "\t\n\v\f\r \"";

char *lc_strip(char *s, const char *set)
{
    if (s == nullptr)
        return nullptr;
    if (set == nullptr)
        set = default_set;

    size_t len = strlen(s);
    while (len > 0 && strchr(set, s[len - 1]) != nullptr)
        s[--len] = '\0';

    /* What is left ends with a character outside the set, so the lead
       never reaches the end. */
    size_t lead = strspn(s, set);
    if (lead > 0)
        memmove(s, s + lead, len - lead + 1);
    return s;
}

extern "C" LC_API char *lib_trim(char *s, const char *set)
{
    return lc_strip(s, set);
}
