#include "hac_fixture.h"

#include <cstring>

namespace hac_test {

RawSender::RawSender(key_t key) { vetu_ipc_client_create(key, HAC_IPC_MTYPE, 0, HAC_IPC_CHUNK_SIZE, &client_); }

RawSender::~RawSender() { vetu_ipc_client_destroy(client_); }

int RawSender::send(const std::string& bytes) {
    std::string copy = bytes;
    IpcData payload = {static_cast<int32_t>(copy.size()), &copy[0]};
    return vetu_ipc_client_send(client_, &payload);
}

RawBrowser::RawBrowser() {
    vetu_ipc_server_create(HAC_REQUEST_QUEUE_KEY, HAC_IPC_MTYPE, 1, HAC_IPC_CHUNK_SIZE, &server_);
    vetu_ipc_server_register_callback(server_, on_request, this);
}

RawBrowser::~RawBrowser() { vetu_ipc_server_destroy(server_); }

void RawBrowser::respond_with(Responder respond) {
    std::lock_guard<std::mutex> lock(mutex_);
    respond_ = std::move(respond);
}

void RawBrowser::answer_with(const std::string& text) { respond_with([text](const Json::Value&) { return text; }); }

std::vector<Json::Value> RawBrowser::texts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return texts_;
}

bool RawBrowser::wait_texts(size_t n) { return wait_until([&] { return texts().size() >= n; }); }

IpcData* RawBrowser::on_request(const IpcData* payload, void* self) {
    RawBrowser* raw = static_cast<RawBrowser*>(self);
    const Json::Value request = parse_json(payload->data);
    Responder respond;
    {
        std::lock_guard<std::mutex> lock(raw->mutex_);
        raw->texts_.push_back(request);
        respond = raw->respond_;
    }
    const std::string answer = respond(request);
    if (answer.empty()) return nullptr;
    return new IpcData{static_cast<int32_t>(answer.size()), strdup(answer.c_str())};
}

}  // namespace hac_test
