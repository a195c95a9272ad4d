// test-labels: unit tsan
// FTPFileProvider against a scripted loopback peer: the fall-backs and reply judgements that real
// servers do not show on demand.
#include "fileprovider/core/PlatformExtensions.hpp"
#include "fileprovider/ftp/FTPFileProvider.hpp"
#include "fileprovider/ftp/ScriptedFTPServer.hpp"
#include "platform/dispatch/Progress.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <mutex>
#include <thread>

using namespace RiridOzizevud;
using ostrane_test::ScriptedServer;
using platform::ErrorRef;
using platform::URL;
using platform::URLError;

namespace {

std::shared_ptr<FTPFileProvider> providerOn(int port) {
    auto p = FTPFileProvider::make(*URL::parse("ftp://127.0.0.1:" + std::to_string(port) + "/pub/"),
                                   FTPFileProvider::Mode::passive, platform::URLCredential("ann", "secret"), nullptr);
    platform::URLSessionConfiguration config;
    config.timeoutIntervalForRequest = ostrane_test::hangLimitSeconds;
    config.timeoutIntervalForResource = ostrane_test::hangLimitSeconds;
    p->setSession(platform::URLSession::make(config));
    return p;
}

template <class T>
T waitFor(std::future<T>& f) {
    return ostrane_test::awaitValue(f);
}

ErrorRef run(const std::function<ProgressRef(SimpleCompletionHandler)>& operation) {
    auto promise = std::make_shared<std::promise<ErrorRef>>();
    auto f = promise->get_future();
    operation([promise](ErrorRef e) { promise->set_value(e); });
    return waitFor(f);
}

bool isURLError(const ErrorRef& e, URLError::Code code) { return e && e->is(platform::NSURLErrorDomain, code); }

void login(ScriptedServer& s, const std::string& c) {
    if (c.rfind("USER ", 0) == 0) s.reply("331 password\r\n");
    if (c.rfind("PASS ", 0) == 0) s.reply("230 in\r\n");
}

std::vector<std::string> without(const std::vector<std::string>& commands, std::initializer_list<const char*> prefixes) {
    std::vector<std::string> out;
    for (const auto& c : commands) {
        bool skip = false;
        for (const char* p : prefixes) skip = skip || c.rfind(p, 0) == 0;
        if (!skip) out.push_back(c);
    }
    return out;
}

} // namespace

TEST(FTPProviderScript, MachineListingsAreGivenUpForGoodAfterA500) {
    ScriptedServer server([](ScriptedServer& s, const std::string& c) {
        login(s, c);
        if (c == "PASV") s.reply(s.passiveReply());
        if (c.rfind("MLSD ", 0) == 0 || c.rfind("MLST ", 0) == 0) {
            if (c.rfind("MLSD ", 0) == 0) {
                ASSERT_TRUE(s.data().accept());
            }
            s.reply("500 Unknown command.\r\n");
            s.data().closeConnection();
        }
        if (c.rfind("LIST ", 0) == 0) {
            ASSERT_TRUE(s.data().accept());
            s.reply("150 listing\r\n");
            s.data().send("-rw-r--r-- 1 o g 42 Jan 1 2020 a.txt\r\ndrwxr-xr-x 2 o g 0 Jan 1 2020 d\r\n");
            s.data().closeConnection();
            s.reply("226 done\r\n");
        }
    });
    auto p = providerOn(server.port());
    auto calls = std::make_shared<std::atomic<int>>(0);
    auto promise = std::make_shared<std::promise<std::vector<FileObjectRef>>>();
    auto f = promise->get_future();
    p->contentsOfDirectory("/", [calls, promise](std::vector<FileObjectRef> files, ErrorRef) {
        if (calls->fetch_add(1) == 0) promise->set_value(files);
    });
    auto files = waitFor(f);
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files[0]->name(), "a.txt");
    EXPECT_EQ(files[0]->path(), "/a.txt");
    EXPECT_FALSE(p->supportsRFC3659());

    // Attributes without MLST: the item from its parent's listing.
    auto attr = std::make_shared<std::promise<FileObjectRef>>();
    auto fa = attr->get_future();
    p->attributesOfItem("a.txt", true, [attr](FileObjectRef file, ErrorRef) { attr->set_value(file); });
    auto file = waitFor(fa);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->size(), 42);
    EXPECT_EQ(calls->load(), 1);

    const auto commands = without(server.commands(), {"USER", "PASS", "PASV", "QUIT"});
    EXPECT_EQ(commands, (std::vector<std::string>{"MLSD /pub", "LIST /pub", "MLST /pub/a.txt", "LIST /pub"}));
}

