// test-labels: unit tsan
#include "fileprovider/ftp/FileProviderStreamTask.hpp"
#include "fileprovider/ftp/LoopbackPeer.hpp"

#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace RiridOzizevud;
using ostrane_test::await;
using ostrane_test::hangLimitSeconds;
using ostrane_test::LoopbackPeer;
using ostrane_test::waitUntil;
using platform::Data;
using platform::ErrorRef;
using platform::URLError;

namespace {

struct ReadResult {
    std::string text;
    bool hadData = false;
    bool atEnd = false;
    ErrorRef error;
};

ReadResult read(const std::shared_ptr<FileProviderStreamTask>& task, int64_t min, int64_t max, double timeout) {
    auto promise = std::make_shared<std::promise<ReadResult>>();
    auto future = promise->get_future();
    task->readData(min, max, timeout, [promise](std::optional<Data> data, bool atEnd, ErrorRef error) {
        ReadResult r;
        r.hadData = data.has_value();
        // Copied as a block: a byte-wise copy of megabytes is slow under the thread sanitizer.
        if (data) r.text.assign(reinterpret_cast<const char*>(data->data()), data->size());
        r.atEnd = atEnd;
        r.error = error;
        promise->set_value(r);
    });
    return await(future);
}

ErrorRef write(const std::shared_ptr<FileProviderStreamTask>& task, Data data, double timeout = hangLimitSeconds) {
    auto promise = std::make_shared<std::promise<ErrorRef>>();
    auto future = promise->get_future();
    task->write(std::move(data), timeout, [promise](ErrorRef e) { promise->set_value(e); });
    return await(future);
}

ErrorRef write(const std::shared_ptr<FileProviderStreamTask>& task, const std::string& text,
               double timeout = hangLimitSeconds) {
    return write(task, Data(text.begin(), text.end()), timeout);
}

bool isURLError(const ErrorRef& e, URLError::Code code) { return e && e->is(platform::NSURLErrorDomain, code); }

std::shared_ptr<platform::URLSession> sessionWith(double requestTimeout, std::optional<std::string> caFile = std::nullopt) {
    platform::URLSessionConfiguration config;
    config.timeoutIntervalForRequest = requestTimeout;
    config.tlsCAFile = std::move(caFile);
    return platform::URLSession::make(config);
}

struct Recorder : StreamTaskObserver {
    struct Note {
        std::string keyPath;
        int64_t oldValue, newValue;
        void* context;
    };
    std::mutex mutex;
    std::vector<Note> notes;
    void observeValue(const std::string& keyPath, const std::shared_ptr<FileProviderStreamTask>& object,
                      const platform::ValueDictionary& change, void* context) override {
        // Reading the counters from inside a notification must not block.
        (void)object->countOfBytesSent();
        (void)object->countOfBytesExpectedToSend();
        std::lock_guard lock(mutex);
        notes.push_back({keyPath, *change.at(NSKeyValueChangeOldKey).asInt64(), *change.at(NSKeyValueChangeNewKey).asInt64(),
                         context});
    }
    std::vector<Note> of(const std::string& keyPath) {
        std::lock_guard lock(mutex);
        std::vector<Note> out;
        for (auto& n : notes)
            if (n.keyPath == keyPath) out.push_back(n);
        return out;
    }
};

} // namespace

TEST(StreamTask, IdentifiersCountUpFromTheModuleBase) {
    auto a = fpstreamTask(nullptr, "127.0.0.1", 1);
    auto b = fpstreamTask(nullptr, "127.0.0.1", 1);
    EXPECT_GT(a->taskIdentifier(), FileProviderStreamTask::firstTaskIdentifierBase);
    EXPECT_EQ(b->taskIdentifier(), a->taskIdentifier() + 1);
    EXPECT_EQ(a->state(), FileProviderStreamTask::State::suspended);
    EXPECT_FALSE(a->originalRequest());
    EXPECT_FALSE(a->useURLSession());
    // Never resumed: suspending changes nothing, cancelling waits for a resume to finish.
    a->suspend();
    EXPECT_EQ(a->state(), FileProviderStreamTask::State::suspended);
    a->cancel();
    EXPECT_EQ(a->state(), FileProviderStreamTask::State::canceling);
}

