// test-labels: webdav
// The WebDAV provider against a real Apache mod_dav with Digest authentication.
#include "fileprovider/webdav/ApacheDAV.hpp"
#include "fileprovider/webdav/WebDAVFileProvider.hpp"
#include "support/Wait.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <set>
#include <string>

using namespace RiridOzizevud;
using ostrane_test::ApacheDAV;
namespace fs = std::filesystem;

namespace {

template <class T>
T awaitValue(const std::function<void(std::function<void(T)>)>& call, std::chrono::seconds limit = ostrane_test::hangLimit) {
    auto promise = std::make_shared<std::promise<T>>();
    auto calls = std::make_shared<std::atomic<int>>(0);
    auto future = promise->get_future();
    call([promise, calls](T value) {
        if (calls->fetch_add(1) == 0)
            promise->set_value(std::move(value));
        else
            ADD_FAILURE() << "completion called twice";
    });
    // Thrown, the test fails with it; the completion may still come and finds its promise alive.
    if (future.wait_for(limit) != std::future_status::ready) throw std::runtime_error("no completion");
    return future.get();
}

using Listing = std::pair<std::vector<FileObjectRef>, ErrorRef>;
using Attributes = std::pair<FileObjectRef, ErrorRef>;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

const std::vector<std::string>& hostileNames() {
    static const std::vector<std::string> names = {
        "a b.txt", "quote'\"both.txt", "question?.txt", "hash#.txt", "percent%20.txt", "Café ☕.txt",
        "semi;colon=.txt", "plus+amp&.txt", "brackets [1].txt"};
    return names;
}

class ApacheProvider : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server_ = new ApacheDAV();
        server_->start();
        for (const auto& name : hostileNames())
            writeFile(server_->root() / "hostile" / name, "content of " + name);
        fs::create_directories(server_->root() / "hostile" / "Sub folder");
        writeFile(server_->root() / "hostile" / "Sub folder" / "again.txt", "again");
        writeFile(server_->root() / "hostile" / "Sub folder" / "Another.txt", "another");
        std::string large(3 * 1024 * 1024 + 17, '\0');
        for (std::size_t i = 0; i < large.size(); ++i)
            large[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
        writeFile(server_->root() / "large.bin", large);
        server_->handOver();
    }
    static void TearDownTestSuite() {
        server_->stop();
        delete server_;
        server_ = nullptr;
    }

    void SetUp() override {
        provider_ = makeProvider(ApacheDAV::password);
        scratch_ = fs::temp_directory_path() / ("ostrane-webdav-" + std::to_string(::getpid()) + "-" +
                                                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(scratch_);
        fs::create_directories(scratch_);
    }
    void TearDown() override { fs::remove_all(scratch_); }

    static std::shared_ptr<WebDAVFileProvider> makeProvider(const std::string& password) {
        auto p = WebDAVFileProvider::make(*platform::URL::parse(server_->url("/dav/")),
                                          platform::URLCredential(ApacheDAV::user, password));
        EXPECT_NE(p, nullptr);
        return p;
    }

    Listing list(const std::string& path) {
        return awaitValue<Listing>([&](auto done) {
            provider_->contentsOfDirectory(path, [done](auto files, auto error) { done({std::move(files), error}); });
        });
    }
    Attributes attributes(const std::string& path) {
        return awaitValue<Attributes>([&](auto done) {
            provider_->attributesOfItem(path, [done](auto file, auto error) { done({std::move(file), error}); });
        });
    }
    ErrorRef run(const std::function<ProgressRef(SimpleCompletionHandler)>& operation) {
        return awaitValue<ErrorRef>([&](auto done) { operation([done](ErrorRef error) { done(error); }); });
    }

    static ApacheDAV* server_;
    std::shared_ptr<WebDAVFileProvider> provider_;
    fs::path scratch_;
};

ApacheDAV* ApacheProvider::server_ = nullptr;

std::set<std::string> namesOf(const std::vector<FileObjectRef>& files) {
    std::set<std::string> names;
    for (const auto& f : files)
        names.insert(f->name());
    return names;
}

} // namespace

