// test-labels: unit local
// Making, archiving and copying the iCloud provider, and its reachability.
#include "cloud_fixture.hpp"

#include "fileprovider/local/LocalFileProvider.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/data/KeyedArchive.hpp"
#include "platform/fs/MetadataQuery.hpp"
#include "platform/dispatch/OperationQueue.hpp"
#include "platform/base/UndoManager.hpp"

using namespace cloudtest;

namespace {

class NullDelegate : public FileProviderDelegate {
public:
    void fileProviderDidSucceed(const std::shared_ptr<FileProviderOperations>&, const FileOperationType&) override {}
    void fileProviderDidFail(const std::shared_ptr<FileProviderOperations>&, const FileOperationType&,
                             const ErrorRef&) override {}
    void fileProviderProgress(const std::shared_ptr<FileProviderOperations>&, const FileOperationType&, float) override {}
};

bool reachable(const std::shared_ptr<CloudFileProvider>& provider, ErrorRef* errorOut = nullptr) {
    Calls<std::pair<bool, ErrorRef>> calls;
    provider->isReachable([&](bool r, ErrorRef e) { calls.add({r, e}); });
    EXPECT_TRUE(calls.waitFor(1));
    if (errorOut) *errorOut = calls.values().front().second;
    return calls.values().front().first;
}

std::shared_ptr<CloudFileProvider> roundTrip(const CloudFileProvider& provider) {
    platform::KeyedArchiver archiver;
    provider.encode(archiver);
    return CloudFileProvider::make(platform::KeyedUnarchiver(archiver.encodedData()));
}

} // namespace

TEST_F(CloudTest, ScopesChooseTheContainerOrItsDocumentsFolder) {
    auto data = CloudFileProvider::make(std::nullopt, UbiquitousScope::data);
    ASSERT_TRUE(data);
    EXPECT_EQ(data->baseURL()->path(), container().string());
    EXPECT_EQ(data->containerId(), std::nullopt);
    EXPECT_EQ(data->scope(), UbiquitousScope::data);

    auto documents = CloudFileProvider::make(std::string("other container"), UbiquitousScope::documents);
    ASSERT_TRUE(documents);
    const std::string base = documents->baseURL()->absoluteString();
    EXPECT_EQ(base.substr(base.size() - 10), "Documents/");
    EXPECT_EQ(documents->baseURL()->path(), (root / "other container" / "Documents").string());
    EXPECT_TRUE(fs::is_directory(root / "other container" / "Documents")) << "the base folder is made";
    EXPECT_EQ(documents->containerId(), "other container");
}

TEST_F(CloudTest, NoAccountOrNoContainerGivesNoProvider) {
    for (const char* id : {"", ".", "..", "a/b"}) {
        SCOPED_TRACE(id);
        EXPECT_FALSE(CloudFileProvider::make(std::string(id), UbiquitousScope::data));
        EXPECT_FALSE(fs::exists(root / "a"));
    }
    platform::UbiquityContainer::setDefaultIdentifier(std::nullopt);
    EXPECT_FALSE(CloudFileProvider::make(std::nullopt, UbiquitousScope::data)) << "no default container";

    platform::UbiquityContainer::setRootURL(platform::URL::fileURLWithPath((temp / "signed out").string(), true));
    EXPECT_FALSE(platform::UbiquityContainer::identityToken());
    EXPECT_FALSE(CloudFileProvider::make(containerName, UbiquitousScope::data));
    EXPECT_FALSE(fs::exists(temp / "signed out")) << "nothing is made without an account";
}

