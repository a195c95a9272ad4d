// test-labels: ftp tsan
// FTPFileProvider against real servers: a pyftpdlib user that may write, vsftpd (no MLSD/MLST,
// read-only) and pyftpdlib demanding TLS.
#include "fileprovider/ftp/FTPFileProvider.hpp"
#include "fileprovider/ftp/FileProviderFTPError.hpp"
#include "ostrane/curl/FTPTestServer.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/Progress.hpp"
#include "platform/data/UUID.hpp"
#include "support/Wait.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>

using namespace RiridOzizevud;
using ostrane_test::FTPTestServer;
using platform::Data;
using platform::ErrorRef;
using platform::URL;
using platform::URLError;

namespace {

template <class T>
T waitFor(std::future<T>& f) {
    return ostrane_test::awaitValue(f);
}

std::pair<std::vector<FileObjectRef>, ErrorRef> list(const std::shared_ptr<FTPFileProvider>& p, const std::string& path) {
    auto promise = std::make_shared<std::promise<std::pair<std::vector<FileObjectRef>, ErrorRef>>>();
    auto f = promise->get_future();
    p->contentsOfDirectory(path, [promise](std::vector<FileObjectRef> files, ErrorRef e) { promise->set_value({files, e}); });
    return waitFor(f);
}

std::pair<FileObjectRef, ErrorRef> attributes(const std::shared_ptr<FTPFileProvider>& p, const std::string& path) {
    auto promise = std::make_shared<std::promise<std::pair<FileObjectRef, ErrorRef>>>();
    auto f = promise->get_future();
    p->attributesOfItem(path, [promise](FileObjectRef file, ErrorRef e) { promise->set_value({file, e}); });
    return waitFor(f);
}

std::pair<std::optional<Data>, ErrorRef> read(const std::shared_ptr<FTPFileProvider>& p, const std::string& path,
                                              int64_t offset = 0, int64_t length = -1) {
    auto promise = std::make_shared<std::promise<std::pair<std::optional<Data>, ErrorRef>>>();
    auto f = promise->get_future();
    p->contents(path, offset, length, [promise](std::optional<Data> d, ErrorRef e) { promise->set_value({d, e}); });
    return waitFor(f);
}

// Runs an operation that takes a simple completion; the completion must come exactly once.
ErrorRef run(const std::function<ProgressRef(SimpleCompletionHandler)>& operation) {
    auto promise = std::make_shared<std::promise<ErrorRef>>();
    auto f = promise->get_future();
    auto calls = std::make_shared<std::atomic<int>>(0);
    operation([promise, calls](ErrorRef e) {
        if (calls->fetch_add(1) == 0) promise->set_value(e);
    });
    ErrorRef result = waitFor(f);
    std::this_thread::sleep_for(ostrane_test::quietPeriod);
    EXPECT_EQ(calls->load(), 1);
    return result;
}

std::string text(const std::optional<Data>& d) { return d ? std::string(d->begin(), d->end()) : "<none>"; }

std::vector<std::string> names(const std::vector<FileObjectRef>& files) {
    std::vector<std::string> out;
    for (auto& f : files) out.push_back(f->name());
    std::sort(out.begin(), out.end());
    return out;
}

struct RecordingDelegate : FileProviderDelegate {
    std::mutex mutex;
    std::vector<std::string> events;
    void fileProviderDidSucceed(const std::shared_ptr<FileProviderOperations>&, const FileOperationType& op) override {
        std::lock_guard lock(mutex);
        events.push_back("ok " + op.source());
    }
    void fileProviderDidFail(const std::shared_ptr<FileProviderOperations>&, const FileOperationType& op, const ErrorRef&) override {
        std::lock_guard lock(mutex);
        events.push_back("fail " + op.source());
    }
    void fileProviderProgress(const std::shared_ptr<FileProviderOperations>&, const FileOperationType&, float) override {}
    bool saw(const std::string& event) {
        return ostrane_test::waitUntil([&] {
            std::lock_guard lock(mutex);
            return std::find(events.begin(), events.end(), event) != events.end();
        });
    }
};

class WritableServer : public ostrane_test::ServerScript {
public:
    WritableServer() : ServerScript("ftp-pyftpdlib-writable.sh") {}
    std::filesystem::path root() const { return directory() / "root"; }
    void write(const std::string& relative, const std::string& content) const {
        const auto path = root() / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }
    std::string contentOf(const std::string& relative) const {
        std::ifstream in(root() / relative, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
};

std::shared_ptr<FTPFileProvider> providerFor(const std::string& url, FTPFileProvider::Mode mode = FTPFileProvider::Mode::default_,
                                             std::optional<std::string> trustFile = std::nullopt) {
    auto p = FTPFileProvider::make(*URL::parse(url), mode, platform::URLCredential(FTPTestServer::user, FTPTestServer::password),
                                   nullptr);
    platform::URLSessionConfiguration config;
    config.timeoutIntervalForRequest = ostrane_test::hangLimitSeconds;
    config.timeoutIntervalForResource = ostrane_test::hangLimitSeconds;
    config.tlsCAFile = std::move(trustFile);
    p->setSession(platform::URLSession::make(config));
    return p;
}

} // namespace

TEST(FTPFileProvider, ReadsWritesAndChangesFilesOnAWritableServer) {
    WritableServer server;
    server.write("pub/README.txt", "hello, world\n");
    server.write("pub/Music/Album/01.flac", "0123456789");
    server.start();
    auto p = providerFor("ftp://127.0.0.1:" + std::to_string(server.port()) + "/pub/");
    auto delegate = std::make_shared<RecordingDelegate>();
    p->setDelegate(delegate);

    // Listing and attributes through MLSD and MLST; paths are the provider's, below the base.
    auto [files, error] = list(p, "/");
    ASSERT_FALSE(error) << error->debugDescription();
    EXPECT_EQ(names(files), (std::vector<std::string>{"Music", "README.txt"}));
    for (auto& f : files) {
        if (f->name() != "README.txt") continue;
        EXPECT_EQ(f->path(), "/README.txt");
        EXPECT_EQ(f->size(), 13);
        EXPECT_EQ(f->url().absoluteString(), "ftp://127.0.0.1:" + std::to_string(server.port()) + "/pub/README.txt");
    }
    auto [file, attrError] = attributes(p, "Music/Album/01.flac");
    ASSERT_TRUE(file) << (attrError ? attrError->debugDescription() : "");
    EXPECT_EQ(file->size(), 10);
    EXPECT_EQ(file->path(), "/Music/Album/01.flac");

    // Whole and ranged reads; the rest of a range is not waited for.
    EXPECT_EQ(text(read(p, "README.txt").first), "hello, world\n");
    EXPECT_EQ(text(read(p, "Music/Album/01.flac", 3, 4).first), "3456");
    EXPECT_EQ(text(read(p, "Music/Album/01.flac", 8).first), "89");
    auto [emptyRead, emptyError] = read(p, "README.txt", 0, 0);
    EXPECT_EQ(text(emptyRead), "");

    // Progressive read: positions are places in the file.
    {
        std::mutex m;
        std::string got;
        int64_t expectedPosition = 2;
        bool positionsRight = true;
        ErrorRef e = run([&](SimpleCompletionHandler done) {
            return p->contents("Music/Album/01.flac", 2, -1, nullptr,
                               [&](int64_t position, const Data& chunk) {
                                   std::lock_guard lock(m);
                                   positionsRight = positionsRight && position == expectedPosition;
                                   expectedPosition += static_cast<int64_t>(chunk.size());
                                   got.append(chunk.begin(), chunk.end());
                               },
                               done);
        });
        EXPECT_FALSE(e);
        EXPECT_EQ(got, "23456789");
        EXPECT_TRUE(positionsRight);
    }

    // Writing: a new file, then no overwrite unasked, then overwrite.
    const std::string payload(300000, 'p');
    EXPECT_FALSE(run([&](SimpleCompletionHandler done) { return p->writeContents("new.bin", Data(payload.begin(), payload.end()), false, false, done); }));
    EXPECT_EQ(server.contentOf("pub/new.bin"), payload);
    ErrorRef exists = run([&](SimpleCompletionHandler done) { return p->writeContents("new.bin", Data{'x'}, false, false, done); });
    ASSERT_TRUE(exists);
    EXPECT_TRUE(exists->is(platform::NSCocoaErrorDomain, platform::CocoaError::fileWriteFileExists));
    EXPECT_FALSE(run([&](SimpleCompletionHandler done) { return p->writeContents("new.bin", Data{'x'}, false, true, done); }));
    EXPECT_EQ(server.contentOf("pub/new.bin"), "x");

    // Folders, moves and the copy that goes through a local file (the server has no SITE CPFR).
    EXPECT_FALSE(run([&](SimpleCompletionHandler done) { return p->create("Docs", "/", done); }));
    EXPECT_TRUE(std::filesystem::is_directory(server.root() / "pub/Docs"));
    EXPECT_TRUE(run([&](SimpleCompletionHandler done) { return p->create("Docs", "/", done); }));  // already there
    EXPECT_FALSE(run([&](SimpleCompletionHandler done) { return p->moveItem("new.bin", "Docs/moved.bin", false, done); }));
    EXPECT_EQ(server.contentOf("pub/Docs/moved.bin"), "x");
    EXPECT_FALSE(run([&](SimpleCompletionHandler done) { return p->copyItem("README.txt", "Docs/copy.txt", false, done); }));
    EXPECT_EQ(server.contentOf("pub/Docs/copy.txt"), "hello, world\n");
    EXPECT_TRUE(delegate->saw("ok README.txt"));

    // Upload and download through local files.
    const auto local = std::filesystem::temp_directory_path() / ("ostrane-ftp-" + platform::newUUIDString());
    std::filesystem::create_directories(local);
    std::ofstream(local / "up.txt") << "uploaded";
    EXPECT_FALSE(run([&](SimpleCompletionHandler done) { return p->copyItem(URL::fileURLWithPath((local / "up.txt").string()), "Docs/up.txt", false, done); }));
    EXPECT_EQ(server.contentOf("pub/Docs/up.txt"), "uploaded");
    // An upload replaces a file there only when asked; a download never replaces a local one.
    std::ofstream(local / "again.txt") << "again";
    const URL again = URL::fileURLWithPath((local / "again.txt").string());
    EXPECT_TRUE(run([&](SimpleCompletionHandler done) { return p->copyItem(again, "Docs/up.txt", false, done); }));
    EXPECT_EQ(server.contentOf("pub/Docs/up.txt"), "uploaded");
    EXPECT_TRUE(run([&](SimpleCompletionHandler done) { return p->copyItem("Docs/up.txt", again, done); }));
    EXPECT_FALSE(run([&](SimpleCompletionHandler done) { return p->copyItem(again, "Docs/up.txt", true, done); }));
    EXPECT_EQ(server.contentOf("pub/Docs/up.txt"), "again");
    EXPECT_FALSE(run([&](SimpleCompletionHandler done) { return p->copyItem(URL::fileURLWithPath((local / "up.txt").string()), "Docs/up.txt", true, done); }));
    ErrorRef directoryUpload = run([&](SimpleCompletionHandler done) { return p->copyItem(URL::fileURLWithPath(local.string()), "x", false, done); });
    EXPECT_TRUE(directoryUpload && directoryUpload->is(platform::NSURLErrorDomain, URLError::fileIsDirectory));
    EXPECT_FALSE(run([&](SimpleCompletionHandler done) { return p->copyItem("Docs/up.txt", URL::fileURLWithPath((local / "down.txt").string()), done); }));
    {
        std::ifstream in(local / "down.txt");
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "uploaded");
    }
    // A failed download leaves nothing behind.
    EXPECT_TRUE(run([&](SimpleCompletionHandler done) { return p->copyItem("Docs/missing.txt", URL::fileURLWithPath((local / "missing.txt").string()), done); }));
    EXPECT_FALSE(std::filesystem::exists(local / "missing.txt"));
    std::filesystem::remove_all(local);

