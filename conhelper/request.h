/**
 * \file
 * \defgroup lib_common_request Request parameters
 * \ingroup lib_common_text
 * request.h - URL query parameters and response records.
 *
 * A request record parses a query text "name=value&name=value" into an
 * ordered table of parameters, percent-decoding the values (not the names;
 * '+' stays '+').  Its operations are slots called with the record itself:
 *
 *     request_t *req = request_init();
 *     req->parse(req, "id=7&name=cam%201&flag");
 *     request_param *p = req->find(req, "name");     // value "cam 1"
 *     for (req->rewind(req); (p = req->next(req)) != NULL; ) ...
 *     request_free(req);
 *
 * A segment without '=' or with nothing after it is a flag: its value is
 * its own name.  A later duplicate replaces the earlier value and keeps the
 * earlier position.  The query text is never modified.
 *
 * Limits and bad input:
 *  - In a query, a name and a raw (still encoded) value hold at most 63
 *    characters each.  A segment with a longer name or value is refused as
 *    a whole: nothing of it is stored, and the other segments are parsed as
 *    usual.
 *  - set takes names of at most 255 characters (longer: refused, null) and
 *    cuts values to 255 characters.
 *  - A '%' followed by fewer than two characters is kept as it stands with
 *    what follows it; decoding never reads past the end of the value.  An
 *    invalid hex digit counts as -1: "%zz" gives the byte (16 * -1 - 1)
 *    modulo 256.
 *  - Out of memory: request_init and response_init return null; a set that
 *    would add a parameter returns null and leaves the record as it was.
 *  - Null record, name, value or query: null (or nothing); nothing stored.
 *
 * No locking: a request belongs to one thread (or to one at a time).
 * Different records are independent.
 * @{
 */
#ifndef LC_REQUEST_H
#define LC_REQUEST_H

#include "lc_defs.h"

LC_BEGIN_DECLS

/** One parameter; fields in this order are part of the interface. */
typedef struct request_param {
    char name[256];   /**< NUL-terminated */
    char value[256];  /**< NUL-terminated, at most 255 characters */
    uint8_t spare[3]; /**< not used; keeps the record's size */
} request_param;

/** The request's type name (the record is request_t, below). */
typedef struct request_t request_t;

/* Slot types: each takes the request as its first argument. */
/** Type of the find slot. */
typedef request_param *(*request_find_fn)(request_t *req, const char *name);
/** Type of the next slot. */
typedef request_param *(*request_next_fn)(request_t *req);
/** Type of the rewind slot. */
typedef void (*request_rewind_fn)(request_t *req);
/** Type of the set slot. */
typedef void *(*request_set_fn)(request_t *req, const char *name, const char *value);
/** Type of the parse slot. */
typedef void *(*request_parse_fn)(request_t *req, const char *query);

/** A request record; request_init makes it, request_free releases it.  Its
    operations are the slots below, called with the record itself.

    Thread safety: every slot, on one thread at a time per record. */
struct request_t {
    int32_t kind;           /**< 3 */
    char *first;            /**< caller's text, freed by request_free */
    int32_t first_used;     /**< counters of first, kept by the caller */
    int32_t first_size;     /**< the caller's, not used by the library */
    int32_t first_spare;    /**< the caller's, not used by the library */
    char *second;           /**< caller's text, freed by request_free */
    int32_t second_used;    /**< counters of second, kept by the caller */
    int32_t second_size;    /**< the caller's, not used by the library */
    int32_t second_spare;   /**< the caller's, not used by the library */
    request_param **params; /**< table in insertion order; null until the first */
    uint32_t count;         /**< parameters in use */
    uint32_t capacity;      /**< slots in the table; grows by 8 */
    uint32_t cursor;        /**< position of next */
    /** Parameter with this name, or null.

        Thread safety: one thread at a time per record. */
    request_find_fn find;
    /** Parameter at the cursor, advancing it; null past the last.

        Thread safety: one thread at a time per record. */
    request_next_fn next;
    /** Cursor back to the first parameter.

        Thread safety: one thread at a time per record. */
    request_rewind_fn rewind;
    /** Replaces the value of an existing name and returns that parameter's
        value field, or appends a parameter and returns it; null when refused
        or out of memory.

        Thread safety: one thread at a time per record. */
    request_set_fn set;
    /** Parses a query; returns the set result of its last segment (null when
        that segment was refused).

        Thread safety: one thread at a time per record; the query is only
        read. */
    request_parse_fn parse;
};

/** A response record; response_init makes it, response_free releases it. */
typedef struct response_t {
    int32_t spare0;   /**< the caller's, not used by the library */
    int32_t kind;     /**< 2 */
    char *body;       /**< freed by response_free */
    int32_t spare[3]; /**< the caller's, not used by the library */
} response_t;

/** New request with its slots set, kind 3; null when out of memory.

    Thread safety: any thread. */
LC_API request_t *request_init(void);
/** Frees the parameters, both texts and the record; null is ignored.

    Thread safety: the thread that has the record, once nothing else uses
    it. */
LC_API void request_free(request_t *req);
/** New response, kind 2; null when out of memory.

    Thread safety: any thread. */
LC_API response_t *response_init(void);
/** Frees the body and the record; null is ignored.

    Thread safety: the thread that has the record, once nothing else uses
    it. */
LC_API void response_free(response_t *resp);

LC_END_DECLS

/** @} */

#endif /* LC_REQUEST_H */
