// test-labels: unit tsan
// The session engine against a scripted loopback FTP peer, for the dialogue's corners that real
// servers do not show on demand.
#include "fileprovider/ftp/FTPSession.hpp"
#include "fileprovider/ftp/FileProviderFTPError.hpp"
#include "fileprovider/ftp/LoopbackPeer.hpp"
#include "fileprovider/ftp/ScriptedFTPServer.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <thread>

using namespace RiridOzizevud;
using ostrane_test::await;
using ostrane_test::LoopbackPeer;
using platform::ErrorRef;
using platform::URLError;

using ostrane_test::ScriptedServer;

namespace {

std::shared_ptr<FTPSession> sessionFor(int port, std::optional<platform::URLCredential> credential,
                                       FTPSession::Mode mode = FTPSession::Mode::passive, const std::string& scheme = "ftp") {
    platform::URLSessionConfiguration config;
    config.timeoutIntervalForRequest = ostrane_test::hangLimitSeconds;
    config.timeoutIntervalForResource = ostrane_test::hangLimitSeconds;
    FTPSession::Configuration c;
    c.baseURL = platform::URL::parse(scheme + "://127.0.0.1:" + std::to_string(port) + "/pub/");
    c.credential = credential;
    c.mode = mode;
    c.session = platform::URLSession::make(config);
    return FTPSession::make(c);
}

ErrorRef logIn(const std::shared_ptr<FTPSession>& s, const std::shared_ptr<FileProviderStreamTask>& task) {
    auto promise = std::make_shared<std::promise<ErrorRef>>();
    auto future = promise->get_future();
    s->logIn(task, [promise](ErrorRef e) { promise->set_value(e); });
    return await(future);
}

std::pair<std::optional<std::string>, ErrorRef> send(const std::shared_ptr<FTPSession>& s,
                                                     const std::shared_ptr<FileProviderStreamTask>& task,
                                                     const std::string& command, std::function<void()> hook = nullptr) {
    auto promise = std::make_shared<std::promise<std::pair<std::optional<std::string>, ErrorRef>>>();
    auto future = promise->get_future();
    s->sendCommand(command, task, 4, hook, [promise](std::optional<std::string> r, ErrorRef e) { promise->set_value({r, e}); });
    return await(future);
}

// "USER" and "PASS" accepted.
void acceptLogin(ScriptedServer& server, const std::string& command) {
    if (command.rfind("USER ", 0) == 0) server.reply("331 password please\r\n");
    else if (command.rfind("PASS ", 0) == 0) server.reply("230 in\r\n");
}

} // namespace

TEST(FTPEngine, LoginDialogues) {
    {
        // No credential: anonymous with the house e-mail address.
        ScriptedServer server(acceptLogin);
        auto s = sessionFor(server.port(), std::nullopt);
        auto task = s->makeControlTask();
        EXPECT_FALSE(logIn(s, task));
        EXPECT_EQ(server.commands(), (std::vector<std::string>{"USER anonymous", "PASS rarezudevira@"}));
    }
    {
        // "230" to USER: no password is sent.
        ScriptedServer server([](ScriptedServer& sv, const std::string&) { sv.reply("230 welcome back\r\n"); });
        auto s = sessionFor(server.port(), platform::URLCredential("ann", "secret"));
        EXPECT_FALSE(logIn(s, s->makeControlTask()));
        EXPECT_EQ(server.commands(), (std::vector<std::string>{"USER ann"}));
    }
    {
        // A multi-line welcome that arrives in pieces is read whole.
        ScriptedServer server(acceptLogin, "220-first line\r\n220-second\r\n220 last\r\n");
        auto s = sessionFor(server.port(), platform::URLCredential("ann", "secret"));
        EXPECT_FALSE(logIn(s, s->makeControlTask()));
    }
    {
        // A refused password is the server's error, with its code, and never shows the password.
        ScriptedServer server([](ScriptedServer& sv, const std::string& c) {
            sv.reply(c.rfind("USER", 0) == 0 ? "331 go on\r\n" : "530 Login incorrect.\r\n");
        });
        auto s = sessionFor(server.port(), platform::URLCredential("ann", "secret"));
        ErrorRef e = logIn(s, s->makeControlTask());
        auto ftp = std::dynamic_pointer_cast<const FileProviderFTPError>(e);
        ASSERT_TRUE(ftp);
        EXPECT_EQ(ftp->replyCode(), 530);
        EXPECT_EQ(ftp->serverDescription(), "Login incorrect.");
        EXPECT_EQ(e->debugDescription().find("secret"), std::string::npos);
    }
    {
        // A greeting that is no welcome.
        ScriptedServer server(acceptLogin, "421 too many users\r\n");
        auto s = sessionFor(server.port(), std::nullopt);
        auto ftp = std::dynamic_pointer_cast<const FileProviderFTPError>(logIn(s, s->makeControlTask()));
        ASSERT_TRUE(ftp);
        EXPECT_EQ(ftp->replyCode(), 421);
    }
    {
        // "ftpes" whose server refuses AUTH TLS: no USER, no password in plain text.
        ScriptedServer server([](ScriptedServer& sv, const std::string&) { sv.reply("502 not here\r\n"); });
        auto s = sessionFor(server.port(), platform::URLCredential("ann", "secret"), FTPSession::Mode::passive, "ftpes");
        ErrorRef e = logIn(s, s->makeControlTask());
        EXPECT_TRUE(std::dynamic_pointer_cast<const FileProviderFTPError>(e));
        EXPECT_EQ(server.commands(), (std::vector<std::string>{"AUTH TLS"}));
    }
}

