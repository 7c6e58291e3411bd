/*
 * version.cpp - the version the library was built as.
 */
#include "lc_version.h"

extern "C" LC_API const char *lc_version(void)
{
    return LC_VERSION_STRING;
}