TEST_F(ApacheProvider, ListsHostileNamesUnderEverySpellingOfThePath) {
    std::set<std::string> expected(hostileNames().begin(), hostileNames().end());
    expected.insert("Sub folder");
    for (const std::string path : {"/hostile", "/hostile/", "hostile", "//hostile//", "/x/../hostile"}) {
        SCOPED_TRACE(path);
        const auto [files, error] = list(path);
        ASSERT_EQ(error, nullptr) << error->localizedDescription();
        EXPECT_EQ(namesOf(files), expected) << "the listed folder itself is not an entry";
        for (const auto& f : files) {
            SCOPED_TRACE(f->name());
            EXPECT_EQ(f->path(), "/hostile/" + f->name());
            if (f->name() == "Sub folder") {
                EXPECT_TRUE(f->isDirectory());
            } else {
                EXPECT_TRUE(f->isRegularFile());
                EXPECT_EQ(f->size(), static_cast<int64_t>(("content of " + f->name()).size()));
                EXPECT_TRUE(f->modifiedDate());
            }
        }
    }
}

TEST_F(ApacheProvider, ListingWithKeysStillTellsFoldersFromFiles) {
    const auto [files, error] = awaitValue<Listing>([&](auto done) {
        provider_->contentsOfDirectory("/hostile", {platform::URLResourceKey::fileSizeKey},
                                       [done](auto files, auto error) { done({std::move(files), error}); });
    });
    ASSERT_EQ(error, nullptr);
    ASSERT_EQ(files.size(), hostileNames().size() + 1);
    for (const auto& f : files)
        EXPECT_EQ(f->isDirectory(), f->name() == "Sub folder") << f->name();
}

TEST_F(ApacheProvider, AttributesOfFilesFoldersAndMissingItems) {
    const auto [file, fileError] = attributes("/hostile/Café ☕.txt");
    ASSERT_EQ(fileError, nullptr);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->name(), "Café ☕.txt");
    EXPECT_EQ(file->size(), static_cast<int64_t>(std::string("content of Café ☕.txt").size()));
    auto dav = std::dynamic_pointer_cast<WebDavFileObject>(file);
    ASSERT_NE(dav, nullptr);
    EXPECT_TRUE(dav->entryTag());

    const auto [root, rootError] = attributes("/");
    ASSERT_EQ(rootError, nullptr);
    EXPECT_TRUE(root->isDirectory());
    EXPECT_EQ(root->path(), "/");

    const auto [missing, missingError] = attributes("/no such file.txt");
    EXPECT_EQ(missing, nullptr);
    auto http = std::dynamic_pointer_cast<const FileProviderWebDavError>(missingError);
    ASSERT_NE(http, nullptr);
    EXPECT_EQ(http->statusCode(), 404);
    EXPECT_EQ(http->path(), "/no such file.txt");
}

TEST_F(ApacheProvider, RecursiveSearchFiltersTheWholeTree) {
    auto query = platform::Predicate::format("name BEGINSWITH[c] %@", {platform::Value("a")});
    std::vector<std::string> found;
    ProgressRef progress;
    const auto [files, error] = awaitValue<Listing>([&](auto done) {
        progress = provider_->searchFiles(
            "/hostile", true, query, [&found](FileObjectRef f) { found.push_back(f->name()); },
            [done](auto files, auto error) { done({std::move(files), error}); });
    });
    ASSERT_EQ(error, nullptr);
    EXPECT_EQ(namesOf(files), (std::set<std::string>{"a b.txt", "again.txt", "Another.txt"}));
    EXPECT_EQ(found.size(), files.size());
    ASSERT_NE(progress, nullptr);
    EXPECT_EQ(progress->completedUnitCount(), static_cast<int64_t>(files.size()));

    const auto [shallow, shallowError] = awaitValue<Listing>([&](auto done) {
        provider_->searchFiles("/hostile", false, query, nullptr, [done](auto f, auto e) { done({std::move(f), e}); });
    });
    ASSERT_EQ(shallowError, nullptr);
    EXPECT_EQ(namesOf(shallow), (std::set<std::string>{"a b.txt"}));
}