TEST(StreamTask, ReadsHandOutWhatArrivedWithinTheirLimits) {
    LoopbackPeer peer;
    auto task = fpstreamTask(nullptr, "127.0.0.1", peer.port());
    task->resume();
    ASSERT_TRUE(peer.accept());

    peer.send("0123456789");
    auto r = read(task, 4, 2048, hangLimitSeconds);
    EXPECT_EQ(r.text, "0123456789");
    EXPECT_FALSE(r.error);

    const std::string big(3000, 'x');
    peer.send(big);
    // Wait until all of it is buffered, then read with a small maximum.
    ASSERT_TRUE(waitUntil([&] { return task->countOfBytesExpectedToReceive() >= 3000; }));
    r = read(task, 4, 2048, hangLimitSeconds);
    EXPECT_EQ(r.text.size(), 2048u);
    r = read(task, 4, 2048, hangLimitSeconds);
    EXPECT_EQ(r.text.size(), 952u);

    // A minimum the stream never reaches: what came is handed out at the time limit, no error.
    peer.send("ab");
    ASSERT_TRUE(waitUntil([&] { return task->countOfBytesExpectedToReceive() >= 2; }));
    r = read(task, 4, 2048, 0.5);
    EXPECT_EQ(r.text, "ab");
    EXPECT_FALSE(r.error);

    // Nothing at all within the limit.
    r = read(task, 1, 2048, 0.3);
    EXPECT_FALSE(r.hadData);
    EXPECT_TRUE(isURLError(r.error, URLError::timedOut));

    // The end: the read that sees it reports it, and every later read answers at once with no
    // bytes (a limit twice the wait bound shows a read that waits for it).
    peer.send("end");
    peer.closeConnection();
    std::string rest;
    bool atEnd = false;
    for (int i = 0; i < 5 && !atEnd; ++i) {
        r = read(task, 1, 2048, hangLimitSeconds);
        rest += r.text;
        atEnd = r.atEnd;
    }
    EXPECT_EQ(rest, "end");
    EXPECT_TRUE(atEnd);
    for (int i = 0; i < 2; ++i) {
        r = read(task, 1, 2048, 2 * hangLimitSeconds);
        EXPECT_FALSE(r.hadData);
        EXPECT_TRUE(r.atEnd);
        EXPECT_FALSE(r.error);
    }
}

TEST(StreamTask, ASlowReaderHoldsTheConnectionBackNotTheMemory) {
    LoopbackPeer peer;
    auto task = fpstreamTask(nullptr, "127.0.0.1", peer.port());
    task->resume();
    ASSERT_TRUE(peer.accept());
    const size_t total = 16 * 1024 * 1024;
    ostrane_test::FixtureThread sender("sender", [&] { peer.send(std::string(total, 'd')); });
    // Nobody reads: the buffer fills up to its limit and stays there.
    const auto limit = static_cast<int64_t>(FileProviderStreamTask::receiveBufferLimit);
    ASSERT_TRUE(waitUntil([&] { return task->countOfBytesExpectedToReceive() >= limit; }));
    std::this_thread::sleep_for(ostrane_test::quietPeriod);
    EXPECT_LT(task->countOfBytesExpectedToReceive(), 2 * static_cast<int64_t>(FileProviderStreamTask::receiveBufferLimit));
    size_t got = 0;
    while (got < total) {
        auto r = read(task, 1, 1 << 20, hangLimitSeconds);
        if (!r.hadData) break;
        got += r.text.size();
    }
    sender.join();
    EXPECT_EQ(got, total);
}