    // Removal: a file, then a whole tree (DELE refused, no SITE RMDIR, so deepest first).
    EXPECT_FALSE(run([&](SimpleCompletionHandler done) { return p->removeItem("Docs/up.txt", done); }));
    EXPECT_FALSE(std::filesystem::exists(server.root() / "pub/Docs/up.txt"));
    EXPECT_FALSE(run([&](SimpleCompletionHandler done) { return p->removeItem("Music", done); }));
    EXPECT_FALSE(std::filesystem::exists(server.root() / "pub/Music"));
    EXPECT_TRUE(delegate->saw("ok Music"));
    EXPECT_TRUE(run([&](SimpleCompletionHandler done) { return p->removeItem("Nothing/here", done); }));
    EXPECT_TRUE(delegate->saw("fail Nothing/here"));

    // The restartable upload: chunk after chunk, each at its offset.
    p->setUploadByREST(true);
    std::string chunked(3 * FTPSession::restChunkSize(100000) + 1234, '\0');
    for (size_t i = 0; i < chunked.size(); ++i) chunked[i] = static_cast<char>('a' + i % 26);
    EXPECT_FALSE(run([&](SimpleCompletionHandler done) { return p->writeContents("Docs/chunked.bin", Data(chunked.begin(), chunked.end()), false, true, done); }));
    EXPECT_EQ(server.contentOf("pub/Docs/chunked.bin"), chunked);
    EXPECT_FALSE(run([&](SimpleCompletionHandler done) { return p->writeContents("Docs/empty.bin", std::nullopt, false, true, done); }));
    EXPECT_TRUE(std::filesystem::exists(server.root() / "pub/Docs/empty.bin"));
    EXPECT_EQ(std::filesystem::file_size(server.root() / "pub/Docs/empty.bin"), 0u);
    p->setUploadByREST(false);