TEST(FTPEngine, RepliesAreReadWholeAndPreliminaryOnesSkipped) {
    // The script sends each piece once the client has taken the one before, so they arrive apart.
    std::mutex controlMutex;
    std::shared_ptr<FileProviderStreamTask> control;
    auto received = [&] {
        std::lock_guard lock(controlMutex);
        return control ? control->countOfBytesReceived() : 0;
    };
    std::atomic<int> hooks{0};
    auto inPieces = [&](ScriptedServer& sv, const std::vector<std::string>& pieces) {
        for (const auto& piece : pieces) {
            const int64_t before = received();
            sv.reply(piece);
            if (!ostrane_test::waitUntil([&] { return received() >= before + static_cast<int64_t>(piece.size()); }))
                throw std::runtime_error("the client never took \"" + piece + "\"");
        }
    };
    ScriptedServer server([&](ScriptedServer& sv, const std::string& c) {
        acceptLogin(sv, c);
        if (c == "STAT") {
            inPieces(sv, {"211-status\r\n", " more\r\n2", "11 end\r\n"});
        } else if (c == "RETR x") {
            // The final reply only after the client has acted on the preliminary one.
            sv.reply("150 opening\r\n");
            if (!ostrane_test::waitUntil([&] { return hooks.load() > 0; })) throw std::runtime_error("no hook ran after 150");
            sv.reply("226 done\r\n");
        }
    });
    auto s = sessionFor(server.port(), platform::URLCredential("ann", "secret"));
    auto task = s->makeControlTask();
    {
        std::lock_guard lock(controlMutex);
        control = task;
    }
    ASSERT_FALSE(logIn(s, task));
    auto [reply, error] = send(s, task, "STAT");
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, "211-status\r\n more\r\n211 end");

    auto [done, e2] = send(s, task, "RETR x", [&] { ++hooks; });
    EXPECT_EQ(done, "226 done");
    EXPECT_EQ(hooks.load(), 1);

    // A line break inside an argument would be a second command: refused unsent.
    auto [none, refused] = send(s, task, "DELE a\r\nDELE b");
    EXPECT_FALSE(none);
    EXPECT_TRUE(refused && refused->is(platform::NSURLErrorDomain, URLError::badURL));
    auto [none2, refused2] = send(s, task, std::string("DELE a\0b", 8));
    EXPECT_TRUE(refused2);
    s->quit(task);
    EXPECT_TRUE(ostrane_test::waitUntil([&] { return server.commands().back() == "QUIT"; }));
    EXPECT_EQ(server.commands(), (std::vector<std::string>{"USER ann", "PASS secret", "STAT", "RETR x", "QUIT"}));
}

