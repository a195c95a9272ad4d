// test-labels: unit
#include "fileprovider/core/fake_provider.hpp"
#include "platform/dispatch/MainQueue.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace fptest;
using platform::URL;

namespace {

URL u(const char* s) { return *URL::parse(s); }

// Delegate reports are drained on the test thread, so they can be awaited and counted.
class MainQueueOnTestThread : public ::testing::Environment {
public:
    void SetUp() override { platform::MainQueue::setDrainedByHost(true); }
};
const auto* const mainQueueEnvironment = ::testing::AddGlobalTestEnvironment(new MainQueueOnTestThread);

template <class Pred>
bool drainUntil(Pred done) {
    const auto end = std::chrono::steady_clock::now() + ostrane_test::hangLimit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        platform::MainQueue::drain(0.05);
    }
    return true;
}

class Recorder : public FileProviderDelegate {
public:
    std::vector<std::string> events;
    std::thread::id lastThread;
    void fileProviderDidSucceed(const std::shared_ptr<FileProviderOperations>&, const FileOperationType& op) override {
        events.push_back("succeed " + *op.jsonString());
        lastThread = std::this_thread::get_id();
    }
    void fileProviderDidFail(const std::shared_ptr<FileProviderOperations>&, const FileOperationType& op,
                             const ErrorRef& error) override {
        events.push_back("fail " + op.description() + " " + std::to_string(error ? error->code() : 0));
        lastThread = std::this_thread::get_id();
    }
    void fileProviderProgress(const std::shared_ptr<FileProviderOperations>&, const FileOperationType& op,
                              float progress) override {
        events.push_back("progress " + op.description() + " " + std::to_string(progress));
        lastThread = std::this_thread::get_id();
    }
};

class Gate : public FileOperationDelegate {
public:
    bool allow = false;
    int asked = 0;
    bool fileProviderShouldStart(const std::shared_ptr<FileProviderOperations>&, const FileOperationType&) override {
        ++asked;
        return allow;
    }
    bool fileProviderShouldProceed(const std::shared_ptr<FileProviderOperations>&, const ErrorRef&,
                                   const FileOperationType&) override {
        return true;
    }
};

class ProviderDefaults : public ::testing::Test {
protected:
    void TearDown() override { platform::MainQueue::drain(0.05); }
};

TEST_F(ProviderDefaults, UrlOfStaysUnderTheBase) {
    struct Case {
        std::optional<const char*> base;
        const char* path;
        const char* expected;
    };
    const Case cases[] = {
        {"https://h.example/dav/", "/a b/c.txt", "https://h.example/dav/a%20b/c.txt"},
        {"https://h.example/dav/", "a b/c.txt", "https://h.example/dav/a%20b/c.txt"},
        {"https://h.example/dav/", "x:y", "https://h.example/dav/x%3Ay"},
        {"https://h.example/dav/", "/a?b#c%", "https://h.example/dav/a%3Fb%23c%25"},
        {"https://h.example/dav/", "dir/", "https://h.example/dav/dir/"},
        {"https://h.example/dav/", "", "https://h.example/dav/"},
        {"https://h.example/dav/", "/", "https://h.example/dav/"},
        {"https://h.example/dav/", "///evil.host/x", "https://h.example/dav/evil.host/x"},
        {"https://h.example/dav/", "../x", "https://h.example/dav/x"},
        {"https://h.example/dav/", "/a/../../../etc/passwd", "https://h.example/dav/etc/passwd"},
        {"https://h.example/dav/", "a/./b/..", "https://h.example/dav/a/"},
        {"https://h.example/dav/", "%2e%2e/x", "https://h.example/dav/%252e%252e/x"},
        {"https://h.example/dav/", "bad\xff/x", "https://h.example/dav/bad%FF/x"},  // never the base itself
        {"https://h.example/", "/a", "https://h.example/a"},
        {"https://h.example/", "../../x", "https://h.example/x"},
        {std::nullopt, "/a b", "/a%20b"},
        {std::nullopt, "", "/"},
    };
    for (const auto& c : cases) {
        auto p = FakeProvider::make(c.base ? std::optional<URL>(u(*c.base)) : std::nullopt);
        EXPECT_EQ(p->url(c.path).absoluteString(), c.expected) << c.path;
    }
}

