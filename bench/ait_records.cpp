#include "ait_records.h"

#include <json/json.h>

namespace hac_bench {

namespace {

const char* const kNames[] = {"Startleiste", "Mediathek", "Nachrichten", "Sport live", "Wetter", "Teletext",
                              "Programmfuehrer", "Kinderkanal", "Gewinnspiel", "Werbung interaktiv", "Archiv",
                              "Barrierefrei"};

TranProtocol http_transport(int index, size_t padding) {
    TranProtocol tp;
    tp.pi = 3;
    tp.bu = "https://hbbtv.broadcaster.example/apps/" + std::to_string(index) + "/";
    tp.ip = "index.html?service=28106&lang=deu&profile=2";
    if (padding > 0) tp.ip += "&ctx=" + std::string(padding, 'x');
    tp.pp = 0;
    return tp;
}

TranProtocol carousel_transport() {
    TranProtocol tp;
    tp.pi = 1;
    tp.bu = "dvb://1.3f3.6dca.b/";
    tp.ip = "start/index.html";
    tp.pp = 12;
    return tp;
}

}  // namespace

VetuAITAppInfo realistic_record(int index, size_t padding) {
    VetuAITAppInfo info;
    info.appid = 10 + index;
    info.orgid = 0x17 + index % 3;
    info.visib = 3;
    info.prior = 1 + index % 5;
    info.ctrco = index == 0 ? 1 : 2;
    info.ipflag = 0;
    info.tranprotocols = {http_transport(index, padding), carousel_transport()};
    info.trprn = static_cast<int>(info.tranprotocols.size());
    info.isb = true;
    info.bd = {"https://hbbtv.broadcaster.example/", "https://media.broadcaster.example/", "dvb://1.3f3"};
    info.bn = static_cast<int>(info.bd.size());
    info.lang = 0;
    info.iso[0] = 'd';
    info.iso[1] = 'e';
    info.iso[2] = 'u';
    info.name = kNames[index % 12];
    info.iconloc = "https://hbbtv.broadcaster.example/apps/" + std::to_string(index) + "/icon_128x128.png";
    info.iconflag = 4;
    info.appuse = 0;
    info.serid = 28106;
    info.aitver = 7;
    info.apptype = 0x10;
    info.profile = 0;
    info.profileversion = 0x010500;
    return info;
}

size_t app_info_message_length(const std::vector<VetuAITAppInfo>& records) {
    Json::Value message(Json::objectValue);
    message["t"] = Json::Value(102u);
    message["num"] = Json::Value(static_cast<int>(records.size()));
    for (size_t i = 0; i < records.size(); i++) {
        std::string text;
        aitappinfo_packet(&records[i], text);
        message["ai" + std::to_string(i)] = Json::Value(text);
    }
    return message.toStyledString().size();
}

std::vector<VetuAITAppInfo> records_near_limit(int count, size_t limit) {
    std::vector<VetuAITAppInfo> best;
    for (size_t padding = 0;; padding += 4) {
        std::vector<VetuAITAppInfo> records;
        for (int i = 0; i < count; i++) records.push_back(realistic_record(i, padding));
        if (app_info_message_length(records) > limit) return best;
        best = records;
    }
}

}  // namespace hac_bench
