// Links against the installed library and calls one function of each part,
// so that a missing export, header or dependency fails the build or the run.
// This file includes the headers by bare name, consumer_prefixed.cpp with
// their folder.
#include <json/json.h>
#include <vetu_hac.h>

#include <cstdio>
#include <string>

extern "C" int consumer_c_checks(void);
int consumer_version_checks();

static int codec_checks() {
    VetuAITAppInfo info{};
    info.appid = 7;
    std::string text;
    if (aitappinfo_packet(&info, text) != 0 || text.empty()) return 11;
    if (aitappinfo_unpacket(Json::Value(), nullptr) != -3) return 12;
    return 0;
}

int main() {
    int rc = consumer_c_checks();
    if (rc == 0) rc = codec_checks();
    if (rc == 0) rc = consumer_version_checks();
    // Finalize without Initialize touches no queue.
    if (rc == 0 && Vetu_HAC_Server_Finalize() != 0) rc = 21;
    std::printf("hac_consumer: %s (%d)\n", rc == 0 ? "ok" : "failed", rc);
    return rc;
}
