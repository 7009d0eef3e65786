#include "fakes/FakeSpeech.h"

namespace parlando::testing {

std::optional<WebSocketRequest> FakeSocketRecord::request() const {
    std::lock_guard g(mutex_);
    return request_;
}
std::vector<FakeWireMessage> FakeSocketRecord::sent() const {
    std::lock_guard g(mutex_);
    return sent_;
}
std::optional<int> FakeSocketRecord::closeCode() const {
    std::lock_guard g(mutex_);
    return closeCode_;
}
std::size_t FakeSocketRecord::batches() const {
    std::lock_guard g(mutex_);
    return batches_;
}
void FakeSocketRecord::open() const {
    if (events_.onOpen) events_.onOpen();
}
void FakeSocketRecord::text(const std::string& t) const {
    if (events_.onText) events_.onText(t);
}
void FakeSocketRecord::fail(const std::string& d) const {
    if (events_.onFailure) events_.onFailure(d);
}
void FakeSocketRecord::closed(int code, const std::string& reason) const {
    if (events_.onClose) events_.onClose(code, reason);
}

void FakeWebSocket::open(const WebSocketRequest& request) {
    std::lock_guard g(record_->mutex_);
    record_->request_ = request;
}
void FakeWebSocket::sendBinary(std::vector<std::uint8_t> data) {
    std::lock_guard g(record_->mutex_);
    record_->sent_.push_back({true, std::string(data.begin(), data.end())});
}
void FakeWebSocket::sendBinaryBatch(std::vector<std::vector<std::uint8_t>> chunks) {
    std::lock_guard g(record_->mutex_);
    ++record_->batches_;
    for (auto& c : chunks) record_->sent_.push_back({true, std::string(c.begin(), c.end())});
}
void FakeWebSocket::sendText(std::string text) {
    std::lock_guard g(record_->mutex_);
    record_->sent_.push_back({false, std::move(text)});
}
void FakeWebSocket::close(int code) {
    std::lock_guard g(record_->mutex_);
    if (!record_->closeCode_) record_->closeCode_ = code;
}

std::unique_ptr<WebSocket> FakeWebSocketFactory::create(WebSocketEvents events) {
    auto record = std::make_shared<FakeSocketRecord>();
    record->events_ = std::move(events);
    {
        std::lock_guard g(mutex_);
        sockets_.push_back(record);
    }
    return std::make_unique<FakeWebSocket>(record);
}
std::size_t FakeWebSocketFactory::created() const {
    std::lock_guard g(mutex_);
    return sockets_.size();
}
std::shared_ptr<FakeSocketRecord> FakeWebSocketFactory::last() const {
    std::lock_guard g(mutex_);
    return sockets_.empty() ? nullptr : sockets_.back();
}

}  // namespace parlando::testing
