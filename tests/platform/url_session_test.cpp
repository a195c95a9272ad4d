// test-labels: unit http tsan
#include "platform/net/URLSession.hpp"

#include "platform/dispatch/OperationQueue.hpp"
#include "support/FakeHTTPServer.hpp"
#include "support/Wait.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <map>
#include <set>
#include <unistd.h>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace platform;
using ostrane_test::FakeHTTPServer;

namespace {

std::string text(const Data& d) { return std::string(d.begin(), d.end()); }
Data bytes(const std::string& s) { return Data(s.begin(), s.end()); }

URLRequest request(const std::string& url, const std::string& method = "GET") {
    URLRequest r(URL::parse(url));
    r.httpMethod = method;
    return r;
}

// Records every callback; checks that callbacks never overlap and run on the delegate queue.
class RecordingDelegate : public URLSessionDelegate {
public:
    std::shared_ptr<OperationQueue> queue;
    std::optional<URLCredential> credential;
    int answerCredentialBelow = 2;  // failure counts that get the credential
    double dataDelay = 0;

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> events;
    std::map<uint64_t, Data> data;
    std::map<uint64_t, ErrorRef> errors;
    std::map<uint64_t, std::shared_ptr<const URLResponse>> responses;
    std::map<uint64_t, std::string> downloaded;  // contents of the file at the callback
    std::map<uint64_t, std::string> downloadPath;
    std::vector<int> challengeCounts;
    std::map<uint64_t, int64_t> sent;
    std::set<uint64_t> completed;
    bool invalid = false;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::atomic<bool> offQueue{false};

    struct Enter {
        RecordingDelegate& d;
        explicit Enter(RecordingDelegate& d) : d(d) {
            if (d.inside.fetch_add(1) != 0) d.overlapped = true;
            if (d.queue && !d.queue->isCurrent()) d.offQueue = true;
            // Widens the window in which an overlapping callback would show.
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        ~Enter() { d.inside.fetch_sub(1); }
    };

    void record(const std::string& e) {
        std::lock_guard lock(mutex);
        events.push_back(e);
        changed.notify_all();
    }

    void didReceiveChallenge(const SessionRef&, const TaskRef&, const URLAuthenticationChallenge& c,
                             ChallengeCompletionHandler completion) override {
        Enter e(*this);
        {
            std::lock_guard lock(mutex);
            challengeCounts.push_back(c.previousFailureCount);
        }
        record("challenge");
        if (credential && c.previousFailureCount < answerCredentialBelow)
            completion(URLSessionAuthChallengeDisposition::useCredential, credential);
        else
            completion(URLSessionAuthChallengeDisposition::performDefaultHandling, std::nullopt);
    }
    void didReceiveResponse(const SessionRef&, const DataTaskRef& task, const std::shared_ptr<const URLResponse>& r,
                            std::function<void(URLSessionResponseDisposition)> completion) override {
        Enter e(*this);
        {
            std::lock_guard lock(mutex);
            responses[task->taskIdentifier()] = r;
        }
        record("response");
        completion(URLSessionResponseDisposition::allow);
    }
    void didReceiveData(const SessionRef&, const DataTaskRef& task, const Data& d) override {
        Enter e(*this);
        if (dataDelay > 0) std::this_thread::sleep_for(std::chrono::duration<double>(dataDelay));
        std::lock_guard lock(mutex);
        auto& all = data[task->taskIdentifier()];
        all.insert(all.end(), d.begin(), d.end());
        if (events.empty() || events.back() != "data") events.push_back("data");
        changed.notify_all();
    }
    void didSendBodyData(const SessionRef&, const TaskRef& task, int64_t, int64_t total, int64_t) override {
        Enter e(*this);
        std::lock_guard lock(mutex);
        sent[task->taskIdentifier()] = total;
    }
    void didFinishDownloadingTo(const SessionRef&, const DownloadTaskRef& task, const URL& location) override {
        Enter e(*this);
        std::ifstream in(location.path(), std::ios::binary);
        std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        {
            std::lock_guard lock(mutex);
            downloaded[task->taskIdentifier()] = content;
            downloadPath[task->taskIdentifier()] = location.path();
        }
        record("downloaded");
    }
    void didCompleteWithError(const SessionRef&, const TaskRef& task, const ErrorRef& error) override {
        Enter e(*this);
        std::lock_guard lock(mutex);
        EXPECT_TRUE(completed.insert(task->taskIdentifier()).second) << "completed twice";
        errors[task->taskIdentifier()] = error;
        events.push_back("complete");
        changed.notify_all();
    }
    void didBecomeInvalidWithError(const SessionRef&, const ErrorRef&) override {
        Enter e(*this);
        std::lock_guard lock(mutex);
        invalid = true;
        events.push_back("invalid");
        changed.notify_all();
    }