TEST(FTPEngine, DataConnectionsAndListings) {
    ScriptedServer server([&](ScriptedServer& sv, const std::string& c) {
        acceptLogin(sv, c);
        if (c == "EPSV") {
            sv.reply("500 EPSV? never heard\r\n");
        } else if (c == "PASV") {
            const int p = sv.data().port();
            sv.reply("227 Entering Passive Mode (127,0,0,1," + std::to_string(p / 256) + "," + std::to_string(p % 256) + ").\r\n");
        } else if (c.rfind("MLSD", 0) == 0) {
            ASSERT_TRUE(sv.data().accept());
            sv.reply("500 MLSD not understood\r\n");
            sv.data().closeConnection();
        } else if (c.rfind("LIST", 0) == 0) {
            ASSERT_TRUE(sv.data().accept());
            if (c == "LIST /pub/big") {
                // More than the receive buffer holds: the final reply comes only after all of it.
                sv.reply("150 a long one\r\n");
                std::string lines;
                for (int i = 0; i < 60000; ++i) lines += "-rw-r--r-- 1 o g 5 Jan 1 2020 file" + std::to_string(i) + ".txt\r\n";
                sv.data().send(lines);
                sv.data().closeConnection();
                sv.reply("226 done\r\n");
                return;
            }
            if (c == "LIST /pub/missing") {
                sv.data().closeConnection();
                sv.reply("550 No such directory.\r\n");
                return;
            }
            sv.reply("150 here it comes\r\n");
            // A line cut across two sends comes out whole.
            sv.data().send("-rw-r--r-- 1 o g 5 Jan 1 2020 a");
            sv.data().flush();
            sv.data().send(".txt\r\ndrwxr-xr-x 2 o g 0 Jan 1 2020 sub\r\n");
            sv.data().closeConnection();
            sv.reply("226 done\r\n");
        }
    });
    auto s = sessionFor(server.port(), platform::URLCredential("ann", "secret"), FTPSession::Mode::extendedPassive);
    auto task = s->makeControlTask();
    ASSERT_FALSE(logIn(s, task));

    auto list = [&](const std::string& path, bool mlsd) {
        auto promise = std::make_shared<std::promise<std::pair<std::vector<std::string>, ErrorRef>>>();
        auto future = promise->get_future();
        s->list(task, path, mlsd, [promise](std::vector<std::string> lines, ErrorRef e) { promise->set_value({lines, e}); });
        return await(future);
    };
    auto [none, unsupported] = list("/pub", true);
    EXPECT_TRUE(unsupported && unsupported->is(platform::NSURLErrorDomain, URLError::unsupportedURL));
    EXPECT_FALSE(s->supportsRFC3659());

    auto [lines, error] = list("/pub", false);
    ASSERT_FALSE(error) << error->debugDescription();
    EXPECT_EQ(lines, (std::vector<std::string>{"-rw-r--r-- 1 o g 5 Jan 1 2020 a.txt", "drwxr-xr-x 2 o g 0 Jan 1 2020 sub", ""}));

    auto [many, manyError] = list("/pub/big", false);
    ASSERT_FALSE(manyError) << manyError->debugDescription();
    EXPECT_EQ(many.size(), 60001u);

    auto [empty, refused] = list("/pub/missing", false);
    EXPECT_TRUE(empty.empty());
    auto ftp = std::dynamic_pointer_cast<const FileProviderFTPError>(refused);
    ASSERT_TRUE(ftp);
    EXPECT_EQ(ftp->replyCode(), 550);
    EXPECT_EQ(ftp->path(), "/pub/missing");

    const auto commands = server.commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "EPSV"), 4);
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "PASV"), 4);
}

TEST(FTPEngine, ActiveModeNamesTheWholeAddress) {
    ScriptedServer server([](ScriptedServer& sv, const std::string& c) {
        acceptLogin(sv, c);
        if (c.rfind("PORT ", 0) == 0) sv.reply("200 PORT ok\r\n");
        if (c.rfind("EPRT ", 0) == 0) sv.reply("200 EPRT ok\r\n");
    });
    auto s = sessionFor(server.port(), platform::URLCredential("ann", "secret"), FTPSession::Mode::active);
    auto task = s->makeControlTask();
    ASSERT_FALSE(logIn(s, task));
    auto promise = std::make_shared<std::promise<ErrorRef>>();
    auto future = promise->get_future();
    s->openDataConnection(task, [promise](std::shared_ptr<FileProviderStreamTask> data, ErrorRef e) {
        if (data) data->cancel();
        promise->set_value(e);
    });
    EXPECT_FALSE(await(future));
    const auto commands = server.commands();
    ASSERT_EQ(commands.size(), 3u);
    // "PORT h1,h2,h3,h4,p1,p2" with the control connection's own address.
    EXPECT_EQ(commands[2].rfind("PORT 127,0,0,1,", 0), 0u) << commands[2];
    int commas = 0;
    for (char ch : commands[2]) commas += ch == ',';
    EXPECT_EQ(commas, 5);
}

TEST(FTPEngine, ServerPathsStayBelowTheBase) {
    auto s = sessionFor(21, std::nullopt);
    EXPECT_EQ(s->serverPath(""), "/pub");
    EXPECT_EQ(s->serverPath("/"), "/pub");
    EXPECT_EQ(s->serverPath("docs/"), "/pub/docs");
    EXPECT_EQ(s->serverPath("/docs/new"), "/pub/docs/new");
    EXPECT_EQ(s->serverPath("../../etc/passwd"), "/pub/etc/passwd");
    EXPECT_EQ(s->url("a b").absoluteString(), "ftp://127.0.0.1:21/pub/a%20b");
}