TEST(FTPProviderScript, RepliesAreJudgedCommandByCommand) {
    ScriptedServer server([](ScriptedServer& s, const std::string& c) {
        login(s, c);
        if (c == "MKD /pub/refused") s.reply("550 Permission denied.\r\n");
        if (c == "MKD /pub/busy") s.reply("421 Service not available, closing control connection.\r\n");
        if (c == "MKD /pub/fine") s.reply("257 \"/pub/fine\" created\r\n");
        if (c == "RNFR /pub/a") s.reply("350 Ready for destination name.\r\n");
        if (c == "RNTO /pub/b/a") s.reply("553 Not allowed.\r\n");
        if (c == "DELE /pub/dir") s.reply("550 Is a directory.\r\n");
        if (c == "SITE RMDIR /pub/dir") s.reply("250 Removed with all it held.\r\n");
        if (c == "SITE SYMLINK /pub/l /pub/t") s.reply("200 Link made.\r\n");
    });
    auto p = providerOn(server.port());
    EXPECT_TRUE(isURLError(run([&](SimpleCompletionHandler done) { return p->create("refused", "/", done); }), URLError::cannotCreateFile));
    // A 4xx reply is no success either.
    EXPECT_TRUE(isURLError(run([&](SimpleCompletionHandler done) { return p->create("busy", "/", done); }), URLError::cannotCreateFile));
    ProgressRef progress;
    EXPECT_FALSE(run([&](SimpleCompletionHandler done) { return progress = p->create("fine", "/", done); }));
    EXPECT_EQ(progress->completedUnitCount(), 1);
    EXPECT_TRUE(progress->userInfoObject(startingTimeKey));
    EXPECT_TRUE(isURLError(run([&](SimpleCompletionHandler done) { return p->moveItem("a", "b/a", true, done); }), URLError::cannotMoveFile));
    EXPECT_FALSE(run([&](SimpleCompletionHandler done) { return p->removeItem("dir", done); }));
    auto linked = std::make_shared<std::promise<ErrorRef>>();
    auto fl = linked->get_future();
    p->createSymbolicLink("l", "t", [linked](ErrorRef e) { linked->set_value(e); });
    EXPECT_FALSE(waitFor(fl));

    // Each command went out on its own line, in order.
    const auto commands = without(server.commands(), {"USER", "PASS", "QUIT"});
    EXPECT_EQ(commands, (std::vector<std::string>{"MKD /pub/refused", "MKD /pub/busy", "MKD /pub/fine", "RNFR /pub/a",
                                                  "RNTO /pub/b/a", "DELE /pub/dir", "SITE RMDIR /pub/dir",
                                                  "SITE SYMLINK /pub/l /pub/t"}));

    // Storage figures: FTP has none.
    auto volume = std::make_shared<std::promise<bool>>();
    auto fv = volume->get_future();
    p->storageProperties([volume](VolumeObjectRef v) { volume->set_value(v == nullptr); });
    EXPECT_TRUE(waitFor(fv));
}

TEST(FTPProviderScript, CancellingTheProgressEndsAStalledTransfer) {
    ScriptedServer server([](ScriptedServer& s, const std::string& c) {
        login(s, c);
        if (c == "TYPE I") s.reply("200 binary\r\n");
        if (c.rfind("SIZE ", 0) == 0) s.reply("213 1000000\r\n");
        if (c == "PASV") s.reply(s.passiveReply());
        if (c.rfind("RETR ", 0) == 0) {
            ASSERT_TRUE(s.data().accept());
            s.reply("150 here it comes, slowly\r\n");
            s.data().send("first bytes");
            // ... and nothing more.
        }
    });
    auto p = providerOn(server.port());
    auto promise = std::make_shared<std::promise<ErrorRef>>();
    auto f = promise->get_future();
    std::atomic<bool> gotData{false};
    auto progress = p->contents("big.bin", 0, -1, nullptr,
                                [&](int64_t, const platform::Data&) { gotData = true; },
                                [promise](ErrorRef e) { promise->set_value(e); });
    ASSERT_TRUE(progress);
    ASSERT_TRUE(ostrane_test::waitUntil([&] { return gotData.load(); }));
    EXPECT_TRUE(progress->userInfoObject(startingTimeKey));
    // Without the cancel the transfer would end only at the request time-out, the hang limit.
    progress->cancel();
    ASSERT_TRUE(ostrane_test::becomesReady(f, ostrane_test::hangLimit / 2)) << "the cancel did not end the transfer";
    EXPECT_TRUE(f.get());
}

