/* c_api_check.c - compiled as strict C89 with the library, so that krvdlc_client.h stays
 * usable from C programs of the platform's era. */
#include "client/krvdlc_client.h"

int krvdlc_c_api_check(void)
{
    krvdlc_error error;
    krvdlc_frame_fields fields = {KRVDLC_MEDIUM_ETHERNET};
    krvdlc_u32 size = 0;
    return krvdlc_build_frame(&fields, NULL, 0, &size, &error) == KRVDLC_E_BUFFER_TOO_SMALL ? 0 : 1;
}
