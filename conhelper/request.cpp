/*
 * request.cpp - URL query parameters and response records.
 */
#include "request.h"
#include "conhelper_internal.h"

#include <stdlib.h>
#include <string.h>

/* Longest name set accepts, longest value a parameter holds, and the
   longest name or raw value a query segment may carry. */
static const size_t name_max = 255;
static const size_t value_max = 255;
static const size_t query_part_max = 63;

static request_param *request_find(request_t *req, const char *name)
{
    if (req == nullptr || name == nullptr)
        return nullptr;
    for (uint32_t i = 0; i < req->count; i++) {
        request_param *p = req->params[i];
        if (p != nullptr && strcmp(p->name, name) == 0)
            return p;
    }
    return nullptr;
}

static request_param *request_next(request_t *req)
{
    if (req == nullptr || req->cursor >= req->count)
        return nullptr;
    return req->params[req->cursor++];
}

static void request_rewind(request_t *req)
{
    if (req != nullptr)
        req->cursor = 0;
}

/* Copies value cut to 255 characters into a zeroed field. */
static void put_value(request_param *p, const char *value)
{
    memset(p->value, 0, sizeof p->value);
    memcpy(p->value, value, strnlen(value, value_max));
}

/* Appends a parameter; null leaves the record exactly as it was. */
static request_param *request_append(request_t *req, const char *name, size_t name_len, const char *value)
{
    request_param *p = static_cast<request_param *>(calloc(1, sizeof(request_param)));
    if (p == nullptr)
        return nullptr;
    void *table = lc_table_make_room(req->params, req->count, &req->capacity);
    if (table == nullptr) {
        free(p);
        return nullptr;
    }
    req->params = static_cast<request_param **>(table);
    memcpy(p->name, name, name_len);
    put_value(p, value);
    req->params[req->count++] = p;
    return p;
}

/* An existing name gets the new value and the result is its value field;
   a new name is appended and the result is the new parameter. */
static void *request_set(request_t *req, const char *name, const char *value)
{
    if (req == nullptr || name == nullptr || value == nullptr)
        return nullptr;
    size_t name_len = strnlen(name, name_max + 1);
    if (name_len > name_max)
        return nullptr;
    request_param *p = request_find(req, name);
    if (p == nullptr)
        return request_append(req, name, name_len, value);
    put_value(p, value);
    return p->value;
}

static int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

/* Decodes %XX in place; the result is never longer than the input.  A '%'
   without two characters after it stays as it is, and the terminator is
   never stepped over. */
static void percent_decode(char *value)
{
    char work[2048];
    size_t out = 0;
    size_t i = 0;
    while (value[i] != '\0' && out < sizeof work - 1) {
        if (value[i] == '%' && value[i + 1] != '\0' && value[i + 2] != '\0') {
            int byte = 16 * hex_digit(value[i + 1]) + hex_digit(value[i + 2]);
            work[out++] = static_cast<char>(static_cast<unsigned char>(byte & 0xff));
            i += 3;
        } else {
            work[out++] = value[i++];
        }
    }
    work[out] = '\0';
    memcpy(value, work, out + 1);
}

/* Stores one "name=value" segment of len characters.  The name is the text
   before the first '=', the value all of the rest; an empty name ends the
   segment there.  A name or value too long for its field refuses the
   whole segment. */
static void *parse_segment(request_t *req, const char *seg, size_t len)
{
    const char *eq = static_cast<const char *>(memchr(seg, '=', len));
    size_t name_len = eq != nullptr ? static_cast<size_t>(eq - seg) : len;
    if (name_len > query_part_max)
        return nullptr;
    char name[query_part_max + 1] = {0};
    char value[query_part_max + 1] = {0};
    memcpy(name, seg, name_len);
    if (name_len > 0 && eq != nullptr) {
        size_t value_len = len - name_len - 1;
        if (value_len > query_part_max)
            return nullptr;
        memcpy(value, eq + 1, value_len);
    }
    request_set_fn set = req->set != nullptr ? req->set : request_set;
    if (value[0] == '\0')
        return set(req, name, name);
    percent_decode(value);
    return set(req, name, value);
}

static void *request_parse(request_t *req, const char *query)
{
    if (req == nullptr || query == nullptr)
        return nullptr;
    const char *seg = query;
    for (const char *amp = strchr(seg, '&'); amp != nullptr; amp = strchr(seg, '&')) {
        parse_segment(req, seg, static_cast<size_t>(amp - seg));
        seg = amp + 1;
    }
    return parse_segment(req, seg, strlen(seg));
}

extern "C" LC_API request_t *request_init(void)
{
    request_t *req = static_cast<request_t *>(calloc(1, sizeof(request_t)));
    if (req == nullptr)
        return nullptr;
    req->kind = 3;
    req->find = request_find;
    req->next = request_next;
    req->rewind = request_rewind;
    req->set = request_set;
    req->parse = request_parse;
    return req;
}

extern "C" LC_API void request_free(request_t *req)
{
    if (req == nullptr)
        return;
    for (uint32_t i = 0; i < req->count; i++)
        free(req->params[i]);
    free(req->params);
    free(req->first);
    free(req->second);
    free(req);
}

extern "C" LC_API response_t *response_init(void)
{
    response_t *resp = static_cast<response_t *>(calloc(1, sizeof(response_t)));
    if (resp != nullptr)
        resp->kind = 2;
    return resp;
}

extern "C" LC_API void response_free(response_t *resp)
{
    if (resp == nullptr)
        return;
    free(resp->body);
    free(resp);
}
