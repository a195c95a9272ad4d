// test-labels: webdav http
// Real transfers of the HTTP provider base against Apache mod_dav with Digest authentication.
#include "fileprovider/core/test_http_provider.hpp"

#include "support/ServerScript.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

using namespace fptest;
using ostrane_test::ServerScript;
using platform::Data;

namespace {

const char* kUser = "ostranedav";
const char* kPassword = "Ostrane-Dav-Test-1";

std::string numbered(size_t size) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 31 + i / 4093) & 0xff);
    return s;
}

std::string readFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeFile(const std::filesystem::path& p, const std::string& content) {
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << content;
}

// Names a server and a URL must carry intact.
const std::vector<std::string> kHostileNames = {"a file #1?.bin", "100% \"quoted\" 'name'.txt", "Ünïcödé – 日本.txt"};

class ApacheDAVTest : public ::testing::Test {
protected:
    static inline std::unique_ptr<ServerScript> server;
    static inline std::string big;

    static void SetUpTestSuite() {
        server = std::make_unique<ServerScript>("apache-dav.sh");
        big = numbered(5 * 1024 * 1024 + 123);
        const auto root = server->directory() / "dav";
        writeFile(root / "media" / "big.bin", big);
        for (const auto& name : kHostileNames) writeFile(root / "media" / name, "content of " + name);
        std::filesystem::create_directories(root / "uploads");
        server->start();
    }
    static void TearDownTestSuite() {
        if (server) server->stop();
        server.reset();
    }

    std::filesystem::path root() const { return server->directory() / "dav"; }
    std::string base() const { return "http://127.0.0.1:" + std::to_string(server->port()) + "/"; }
    std::shared_ptr<TestHTTPProvider> provider(const std::string& password = kPassword) const {
        return TestHTTPProvider::make(base(), platform::URLCredential(kUser, password));
    }

    size_t unauthorizedAnswers() const {
        std::istringstream log(readFile(server->directory() / "log" / "access.log"));
        size_t n = 0;
        for (std::string line; std::getline(log, line);)
            if (line.find("\" 401 ") != std::string::npos) ++n;
        return n;
    }

    std::filesystem::path scratch() const {
        auto p = std::filesystem::temp_directory_path() / ("apache-dav-test-" + std::to_string(::getpid()));
        std::filesystem::create_directories(p);
        return p;
    }
};

}  // namespace

TEST_F(ApacheDAVTest, DownloadsWholeFilesWithAnyName) {
    auto p = provider();
    const auto dir = scratch();
    Awaited<ErrorRef> done;
    const auto target = dir / "big copy.bin";
    std::filesystem::remove(target);
    auto progress = p->copyItem("/media/big.bin", platform::URL::fileURLWithPath(target.string()), done.handler());
    ASSERT_TRUE(progress);
    ASSERT_TRUE(done.wait());
    EXPECT_EQ(std::get<0>(done.result()), nullptr);
    EXPECT_TRUE(readFile(target) == big);
    EXPECT_EQ(progress->completedUnitCount(), static_cast<int64_t>(big.size()));

    for (const auto& name : kHostileNames) {
        SCOPED_TRACE(name);
        Awaited<std::optional<Data>, ErrorRef> read;
        p->contents("/media/" + name, read.handler());
        ASSERT_TRUE(read.wait());
        const auto [data, error] = read.result();
        EXPECT_EQ(error, nullptr);
        ASSERT_TRUE(data);
        EXPECT_EQ(std::string(data->begin(), data->end()), "content of " + name);
    }
    std::filesystem::remove_all(dir);
}

