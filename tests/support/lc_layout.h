// Compile-time checks of a field's offset or a record's size, on 32-bit ARM (ILP32: first number) and the 64-bit host.
#pragma once

#include <stddef.h>
#include <stdint.h>

#define LC_LAYOUT_PICK(ilp32, lp64) (UINTPTR_MAX == 0xffffffffu ? (ilp32) : (lp64))
#define LC_OFFSET(type, field, ilp32, lp64) \
    static_assert(offsetof(type, field) == LC_LAYOUT_PICK(ilp32, lp64), #type "." #field)
#define LC_SIZE(type, ilp32, lp64) static_assert(sizeof(type) == LC_LAYOUT_PICK(ilp32, lp64), "sizeof " #type)
