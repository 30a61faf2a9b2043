// The texts of the status codes, made from the one list in vetu_status.h.
#include "vetu_status.h"

extern "C" const char* vetu_status_text(int status) {
    switch (status) {
#define VETU_STATUS_CASE(name, value, text) \
    case value:                             \
        return text;
        VETU_STATUS_LIST(VETU_STATUS_CASE)
#undef VETU_STATUS_CASE
        default:
            return "unknown status";
    }
}
