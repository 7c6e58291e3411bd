/*
 * lifecycle.cpp - the library's settings record and its start and stop.
 */
#include "lib_common.h"

extern "C" {

LC_API common_profile_t common_profile = {
    0,           /* pool_adjust_enable */
    4,           /* pool_max_threads */
    0,           /* core_copy_enable */
    "/userdata", /* core_copy_dir */
};

}