    bool waitCompleted(size_t count) {
        std::unique_lock lock(mutex);
        return ostrane_test::waitUntil(changed, lock, [&] { return completed.size() >= count; });
    }
    bool waitInvalid() {
        std::unique_lock lock(mutex);
        return ostrane_test::waitUntil(changed, lock, [&] { return invalid; });
    }
    std::vector<std::string> eventList() {
        std::lock_guard lock(mutex);
        return events;
    }
};

struct SessionFixture : ::testing::Test {
    FakeHTTPServer server;
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    std::shared_ptr<URLSession> session;

    // The default (concurrent) limit: the session alone must keep its callbacks in line.
    void makeSession(URLSessionConfiguration config = URLSessionConfiguration::defaultConfiguration()) {
        delegate->queue = OperationQueue::make("test.delegate");
        session = URLSession::make(config, delegate, delegate->queue);
    }
    void SetUp() override { makeSession(); }
    void TearDown() override {
        session->invalidateAndCancel();
        EXPECT_TRUE(delegate->waitInvalid());
        EXPECT_FALSE(delegate->overlapped.load()) << "two callbacks ran at once";
        EXPECT_FALSE(delegate->offQueue.load()) << "a callback ran off the delegate queue";
    }

    struct Result {
        std::optional<Data> data;
        std::shared_ptr<const URLResponse> response;
        ErrorRef error;
    };
    Result fetch(const URLRequest& r) {
        std::promise<Result> done;
        auto future = done.get_future();
        auto task = session->dataTask(r, [&done](std::optional<Data> d, std::shared_ptr<const URLResponse> resp, ErrorRef e) {
            done.set_value({std::move(d), std::move(resp), std::move(e)});
        });
        task->resume();
        if (!ostrane_test::becomesReady(future)) {
            ADD_FAILURE() << "no completion";
            task->cancel();
            return future.get();
        }
        return future.get();
    }
};

}  // namespace

TEST_F(SessionFixture, DataTaskDeliversResponseDataAndCompletionInOrder) {
    std::string body(300000, 'x');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + i % 26);
    server.putFile("/big.bin", body);
    server.script("GET", "/missing", {FakeHTTPServer::answer(404, "no such thing")});

    auto ok = session->dataTask(request(server.url("/big.bin")));
    auto missing = session->dataTask(request(server.url("/missing")));
    ok->resume();
    missing->resume();
    ASSERT_TRUE(delegate->waitCompleted(2));

    EXPECT_EQ(text(delegate->data[ok->taskIdentifier()]), body);
    EXPECT_EQ(delegate->errors[ok->taskIdentifier()], nullptr);
    EXPECT_EQ(statusOf(delegate->responses[ok->taskIdentifier()]), 200);
    EXPECT_EQ(ok->countOfBytesReceived(), static_cast<int64_t>(body.size()));
    EXPECT_EQ(ok->countOfBytesExpectedToReceive(), static_cast<int64_t>(body.size()));
    EXPECT_EQ(ok->state(), URLSessionTask::State::completed);
    // An HTTP error is an answer, not a failure of the task.
    EXPECT_EQ(delegate->errors[missing->taskIdentifier()], nullptr);
    EXPECT_EQ(statusOf(missing->response()), 404);
    EXPECT_EQ(text(delegate->data[missing->taskIdentifier()]), "no such thing");
    EXPECT_NE(ok->taskIdentifier(), missing->taskIdentifier());
}

