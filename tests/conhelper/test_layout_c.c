/* The conhelper records as compiled by C, for the layout test. */
#include "lib_common.h"

size_t lc_conhelper_c_size(int which);

size_t lc_conhelper_c_size(int which)
{
    const size_t sizes[] = {sizeof(buffer),         sizeof(configure_entry),
                            sizeof(configure_store), sizeof(config_key),
                            sizeof(config_textbuf), sizeof(request_t),
                            sizeof(response_t),     sizeof(stateM_transition),
                            sizeof(stateM_state),   sizeof(stateM_machine)};
    return which >= 0 && (size_t)which < sizeof sizes / sizeof sizes[0] ? sizes[which] : 0;
}