TEST_F(ApacheProvider, CreateUploadDownloadCopyMoveRemove) {
    ASSERT_EQ(run([&](auto done) { return provider_->create("New folder", "/", done); }), nullptr);
    EXPECT_TRUE(fs::is_directory(server_->root() / "New folder"));

    const auto local = scratch_ / "up #1.txt";
    writeFile(local, "uploaded bytes");
    const auto localURL = platform::URL::fileURLWithPath(local.string());
    ASSERT_EQ(run([&](auto done) { return provider_->copyItem(localURL, "/New folder/up #1.txt", false, done); }), nullptr);
    EXPECT_EQ(readFile(server_->root() / "New folder" / "up #1.txt"), "uploaded bytes");

    // Overwrite false never replaces: not by an upload, not by a copy.
    writeFile(local, "second upload");
    auto refused = run([&](auto done) { return provider_->copyItem(localURL, "/New folder/up #1.txt", false, done); });
    ASSERT_NE(refused, nullptr);
    EXPECT_EQ(refused->code(), 412);
    EXPECT_EQ(readFile(server_->root() / "New folder" / "up #1.txt"), "uploaded bytes");
    ASSERT_EQ(run([&](auto done) { return provider_->copyItem(localURL, "/New folder/up #1.txt", true, done); }), nullptr);
    EXPECT_EQ(readFile(server_->root() / "New folder" / "up #1.txt"), "second upload");

    ASSERT_EQ(run([&](auto done) { return provider_->copyItem("/New folder/up #1.txt", "/New folder/copy.txt", false, done); }),
              nullptr);
    EXPECT_EQ(readFile(server_->root() / "New folder" / "copy.txt"), "second upload");
    refused = run([&](auto done) { return provider_->copyItem("/hostile/a b.txt", "/New folder/copy.txt", false, done); });
    ASSERT_NE(refused, nullptr);
    EXPECT_EQ(refused->code(), 412);
    auto dav = std::dynamic_pointer_cast<const FileProviderWebDavError>(refused);
    ASSERT_NE(dav, nullptr);
    EXPECT_EQ(dav->description(), "Status 412: Precondition Failed");
    EXPECT_EQ(readFile(server_->root() / "New folder" / "copy.txt"), "second upload");

    ASSERT_EQ(run([&](auto done) { return provider_->moveItem("/New folder/copy.txt", "/New folder/moved ü.txt", false, done); }),
              nullptr);
    EXPECT_FALSE(fs::exists(server_->root() / "New folder" / "copy.txt"));

    const auto target = scratch_ / "down.txt";
    ASSERT_EQ(run([&](auto done) {
                  return provider_->copyItem("/New folder/moved ü.txt", platform::URL::fileURLWithPath(target.string()), done);
              }),
              nullptr);
    EXPECT_EQ(readFile(target), "second upload");

    const auto missingTarget = scratch_ / "missing.txt";
    auto missing = run([&](auto done) {
        return provider_->copyItem("/New folder/none.txt", platform::URL::fileURLWithPath(missingTarget.string()), done);
    });
    ASSERT_NE(missing, nullptr);
    EXPECT_EQ(missing->code(), 404);
    EXPECT_FALSE(fs::exists(missingTarget));

    ASSERT_EQ(run([&](auto done) { return provider_->removeItem("/New folder/", done); }), nullptr);
    EXPECT_FALSE(fs::exists(server_->root() / "New folder"));
}