TEST_F(SessionFixture, CompletionHandlerTaskSendsBodyAndMethod) {
    server.route("POST", "/echo", [](const FakeHTTPServer::Request& r) {
        return FakeHTTPServer::answer(207, r.method + ":" + r.body + ":" + r.header("X-Test").value_or(""), {}, "text/plain");
    });
    auto r = request(server.url("/echo"), "POST");
    r.httpBody = bytes("hello body");
    r.setValue("yes", "X-Test");
    auto result = fetch(r);
    ASSERT_EQ(result.error, nullptr);
    EXPECT_EQ(statusOf(result.response), 207);
    ASSERT_TRUE(result.data);
    EXPECT_EQ(text(*result.data), "POST:hello body:yes");
}

TEST_F(SessionFixture, BodiesArriveDecompressed) {
    std::string body;
    for (int i = 0; i < 2000; ++i) body += "line " + std::to_string(i) + " of a compressible text\n";
    server.route("GET", "/text", [body](const FakeHTTPServer::Request&) { return FakeHTTPServer::answer(200, body, {}, "text/plain"); });
    auto result = fetch(request(server.url("/text")));
    ASSERT_EQ(result.error, nullptr);
    ASSERT_TRUE(result.data);
    EXPECT_EQ(text(*result.data), body);
    const auto requests = server.requests();
    ASSERT_FALSE(requests.empty());
    EXPECT_TRUE(requests.back().header("Accept-Encoding").has_value());
}

TEST_F(SessionFixture, RedirectsAreFollowedToTheFinalAnswer) {
    server.putFile("/final.txt", "arrived");
    server.script("GET", "/old", {FakeHTTPServer::answer(302, "moved", {{"Location", "/final.txt"}})});
    auto task = session->dataTask(request(server.url("/old")));
    task->resume();
    ASSERT_TRUE(delegate->waitCompleted(1));
    EXPECT_EQ(text(delegate->data[task->taskIdentifier()]), "arrived");
    ASSERT_TRUE(task->response() && task->response()->url());
    EXPECT_EQ(task->response()->url()->path(), "/final.txt");
    EXPECT_EQ(statusOf(task->response()), 200);
}

TEST_F(SessionFixture, DownloadFileExistsOnlyDuringTheCallback) {
    server.putFile("/movie.mkv", std::string(100000, 'm'));
    server.script("GET", "/gone", {FakeHTTPServer::answer(404, "error page", {}, "text/html")});
    auto ok = session->downloadTask(request(server.url("/movie.mkv")));
    auto gone = session->downloadTask(request(server.url("/gone")));
    ok->resume();
    gone->resume();
    ASSERT_TRUE(delegate->waitCompleted(2));
    EXPECT_EQ(delegate->downloaded[ok->taskIdentifier()], std::string(100000, 'm'));
    EXPECT_FALSE(std::filesystem::exists(delegate->downloadPath[ok->taskIdentifier()]));
    // The error page is downloaded like any body; the status tells the caller.
    EXPECT_EQ(delegate->downloaded[gone->taskIdentifier()], "error page");
    EXPECT_EQ(statusOf(gone->response()), 404);
    const auto events = delegate->eventList();
    // Each download: finished, then completed.
    EXPECT_EQ(std::count(events.begin(), events.end(), "downloaded"), 2);
}

