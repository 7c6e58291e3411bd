/*
 * conhelper_internal.h - helpers shared by the conhelper files.
 * Not installed; nothing here is exported.
 */
#ifndef LC_CONHELPER_INTERNAL_H
#define LC_CONHELPER_INTERNAL_H

#include <stdint.h>

/* Makes room for one more pointer in a table that grows by 8 slots: when
   count has reached *capacity, resizes the table and raises *capacity.
   Returns the table (moved, perhaps), or null when out of memory, in which
   case the table and *capacity are as they were. */
void *lc_table_make_room(void *table, uint32_t count, uint32_t *capacity);

#endif /* LC_CONHELPER_INTERNAL_H */