TEST_F(CloudTest, ABaseURLProviderIsAnICloudProviderOfTheDataScope) {
    auto provider = CloudFileProvider::make(platform::URL::fileURLWithPath(temp.string()));
    EXPECT_EQ(provider->type(), "iCloudDrive");
    EXPECT_EQ(CloudFileProvider::staticType(), "iCloudDrive");
    EXPECT_EQ(provider->dispatch_queue()->label(), "FileProvider.iCloudDrive");
    EXPECT_EQ(provider->operation_queue()->name(), "FileProvider.iCloudDrive.Operation");
    EXPECT_EQ(provider->containerId(), std::nullopt);
    EXPECT_EQ(provider->scope(), UbiquitousScope::data);
    EXPECT_EQ(provider->baseURL()->absoluteString().back(), '/');

    EXPECT_TRUE(provider->isCoorinating());
    provider->setIsCoorinating(false);
    EXPECT_TRUE(provider->isCoorinating());
    EXPECT_TRUE(CloudFileProvider::asserting.load());

    EXPECT_THROW(CloudFileProvider::make(*platform::URL::parse("https://example.com/x/")), platform::Exception);
}

TEST_F(CloudTest, ScopeRawValuesAreTheQueryScopes) {
    EXPECT_EQ(rawValue(UbiquitousScope::data), platform::NSMetadataQueryUbiquitousDataScope);
    EXPECT_EQ(rawValue(UbiquitousScope::documents), platform::NSMetadataQueryUbiquitousDocumentsScope);
    EXPECT_EQ(ubiquitousScopeFromRawValue(platform::NSMetadataQueryUbiquitousDataScope), UbiquitousScope::data);
    EXPECT_EQ(ubiquitousScopeFromRawValue(platform::NSMetadataQueryUbiquitousDocumentsScope), UbiquitousScope::documents);
    for (const char* other : {"", "data", "documents", "NSMetadataQueryUbiquitousDataScope "})
        EXPECT_EQ(ubiquitousScopeFromRawValue(other), std::nullopt) << other;
}

TEST_F(CloudTest, ArchivesDecodeByContainerOrByBaseURL) {
    auto documents = CloudFileProvider::make(std::string("box"), UbiquitousScope::documents);
    platform::KeyedArchiver archiver;
    documents->encode(archiver);
    const auto& json = archiver.json();
    EXPECT_EQ(json.at("containerId"), "box");
    EXPECT_EQ(json.at("scope"), platform::NSMetadataQueryUbiquitousDocumentsScope);
    EXPECT_EQ(json.at("isCoorinating"), true);
    auto decoded = roundTrip(*documents);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->containerId(), "box");
    EXPECT_EQ(decoded->scope(), UbiquitousScope::documents);
    EXPECT_EQ(*decoded->baseURL(), *documents->baseURL());

    // No container identifier: by the base URL.
    auto onFolder = CloudFileProvider::make(platform::URL::fileURLWithPath((temp / "plain folder").string(), true));
    auto decodedFolder = roundTrip(*onFolder);
    ASSERT_TRUE(decodedFolder);
    EXPECT_EQ(*decodedFolder->baseURL(), *onFolder->baseURL());
    EXPECT_EQ(decodedFolder->containerId(), std::nullopt);

    // An unknown scope text: by the base URL too.
    nlohmann::json odd = json;
    odd["scope"] = "somewhere";
    odd["baseURL"] = {{"$url", platform::URL::fileURLWithPath((temp / "elsewhere").string(), true).absoluteString()}};
    auto decodedOdd = CloudFileProvider::make(platform::KeyedUnarchiver(odd));
    ASSERT_TRUE(decodedOdd);
    EXPECT_EQ(decodedOdd->baseURL()->path(), (temp / "elsewhere").string());
    EXPECT_EQ(decodedOdd->containerId(), std::nullopt);

    // Neither: refused as the local provider refuses it.
    EXPECT_THROW(CloudFileProvider::make(platform::KeyedUnarchiver(nlohmann::json::object())), platform::Exception);

    // A container with no account behind it: no provider.
    platform::UbiquityContainer::setRootURL(platform::URL::fileURLWithPath((temp / "signed out").string(), true));
    EXPECT_FALSE(CloudFileProvider::make(platform::KeyedUnarchiver(json)));
}