TEST_F(SessionFixture, UploadsFromDataFileAndStream) {
    const std::string content(200000, 'u');
    const auto dir = std::filesystem::temp_directory_path() / ("url-session-upload-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto path = dir / "local file.bin";
    std::ofstream(path, std::ios::binary) << content;

    auto fromData = session->uploadTask(request(server.url("/data.bin"), "PUT"), bytes(content));
    auto fromFile = session->uploadTask(request(server.url("/file.bin"), "PUT"), URL::fileURLWithPath(path.string()));
    auto fromStream = session->uploadTask(request(server.url("/stream.bin"), "PUT"), InputStream::make(bytes(content)));
    auto missingFile = session->uploadTask(request(server.url("/nothing.bin"), "PUT"), URL::fileURLWithPath((dir / "absent").string()));
    for (auto& t : {fromData, fromFile, fromStream, missingFile}) t->resume();
    ASSERT_TRUE(delegate->waitCompleted(4));

    for (const char* name : {"/data.bin", "/file.bin", "/stream.bin"}) EXPECT_EQ(server.file(name), content) << name;
    EXPECT_EQ(fromData->countOfBytesSent(), static_cast<int64_t>(content.size()));
    EXPECT_EQ(fromData->countOfBytesExpectedToSend(), static_cast<int64_t>(content.size()));
    EXPECT_EQ(delegate->sent[fromFile->taskIdentifier()], static_cast<int64_t>(content.size()));
    auto err = std::dynamic_pointer_cast<const URLError>(delegate->errors[missingFile->taskIdentifier()]);
    ASSERT_TRUE(err);
    EXPECT_EQ(err->errorCode(), URLError::fileDoesNotExist);
    EXPECT_FALSE(server.file("/nothing.bin"));
    std::filesystem::remove_all(dir);
}

// Basic and Digest, right and wrong passwords: the delegate is asked, the answer is retried.
TEST_F(SessionFixture, ChallengesGoThroughTheDelegate) {
    struct Case {
        bool digest;
        std::string password;
        int status;
        std::vector<int> counts;
    };
    const std::vector<Case> cases = {
        {false, "secret", 200, {0}},
        {false, "wrong", 401, {0, 1, 2}},
        {true, "secret", 200, {0}},
        {true, "wrong", 401, {0, 1, 2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.digest ? "digest " : "basic ") + c.password);
        FakeHTTPServer guarded;
        guarded.putFile("/private.txt", "the secret");
        if (c.digest) guarded.requireDigest("alice", "secret");
        else guarded.requireBasic("alice", "secret");
        auto d = std::make_shared<RecordingDelegate>();
        d->credential = URLCredential("alice", c.password);
        d->queue = OperationQueue::make("test.auth");
        auto s = URLSession::make(URLSessionConfiguration::defaultConfiguration(), d, d->queue);
        auto task = s->dataTask(request(guarded.url("/private.txt")));
        task->resume();
        ASSERT_TRUE(d->waitCompleted(1));
        EXPECT_EQ(statusOf(task->response()), c.status);
        EXPECT_EQ(d->challengeCounts, c.counts);
        if (c.status == 200) { EXPECT_EQ(text(d->data[task->taskIdentifier()]), "the secret"); }
        for (const auto& r : guarded.requests()) {
            // The password never travels in the clear for Digest.
            if (c.digest) { EXPECT_EQ(r.header("Authorization").value_or("").find("Basic"), std::string::npos); }
        }
        s->finishTasksAndInvalidate();
        EXPECT_TRUE(d->waitInvalid());
    }
}

TEST_F(SessionFixture, DigestCredentialIsReusedWithoutAnotherChallenge) {
    FakeHTTPServer guarded;
    guarded.requireDigest("bob", "pw");
    guarded.putFile("/a", "A");
    guarded.putFile("/b", "B");
    delegate->credential = URLCredential("bob", "pw");
    EXPECT_EQ(statusOf(fetch(request(guarded.url("/a"))).response), 200);
    const int afterFirst = guarded.challengesSent();
    const auto second = fetch(request(guarded.url("/b")));
    EXPECT_EQ(statusOf(second.response), 200);
    EXPECT_EQ(guarded.challengesSent(), afterFirst) << "the kept nonce should answer at once";
    EXPECT_EQ(delegate->challengeCounts.size(), 1u);
}

TEST_F(SessionFixture, StreamedUploadIsSentAgainAfterAChallenge) {
    FakeHTTPServer guarded;
    guarded.requireDigest("carol", "pw");
    delegate->credential = URLCredential("carol", "pw");
    const std::string content(50000, 's');
    auto task = session->uploadTask(request(guarded.url("/up.bin"), "PUT"), InputStream::make(bytes(content)));
    task->resume();
    ASSERT_TRUE(delegate->waitCompleted(1));
    EXPECT_EQ(delegate->errors[task->taskIdentifier()], nullptr);
    EXPECT_EQ(guarded.file("/up.bin"), content);
}

TEST(URLSessionChallenge, ADelegateThatNeverAnswersTimesOut) {
    struct Silent : URLSessionDelegate {
        std::mutex m;
        std::vector<ChallengeCompletionHandler> kept;
        void didReceiveChallenge(const SessionRef&, const TaskRef&, const URLAuthenticationChallenge&,
                                 ChallengeCompletionHandler completion) override {
            std::lock_guard lock(m);
            kept.push_back(std::move(completion));
        }
    };
    FakeHTTPServer guarded;
    guarded.requireBasic("u", "p");
    auto delegate = std::make_shared<Silent>();
    URLSessionConfiguration config;
    config.timeoutIntervalForRequest = 1;
    auto session = URLSession::make(config, delegate);
    std::promise<ErrorRef> done;
    auto task = session->dataTask(request(guarded.url("/x")),
                                  [&](std::optional<Data>, std::shared_ptr<const URLResponse>, ErrorRef e) { done.set_value(e); });
    task->resume();
    auto f = done.get_future();
    ASSERT_TRUE(ostrane_test::becomesReady(f));
    auto err = std::dynamic_pointer_cast<const URLError>(f.get());
    ASSERT_TRUE(err);
    EXPECT_EQ(err->errorCode(), URLError::timedOut);
    // A late answer changes nothing.
    std::vector<ChallengeCompletionHandler> kept;
    {
        std::lock_guard lock(delegate->m);
        kept.swap(delegate->kept);
    }
    for (auto& k : kept) k(URLSessionAuthChallengeDisposition::useCredential, URLCredential("u", "p"));
    session->invalidateAndCancel();
}

TEST_F(SessionFixture, IdleTimeoutFailsASilentServerButNotASlowSteadyOne) {
    URLSessionConfiguration config;
    config.timeoutIntervalForRequest = 3;
    session->invalidateAndCancel();
    ASSERT_TRUE(delegate->waitInvalid());
    delegate = std::make_shared<RecordingDelegate>();
    makeSession(config);

    auto steady = FakeHTTPServer::answer(200, std::string(20, 'd'), {}, "text/plain");
    steady.dripBytes = 1;
    steady.dripInterval = 0.25;  // 4.75 s in all, longer than the time-out, each byte well within it
    server.script("GET", "/steady", {steady});
    auto silent = FakeHTTPServer::answer(200, "late", {}, "text/plain");
    silent.delay = 2 * ostrane_test::hangLimitSeconds;  // held back until the server stops
    server.script("GET", "/silent", {silent});

    const auto started = std::chrono::steady_clock::now();
    auto a = session->dataTask(request(server.url("/steady")));
    auto b = session->dataTask(request(server.url("/silent")));
    a->resume();
    b->resume();
    ASSERT_TRUE(delegate->waitCompleted(2));
    EXPECT_EQ(delegate->errors[a->taskIdentifier()], nullptr);
    EXPECT_EQ(text(delegate->data[a->taskIdentifier()]), std::string(20, 'd'));
    auto err = std::dynamic_pointer_cast<const URLError>(delegate->errors[b->taskIdentifier()]);
    ASSERT_TRUE(err);
    EXPECT_EQ(err->errorCode(), URLError::timedOut);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(4750));
}

