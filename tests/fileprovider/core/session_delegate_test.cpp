// test-labels: unit http tsan
// SessionDelegate's own rules: challenge answers, which uploads report progress and how much,
// byte observation into a Progress, and the handler tables.
#include "fileprovider/core/test_http_provider.hpp"

#include "fileprovider/core/PlatformExtensions.hpp"
#include "platform/dispatch/DispatchQueue.hpp"

#include <gtest/gtest.h>

using namespace fptest;
using platform::URLAuthenticationChallenge;
using platform::URLCredential;
using Disposition = platform::URLSessionAuthChallengeDisposition;

namespace {

struct Fixture : ::testing::Test {
    std::shared_ptr<TestHTTPProvider> provider = TestHTTPProvider::make("http://127.0.0.1:9/base/");
    std::shared_ptr<RecordingProviderDelegate> reports = std::make_shared<RecordingProviderDelegate>();
    std::shared_ptr<platform::URLSession> session = provider->session();
    std::shared_ptr<SessionDelegate> delegate = provider->sessionDelegate();

    void SetUp() override { provider->setDelegate(reports); }

    std::shared_ptr<platform::URLSessionDataTask> dataTask(std::optional<std::string> description) {
        auto task = session->dataTask(platform::URLRequest(platform::URL::parse("http://127.0.0.1:9/x")));
        task->setTaskDescription(std::move(description));
        return task;
    }
    // Reports travel through the main queue: let it run what is queued.
    std::vector<float> fractions() {
        platform::DispatchQueue::main()->sync([] {});
        std::lock_guard lock(reports->mutex);
        return reports->fractions;
    }
};

std::pair<Disposition, std::optional<URLCredential>> answer(SessionDelegate& d, int failures,
                                                            std::optional<URLCredential> proposed = std::nullopt) {
    URLAuthenticationChallenge c;
    c.previousFailureCount = failures;
    c.proposedCredential = std::move(proposed);
    std::pair<Disposition, std::optional<URLCredential>> out{Disposition::cancelAuthenticationChallenge, std::nullopt};
    int calls = 0;
    d.didReceiveChallenge(nullptr, nullptr, c, [&](Disposition disp, std::optional<URLCredential> cred) {
        ++calls;
        out = {disp, std::move(cred)};
    });
    EXPECT_EQ(calls, 1);
    return out;
}

}  // namespace

TEST_F(Fixture, ChallengesOfferTheCredentialTwiceThenLetTheSessionDecide) {
    const URLCredential mine("me", "pw");
    const URLCredential proposed("them", "x");
    struct Case {
        std::optional<URLCredential> held;
        int failures;
        Disposition disposition;
        std::optional<URLCredential> credential;
    };
    const std::vector<Case> cases = {
        {mine, 0, Disposition::useCredential, mine},
        {mine, 1, Disposition::useCredential, mine},
        {mine, 2, Disposition::performDefaultHandling, std::nullopt},
        {std::nullopt, 0, Disposition::useCredential, proposed},
        {std::nullopt, 1, Disposition::performDefaultHandling, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.failures) + (c.held ? " held" : " none"));
        delegate->setCredential(c.held);
        const auto [disposition, credential] = answer(*delegate, c.failures, proposed);
        EXPECT_EQ(disposition, c.disposition);
        EXPECT_EQ(credential, c.credential);
    }
    // The delegate made for a provider starts with the provider's credential.
    auto withCredential = TestHTTPProvider::make("http://127.0.0.1:9/", mine);
    withCredential->session();
    EXPECT_EQ(withCredential->sessionDelegate()->credential(), mine);
}

