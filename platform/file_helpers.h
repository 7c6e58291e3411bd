/*
 * file_helpers.h - whole-file reads and writes, path joining, mappings.
 */
#ifndef LC_FILE_HELPERS_H
#define LC_FILE_HELPERS_H

#include "lc_defs.h"

#endif /* LC_FILE_HELPERS_H */
