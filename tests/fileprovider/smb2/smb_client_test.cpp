// test-labels: unit tsan
#include "fileprovider/smb2/SMBClient.hpp"

#include "platform/dispatch/OperationQueue.hpp"
#include "support/Wait.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace RiridOzizevud;

namespace {

using Log = std::shared_ptr<std::vector<std::string>>;

// An input stream over a count of bytes that records every read. `liar` keeps claiming bytes that
// its reads never deliver, as a failed socket can.
class FakeInput : public SMBInputStream {
public:
    FakeInput(std::size_t bytes, Log log = nullptr, bool liar = false)
        : remaining_(bytes), log_(std::move(log)), liar_(liar) {}

    std::ptrdiff_t read(uint8_t* buffer, std::size_t maxLength) override {
        std::lock_guard lock(mutex_);
        reads_.push_back(maxLength);
        if (liar_) return -1;
        const std::size_t n = std::min(remaining_, maxLength);
        std::fill(buffer, buffer + n, 0x5A);
        remaining_ -= n;
        return static_cast<std::ptrdiff_t>(n);
    }
    bool hasBytesAvailable() const override {
        std::lock_guard lock(mutex_);
        return liar_ || remaining_ > 0;
    }
    void close() override {
        if (log_) log_->push_back("input closed");
        SMBStream::close();
    }
    std::vector<std::size_t> reads() const {
        std::lock_guard lock(mutex_);
        return reads_;
    }
    std::size_t remaining() const {
        std::lock_guard lock(mutex_);
        return remaining_;
    }

private:
    mutable std::mutex mutex_;
    std::size_t remaining_;
    Log log_;
    bool liar_;
    std::vector<std::size_t> reads_;
};

class FakeOutput : public SMBOutputStream {
public:
    explicit FakeOutput(Log log = nullptr) : log_(std::move(log)) {}
    void close() override {
        if (log_) log_->push_back("output closed");
        SMBStream::close();
    }

private:
    Log log_;
};

} // namespace

TEST(SMBClient, StartsWithItsHostAndNoStreams) {
    const auto client = SMBClient::make("files.example", 445);
    ASSERT_TRUE(client->host());
    EXPECT_EQ(client->host()->hostname, "files.example");
    EXPECT_EQ(client->host()->port, 445);
    EXPECT_EQ(client->inputStream(), nullptr);
    EXPECT_EQ(client->outputStream(), nullptr);
    EXPECT_EQ(client->service(), nullptr);
    EXPECT_EQ(client->timeout(), 30);
    EXPECT_EQ(client->messageId(), 0u);
    EXPECT_EQ(client->credit(), 0u);
    EXPECT_EQ(client->sessionId(), 0u);
    EXPECT_TRUE(client->establishedTrees().empty());
    EXPECT_TRUE(client->requestStack().empty());
    EXPECT_TRUE(client->responseStack().empty());
    EXPECT_TRUE(client->currentHandlingData().empty());
    EXPECT_EQ(client->expectedBytes(), 0);
    ASSERT_NE(client->operation_queue(), nullptr);
    EXPECT_EQ(client->operation_queue()->name(), "FileProviderStreamTask");
    EXPECT_EQ(client->operation_queue()->maxConcurrentOperationCount(), 1);
}

TEST(SMBClient, DrainsOnlyItsInputStreamWhenItHasBytes) {
    using Event = SMBStreamEvent;
    struct Case {
        const char* name;
        bool fromInput;
        Event event;
        std::vector<std::size_t> reads;
    };
    // 150000 bytes: two full reads and the rest.
    const std::vector<Case> cases = {
        {"bytes on input", true, Event::hasBytesAvailable, {65536, 65536, 65536}},
        {"bytes with other events", true, Event{Event::openCompleted, Event::hasBytesAvailable}, {65536, 65536, 65536}},
        {"open on input", true, Event::openCompleted, {}},
        {"end on input", true, Event{Event::endEncountered, Event::errorOccurred}, {}},
        {"no event", true, Event{}, {}},
        {"bytes on output", false, Event::hasBytesAvailable, {}},
        {"space on output", false, Event::hasSpaceAvailable, {}},
    };
    for (const Case& c : cases) {
        const auto client = SMBClient::make("h", 445);
        const auto input = std::make_shared<FakeInput>(150000);
        const auto output = std::make_shared<FakeOutput>();
        client->setInputStream(input);
        client->setOutputStream(output);
        client->setCurrentHandlingData({1, 2, 3});
        client->setExpectedBytes(77);

        client->stream(c.fromInput ? std::shared_ptr<SMBStream>(input) : std::shared_ptr<SMBStream>(output), c.event);

        EXPECT_EQ(input->reads(), c.reads) << c.name;
        EXPECT_EQ(input->remaining(), c.reads.empty() ? 150000u : 0u) << c.name;
        // What is read is not kept.
        EXPECT_EQ(client->currentHandlingData(), (platform::Data{1, 2, 3})) << c.name;
        EXPECT_EQ(client->expectedBytes(), 77) << c.name;
    }
}