TEST_F(Fixture, BodyProgressOnlyForUploadsAndNeverWithoutATotal) {
    struct Case {
        std::string description;
        int64_t sent, expected;
        std::optional<float> fraction;
    };
    const std::vector<Case> cases = {
        {R"({"type":"Modify","source":"/f","uploadedBytes":1000,"totalBytes":4000})", 1000, 1000, 0.5f},
        {R"({"type":"Modify","source":"/f"})", 25, 100, 0.25f},
        {R"({"type":"Create","source":"/file"})", 10, 10, 1.0f},
        {R"({"type":"Copy","source":"file:///tmp/a","dest":"/a"})", 5, 20, 0.25f},
        {R"({"type":"Create","source":"/folder/"})", 10, 10, std::nullopt},
        {R"({"type":"Copy","source":"/a","dest":"/b"})", 10, 10, std::nullopt},
        {R"({"type":"Move","source":"/a","dest":"/b"})", 10, 10, std::nullopt},
        {R"({"type":"Remove","source":"/a"})", 10, 10, std::nullopt},
        {R"({"type":"Modify","source":"/f"})", 10, -1, std::nullopt},
        {R"({"type":"Modify","source":"/f"})", 0, 0, std::nullopt},
        {"not json", 10, 10, std::nullopt},
        {R"(["Modify"])", 10, 10, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.description);
        const size_t before = fractions().size();
        delegate->didSendBodyData(session, dataTask(c.description), c.sent, c.sent, c.expected);
        const auto after = fractions();
        if (c.fraction) {
            ASSERT_EQ(after.size(), before + 1);
            EXPECT_FLOAT_EQ(after.back(), *c.fraction);
        } else {
            EXPECT_EQ(after.size(), before);
        }
    }
}

TEST_F(Fixture, DownloadProgressNeedsAKnownSize) {
    auto task = session->downloadTask(platform::URLRequest(platform::URL::parse("http://127.0.0.1:9/x")));
    task->setTaskDescription(FileOperationType::fetch("/x").jsonString());
    delegate->didWriteData(session, task, 50, 50, platform::NSURLSessionTransferSizeUnknown);
    delegate->didWriteData(session, task, 50, 50, 0);
    delegate->didWriteData(session, task, 50, 50, 200);
    const auto f = fractions();
    ASSERT_EQ(f.size(), 1u);
    EXPECT_FLOAT_EQ(f[0], 0.25f);
}

TEST_F(Fixture, ObservationKeepsTheProgressInStep) {
    auto task = dataTask(R"({"type":"Copy","source":"file:///l","dest":"/r","uploadedBytes":1000,"totalBytes":4000})");
    auto progress = platform::Progress::make(-1);
    progress->setUserInfoObject(platform::Value(platform::Date().addingTimeInterval(-2)), startingTimeKey);

    delegate->observeValue("countOfBytesSent", task, 1000, progress);
    EXPECT_EQ(progress->completedUnitCount(), 2000);
    const auto throughput = progress->userInfoObject(platform::Progress::throughputKey);
    ASSERT_TRUE(throughput && throughput->asNumber());
    EXPECT_NEAR(*throughput->asNumber(), 500.0, 100.0);
    const auto remaining = progress->userInfoObject(platform::Progress::estimatedTimeRemainingKey);
    ASSERT_TRUE(remaining && remaining->asNumber());
    EXPECT_NEAR(*remaining->asNumber(), 4.0, 1.0);

    delegate->observeValue("countOfBytesExpectedToReceive", task, 9000, progress);
    EXPECT_EQ(progress->totalUnitCount(), 9000);
    delegate->observeValue("countOfBytesReceived", task, 3000, progress);
    EXPECT_EQ(progress->completedUnitCount(), 3000);
    delegate->observeValue("somethingElse", task, 7, progress);
    EXPECT_EQ(progress->completedUnitCount(), 3000);

    // Without a start date the count is all there is.
    auto plain = platform::Progress::make(-1);
    delegate->observeValue("countOfBytesSent", task, 10, plain);
    EXPECT_EQ(plain->completedUnitCount(), 10);
    EXPECT_FALSE(plain->userInfoObject(platform::Progress::throughputKey));
}

TEST_F(Fixture, CallbacksRouteToTheTablesAndEmptyThem) {
    const auto description = *session->sessionDescription();
    auto task = dataTask(std::nullopt);
    const auto id = task->taskIdentifier();
    std::vector<std::string> seen;
    setTaskResponseHandler(description, id, [&](std::shared_ptr<const platform::URLResponse>) { seen.push_back("response"); });
    setTaskDataHandler(description, id, [&](const Data& d) { seen.push_back("data " + std::to_string(d.size())); });
    setTaskCompletionHandler(description, id, [&](ErrorRef e) { seen.push_back(e ? "failed" : "completed"); });

    int allowed = 0;
    delegate->didReceiveResponse(session, task, nullptr, [&](platform::URLSessionResponseDisposition d) {
        allowed += d == platform::URLSessionResponseDisposition::allow;
    });
    delegate->didReceiveData(session, task, Data(3));
    delegate->didReceiveData(session, task, Data(4));
    delegate->didCompleteWithError(session, task, nullptr);
    delegate->didCompleteWithError(session, task, nullptr);
    EXPECT_EQ(seen, (std::vector<std::string>{"response", "data 3", "data 4", "completed"}));
    EXPECT_EQ(allowed, 1);
    const auto counts = sessionHandlerCounts(description);
    EXPECT_EQ(counts.completion, 0u);
    EXPECT_EQ(counts.data, 0u);
    EXPECT_EQ(counts.response, 0u);

    // A response without a closure is still allowed; a session without a description touches nothing.
    delegate->didReceiveResponse(session, task, nullptr, [&](platform::URLSessionResponseDisposition) { ++allowed; });
    EXPECT_EQ(allowed, 2);
    auto bare = platform::URLSession::make(platform::URLSessionConfiguration::defaultConfiguration());
    delegate->didCompleteWithError(bare, task, nullptr);

    // A download: its closure gets the file, its completion is dropped; a failed one completes.
    auto download = session->downloadTask(platform::URLRequest(platform::URL::parse("http://127.0.0.1:9/d")));
    const auto did = download->taskIdentifier();
    setTaskDownloadHandler(description, did, [&](const platform::URL& u) { seen.push_back("file " + u.lastPathComponent()); });
    setTaskCompletionHandler(description, did, [&](ErrorRef) { seen.push_back("download completion"); });
    delegate->didFinishDownloadingTo(session, download, platform::URL::fileURLWithPath("/tmp/tmpfile"));
    delegate->didCompleteWithError(session, download, nullptr);
    EXPECT_EQ(seen.back(), "file tmpfile");
    auto failing = session->downloadTask(platform::URLRequest(platform::URL::parse("http://127.0.0.1:9/e")));
    setTaskCompletionHandler(description, failing->taskIdentifier(), [&](ErrorRef e) { seen.push_back(e ? "download failed" : "?"); });
    setTaskDownloadHandler(description, failing->taskIdentifier(), [&](const platform::URL&) { seen.push_back("never"); });
    delegate->didCompleteWithError(session, failing, platform::URLError::make(platform::URLError::timedOut));
    EXPECT_EQ(seen.back(), "download failed");
    EXPECT_EQ(sessionHandlerCounts(description).download, 0u);

    // Table helpers: entries only under a known session; removals give back what they took.
    EXPECT_FALSE(setTaskDataHandler("no such session", 1, [](const Data&) {}));
    EXPECT_FALSE(removeTaskCompletionHandler(description, 12345));
    EXPECT_FALSE(removeSessionResponseHandlers("no such session"));
    addSessionHandlerTables("temporary");
    setTaskCompletionHandler("temporary", 7, [](ErrorRef) {});
    const auto removed = removeSessionCompletionHandlers("temporary");
    ASSERT_TRUE(removed);
    EXPECT_EQ(removed->count(7), 1u);
    removeSessionDownloadHandlers("temporary");
    removeSessionDataHandlers("temporary");
    removeSessionResponseHandlers("temporary");
    EXPECT_FALSE(sessionHandlerCounts("temporary").completion);
}