    // Search, reachability and storage.
    auto promise = std::make_shared<std::promise<std::vector<FileObjectRef>>>();
    auto found = promise->get_future();
    p->searchFiles("/", true, "cop", nullptr, [promise](std::vector<FileObjectRef> files, ErrorRef) { promise->set_value(files); });
    auto hits = waitFor(found);
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0]->path(), "/Docs/copy.txt");
    auto reach = std::make_shared<std::promise<bool>>();
    auto reachable = reach->get_future();
    p->isReachable([reach](bool ok, ErrorRef) { reach->set_value(ok); });
    EXPECT_TRUE(waitFor(reachable));
}

// Without MLSD (a LIST-only server, or one given up on) names come out exact, so a recursive
// removal reaches every item: runs of spaces, ";" and links (by their own name) included.
TEST(FTPFileProvider, ListOnlyNamesAreExactAndATreeIsRemovedWhole) {
    WritableServer server;
    for (const char* name : {"tree/a  b", "tree/x;y", "tree/sub/c   d ", "tree/sub/e"}) server.write(name, "abc");
    std::filesystem::create_symlink("a  b", server.root() / "tree/link");
    server.start();
    auto p = providerFor("ftp://127.0.0.1:" + std::to_string(server.port()) + "/");
    p->setSupportsRFC3659(false);
    auto [files, error] = list(p, "tree");
    ASSERT_FALSE(error) << error->localizedDescription();
    EXPECT_EQ(names(files), (std::vector<std::string>{"a  b", "link", "sub", "x;y"}));
    auto [sub, subError] = list(p, "tree/sub");
    ASSERT_FALSE(subError);
    EXPECT_EQ(names(sub), (std::vector<std::string>{"c   d ", "e"}));
    auto [attr, attrError] = attributes(p, "tree/a  b");
    ASSERT_TRUE(attr) << (attrError ? attrError->localizedDescription() : "no entry");
    EXPECT_EQ(attr->size(), 3);

    const ErrorRef removed = run([&](SimpleCompletionHandler done) { return p->removeItem("tree", done); });
    EXPECT_FALSE(removed) << removed->localizedDescription();
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(server.root() / "tree")));
}

