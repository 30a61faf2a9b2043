// The version the library was built as, for a program to compare with the
// headers it was compiled against.
#include "hbbtv_hac_version.h"

const char* vetu_hac_library_version(void) {
    return HBBTV_HAC_VERSION_STRING;
}
