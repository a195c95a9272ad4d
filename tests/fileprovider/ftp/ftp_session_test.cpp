// test-labels: ftp
// The session engine against real servers: pyftpdlib (plain and demanding TLS) and vsftpd.
#include "fileprovider/ftp/FTPListParser.hpp"
#include "fileprovider/ftp/FTPSession.hpp"
#include "fileprovider/ftp/FileProviderFTPError.hpp"
#include "ostrane/curl/FTPTestServer.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "support/Wait.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>

using namespace RiridOzizevud;
using ostrane_test::FTPTestServer;
using platform::ErrorRef;
using platform::URLError;

namespace {

struct Listing {
    std::vector<std::string> lines;
    ErrorRef error;
    bool loggedIn = false;
};

Listing listOn(const std::shared_ptr<FTPSession>& session, const std::string& path, bool useMLSD) {
    auto promise = std::make_shared<std::promise<Listing>>();
    auto future = promise->get_future();
    auto task = session->makeControlTask();
    session->logIn(task, [session, task, path, useMLSD, promise](ErrorRef error) {
        if (error) return promise->set_value({{}, error, false});
        session->list(task, session->serverPath(path), useMLSD, [session, task, promise](std::vector<std::string> lines, ErrorRef error) {
            session->quit(task);
            promise->set_value({std::move(lines), error, true});
        });
    });
    if (!ostrane_test::becomesReady(future)) throw std::runtime_error("listing hung");
    return future.get();
}

std::vector<std::string> names(const std::vector<FileObjectRef>& entries) {
    std::vector<std::string> out;
    for (const auto& e : entries) out.push_back(e->name());
    std::sort(out.begin(), out.end());
    return out;
}

class FTPSessionTest : public ::testing::TestWithParam<FTPTestServer::Kind> {
protected:
    void SetUp() override {
        server = std::make_unique<FTPTestServer>(GetParam());
        server->write("README.txt", "hello\n");
        server->write("Movies/trailer.mkv", "not a movie\n");
        server->write("Music/Album One/01 Intro.flac", "x");
        server->start();
    }

    std::shared_ptr<FTPSession> session(const std::string& scheme, FTPSession::Mode mode,
                                        std::optional<platform::URLCredential> credential = std::nullopt,
                                        bool trustFile = true) {
        platform::URLSessionConfiguration config;
        config.timeoutIntervalForRequest = ostrane_test::hangLimitSeconds;
        config.timeoutIntervalForResource = ostrane_test::hangLimitSeconds;
        if (trustFile && server->tls()) config.tlsCAFile = server->certificate().string();
        FTPSession::Configuration c;
        c.baseURL = platform::URL::parse(scheme + "://127.0.0.1:" + std::to_string(server->port()) + basePath());
        c.credential = credential ? credential : platform::URLCredential(FTPTestServer::user, FTPTestServer::password);
        c.mode = mode;
        c.session = platform::URLSession::make(config);
        c.dispatch_queue = platform::DispatchQueue::make("FileProvider.FTP", platform::DispatchQueue::Attributes::concurrent);
        return FTPSession::make(c);
    }
    std::string scheme() const { return server->tls() ? "ftpes" : "ftp"; }
    // vsftpd serves absolute paths of the whole machine and starts its users in the served folder.
    std::string basePath() const {
        return GetParam() == FTPTestServer::Kind::vsftpd ? server->root().string() + "/" : "/";
    }

    std::unique_ptr<FTPTestServer> server;
};

} // namespace

TEST_P(FTPSessionTest, ListsTheRootInEveryDataConnectionMode) {
    for (auto mode : {FTPSession::Mode::default_, FTPSession::Mode::passive, FTPSession::Mode::extendedPassive,
                      FTPSession::Mode::active}) {
        SCOPED_TRACE(FTPSession::rawValue(mode));
        auto s = session(scheme(), mode);
        Listing listing = listOn(s, "/", false);
        ASSERT_FALSE(listing.error) << listing.error->debugDescription();
        auto entries = parseFTPListLines(listing.lines, false, "/", s->configuration().baseURL);
        EXPECT_EQ(names(entries), (std::vector<std::string>{"Movies", "Music", "README.txt"}));
        for (const auto& e : entries) {
            if (e->name() == "README.txt") {
                EXPECT_EQ(e->size(), 6);
            }
            if (e->name() == "Movies") {
                EXPECT_TRUE(e->isDirectory());
            }
        }
    }
}

