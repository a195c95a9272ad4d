#include "fileprovider/smb2/SMBClient.hpp"

#include "platform/dispatch/OperationQueue.hpp"

#include <algorithm>

namespace RiridOzizevud {

std::shared_ptr<SMBClient> SMBClient::make(const std::string& host, int64_t port) {
    return std::make_shared<SMBClient>(Token{}, host, port);
}

SMBClient::SMBClient(Token, const std::string& host, int64_t port)
    : operation_queue_(platform::OperationQueue::make("FileProviderStreamTask")), host_(Host{host, port}) {
    operation_queue_->setMaxConcurrentOperationCount(1);
}

SMBClient::~SMBClient() { close(); }

std::shared_ptr<SMBInputStream> SMBClient::inputStream() const {
    std::lock_guard lock(mutex_);
    return inputStream_;
}

void SMBClient::setInputStream(std::shared_ptr<SMBInputStream> stream) {
    std::lock_guard lock(mutex_);
    inputStream_ = std::move(stream);
}

std::shared_ptr<SMBOutputStream> SMBClient::outputStream() const {
    std::lock_guard lock(mutex_);
    return outputStream_;
}

void SMBClient::setOutputStream(std::shared_ptr<SMBOutputStream> stream) {
    std::lock_guard lock(mutex_);
    outputStream_ = std::move(stream);
}

std::shared_ptr<platform::OperationQueue> SMBClient::operation_queue() const {
    std::lock_guard lock(mutex_);
    return operation_queue_;
}

std::optional<SMBClient::Host> SMBClient::host() const {
    std::lock_guard lock(mutex_);
    return host_;
}

std::shared_ptr<NetService> SMBClient::service() const {
    return service_.get();
}

void SMBClient::setService(std::shared_ptr<NetService> service) {
    service_.set(std::move(service));
}

double SMBClient::timeout() const {
    return timeout_.get();
}

void SMBClient::setTimeout(double seconds) {
    timeout_.set(seconds);
}

uint64_t SMBClient::messageId() const {
    return messageId_.get();
}

void SMBClient::setMessageId(uint64_t messageId) {
    messageId_.set(messageId);
}

uint16_t SMBClient::credit() const {
    return credit_.get();
}

void SMBClient::setCredit(uint16_t credit) {
    credit_.set(credit);
}

uint64_t SMBClient::sessionId() const {
    return sessionId_.get();
}

void SMBClient::setSessionId(uint64_t sessionId) {
    sessionId_.set(sessionId);
}

platform::Data SMBClient::currentHandlingData() const {
    return currentHandlingData_.get();
}

void SMBClient::setCurrentHandlingData(platform::Data data) {
    currentHandlingData_.set(std::move(data));
}

int64_t SMBClient::expectedBytes() const {
    return expectedBytes_.get();
}

void SMBClient::setExpectedBytes(int64_t expectedBytes) {
    expectedBytes_.set(expectedBytes);
}

std::vector<SMB2::TreeConnectResponse> SMBClient::establishedTrees() const {
    std::lock_guard lock(mutex_);
    return establishedTrees_;
}

std::map<int64_t, SMBClient::Request> SMBClient::requestStack() const {
    std::lock_guard lock(mutex_);
    return requestStack_;
}

std::map<int64_t, SMBClient::Response> SMBClient::responseStack() const {
    std::lock_guard lock(mutex_);
    return responseStack_;
}

void SMBClient::close() {
    std::shared_ptr<SMBInputStream> input;
    std::shared_ptr<SMBOutputStream> output;
    {
        std::lock_guard lock(mutex_);
        input = std::move(inputStream_);
        output = std::move(outputStream_);
        inputStream_.reset();
        outputStream_.reset();
    }
    // The streams are called without our lock: a stream may report to its delegate as it closes.
    if (input) input->close();
    if (output) output->close();
    if (input) input->remove(kCFRunLoopDefaultMode);
    if (output) output->remove(kCFRunLoopDefaultMode);
    if (input) input->setDelegate(nullptr);
    if (output) output->setDelegate(nullptr);
}

void SMBClient::stream(const std::shared_ptr<SMBStream>& aStream, SMBStreamEvent eventCode) {
    const auto input = inputStream();
    if (!input) return;
    if (aStream != input || !eventCode.contains(SMBStreamEvent::hasBytesAvailable)) return;
    std::vector<uint8_t> buffer(readChunkSize);
    while (input->hasBytesAvailable()) {
        std::fill(buffer.begin(), buffer.end(), 0);
        // A stream that says it has bytes but yields none (failed or at its end) would otherwise
        // keep this loop, and the run loop's thread, spinning for ever.
        if (input->read(buffer.data(), buffer.size()) <= 0) break;
    }
}

} // namespace RiridOzizevud