TEST(StreamTask, WritesQueuedBeforeResumeGoOutOnceResumed) {
    LoopbackPeer peer;
    auto task = fpstreamTask(nullptr, "127.0.0.1", peer.port());
    auto promise = std::make_shared<std::promise<ErrorRef>>();
    auto future = promise->get_future();
    task->write(Data{'h', 'i'}, hangLimitSeconds, [promise](ErrorRef e) { promise->set_value(e); });
    EXPECT_EQ(future.wait_for(ostrane_test::quietPeriod), std::future_status::timeout);
    task->resume();
    ASSERT_TRUE(peer.accept());
    EXPECT_FALSE(await(future));
    EXPECT_EQ(peer.receive(2), "hi");
}

TEST(StreamTask, CloseWriteSendsEverythingQueuedThenEndsTheStream) {
    LoopbackPeer peer;
    auto task = fpstreamTask(nullptr, "127.0.0.1", peer.port());
    task->resume();
    ASSERT_TRUE(peer.accept());
    std::vector<std::future<ErrorRef>> writes;
    for (const char* part : {"LIST /a\r\n", "NOOP\r\n", "QUIT\r\n"}) {
        auto promise = std::make_shared<std::promise<ErrorRef>>();
        writes.push_back(promise->get_future());
        std::string text = part;
        task->write(Data(text.begin(), text.end()), hangLimitSeconds, [promise](ErrorRef e) { promise->set_value(e); });
    }
    task->closeWrite();
    EXPECT_EQ(peer.receiveAll(), "LIST /a\r\nNOOP\r\nQUIT\r\n");
    for (auto& w : writes) EXPECT_FALSE(await(w));
    EXPECT_EQ(task->countOfBytesSent(), 21);
    EXPECT_EQ(task->countOfBytesExpectedToSend(), 21);
}

TEST(StreamTask, FailuresReachTheCompletions) {
    // Nobody listens.
    const int port = ostrane_test::freeLoopbackPort();
    auto refused = fpstreamTask(nullptr, "127.0.0.1", port);
    refused->resume();
    auto r = read(refused, 1, 10, hangLimitSeconds);
    EXPECT_FALSE(r.hadData);
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->domain(), platform::NSPOSIXErrorDomain);
    EXPECT_TRUE(write(refused, "x"));
    EXPECT_TRUE(refused->error());

    // A cancelled task refuses writes at once.
    refused->cancel();
    EXPECT_TRUE(isURLError(write(refused, "x"), URLError::cancelled));

    // A read queued on a task that is dropped before it ever runs still completes.
    auto promise = std::make_shared<std::promise<ErrorRef>>();
    auto future = promise->get_future();
    {
        auto never = fpstreamTask(nullptr, "127.0.0.1", port);
        never->readData(1, 10, 1, [promise](std::optional<Data>, bool, ErrorRef e) { promise->set_value(e); });
    }
    EXPECT_TRUE(isURLError(await(future), URLError::cancelled));
}

TEST(StreamTask, AWriteThatCannotFinishInTimeFails) {
    LoopbackPeer peer;
    auto task = fpstreamTask(sessionWith(1), "127.0.0.1", peer.port());
    task->resume();
    ASSERT_TRUE(peer.accept());
    peer.shrinkReceiveBuffer();
    // The peer reads nothing: far more than both socket buffers can hold.
    const Data flood(64 * 1024 * 1024, 'z');
    ErrorRef e = write(task, flood, 0.5);
    EXPECT_TRUE(isURLError(e, URLError::timedOut));
    // The connection is broken for later writes too; nothing is reported as sent that was not.
    EXPECT_TRUE(write(task, "more", 0.5));
    EXPECT_LT(task->countOfBytesSent(), static_cast<int64_t>(flood.size()));
}