TEST_F(ApacheProvider, RangedReads) {
    const std::string large = readFile(server_->root() / "large.bin");
    struct Case {
        int64_t offset, length;
    };
    for (const auto& c : {Case{0, 100}, Case{1000, 50}, Case{static_cast<int64_t>(large.size()) - 10, 100},
                          Case{3 * 1024 * 1024, -1}}) {
        SCOPED_TRACE(c.offset);
        using Read = std::pair<std::optional<Data>, ErrorRef>;
        const auto [data, error] = awaitValue<Read>([&](auto done) {
            provider_->contents("/large.bin", c.offset, c.length, [done](auto data, auto error) { done({data, error}); });
        });
        ASSERT_EQ(error, nullptr) << error->localizedDescription();
        ASSERT_TRUE(data);
        const auto expected = large.substr(c.offset, c.length < 0 ? std::string::npos : static_cast<std::size_t>(c.length));
        EXPECT_EQ(std::string(data->begin(), data->end()), expected);
    }
}

TEST_F(ApacheProvider, AWrongPasswordGivesTheServersPage) {
    provider_ = makeProvider("not the password");
    const auto [file, error] = attributes("/");
    EXPECT_EQ(file, nullptr);
    auto dav = std::dynamic_pointer_cast<const FileProviderWebDavError>(error);
    ASSERT_NE(dav, nullptr);
    EXPECT_EQ(dav->statusCode(), 401);
    ASSERT_TRUE(dav->serverDescription());
    EXPECT_NE(dav->serverDescription()->find("Unauthorized"), std::string::npos);
    const auto [files, listError] = list("/hostile");
    EXPECT_TRUE(files.empty());
    ASSERT_NE(listError, nullptr);
    EXPECT_EQ(listError->code(), 401);
}

TEST_F(ApacheProvider, StorageAndReachability) {
    auto volume = awaitValue<VolumeObjectRef>([&](auto done) { provider_->storageProperties(done); });
    ASSERT_NE(volume, nullptr);
    EXPECT_TRUE(volume->creationDate());
    EXPECT_EQ(platform::find(volume->allValues(), platform::URLResourceKey::volumeAvailableCapacityKey), nullptr)
        << "Apache keeps no quota: the capacity stays unknown";
    EXPECT_EQ(platform::find(volume->allValues(), platform::URLResourceKey::volumeTotalCapacityKey), nullptr);

    using Reach = std::pair<bool, ErrorRef>;
    auto reach = awaitValue<Reach>([&](auto done) { provider_->isReachable([done](bool r, ErrorRef e) { done({r, e}); }); });
    EXPECT_TRUE(reach.first);
    EXPECT_EQ(reach.second, nullptr);

    provider_ = makeProvider("wrong");
    reach = awaitValue<Reach>([&](auto done) { provider_->isReachable([done](bool r, ErrorRef e) { done({r, e}); }); });
    EXPECT_FALSE(reach.first);
    ASSERT_NE(reach.second, nullptr);
    EXPECT_EQ(reach.second->code(), 401);
    EXPECT_EQ(awaitValue<VolumeObjectRef>([&](auto done) { provider_->storageProperties(done); }), nullptr);
}

TEST_F(ApacheProvider, AFolderWithoutWebDAVIsAnErrorNotAnEmptyListing) {
    auto plain = WebDAVFileProvider::make(*platform::URL::parse(server_->url("/plain/")));
    ASSERT_NE(plain, nullptr);
    const auto [files, error] = awaitValue<Listing>([&](auto done) {
        plain->contentsOfDirectory("/", [done](auto files, auto error) { done({std::move(files), error}); });
    });
    EXPECT_TRUE(files.empty());
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), 405);
}

TEST_F(ApacheProvider, TenThousandEntries) {
    const auto folder = server_->root() / "many";
    fs::create_directories(folder);
    for (int i = 0; i < 10000; ++i)
        std::ofstream(folder / ("entry " + std::to_string(i) + ".mkv")) << i;
    server_->handOver();
    const auto [files, error] = list("/many");
    ASSERT_EQ(error, nullptr);
    ASSERT_EQ(files.size(), 10000u);
    std::set<std::string> names = namesOf(files);
    EXPECT_EQ(names.size(), 10000u);
    EXPECT_TRUE(names.count("entry 9999.mkv"));
    fs::remove_all(folder);
}