TEST_F(CloudTest, CopiesKeepTheirBaseAndDelegatesButNotTheUndoManager) {
    auto delegate = std::make_shared<NullDelegate>();
    auto original = CloudFileProvider::make(std::string("box"), UbiquitousScope::documents);
    original->setDelegate(delegate);
    original->setupUndoManager();
    original->setCredential(platform::URLCredential("user", "secret"));
    auto copy = std::dynamic_pointer_cast<CloudFileProvider>(original->copy());
    ASSERT_TRUE(copy);
    EXPECT_EQ(*copy->baseURL(), *original->baseURL());
    EXPECT_EQ(copy->scope(), UbiquitousScope::documents);
    EXPECT_EQ(copy->delegate(), delegate);
    EXPECT_EQ(copy->undoManager(), nullptr);
    EXPECT_EQ(copy->credential(), std::nullopt);

    // A provider on a folder of its own is copied onto that folder, not onto the default container.
    auto onFolder = CloudFileProvider::make(platform::URL::fileURLWithPath((temp / "plain folder").string(), true));
    auto folderCopy = std::dynamic_pointer_cast<CloudFileProvider>(onFolder->copy());
    ASSERT_TRUE(folderCopy);
    EXPECT_EQ(*folderCopy->baseURL(), *onFolder->baseURL());
}

TEST_F(CloudTest, ReachableWhileAnAccountIsSignedIn) {
    auto provider = makeProvider();
    ErrorRef error;
    EXPECT_TRUE(reachable(provider, &error));
    EXPECT_EQ(error, nullptr);
    fs::remove_all(root);
    EXPECT_FALSE(reachable(provider, &error));
    EXPECT_EQ(error, nullptr);
}

TEST_F(CloudTest, SharingAndEvictionAreRefusedThroughTheirCompletions) {
    auto provider = makeProvider();
    writeFile(container() / "kept.txt", "data");
    Calls<ErrorRef> link;
    provider->publicLink("kept.txt", [&](std::optional<platform::URL> url, FileObjectRef, std::optional<platform::Date>,
                                         ErrorRef error) {
        EXPECT_FALSE(url);
        link.add(error);
    });
    ASSERT_TRUE(link.waitFor(1));
    EXPECT_EQ(cocoaCode(link.values().front()), platform::CocoaError::featureUnsupported);

    Calls<ErrorRef> evict;
    provider->evictItem("kept.txt", [&](ErrorRef error) { evict.add(error); });
    provider->evictItem("never there.txt", [&](ErrorRef error) { evict.add(error); });
    ASSERT_TRUE(evict.waitFor(2));
    std::vector<int64_t> codes;
    for (const auto& e : evict.values()) codes.push_back(cocoaCode(e));
    std::sort(codes.begin(), codes.end());
    EXPECT_EQ(codes, (std::vector<int64_t>{platform::CocoaError::fileReadNoSuchFile, platform::CocoaError::featureUnsupported}));
    EXPECT_TRUE(fs::exists(container() / "kept.txt")) << "the only copy stays";
}

TEST_F(CloudTest, RemovalUploadAndWritesRunThroughTheCoordinatedRunner) {
    auto provider = makeProvider();
    writeFile(container() / "old folder" / "inside.txt", "x");
    writeFile(temp / "local.txt", "uploaded");
    Calls<ErrorRef> calls;
    ASSERT_TRUE(provider->removeItem("old folder", [&](ErrorRef e) { calls.add(e); }));
    ASSERT_TRUE(calls.waitFor(1));
    EXPECT_EQ(calls.values()[0], nullptr);
    EXPECT_FALSE(fs::exists(container() / "old folder"));

    ASSERT_TRUE(provider->copyItem(platform::URL::fileURLWithPath((temp / "local.txt").string()), "up 'q'.txt", false,
                                   [&](ErrorRef e) { calls.add(e); }));
    ASSERT_TRUE(calls.waitFor(2));
    EXPECT_EQ(calls.values()[1], nullptr);
    std::ifstream in(container() / "up 'q'.txt");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "uploaded");

    EXPECT_EQ(provider->writeContents("up 'q'.txt", platform::Data{'n'}, false, false, [&](ErrorRef e) { calls.add(e); }),
              nullptr);
    ASSERT_TRUE(calls.waitFor(3));
    EXPECT_EQ(cocoaCode(calls.values()[2]), platform::CocoaError::fileWriteFileExists);
}