namespace {

std::shared_ptr<FTPFileProvider> providerAt(const std::string& url, double requestTimeout) {
    auto p = FTPFileProvider::make(*URL::parse(url), FTPFileProvider::Mode::passive, platform::URLCredential("ann", "secret"),
                                   nullptr);
    platform::URLSessionConfiguration config;
    config.timeoutIntervalForRequest = requestTimeout;
    config.timeoutIntervalForResource = requestTimeout;
    p->setSession(platform::URLSession::make(config));
    return p;
}

bool sent(const std::vector<std::string>& commands, const std::string& prefix) {
    return std::any_of(commands.begin(), commands.end(), [&](const std::string& c) { return c.rfind(prefix, 0) == 0; });
}

} // namespace

TEST(FTPProviderScript, SchemesInCapitalsStillAskForTLS) {
    ScriptedServer server([](ScriptedServer& s, const std::string& c) {
        login(s, c);
        if (c == "AUTH TLS") s.reply("534 No TLS here.\r\n");
    });
    for (const std::string scheme : {"FTPES", "FtpEs"}) {
        auto p = providerAt(scheme + "://127.0.0.1:" + std::to_string(server.port()) + "/", 30);
        ASSERT_TRUE(p) << scheme;
        ErrorRef e = run([&](SimpleCompletionHandler done) { return p->create("x", "/", done); });
        // The server cannot secure the connection: the login stops before the password crosses.
        ASSERT_TRUE(e) << scheme;
        const auto commands = server.commands();
        EXPECT_TRUE(sent(commands, "AUTH TLS")) << scheme;
        EXPECT_FALSE(sent(commands, "USER")) << scheme;
        EXPECT_FALSE(sent(commands, "PASS")) << scheme;
    }
}

TEST(FTPProviderScript, RepliesAreReadWhole) {
    ScriptedServer server([](ScriptedServer& s, const std::string& c) {
        login(s, c);
        if (c == "MKD /caf\xC3\xA9") {
            // The "é" is cut between two reads.
            s.reply("257 \"/caf\xC3");
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            s.reply("\xA9\" created\r\n");
        }
        if (c == "MKD /bad") s.reply("257 \"/\xC3(\" created\r\n");
        if (c == "MKD /last") {
            // The final reply without its line end, then the server goes away.
            s.reply("257 \"/last\" created");
            s.hangUp();
        }
    });
    // A long request time-out: only the peer's close may end the wait for the last reply.
    auto p = providerAt("ftp://127.0.0.1:" + std::to_string(server.port()) + "/", 600);
    EXPECT_FALSE(run([&](SimpleCompletionHandler done) { return p->create("caf\xC3\xA9", "/", done); }));
    EXPECT_TRUE(isURLError(run([&](SimpleCompletionHandler done) { return p->create("bad", "/", done); }),
                           URLError::cannotParseResponse));
    EXPECT_FALSE(run([&](SimpleCompletionHandler done) { return p->create("last", "/", done); }));
}