TEST_P(FTPSessionTest, MachineListingsOrTheFallBackToLIST) {
    auto s = session(scheme(), FTPSession::Mode::default_);
    Listing listing = listOn(s, "Music", true);
    if (GetParam() == FTPTestServer::Kind::vsftpd) {
        // vsftpd knows no MLSD: the failed listing says so, and the provider stops asking.
        ASSERT_TRUE(listing.error);
        EXPECT_TRUE(listing.error->is(platform::NSURLErrorDomain, URLError::unsupportedURL));
        EXPECT_FALSE(s->supportsRFC3659());
        listing = listOn(s, "Music", s->supportsRFC3659());
    }
    ASSERT_FALSE(listing.error) << listing.error->debugDescription();
    auto entries = parseFTPListLines(listing.lines, s->supportsRFC3659(), "/Music", s->configuration().baseURL);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0]->name(), "Album One");
    EXPECT_EQ(entries[0]->path(), "/Music/Album One");
    EXPECT_TRUE(entries[0]->isDirectory());
}

TEST_P(FTPSessionTest, RefusalsAreErrors) {
    // A wrong password.
    auto s = session(scheme(), FTPSession::Mode::default_, platform::URLCredential(FTPTestServer::user, "wrong"));
    Listing listing = listOn(s, "/", false);
    ASSERT_TRUE(listing.error);
    EXPECT_FALSE(listing.loggedIn);
    auto ftpError = std::dynamic_pointer_cast<const FileProviderFTPError>(listing.error);
    ASSERT_TRUE(ftpError) << listing.error->debugDescription();
    EXPECT_EQ(ftpError->replyCode(), 530);
    EXPECT_EQ(ftpError->path(), "");
    // Neither the password nor the user's secret shows in the error.
    EXPECT_EQ(listing.error->localizedDescription().find("wrong"), std::string::npos);

    // A directory that is not there is an error, never an empty listing (vsftpd lists nothing
    // and calls that success).
    if (GetParam() == FTPTestServer::Kind::vsftpd) return;
    s = session(scheme(), FTPSession::Mode::default_);
    listing = listOn(s, "No Such Folder", false);
    EXPECT_TRUE(listing.loggedIn);
    ASSERT_TRUE(listing.error);
    EXPECT_TRUE(listing.lines.empty());
}

INSTANTIATE_TEST_SUITE_P(Servers, FTPSessionTest,
                         ::testing::Values(FTPTestServer::Kind::pyftpdlib, FTPTestServer::Kind::vsftpd,
                                           FTPTestServer::Kind::pyftpdlibTLS),
                         [](const auto& info) { return FTPTestServer::name(info.param); });

TEST(FTPSessionTLS, TheServerCertificateIsCheckedAndPlainLoginsAreRefused) {
    FTPTestServer server(FTPTestServer::Kind::pyftpdlibTLS);
    server.start();
    auto make = [&](const std::string& scheme, std::optional<std::string> trustFile,
                    ServerTrustPolicy policy = ServerTrustPolicy::performDefaultEvaluation(true)) {
        platform::URLSessionConfiguration config;
        config.timeoutIntervalForRequest = ostrane_test::hangLimitSeconds;
        config.tlsCAFile = std::move(trustFile);
        FTPSession::Configuration c;
        c.baseURL = platform::URL::parse(scheme + "://127.0.0.1:" + std::to_string(server.port()) + "/");
        c.credential = platform::URLCredential(FTPTestServer::user, FTPTestServer::password);
        c.serverTrustPolicy = policy;
        c.session = platform::URLSession::make(config);
        return FTPSession::make(c);
    };
    // Unknown certificate: refused before any password is sent.
    Listing listing = listOn(make("ftpes", std::nullopt), "/", false);
    ASSERT_TRUE(listing.error);
    EXPECT_FALSE(listing.loggedIn);
    EXPECT_TRUE(listing.error->is(platform::NSURLErrorDomain, URLError::serverCertificateUntrusted))
        << listing.error->debugDescription();
    // The caller can switch the check off.
    listing = listOn(make("ftpes", std::nullopt, ServerTrustPolicy::disableEvaluation()), "/", false);
    EXPECT_FALSE(listing.error) << listing.error->debugDescription();
    // A server that demands TLS refuses the plain login.
    listing = listOn(make("ftp", server.certificate().string()), "/", false);
    ASSERT_TRUE(listing.error);
    EXPECT_TRUE(std::dynamic_pointer_cast<const FileProviderFTPError>(listing.error));
    // Data connections stay plain when asked to; this server demands TLS for them too.
    FTPSession::Configuration plainData = make("ftpes", server.certificate().string())->configuration();
    plainData.securedDataConnection = false;
    listing = listOn(FTPSession::make(plainData), "/", false);
    EXPECT_TRUE(listing.loggedIn);
    EXPECT_TRUE(listing.error);
}
