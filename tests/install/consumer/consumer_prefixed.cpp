// The same headers spelled with their folder, as a project that keeps only
// <prefix>/include on its include path writes them. Also checks that the
// library the program runs with is the release its headers come from.
#include <hbbtv_hac/hac_message_type.h>
#include <hbbtv_hac/hbbtv_hac_version.h>
#include <hbbtv_hac/vetu_hac.h>
#include <hbbtv_hac/vetu_ipc.h>
#include <hbbtv_hac/vetu_log.h>

#include <cstring>

int consumer_version_checks() {
    const char* loaded = vetu_hac_library_version();
    if (loaded == nullptr || std::strcmp(loaded, HBBTV_HAC_VERSION_STRING) != 0) return 31;
#ifdef HAC_EXPECTED_VERSION
    if (std::strcmp(loaded, HAC_EXPECTED_VERSION) != 0) return 32;
#endif
    return 0;
}