TEST(StreamTask, CounterObserversHearEachChangeTwice) {
    LoopbackPeer peer;
    auto task = fpstreamTask(nullptr, "127.0.0.1", peer.port());
    auto recorder = std::make_shared<Recorder>();
    auto other = std::make_shared<Recorder>();
    int context = 0;
    task->addObserver(recorder, "countOfBytesSent", 0, &context);
    task->addObserver(recorder, "countOfBytesExpectedToSend", 0, nullptr);
    task->addObserver(recorder, "state", 0, nullptr);
    task->addObserver(recorder, "countOfBytesReceived", 0, nullptr);
    task->addObserver(other, "countOfBytesReceived", 0, nullptr);
    task->resume();
    ASSERT_TRUE(peer.accept());

    EXPECT_FALSE(write(task, std::string(100, 'a')));
    EXPECT_EQ(peer.receive(100).size(), 100u);
    auto sent = recorder->of("countOfBytesSent");
    ASSERT_EQ(sent.size(), 2u);
    for (auto& n : sent) {
        EXPECT_EQ(n.oldValue, 0);
        EXPECT_EQ(n.newValue, 100);
        EXPECT_EQ(n.context, &context);
    }
    EXPECT_TRUE(recorder->of("countOfBytesExpectedToSend").empty());
    EXPECT_TRUE(recorder->of("state").empty());

    peer.send("hello");
    EXPECT_EQ(read(task, 5, 100, hangLimitSeconds).text, "hello");
    EXPECT_EQ(task->countOfBytesReceived(), 5);
    EXPECT_FALSE(recorder->of("countOfBytesReceived").empty());

    // Removing one observer of a key path silences every observer of it.
    task->removeObserver(other, "countOfBytesReceived");
    const size_t before = recorder->of("countOfBytesReceived").size();
    const size_t otherBefore = other->of("countOfBytesReceived").size();
    peer.send("again");
    EXPECT_EQ(read(task, 5, 100, hangLimitSeconds).text, "again");
    EXPECT_EQ(recorder->of("countOfBytesReceived").size(), before);
    EXPECT_EQ(other->of("countOfBytesReceived").size(), otherBefore);

    // Cancelling zeroes the counters, with two notifications each.
    task->cancel();
    EXPECT_TRUE(waitUntil([&] { return task->state() == FileProviderStreamTask::State::completed; }));
    EXPECT_TRUE(waitUntil([&] { return recorder->of("countOfBytesSent").size() >= 4; }));
    sent = recorder->of("countOfBytesSent");
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[2].oldValue, 100);
    EXPECT_EQ(sent[3].newValue, 0);
    EXPECT_EQ(task->countOfBytesSent(), 0);
}

TEST(StreamTask, ActiveModeServiceTakesTheFirstCaller) {
    auto service = NetService::make("", "_tcp.", "", 0);
    service->publish(NetService::listenForConnections);
    ASSERT_GT(service->port(), 0);
    auto task = fpstreamTask(nullptr, service);
    task->resume();
    std::thread caller([port = service->port()] {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            const char text[] = "listing line\r\n";
            ::send(fd, text, sizeof text - 1, MSG_NOSIGNAL);
        }
        ::close(fd);
    });
    std::string all;
    for (int i = 0; i < 5; ++i) {
        auto r = read(task, 1, 4096, hangLimitSeconds);
        all += r.text;
        if (r.atEnd || r.error) break;
    }
    caller.join();
    EXPECT_EQ(all, "listing line\r\n");
}

TEST(StreamTask, ActiveModeServiceTurnsAwayStrangers) {
    auto service = NetService::make("", "_tcp.", "", 0);
    service->setBindAddress("127.0.0.1");
    service->setExpectedPeerAddress("127.0.0.2");
    service->publish(NetService::listenForConnections);
    ASSERT_GT(service->port(), 0);
    auto task = fpstreamTask(nullptr, service);
    task->resume();
    auto call = [port = service->port()](const char* from, const std::string& text) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in source{};
        source.sin_family = AF_INET;
        inet_pton(AF_INET, from, &source.sin_addr);
        ::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
        ::close(fd);
    };
    call("127.0.0.1", "stolen");
    call("127.0.0.2", "from the server");
    std::string all;
    for (int i = 0; i < 5; ++i) {
        auto r = read(task, 1, 4096, hangLimitSeconds);
        all += r.text;
        if (r.atEnd || r.error) break;
    }
    EXPECT_EQ(all, "from the server");
    EXPECT_EQ(task->peerAddress(), "127.0.0.2");
}

