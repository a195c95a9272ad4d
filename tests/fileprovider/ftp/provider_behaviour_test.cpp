// test-labels: ftp
// The shared provider behaviour suite against pyftpdlib with a user that may write: once with
// MLSD/MLST, once with LIST lines only (the Unix listing parser reads every name).
#include "fileprovider/ftp/FTPFileProvider.hpp"
#include "ostrane/curl/FTPTestServer.hpp"
#include "support/ProviderBehaviourSuite.hpp"
#include "support/ServerScript.hpp"

#include <cstdlib>
#include <map>
#include <unistd.h>

namespace {

using ostrane_test::FTPTestServer;

// The copy the server cannot do goes through temporary files: this program keeps its own temporary
// folder, so a file left there is seen.
const std::filesystem::path temporaryFolder = [] {
    auto folder = std::filesystem::temp_directory_path() / ("ftp-behaviour-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    ::setenv("TMPDIR", folder.c_str(), 1);
    return folder;
}();

class FTPTarget : public ostrane_test::ProviderTarget {
public:
    explicit FTPTarget(bool rfc3659) : rfc3659_(rfc3659) {}
    std::string kind() const override { return rfc3659_ ? "FTP" : "FTP LIST"; }
    void start() override { server_.start(); }
    void stop() override { server_.stop(); }
    std::filesystem::path contentRoot() const override { return server_.directory() / "root"; }
    std::shared_ptr<RiridOzizevud::FileProvider> makeProvider() override {
        auto url = platform::URL::parse("ftp://127.0.0.1:" + std::to_string(server_.port()) + "/");
        auto provider = RiridOzizevud::FTPFileProvider::make(
            *url, RiridOzizevud::FTPFileProvider::Mode::default_,
            platform::URLCredential(FTPTestServer::user, FTPTestServer::password), nullptr);
        platform::URLSessionConfiguration config;
        config.timeoutIntervalForRequest = ostrane_test::hangLimitSeconds;
        config.timeoutIntervalForResource = ostrane_test::hangLimitSeconds;
        provider->setSession(platform::URLSession::make(config));
        provider->setSupportsRFC3659(rfc3659_);
        return provider;
    }

private:
    const bool rfc3659_;
    ostrane_test::ServerScript server_{"ftp-pyftpdlib-writable.sh"};
};

FTPTarget* mlsdTarget() {
    static FTPTarget* target = new FTPTarget(true);
    return target;
}

FTPTarget* listTarget() {
    static FTPTarget* target = new FTPTarget(false);
    return target;
}

class StopFTPTargets : public ::testing::Environment {
public:
    void TearDown() override {
        for (auto* target : {mlsdTarget(), listTarget()}) {
            target->stop();
            delete target;
        }
        std::error_code ignored;
        std::filesystem::remove_all(temporaryFolder, ignored);
    }
};

const auto* stopTargets = ::testing::AddGlobalTestEnvironment(new StopFTPTargets);

}  // namespace

namespace ostrane_test {
INSTANTIATE_TEST_SUITE_P(FTP, ProviderBehaviour, ::testing::Values(mlsdTarget(), listTarget()), providerBehaviourName);
}

namespace ostrane_test {

// The copy through local files (pyftpdlib has no "SITE CPFR"): every way it can fail reaches the
// caller and leaves no temporary file and no half-made copy.
class FTPCopyFallback : public ProviderBehaviour {
protected:
    static std::vector<std::string> temporaryFiles() {
        std::vector<std::string> out;
        for (const auto& entry : std::filesystem::directory_iterator(temporaryFolder))
            // The suite's scratch folders and the servers' own folders aside.
            if (const std::string name = entry.path().filename().string();
                name.rfind("provider-behaviour-", 0) != 0 && name.rfind("ostrane-server-", 0) != 0)
                out.push_back(name);
        return out;
    }
};

TEST_P(FTPCopyFallback, FailuresReachTheCallerAndLeaveNothing) {
    ASSERT_EQ(write(work() + "/a.txt", "alpha", false), nullptr);
    ASSERT_EQ(create("folder", work()), nullptr);
    ASSERT_EQ(write(work() + "/folder/x.txt", "x", false), nullptr);
    struct Case {
        const char* name;
        std::string from, to;
        bool overwrite;
        std::string absent;  // what must not be there afterwards ("" for nothing to check)
    };
    const std::string w = work();
    const Case cases[] = {
        {"a missing source", w + "/absent.txt", w + "/b.txt", false, w + "/b.txt"},
        {"a missing source folder", w + "/absent", w + "/copied", false, w + "/copied"},
        {"into a missing folder", w + "/a.txt", w + "/no such folder/b.txt", true, w + "/no such folder"},
        {"a folder into a missing folder", w + "/folder", w + "/no such folder/copied", true, w + "/no such folder"},
        {"onto an existing file unasked", w + "/folder/x.txt", w + "/a.txt", false, ""},
        {"a folder onto an existing folder", w + "/folder", w + "/folder", true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_NE(copy(c.from, c.to, c.overwrite), nullptr);
        if (!c.absent.empty()) {
            EXPECT_EQ(attributes(c.absent).first, nullptr);
        }
        EXPECT_EQ(temporaryFiles(), std::vector<std::string>{});
    }
    // What was there is unchanged.
    EXPECT_EQ(read(w + "/a.txt").first, "alpha");
    EXPECT_EQ(names(w + "/folder"), std::vector<std::string>{"x.txt"});
    // And the way that works: a file replaced when asked, a folder copied whole.
    EXPECT_EQ(copy(w + "/folder/x.txt", w + "/a.txt", true), nullptr);
    EXPECT_EQ(read(w + "/a.txt").first, "x");
    EXPECT_EQ(copy(w + "/folder", w + "/copied", false), nullptr);
    EXPECT_EQ(names(w + "/copied"), std::vector<std::string>{"x.txt"});
    EXPECT_EQ(temporaryFiles(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(FTP, FTPCopyFallback, ::testing::Values(mlsdTarget()), providerBehaviourName);

// A LIST line names a link "name -> target": the entry is the link, by its own name (entries have no
// field for the target).
class FTPLinks : public ProviderBehaviour {};

TEST_P(FTPLinks, ALinkIsListedByItsOwnName) {
    const auto folder = target().contentRoot() / work().substr(1);
    ASSERT_EQ(write(work() + "/a -> b.txt", "arrow", false), nullptr);
    std::filesystem::create_symlink("a -> b.txt", folder / "link to it");
    std::filesystem::create_symlink("/nowhere at all", folder / "dangling");
    auto [files, error] = list(work());
    ASSERT_EQ(error, nullptr);
    std::map<std::string, bool> links;
    for (const auto& f : files) links[f->name()] = f->isSymLink();
    EXPECT_EQ(links, (std::map<std::string, bool>{{"a -> b.txt", false}, {"dangling", true}, {"link to it", true}}));
}

INSTANTIATE_TEST_SUITE_P(FTP, FTPLinks, ::testing::Values(listTarget()), providerBehaviourName);

}  // namespace ostrane_test