TEST_F(ApacheDAVTest, UploadsFromMemoryAndFromFiles) {
    auto p = provider();
    const auto dir = scratch();
    const std::string content = numbered(3 * 1024 * 1024);
    writeFile(dir / "local.bin", content);

    Awaited<ErrorRef> fromFile;
    ASSERT_TRUE(p->copyItem(platform::URL::fileURLWithPath((dir / "local.bin").string()), "/uploads/from file.bin", true,
                            fromFile.handler()));
    ASSERT_TRUE(fromFile.wait());
    EXPECT_EQ(std::get<0>(fromFile.result()), nullptr);
    EXPECT_TRUE(readFile(root() / "uploads" / "from file.bin") == content);

    for (const auto& name : kHostileNames) {
        SCOPED_TRACE(name);
        Awaited<ErrorRef> written;
        p->writeContents("/uploads/" + name, Data(name.begin(), name.end()), false, true, written.handler());
        ASSERT_TRUE(written.wait());
        EXPECT_EQ(std::get<0>(written.result()), nullptr);
        EXPECT_EQ(readFile(root() / "uploads" / name), name);
    }

    // Into a folder that does not exist: Apache's 409 is the provider's error.
    Awaited<ErrorRef> orphan;
    p->writeContents("/no/such/folder/x.txt", Data{'x'}, false, true, orphan.handler());
    ASSERT_TRUE(orphan.wait());
    auto e = std::dynamic_pointer_cast<const TestHTTPError>(std::get<0>(orphan.result()));
    ASSERT_TRUE(e);
    EXPECT_EQ(e->statusCode(), 409);
    std::filesystem::remove_all(dir);
}

TEST_F(ApacheDAVTest, RangedAndStreamedReads) {
    auto p = provider();
    struct Case {
        int64_t offset, length;
    };
    for (const Case c : {Case{0, 100}, Case{1000, 65536}, Case{static_cast<int64_t>(big.size()) - 10, -1}, Case{4096, 1}}) {
        SCOPED_TRACE(std::to_string(c.offset) + "+" + std::to_string(c.length));
        Awaited<std::optional<Data>, ErrorRef> read;
        p->contents("/media/big.bin", c.offset, c.length, read.handler());
        ASSERT_TRUE(read.wait());
        const auto [data, error] = read.result();
        EXPECT_EQ(error, nullptr);
        ASSERT_TRUE(data);
        const std::string expected = big.substr(static_cast<size_t>(c.offset), c.length < 0 ? std::string::npos : static_cast<size_t>(c.length));
        EXPECT_TRUE(std::string(data->begin(), data->end()) == expected);
    }

    std::mutex m;
    std::string got;
    int64_t next = 2'000'000;
    bool inOrder = true;
    Awaited<ErrorRef> streamed;
    p->contents(
        "/media/big.bin", 2'000'000, 1'500'000, nullptr,
        [&](int64_t position, const Data& piece) {
            std::lock_guard lock(m);
            inOrder = inOrder && position == next;
            next += static_cast<int64_t>(piece.size());
            got.append(piece.begin(), piece.end());
        },
        streamed.handler());
    ASSERT_TRUE(streamed.wait());
    EXPECT_EQ(std::get<0>(streamed.result()), nullptr);
    std::lock_guard lock(m);
    EXPECT_TRUE(inOrder);
    EXPECT_TRUE(got == big.substr(2'000'000, 1'500'000));
}

TEST_F(ApacheDAVTest, DigestLoginIsReusedAndAWrongPasswordFails) {
    auto p = provider();
    Awaited<std::optional<Data>, ErrorRef> first;
    p->contents("/media/big.bin", 0, 10, first.handler());
    ASSERT_TRUE(first.wait());
    ASSERT_EQ(std::get<1>(first.result()), nullptr);
    const size_t afterFirst = unauthorizedAnswers();
    for (int i = 0; i < 5; ++i) {
        Awaited<std::optional<Data>, ErrorRef> again;
        p->contents("/media/big.bin", i * 10, 10, again.handler());
        ASSERT_TRUE(again.wait());
        EXPECT_EQ(std::get<1>(again.result()), nullptr);
    }
    EXPECT_EQ(unauthorizedAnswers(), afterFirst) << "later requests should answer the kept nonce at once";

    auto wrong = provider("not the password");
    Awaited<std::optional<Data>, ErrorRef> refused;
    wrong->contents("/media/big.bin", 0, 10, refused.handler());
    ASSERT_TRUE(refused.wait());
    auto e = std::dynamic_pointer_cast<const TestHTTPError>(std::get<1>(refused.result()));
    ASSERT_TRUE(e);
    EXPECT_EQ(e->statusCode(), 401);
    EXPECT_FALSE(std::get<0>(refused.result()));
}