TEST(StreamTask, ASessionDelegateHearsOfTheStreamsAndTheirClosing) {
    struct Listener : FPSStreamDelegate {
        std::mutex mutex;
        std::vector<std::string> events;
        void note(const std::string& e) {
            std::lock_guard lock(mutex);
            events.push_back(e);
        }
        void streamTaskDidBecomeStreams(const SessionRef&, const StreamTaskRef&) override { note("streams"); }
        void readClosedFor(const SessionRef&, const StreamTaskRef&) override { note("read closed"); }
        void writeClosedFor(const SessionRef&, const StreamTaskRef&) override { note("write closed"); }
        void streamTaskDidCompleteWithError(const SessionRef&, const StreamTaskRef&, const ErrorRef&) override { note("error"); }
        std::vector<std::string> seen() {
            std::lock_guard lock(mutex);
            return events;
        }
    };
    auto listener = std::make_shared<Listener>();
    auto session = platform::URLSession::make(platform::URLSessionConfiguration::defaultConfiguration(), listener);
    LoopbackPeer peer;
    auto task = fpstreamTask(session, "127.0.0.1", peer.port());
    task->resume();
    ASSERT_TRUE(peer.accept());
    task->closeWrite();
    EXPECT_EQ(peer.receiveAll(), "");
    peer.closeConnection();
    task->closeRead();
    EXPECT_TRUE(waitUntil([&] { return listener->seen().size() >= 3; }));
    EXPECT_EQ(listener->seen(), (std::vector<std::string>{"streams", "write closed", "read closed"}));

    // A connection that fails is reported as the task's error.
    auto refused = fpstreamTask(session, "127.0.0.1", ostrane_test::freeLoopbackPort());
    refused->resume();
    EXPECT_TRUE(waitUntil([&] { return listener->seen().size() >= 5; }));
    EXPECT_EQ(listener->seen().back(), "error");
    session->invalidateAndCancel();
}

// --- TLS ----------------------------------------------------------------------------------------

class StreamTaskTLS : public ::testing::Test {
protected:
    static void SetUpTestSuite() { certificate = new ostrane_test::TestCertificate(); }
    static void TearDownTestSuite() {
        delete certificate;
        certificate = nullptr;
    }
    static ostrane_test::TestCertificate* certificate;
};
ostrane_test::TestCertificate* StreamTaskTLS::certificate = nullptr;

TEST_F(StreamTaskTLS, ImplicitTLSIsTheFirstThingOnTheWire) {
    LoopbackPeer peer;
    SSL_CTX* ctx = certificate->serverContext();
    auto task = fpstreamTask(sessionWith(hangLimitSeconds, certificate->cert()), "127.0.0.1", peer.port());
    task->startSecureConnection();
    task->resume();
    ASSERT_TRUE(peer.accept());
    ASSERT_TRUE(peer.startTLS(ctx));
    peer.send("220 secure hello\r\n");
    EXPECT_EQ(read(task, 4, 2048, hangLimitSeconds).text, "220 secure hello\r\n");
    EXPECT_FALSE(write(task, "USER x\r\n"));
    EXPECT_EQ(peer.receive(8), "USER x\r\n");
    EXPECT_TRUE(task->getSSLPeerID().peerID);
    SSL_CTX_free(ctx);
}

