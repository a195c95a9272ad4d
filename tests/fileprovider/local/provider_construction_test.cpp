// test-labels: unit local
#include "local_fixture.hpp"

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/data/KeyedArchive.hpp"
#include "platform/dispatch/OperationQueue.hpp"
#include "platform/base/UndoManager.hpp"

#include <cstdlib>

using namespace localtest;
using platform::URL;

namespace {

class NullDelegate : public FileProviderDelegate, public FileOperationDelegate {
public:
    void fileProviderDidSucceed(const std::shared_ptr<FileProviderOperations>&, const FileOperationType&) override {}
    void fileProviderDidFail(const std::shared_ptr<FileProviderOperations>&, const FileOperationType&,
                             const ErrorRef&) override {}
    void fileProviderProgress(const std::shared_ptr<FileProviderOperations>&, const FileOperationType&, float) override {}
    bool fileProviderShouldStart(const std::shared_ptr<FileProviderOperations>&, const FileOperationType&) override {
        return true;
    }
    bool fileProviderShouldProceed(const std::shared_ptr<FileProviderOperations>&, const ErrorRef&,
                                   const FileOperationType&) override {
        return false;
    }
};

} // namespace

TEST(LocalProviderConstruction, BaseBecomesAFolderURLAndQueuesAreLabelled) {
    auto provider = LocalFileProvider::make(*URL::parse("file:///Users/x/Folder"));
    ASSERT_TRUE(provider->baseURL());
    EXPECT_EQ(provider->baseURL()->absoluteString(), "file:///Users/x/Folder/");
    EXPECT_EQ(provider->type(), "Local");
    EXPECT_EQ(provider->dispatch_queue()->label(), "FileProvider.Local");
    EXPECT_FALSE(provider->dispatch_queue()->isSerial());
    EXPECT_EQ(provider->operation_queue()->name(), "FileProvider.Local.Operation");
    EXPECT_FALSE(provider->isCoorinating());
    EXPECT_FALSE(provider->credential());
    EXPECT_FALSE(provider->undoManager());
    EXPECT_NE(provider->fileManager(), provider->opFileManager());
    EXPECT_NE(provider->fileManager(), platform::FileManager::defaultManager());
    EXPECT_TRUE(provider->opFileManager()->delegate()) << "the operation manager asks the operation delegate";
}

TEST(LocalProviderConstruction, RemoteBaseIsRefusedWithTheMessage) {
    for (const char* text : {"http://example.com/folder", "smb://host/share", "ftp://h/"}) {
        try {
            LocalFileProvider::make(*URL::parse(text));
            ADD_FAILURE() << text << " was accepted";
        } catch (const platform::Exception& e) {
            EXPECT_EQ(e.error()->localizedDescription(), "Cannot initialize a Local provider from remote URL.") << text;
        }
    }
}

TEST(LocalProviderConstruction, ArchiveKeepsBaseAndCoordinationOnly) {
    auto provider = LocalFileProvider::make(*URL::parse("file:///srv/media%20library/"));
    provider->setIsCoorinating(true);
    provider->setCredential(platform::URLCredential("user", "secret", platform::URLCredential::Persistence::forSession));
    platform::KeyedArchiver archiver;
    provider->encode(archiver);
    const std::string data = archiver.encodedData();
    EXPECT_EQ(data.find("secret"), std::string::npos);
    EXPECT_EQ(archiver.json().size(), 2u);

    auto back = LocalFileProvider::make(platform::KeyedUnarchiver(data));
    EXPECT_EQ(back->baseURL()->absoluteString(), "file:///srv/media%20library/");
    EXPECT_TRUE(back->isCoorinating());
    EXPECT_FALSE(back->credential());
}

TEST(LocalProviderConstruction, ArchiveWithoutBaseFails) {
    platform::KeyedArchiver archiver;
    archiver.encode(true, "isCoorinating");
    try {
        LocalFileProvider::make(platform::KeyedUnarchiver(archiver.encodedData()));
        FAIL() << "an archive without a base made a provider";
    } catch (const platform::Exception& e) {
        EXPECT_TRUE(e.error()->is(platform::NSCocoaErrorDomain, platform::CocoaError::coderValueNotFound));
        EXPECT_EQ(e.error()->localizedDescription(), "Base URL is not set.");
    }
}

