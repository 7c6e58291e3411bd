/*
 * buffer.cpp - growable string buffer (conhelper/buffer).
 */
#include "buffer.h"
#include "common_internal.h"

extern "C" LC_API char *trim(char *s, const char *set)
{
    return lc_strip(s, set);
}