TEST_F(StreamTaskTLS, UnknownCertificatesAreRefusedUnlessEvaluationIsOff) {
    struct Case {
        std::optional<ServerTrustPolicy> policy;
        bool accepted;
    } cases[] = {
        {std::nullopt, false},
        {ServerTrustPolicy::performDefaultEvaluation(false), false},
        {ServerTrustPolicy::disableEvaluation(), true},
    };
    SSL_CTX* ctx = certificate->serverContext();
    for (const auto& c : cases) {
        LoopbackPeer peer;
        // No trust file: the self-signed certificate is unknown.
        auto task = fpstreamTask(sessionWith(hangLimitSeconds), "127.0.0.1", peer.port());
        if (c.policy) task->setServerTrustPolicy(*c.policy);
        task->startSecureConnection();
        task->resume();
        ASSERT_TRUE(peer.accept());
        const bool handshook = peer.startTLS(ctx);
        if (c.accepted) {
            ASSERT_TRUE(handshook);
            peer.send("220 ok\r\n");
            EXPECT_EQ(read(task, 4, 100, hangLimitSeconds).text, "220 ok\r\n");
        } else {
            auto r = read(task, 4, 100, hangLimitSeconds);
            EXPECT_FALSE(r.hadData);
            EXPECT_TRUE(isURLError(r.error, URLError::serverCertificateUntrusted)) << (r.error ? r.error->debugDescription() : "");
        }
    }
    SSL_CTX_free(ctx);
}

TEST_F(StreamTaskTLS, UpgradeInPlaceAndResumeTheSessionOnASecondConnection) {
    SSL_CTX* ctx = certificate->serverContext();
    auto session = sessionWith(hangLimitSeconds, certificate->cert());
    LoopbackPeer control;
    auto task = fpstreamTask(session, "127.0.0.1", control.port());
    task->resume();
    ASSERT_TRUE(control.accept());
    // Stopping TLS on a plain connection only clears the flag.
    task->stopSecureConnection();
    EXPECT_FALSE(task->isSecure());
    EXPECT_FALSE(write(task, "AUTH TLS\r\n"));
    EXPECT_EQ(control.receive(10), "AUTH TLS\r\n");
    control.send("234 go\r\n");

    // As the FTP engine does: the upgrade starts from the completion of the reply's read.
    auto promise = std::make_shared<std::promise<std::string>>();
    auto future = promise->get_future();
    task->readData(4, 2048, hangLimitSeconds, [task, promise](std::optional<Data> data, bool, ErrorRef) {
        task->startSecureConnection();
        promise->set_value(data ? std::string(data->begin(), data->end()) : "");
    });
    ostrane_test::FixtureThread server("TLS server", [&] {
        ASSERT_TRUE(control.startTLS(ctx));
        EXPECT_EQ(control.receive(8), "PBSZ 0\r\n");
        control.send("200 PBSZ=0\r\n");
    });
    EXPECT_EQ(await(future), "234 go\r\n");
    EXPECT_FALSE(write(task, "PBSZ 0\r\n"));
    EXPECT_EQ(read(task, 4, 2048, hangLimitSeconds).text, "200 PBSZ=0\r\n");
    server.join();
    EXPECT_TRUE(task->isSecure());

    // A data connection presents the control connection's session.
    LoopbackPeer data;
    auto dataTask = fpstreamTask(session, "127.0.0.1", data.port());
    dataTask->setServerTrustPolicy(task->serverTrustPolicy());
    dataTask->setPeerID(task->getSSLPeerID());
    dataTask->setSecurityLevel(StreamSocketSecurityLevel::TLSv1);
    dataTask->startSecureConnection();
    dataTask->resume();
    ASSERT_TRUE(data.accept());
    ASSERT_TRUE(data.startTLS(ctx));
    EXPECT_TRUE(data.sessionReused());
    data.send("line\r\n");
    data.closeConnection();
    EXPECT_EQ(read(dataTask, 6, 100, hangLimitSeconds).text, "line\r\n");
    SSL_CTX_free(ctx);
}