TEST(LocalProviderConstruction, CopySharesUndoAndDelegatesButNotTheCredential) {
    auto provider = LocalFileProvider::make(*URL::parse("file:///srv/x/"));
    provider->setupUndoManager();
    provider->setIsCoorinating(true);
    provider->setCredential(platform::URLCredential("u", "p", platform::URLCredential::Persistence::forSession));
    auto delegate = std::make_shared<NullDelegate>();
    provider->setDelegate(delegate);
    provider->setFileOperationDelegate(delegate);

    auto copy = provider->copy();
    EXPECT_NE(copy, provider);
    EXPECT_EQ(copy->baseURL(), provider->baseURL());
    EXPECT_EQ(copy->undoManager(), provider->undoManager());
    EXPECT_EQ(copy->delegate(), delegate);
    EXPECT_EQ(copy->fileOperationDelegate(), delegate);
    EXPECT_TRUE(copy->isCoorinating());
    EXPECT_FALSE(copy->credential());
    EXPECT_NE(copy->dispatch_queue(), provider->dispatch_queue());
    EXPECT_TRUE(copy->monitors().empty());

    // Delegates are held weakly.
    delegate.reset();
    EXPECT_FALSE(provider->delegate());
    EXPECT_FALSE(copy->fileOperationDelegate());
}

TEST(LocalProviderPaths, RelativePathOfURLs) {
    auto provider = LocalFileProvider::make(*URL::parse("file:///var/mobile/x/"));
    struct Case {
        std::string url;
        std::string expected;
    } cases[] = {
        {"file:///var/mobile/x/y", "y"},
        {"file:///private/var/mobile/x/y", "y"},
        {"file:///var/mobile/x/a%20b/c%23d", "a b/c#d"},
        {"file:///var/mobile/x/", ""},
        {"file:///var/mobile/x", ""},
        // Only a leading base is cut; the same text further on belongs to a name.
        {"file:///var/mobile/x/var/mobile/x/z", "var/mobile/x/z"},
        // Outside the base: the whole absolute string.
        {"file:///etc/passwd", "file:///etc/passwd"},
        {"file:///var/mobile/xy", "file:///var/mobile/xy"},
    };
    for (const auto& c : cases) EXPECT_EQ(provider->relativePathOf(*URL::parse(c.url)), c.expected) << c.url;
}

TEST(LocalProviderPaths, UrlOfAndBackKeepHostileNames) {
    auto provider = LocalFileProvider::make(*URL::parse("file:///srv/base%20dir/"));
    for (std::string path : {"/a b/c.txt", "it's \"quoted\"", "what?.mkv", "#1 % 100", "über/ünïcödé ☃.flac",
                              "dir/with:colon"}) {
        const URL u = provider->url(path);
        EXPECT_EQ(u.absoluteURL().absoluteString().rfind("file:///srv/base%20dir/", 0), 0u) << path;
        const std::string expected = path[0] == '/' ? path.substr(1) : path;
        EXPECT_EQ(provider->relativePathOf(u), expected) << path;
        EXPECT_EQ(provider->relativePathOf(u.absoluteURL()), expected) << path;
    }
    // Dot segments resolve inside the base.
    EXPECT_EQ(provider->url("../../etc/passwd").absoluteURL().absoluteString(), "file:///srv/base%20dir/etc/passwd");
}

TEST(LocalProviderPaths, URLRelativeToAnotherBaseComesBackWhole) {
    auto provider = LocalFileProvider::make(*URL::parse("file:///a/"));
    const auto relative = URL::parse("b/c", *URL::parse("file:///elsewhere/"));
    ASSERT_TRUE(relative);
    EXPECT_EQ(provider->relativePathOf(*relative), "file:///elsewhere/b/c");
}

TEST(LocalProviderConstruction, SharedContainerFolderIsMadeWithCoordination) {
    TempFolder temp;
    const char* old = std::getenv("XDG_DATA_HOME");
    const std::string saved = old ? old : "";
    ::setenv("XDG_DATA_HOME", temp.path().c_str(), 1);

    auto provider = LocalFileProvider::make("group.example.player", platform::SearchPathDirectory::applicationSupport);
    ASSERT_TRUE(provider);
    EXPECT_TRUE(provider->isCoorinating());
    EXPECT_TRUE(fs::is_directory(temp.path() / "group.example.player" / "Library" / "Application support"));
    EXPECT_EQ(provider->relativePathOf(provider->url("x")), "x");

    for (const char* bad : {"", ".", "..", "a/b", "../x"})
        EXPECT_FALSE(LocalFileProvider::make(bad, platform::SearchPathDirectory::documents)) << bad;

    auto caches = LocalFileProvider::make(platform::SearchPathDirectory::applicationSupport,
                                          platform::SearchPathDomainMask::userDomainMask);
    EXPECT_EQ(caches->baseURL()->path(), temp.path().string());

    if (old)
        ::setenv("XDG_DATA_HOME", saved.c_str(), 1);
    else
        ::unsetenv("XDG_DATA_HOME");
}
