/*
 * table.cpp - the pointer tables of the configuration store and the request
 * record, both growing by 8 slots.
 */
#include "conhelper_internal.h"

#include <assert.h>
#include <stdlib.h>

void *lc_table_make_room(void *table, uint32_t count, uint32_t *capacity)
{
    assert(count <= *capacity);
    if (count < *capacity)
        return table;
    if (*capacity > UINT32_MAX - 8)
        return nullptr;
    uint32_t grown = *capacity + 8;
    void *moved = realloc(table, static_cast<size_t>(grown) * sizeof(void *));
    if (moved != nullptr)
        *capacity = grown;
    return moved;
}