TEST(SMBClient, IgnoresEventsOfStreamsNotItsOwn) {
    const auto client = SMBClient::make("h", 445);
    const auto stranger = std::make_shared<FakeInput>(10);
    client->stream(stranger, SMBStreamEvent::hasBytesAvailable);  // no input stream at all
    client->setInputStream(std::make_shared<FakeInput>(10));
    client->stream(stranger, SMBStreamEvent::hasBytesAvailable);  // another input stream
    EXPECT_TRUE(stranger->reads().empty());
    EXPECT_EQ(stranger->remaining(), 10u);
}

TEST(SMBClient, StopsDrainingAStreamWhoseReadsFail) {
    const auto client = SMBClient::make("h", 445);
    const auto input = std::make_shared<FakeInput>(0, nullptr, true);
    client->setInputStream(input);
    // Run where a hang can be seen: the stream claims bytes for ever.
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    std::thread([client, input, done] {
        client->stream(input, SMBStreamEvent::hasBytesAvailable);
        done->set_value();
    }).detach();
    ASSERT_TRUE(ostrane_test::becomesReady(finished));
    EXPECT_EQ(input->reads(), (std::vector<std::size_t>{65536}));
}

TEST(SMBClient, CloseClosesUnschedulesAndForgetsBothStreams) {
    const auto log = std::make_shared<std::vector<std::string>>();
    const auto client = SMBClient::make("h", 445);
    const auto input = std::make_shared<FakeInput>(10, log);
    const auto output = std::make_shared<FakeOutput>(log);
    for (const std::shared_ptr<SMBStream>& s : {std::shared_ptr<SMBStream>(input), std::shared_ptr<SMBStream>(output)}) {
        s->setDelegate(client);
        s->schedule(kCFRunLoopDefaultMode);
    }
    client->setInputStream(input);
    client->setOutputStream(output);

    client->close();

    EXPECT_EQ(*log, (std::vector<std::string>{"input closed", "output closed"}));
    for (const std::shared_ptr<SMBStream>& s : {std::shared_ptr<SMBStream>(input), std::shared_ptr<SMBStream>(output)}) {
        EXPECT_TRUE(s->isClosed());
        EXPECT_FALSE(s->isScheduled(kCFRunLoopDefaultMode));
        EXPECT_EQ(s->delegate(), nullptr);
    }
    EXPECT_EQ(client->inputStream(), nullptr);
    EXPECT_EQ(client->outputStream(), nullptr);

    client->close();  // nothing left to close
    EXPECT_EQ(log->size(), 2u);
}

TEST(SMBClient, ReleaseClosesTheStreams) {
    const auto log = std::make_shared<std::vector<std::string>>();
    const auto input = std::make_shared<FakeInput>(10, log);
    const auto output = std::make_shared<FakeOutput>(log);
    {
        const auto client = SMBClient::make("h", 445);
        input->setDelegate(client);
        output->setDelegate(client);
        input->schedule(kCFRunLoopDefaultMode);
        output->schedule(kCFRunLoopDefaultMode);
        client->setInputStream(input);
        client->setOutputStream(output);
    }
    EXPECT_EQ(*log, (std::vector<std::string>{"input closed", "output closed"}));
    EXPECT_TRUE(input->isClosed());
    EXPECT_TRUE(output->isClosed());
    EXPECT_FALSE(input->isScheduled(kCFRunLoopDefaultMode));
    EXPECT_FALSE(output->isScheduled(kCFRunLoopDefaultMode));
    EXPECT_EQ(input->delegate(), nullptr);
    EXPECT_EQ(output->delegate(), nullptr);
}