TEST(FTPFileProvider, OperationDelegateVetoesWithoutContactingTheServer) {
    struct Refuse : FileOperationDelegate {
        bool fileProviderShouldStart(const std::shared_ptr<FileProviderOperations>&, const FileOperationType&) override { return false; }
        bool fileProviderShouldProceed(const std::shared_ptr<FileProviderOperations>&, const ErrorRef&, const FileOperationType&) override {
            return false;
        }
    };
    // Nobody listens here: a contact would fail, a veto never gets that far.
    auto p = providerFor("ftp://127.0.0.1:" + std::to_string(ostrane_test::freeLoopbackPort()) + "/");
    auto refuse = std::make_shared<Refuse>();
    p->setFileOperationDelegate(refuse);
    std::atomic<bool> called{false};
    EXPECT_EQ(p->removeItem("a", [&](ErrorRef) { called = true; }), nullptr);
    EXPECT_EQ(p->create("a", "/", [&](ErrorRef) { called = true; }), nullptr);
    EXPECT_EQ(p->writeContents("a", Data{}, false, true, [&](ErrorRef) { called = true; }), nullptr);
    std::this_thread::sleep_for(ostrane_test::quietPeriod);
    EXPECT_FALSE(called);
}

TEST(FTPFileProvider, ListsAndReadsThroughVsftpdAndTLS) {
    {
        FTPTestServer server(FTPTestServer::Kind::vsftpd);
        server.write("Movies/trailer.mkv", "not a movie\n");
        server.start();
        // vsftpd serves the machine's paths: the base URL names the served folder.
        auto p = providerFor("ftp://127.0.0.1:" + std::to_string(server.port()) + server.root().string() + "/",
                             FTPFileProvider::Mode::active);
        auto [files, error] = list(p, "Movies");
        ASSERT_FALSE(error) << error->debugDescription();
        EXPECT_EQ(names(files), (std::vector<std::string>{"trailer.mkv"}));
        EXPECT_FALSE(p->supportsRFC3659());
        auto [file, attrError] = attributes(p, "Movies/trailer.mkv");
        ASSERT_TRUE(file) << (attrError ? attrError->debugDescription() : "");
        EXPECT_EQ(file->size(), 12);
        EXPECT_EQ(text(read(p, "Movies/trailer.mkv", 4, 5).first), "a mov");
        // A read-only server refuses a folder: an error, not a success.
        EXPECT_TRUE(run([&](SimpleCompletionHandler done) { return p->create("New", "/", done); }));
    }
    {
        FTPTestServer server(FTPTestServer::Kind::pyftpdlibTLS);
        server.write("secret.txt", "over TLS");
        server.start();
        auto p = providerFor("ftpes://127.0.0.1:" + std::to_string(server.port()) + "/", FTPFileProvider::Mode::default_,
                             server.certificate().string());
        auto [files, error] = list(p, "/");
        ASSERT_FALSE(error) << error->debugDescription();
        EXPECT_EQ(text(read(p, "secret.txt").first), "over TLS");
        // Without the certificate's trust the login never starts.
        auto untrusted = providerFor("ftpes://127.0.0.1:" + std::to_string(server.port()) + "/");
        auto [none, refused] = list(untrusted, "/");
        EXPECT_TRUE(refused && refused->is(platform::NSURLErrorDomain, URLError::serverCertificateUntrusted));
    }
}