TEST_F(ProviderDefaults, RelativePathOf) {
    auto p = FakeProvider::make(u("https://h.example/dav/"));
    struct Case {
        URL url;
        const char* expected;
    };
    const Case cases[] = {
        {p->url("/a b/c.txt"), "a b/c.txt"},
        {u("https://h.example/dav/a%20b/c.txt"), "a b/c.txt"},
        {u("https://h.example/dav/a%2520b"), "a%20b"},                 // decoded once
        {u("https://other.example/x/y%20z"), "x/y z"},                 // another host: its path
        {u("https://h.example/dav2/x"), "dav2/x"},                     // not under the base
        {u("https://h.example/dav"), ""},                              // the base itself
        {u("https://h.example/dav/x/https://h.example/dav/y"), "x/https://h.example/dav/y"},  // prefix only
        {*URL::parse("sub/f.txt", u("https://h.example/dav/")), "sub/f.txt"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(p->relativePathOf(c.url), c.expected) << c.url.absoluteString();

    auto root = FakeProvider::make(u("https://h.example/"));
    EXPECT_EQ(root->relativePathOf(u("https://h.example/a%20b/c")), "a b/c");
    EXPECT_EQ(root->relativePathOf(root->url("/x y")), "x y");
    EXPECT_EQ(root->relativePathOf(u("https://h.example")), "");
    EXPECT_EQ(root->relativePathOf(u("http://h.example/a")), "a");  // another scheme: its path

    auto bare = FakeProvider::make();
    EXPECT_EQ(bare->relativePathOf(u("https://h/a%20b")), "a b");
    EXPECT_EQ(bare->relativePathOf(*URL::parse("f", u("https://h/d/"))), "https://h/d/f");

    // Paths survive the round trip through url(of:).
    for (const char* path : {"a b/c.txt", "x:y", "Résumé/%41.txt", "q?#"})
        EXPECT_EQ(p->relativePathOf(p->url(path)), path);
}

TEST_F(ProviderDefaults, StringSearchMatchesNamePrefixIgnoringCase) {
    auto p = FakeProvider::make();
    for (const char* name : {"/d/Report.txt", "/d/repo", "/d/my report", "/d/REP"})
        p->addFile(name);
    std::vector<std::string> found;
    std::vector<std::string> result;
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    p->searchFiles("/d", false, std::string("rep"),
                   [&](FileObjectRef f) {
                       std::lock_guard lock(m);
                       found.push_back(f->name());
                   },
                   [&](std::vector<FileObjectRef> files, ErrorRef error) {
                       EXPECT_FALSE(error);
                       std::lock_guard lock(m);
                       for (auto& f : files)
                           result.push_back(f->name());
                       done = true;
                       cv.notify_all();
                   });
    std::unique_lock lock(m);
    ASSERT_TRUE(ostrane_test::waitUntil(cv, lock, [&] { return done; }));
    EXPECT_EQ(result, (std::vector<std::string>{"REP", "Report.txt", "repo"}));
    EXPECT_EQ(found, result);
    const auto calls = p->calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front().name, "searchFiles");
    EXPECT_EQ(calls.front().args, (std::vector<std::string>{"/d", "flat", "name BEGINSWITH[c] \"rep\""}));
}

TEST_F(ProviderDefaults, ConvenienceFormsCallTheFullForms) {
    auto p = FakeProvider::make();
    p->addFile("/a");
    const auto local = u("file:///tmp/up.bin");
    int completions = 0;
    std::mutex m;
    auto done = [&](ErrorRef) {
        std::lock_guard lock(m);
        ++completions;
    };
    p->moveItem("/a", "/b", done);
    p->waitForCompletions(1);
    p->copyItem("/b", "/c", done);
    p->copyItem(local, "/up", done);
    p->writeContents("/w1", Data{1}, done);
    p->writeContents("/w2", Data{1}, true, done);
    p->writeContentsOverwrite("/w3", Data{1}, true, done);
    p->contents("/r", [&](std::optional<Data> d, ErrorRef) { EXPECT_EQ(d, (Data{1, 2, 3})); done(nullptr); });
    p->contents("/s", ProgressDataHandler([](int64_t, const Data&) {}), done);
    p->contents("/t", ResponseHandler([](std::shared_ptr<const platform::URLResponse>) {}),
                ProgressDataHandler([](int64_t, const Data&) {}), done);
    p->thumbnailOfFile("/img", [&](std::shared_ptr<platform::Image>, ErrorRef e) { EXPECT_TRUE(e); done(nullptr); });
    ASSERT_TRUE(p->waitForCompletions(6));
    auto count = [&] {
        std::lock_guard lock(m);
        return completions;
    };
    EXPECT_TRUE(ostrane_test::waitUntil([&] { return count() >= 10; }));
    EXPECT_EQ(count(), 10);

    std::map<std::string, std::vector<std::string>> byName;
    for (const auto& c : p->calls())
        byName[c.name + " " + (c.args.empty() ? "" : c.args.front())] = c.args;
    using V = std::vector<std::string>;
    EXPECT_EQ(byName["moveItem /a"], (V{"/a", "/b", "keep"}));
    EXPECT_EQ(byName["copyItem /b"], (V{"/b", "/c", "keep"}));
    EXPECT_EQ(byName["upload file:///tmp/up.bin"], (V{"file:///tmp/up.bin", "/up", "keep"}));
    EXPECT_EQ(byName["writeContents /w1"], (V{"/w1", "direct", "keep"}));
    EXPECT_EQ(byName["writeContents /w2"], (V{"/w2", "atomic", "keep"}));
    EXPECT_EQ(byName["writeContents /w3"], (V{"/w3", "direct", "overwrite"}));
    EXPECT_EQ(byName["contents /r"], (V{"/r", "0", "-1"}));
    EXPECT_EQ(byName["contentsProgressive /s"], (V{"/s", "0", "-1", "no response"}));
    EXPECT_EQ(byName["contentsProgressive /t"], (V{"/t", "0", "-1", "response"}));
    EXPECT_EQ(byName["thumbnail /img"], (V{"/img", "default"}));
}

TEST_F(ProviderDefaults, FileByUniqueName) {
    struct Case {
        std::vector<const char*> existing;
        const char* path;
        const char* expected;
    };
    const Case cases[] = {
        {{"/docs/report.txt"}, "/docs/report.txt", "/docs/report 2.txt"},
        {{"/docs/report 3.txt"}, "/docs/report 3.txt", "/docs/report.txt"},
        {{"/docs/report.txt", "/docs/report 3.txt"}, "/docs/report 3.txt", "/docs/report 4.txt"},
        {{"/docs/report.txt", "/docs/report 2.txt"}, "/docs/report.txt", "/docs/report 3.txt"},
        {{"/docs/notes"}, "/docs/notes", "/docs/notes 2"},                // no extension, no "."
        {{"/docs/3.txt"}, "/docs/3.txt", "/docs/3 2.txt"},                // a bare number keeps its stem
        {{"/docs/a  b.txt"}, "/docs/a  b.txt", "/docs/a  b 2.txt"},
        {{}, "/docs/new.txt", "/docs/new.txt"},
        {{"/report.txt"}, "/report.txt", "/report 2.txt"},
        {{"/docs/x 99999999999999999999.txt"}, "/docs/x 99999999999999999999.txt",
         "/docs/x 99999999999999999999 2.txt"},                          // too big to count on: no overflow
        {{"/docs/x.txt", "/docs/x 9223372036854775807.txt"}, "/docs/x 9223372036854775807.txt",
         "/docs/x 9223372036854775807 2.txt"},                           // the counter cannot grow: no overflow
        {{"/docs/x.txt"}, "/docs/x 9223372036854775806.txt", "/docs/x 9223372036854775806.txt"},
    };
    for (const auto& c : cases) {
        auto p = FakeProvider::make();
        for (const char* e : c.existing)
            p->addFile(e);
        EXPECT_EQ(p->fileByUniqueName(c.path), c.expected) << c.path;
    }
}

TEST_F(ProviderDefaults, FileByUniqueNameGivesUpOnASilentListing) {
    auto p = FakeProvider::make();
    p->addFile("/docs/report.txt");
    p->holdListings(true);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(p->fileByUniqueName("/docs/report.txt", 0.2), "/docs/report.txt");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
    // The listing answering late touches only state it shares with no one any more.
    p->releaseHeldListings();
    p->holdListings(false);
    EXPECT_EQ(p->fileByUniqueName("/docs/report.txt"), "/docs/report 2.txt");
}

TEST_F(ProviderDefaults, DebugDescriptionAndEquality) {
    auto bare = FakeProvider::make();
    EXPECT_EQ(bare->debugDescription(), "Fake provider");
    auto p = FakeProvider::make(u("https://h.example/dav/"));
    p->setCredential(platform::URLCredential("ann \"x\"", "s3cret"));
    EXPECT_EQ(p->debugDescription(), "Fake provider - https://h.example/dav/ - \"ann \\\"x\\\"\"");
    EXPECT_EQ(p->debugDescription().find("s3cret"), std::string::npos);

    class OtherFake : public FakeProvider {
    public:
        OtherFake() : FakeProvider(u("https://h.example/dav/")) {}
    };
    auto q = FakeProvider::make(u("https://h.example/dav/"));
    auto other = std::make_shared<OtherFake>();
    auto elsewhere = FakeProvider::make(u("https://h.example/other/"));
    EXPECT_TRUE(*p == *p);
    EXPECT_TRUE(*bare == *FakeProvider::make());
    EXPECT_FALSE(*p == *q);  // one credential absent
    q->setCredential(platform::URLCredential("ann \"x\"", "s3cret"));
    EXPECT_TRUE(*p == *q);
    q->setCredential(platform::URLCredential("ann \"x\"", "other"));
    EXPECT_FALSE(*p == *q);
    q->setCredential(std::nullopt);
    p->setCredential(std::nullopt);
    EXPECT_TRUE(*p == *q);
    EXPECT_FALSE(*p == *elsewhere);
    EXPECT_FALSE(*q == *other);  // another class

    p->setMaximumOperationTasks(3);
    EXPECT_EQ(p->maximumOperationTasks(), 3);
    EXPECT_EQ(p->operation_queue()->maxConcurrentOperationCount(), 3);
}

TEST_F(ProviderDefaults, DelegateHearsResultsOnTheMainQueue) {
    auto p = FakeProvider::make();
    auto recorder = std::make_shared<Recorder>();
    p->setDelegate(recorder);
    p->addFile("/a");
    p->copyItem("/a", "/b", nullptr);
    p->copyItem("/missing", "/c", nullptr);
    ASSERT_TRUE(p->waitForCompletions(2));
    ASSERT_TRUE(drainUntil([&] { return recorder->events.size() == 2; }));
    std::sort(recorder->events.begin(), recorder->events.end());
    EXPECT_EQ(recorder->events, (std::vector<std::string>{"fail Copy 512", R"(succeed {"dest":"/b","source":"/a","type":"Copy"})"}));
    EXPECT_EQ(recorder->lastThread, std::this_thread::get_id());

    // Progress reports never reach the delegate on the calling thread.
    recorder->events.clear();
    notifyOperationProgress(p, FileOperationType::fetch("/a"), 0.25);
    dispatchToMainQueue(p, FileOperationType::fetch("/a"), 0.5);
    EXPECT_TRUE(recorder->events.empty());
    ASSERT_TRUE(drainUntil([&] { return recorder->events.size() == 2; }));
    EXPECT_EQ(recorder->events, (std::vector<std::string>{"progress Fetch 0.250000", "progress Fetch 0.500000"}));
}

TEST_F(ProviderDefaults, ReleasedDelegateHearsNothing) {
    auto p = FakeProvider::make();
    auto recorder = std::make_shared<Recorder>();
    std::weak_ptr<Recorder> watch = recorder;
    p->setDelegate(recorder);
    p->addFile("/a");
    p->copyItem("/a", "/b", nullptr);
    notifyOperationProgress(p, FileOperationType::copy("/a", "/b"), 0.5);
    ASSERT_TRUE(p->waitForCompletions(1));
    recorder.reset();  // the host lets go before the reports run
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(p->delegate(), nullptr);
    platform::MainQueue::drain(0.2);
    notifyOperationResult(p, FileOperationType::remove("/x"), nullptr);
    platform::MainQueue::drain(0.2);
}

TEST_F(ProviderDefaults, RefusedOperationReturnsNoProgressAndCallsNothing) {
    auto p = FakeProvider::make();
    auto recorder = std::make_shared<Recorder>();
    auto gate = std::make_shared<Gate>();
    p->setDelegate(recorder);
    p->setFileOperationDelegate(gate);
    p->addFile("/a");
    bool called = false;
    EXPECT_EQ(p->removeItem("/a", [&](ErrorRef) { called = true; }), nullptr);
    EXPECT_EQ(gate->asked, 1);
    platform::MainQueue::drain(0.1);
    EXPECT_FALSE(called);
    EXPECT_TRUE(recorder->events.empty());
    EXPECT_TRUE(p->exists("/a"));
    gate->allow = true;
    EXPECT_NE(p->removeItem("/a", nullptr), nullptr);
    ASSERT_TRUE(p->waitForCompletions(1));
    EXPECT_FALSE(p->exists("/a"));
}

} // namespace
