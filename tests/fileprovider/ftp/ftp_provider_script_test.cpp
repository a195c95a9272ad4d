// test-labels: unit tsan
// FTPFileProvider against a scripted loopback peer: the fall-backs and reply judgements that real
// servers do not show on demand.
#include "fileprovider/core/PlatformExtensions.hpp"
#include "fileprovider/ftp/FTPFileProvider.hpp"
#include "fileprovider/ftp/ScriptedFTPServer.hpp"
#include "platform/Progress.hpp"

#include <gtest/gtest.h>

#include <future>

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