TEST_F(SessionFixture, CancelMidTransferCompletesOnceWithCancelled) {
    // A body that would take far longer than the test to arrive.
    auto slow = FakeHTTPServer::answer(200, std::string(100, 'c'), {}, "text/plain");
    slow.dripBytes = 1;
    slow.dripInterval = ostrane_test::hangLimitSeconds / 10;
    server.script("GET", "/slow", {slow});
    auto task = session->dataTask(request(server.url("/slow")));
    task->resume();
    {
        std::unique_lock lock(delegate->mutex);
        ASSERT_TRUE(ostrane_test::waitUntil(delegate->changed, lock, [&] { return !delegate->data.empty(); }));
    }
    task->cancel();
    task->cancel();
    ASSERT_TRUE(delegate->waitCompleted(1));
    auto err = std::dynamic_pointer_cast<const URLError>(delegate->errors[task->taskIdentifier()]);
    ASSERT_TRUE(err);
    EXPECT_EQ(err->errorCode(), URLError::cancelled);
    std::this_thread::sleep_for(ostrane_test::quietPeriod);
    EXPECT_EQ(delegate->completed.size(), 1u);
}

TEST_F(SessionFixture, TransportFailuresBecomeURLErrors) {
    auto dropped = FakeHTTPServer::answer(200, std::string(10000, 'x'), {}, "application/octet-stream");
    dropped.dropAfter = 100;
    server.script("GET", "/dropped", {dropped});
    const int closedPort = [] {
        FakeHTTPServer gone;
        return gone.port();
    }();
    const struct {
        std::string url;
        URLError::Code code;
    } cases[] = {
        {server.url("/dropped"), URLError::networkConnectionLost},
        {"http://127.0.0.1:" + std::to_string(closedPort) + "/x", URLError::cannotConnectToHost},
        {"ftp://127.0.0.1:" + std::to_string(closedPort) + "/x", URLError::unsupportedURL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        auto result = fetch(request(c.url));
        auto err = std::dynamic_pointer_cast<const URLError>(result.error);
        ASSERT_TRUE(err);
        EXPECT_EQ(err->errorCode(), c.code);
        EXPECT_FALSE(result.data);
    }
}

TEST_F(SessionFixture, SlowDelegateGetsEveryByteInOrder) {
    std::string body(24 << 20, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7 + i / 4096);
    server.putFile("/large", body);
    delegate->dataDelay = 0.002;
    auto task = session->dataTask(request(server.url("/large")));
    task->resume();
    ASSERT_TRUE(delegate->waitCompleted(1));
    EXPECT_EQ(delegate->errors[task->taskIdentifier()], nullptr);
    EXPECT_TRUE(text(delegate->data[task->taskIdentifier()]) == body);
}

TEST_F(SessionFixture, CounterObserversFollowTheTransfer) {
    server.putFile("/counted", std::string(500000, 'k'));
    auto task = session->downloadTask(request(server.url("/counted")));
    std::mutex m;
    std::vector<int64_t> received;
    int64_t expected = 0;
    task->addObserver("countOfBytesReceived", [&](const std::shared_ptr<URLSessionTask>&, const std::string& key, int64_t v) {
        EXPECT_EQ(key, "countOfBytesReceived");
        std::lock_guard lock(m);
        received.push_back(v);
    });
    const auto token = task->addObserver("countOfBytesExpectedToReceive",
                                         [&](const std::shared_ptr<URLSessionTask>&, const std::string&, int64_t v) {
                                             std::lock_guard lock(m);
                                             expected = v;
                                         });
    task->resume();
    ASSERT_TRUE(delegate->waitCompleted(1));
    task->removeObserver(token);
    std::lock_guard lock(m);
    ASSERT_FALSE(received.empty());
    EXPECT_TRUE(std::is_sorted(received.begin(), received.end()));
    EXPECT_EQ(received.back(), 500000);
    EXPECT_EQ(expected, 500000);
}

TEST_F(SessionFixture, InvalidationModes) {
    auto slow = FakeHTTPServer::answer(200, std::string(20, 'i'), {}, "text/plain");
    slow.dripBytes = 2;
    slow.dripInterval = 0.05;
    server.script("GET", "/slow", {slow});
    auto stalled = slow;
    stalled.dripInterval = ostrane_test::hangLimitSeconds / 10;
    server.script("GET", "/stalled", {stalled});

    // Finishing lets the running task end, then reports the session invalid, last.
    auto running = session->dataTask(request(server.url("/slow")));
    running->resume();
    session->finishTasksAndInvalidate();
    auto late = session->dataTask(request(server.url("/slow")));
    late->resume();
    ASSERT_TRUE(delegate->waitInvalid());
    EXPECT_EQ(delegate->errors[running->taskIdentifier()], nullptr);
    EXPECT_EQ(text(delegate->data[running->taskIdentifier()]), std::string(20, 'i'));
    auto lateError = std::dynamic_pointer_cast<const URLError>(delegate->errors[late->taskIdentifier()]);
    ASSERT_TRUE(lateError);
    EXPECT_EQ(lateError->errorCode(), URLError::cancelled);
    EXPECT_EQ(delegate->eventList().back(), "invalid");
    EXPECT_TRUE(ostrane_test::waitUntil([&] { return session->delegate() == nullptr; }))
        << "an invalid session lets its delegate go";

    // Cancelling ends the running tasks with cancelled.
    delegate = std::make_shared<RecordingDelegate>();
    makeSession();
    auto cancelled = session->dataTask(request(server.url("/stalled")));
    const size_t asked = server.count("GET");
    cancelled->resume();
    ASSERT_TRUE(server.waitForRequests("GET", asked + 1));
    session->invalidateAndCancel();
    ASSERT_TRUE(delegate->waitInvalid());
    auto err = std::dynamic_pointer_cast<const URLError>(delegate->errors[cancelled->taskIdentifier()]);
    ASSERT_TRUE(err);
    EXPECT_EQ(err->errorCode(), URLError::cancelled);
    EXPECT_EQ(delegate->eventList().back(), "invalid");
}

TEST(URLSessionTask, CancelBeforeResumeCompletesWithCancelled) {
    auto queue = OperationQueue::make("test.unstarted");
    auto session = URLSession::make(URLSessionConfiguration::defaultConfiguration(), nullptr, queue);
    std::promise<ErrorRef> done;
    auto task = session->dataTask(request("http://127.0.0.1:9/never"),
                                  [&](std::optional<Data>, std::shared_ptr<const URLResponse>, ErrorRef e) { done.set_value(e); });
    task->cancel();
    task->resume();
    auto f = done.get_future();
    ASSERT_TRUE(ostrane_test::becomesReady(f));
    auto err = std::dynamic_pointer_cast<const URLError>(f.get());
    ASSERT_TRUE(err);
    EXPECT_EQ(err->errorCode(), URLError::cancelled);
    session->invalidateAndCancel();
}

TEST(URLResponseFields, ReadsTypeLengthAndName) {
    HTTPURLResponse r(URL::parse("http://h/dir/file.txt"), 200,
                      {{"Content-Type", "Text/HTML; charset=\"utf-8\""},
                       {"Content-Length", "42"},
                       {"Content-Disposition", "attachment; filename=\"../../etc/passwd\""},
                       {"X-A", "1"},
                       {"x-a", "2"}});
    EXPECT_EQ(r.mimeType(), "text/html");
    EXPECT_EQ(r.textEncodingName(), "utf-8");
    EXPECT_EQ(r.expectedContentLength(), 42);
    EXPECT_EQ(r.suggestedFilename(), "passwd");
    EXPECT_EQ(r.value("X-A"), "1, 2");
    HTTPURLResponse encoded(std::nullopt, 200, {{"Content-Length", "42"}, {"Content-Encoding", "gzip"}});
    EXPECT_EQ(encoded.expectedContentLength(), -1);
    HTTPURLResponse bad(std::nullopt, 200, {{"Content-Length", "-5"}});
    EXPECT_EQ(bad.expectedContentLength(), -1);
}
