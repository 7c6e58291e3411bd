/*
 * lc_modules_internal.h - the seven trace modules, written once: their
 * names, the letters of their level codes and their fields in
 * dbgout_profile.  The level commands, the start-up levels and lcctl's
 * status all come from here.  Not installed; nothing here is exported.
 */
#ifndef LC_MODULES_INTERNAL_H
#define LC_MODULES_INTERNAL_H

#include <stdint.h>

/* X(name, letter) for every module, in the order "help" lists their rows. */
#define LC_MODULES(X) X(lib, "L") X(para, "p") X(cc, "C") X(visca, "V") X(module, "M") X(net, "N") X(mpp, "P")

struct lc_module {
    const char *name; /* "lib", ...: the command key is name "_level" */
    char letter;      /* of its level codes, "L3" ... */
    int32_t *level;   /* its field in dbgout_profile */
};

enum { LC_MODULE_COUNT = 7 };
extern const lc_module lc_modules[LC_MODULE_COUNT];

#endif /* LC_MODULES_INTERNAL_H */