TEST(FTPProviderScript, WithoutMachineListingsTheRootIsAskedFor) {
    ScriptedServer server([](ScriptedServer& s, const std::string& c) {
        login(s, c);
        if (c == "PASV") s.reply(s.passiveReply());
        if (c.rfind("LIST ", 0) == 0) {
            ASSERT_TRUE(s.data().accept());
            s.reply("150 listing\r\n");
            s.data().closeConnection();
            s.reply("226 done\r\n");
        }
    });
    auto p = providerAt("ftp://127.0.0.1:" + std::to_string(server.port()) + "/pub/", 30);
    p->setSupportsRFC3659(false);
    auto attr = std::make_shared<std::promise<std::pair<FileObjectRef, ErrorRef>>>();
    auto fa = attr->get_future();
    p->attributesOfItem("/", [attr](FileObjectRef f, ErrorRef e) { attr->set_value({f, e}); });
    const auto [root, error] = waitFor(fa);
    ASSERT_TRUE(root);
    EXPECT_FALSE(error);
    EXPECT_TRUE(root->isDirectory());
    EXPECT_TRUE(sent(server.commands(), "LIST /pub"));

    // Nothing listens on a port that was just let go.
    int deadPort;
    {
        ostrane_test::LoopbackPeer gone;
        deadPort = gone.port();
    }
    for (bool rfc3659 : {false, true}) {
        auto dead = providerAt("ftp://127.0.0.1:" + std::to_string(deadPort) + "/", 30);
        dead->setSupportsRFC3659(rfc3659);
        auto reach = std::make_shared<std::promise<std::pair<bool, ErrorRef>>>();
        auto fr = reach->get_future();
        dead->isReachable([reach](bool ok, ErrorRef e) { reach->set_value({ok, e}); });
        const auto [reachable, reachError] = waitFor(fr);
        EXPECT_FALSE(reachable) << rfc3659;
        EXPECT_TRUE(reachError) << rfc3659;
    }
}

TEST(FTPProviderScript, TheCopyThroughALocalFileIsOneAllowedOperation) {
    ScriptedServer server([](ScriptedServer& s, const std::string& c) {
        login(s, c);
        if (c.rfind("SITE CPFR ", 0) == 0) s.reply("500 Unknown SITE command.\r\n");
        // Nothing is at the destination yet; the source is a file.
        if (c == "MLST /b.bin") s.reply("550 No such file.\r\n");
        if (c == "MLST /a.bin") s.reply("250-Listing\r\n type=file;size=5; a.bin\r\n250 End.\r\n");
        if (c == "TYPE I") s.reply("200 binary\r\n");
        if (c.rfind("SIZE ", 0) == 0) s.reply("213 5\r\n");
        if (c == "PASV") s.reply(s.passiveReply());
        if (c.rfind("RETR ", 0) == 0) {
            ASSERT_TRUE(s.data().accept());
            s.reply("150 here\r\n");
            s.data().send("hello");
            s.data().closeConnection();
            s.reply("226 sent\r\n");
        }
        if (c.rfind("STOR ", 0) == 0) {
            ASSERT_TRUE(s.data().accept());
            s.reply("150 go on\r\n");
            s.data().receiveAll();
            s.data().closeConnection();
            s.reply("226 stored\r\n");
        }
    });
    // Allows the copy and nothing else: the copy's own steps are not new operations to ask about.
    struct OnlyCopies : FileOperationDelegate {
        std::mutex mutex;
        std::vector<FileOperationType> asked;
        bool fileProviderShouldStart(const std::shared_ptr<FileProviderOperations>&, const FileOperationType& operation) override {
            std::lock_guard lock(mutex);
            asked.push_back(operation);
            return operation.kind() == FileOperationType::Kind::copy && operation.source() == "a.bin";
        }
        bool fileProviderShouldProceed(const std::shared_ptr<FileProviderOperations>&, const ErrorRef&,
                                       const FileOperationType&) override {
            return true;
        }
    };
    auto delegate = std::make_shared<OnlyCopies>();
    auto p = providerAt("ftp://127.0.0.1:" + std::to_string(server.port()) + "/", 30);
    p->setFileOperationDelegate(delegate);
    auto calls = std::make_shared<std::atomic<int>>(0);
    auto promise = std::make_shared<std::promise<ErrorRef>>();
    auto f = promise->get_future();
    ASSERT_TRUE(p->copyItem("a.bin", "b.bin", false, [calls, promise](ErrorRef e) {
        if (calls->fetch_add(1) == 0) promise->set_value(e);
    }));
    EXPECT_FALSE(waitFor(f));
    const auto commands = server.commands();
    std::string seen;
    for (const auto& c : commands) seen += c + "; ";
    EXPECT_TRUE(sent(commands, "STOR /b.bin")) << seen;
    EXPECT_EQ(calls->load(), 1);
    std::lock_guard lock(delegate->mutex);
    EXPECT_EQ(delegate->asked.size(), 1u);
}
