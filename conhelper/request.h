/*
 * request.h - URL query parameters and response records.
 */
#ifndef LC_REQUEST_H
#define LC_REQUEST_H

#include "lc_defs.h"

#endif /* LC_REQUEST_H */
