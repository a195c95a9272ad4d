// test-labels: unit tsan
#include "fileprovider/smb2/SMBFileProvider.hpp"

#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/OperationQueue.hpp"
#include "platform/dispatch/Progress.hpp"
#include "support/Wait.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace RiridOzizevud;
using platform::URL;
using platform::URLCredential;

namespace {

URL url(const char* text) { return *URL::parse(text); }

class NullDelegate : public FileProviderDelegate {
public:
    void fileProviderDidSucceed(const std::shared_ptr<FileProviderOperations>&, const FileOperationType&) override {}
    void fileProviderDidFail(const std::shared_ptr<FileProviderOperations>&, const FileOperationType&,
                             const ErrorRef&) override {}
    void fileProviderProgress(const std::shared_ptr<FileProviderOperations>&, const FileOperationType&, float) override {}
};

class NullOperationDelegate : public FileOperationDelegate {
public:
    bool fileProviderShouldStart(const std::shared_ptr<FileProviderOperations>&, const FileOperationType&) override {
        return true;
    }
    bool fileProviderShouldProceed(const std::shared_ptr<FileProviderOperations>&, const ErrorRef&,
                                   const FileOperationType&) override {
        return true;
    }
};

// Counts the calls of one completion and keeps what the first brought.
class Answers {
public:
    void record(ErrorRef error) {
        {
            std::lock_guard lock(mutex_);
            if (calls_++ == 0) {
                error_ = std::move(error);
                label_ = platform::DispatchQueue::currentLabel();
            }
        }
        changed_.notify_all();
    }
    bool waitForFirst() {
        std::unique_lock lock(mutex_);
        return ostrane_test::waitUntil(changed_, lock, [&] { return calls_ > 0; });
    }
    int calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    ErrorRef error() {
        std::lock_guard lock(mutex_);
        return error_;
    }
    std::string label() {
        std::lock_guard lock(mutex_);
        return label_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int calls_ = 0;
    ErrorRef error_;
    std::string label_;
};

} // namespace

TEST(SMBFileProvider, MadeOnlyForSMBURLsWithADirectoryBase) {
    struct Case {
        const char* url;
        const char* base;  // nullptr: no provider
    };
    for (const Case& c : {
             Case{"smb://server/share", "smb://server/share/"},
             Case{"smb://server/share/", "smb://server/share/"},
             Case{"SMB://server/share", "SMB://server/share/"},
             Case{"sMb://user@server:445", "sMb://user@server:445/"},
             Case{"http://server/share", nullptr},
             Case{"smbs://server/share", nullptr},
             Case{"file:///tmp/share", nullptr},
             Case{"server/share", nullptr},
         }) {
        const auto provider = SMBFileProvider::make(url(c.url));
        if (!c.base) {
            EXPECT_EQ(provider, nullptr) << c.url;
            continue;
        }
        ASSERT_NE(provider, nullptr) << c.url;
        ASSERT_TRUE(provider->baseURL());
        EXPECT_EQ(provider->baseURL()->absoluteString(), c.base) << c.url;
    }
}

TEST(SMBFileProvider, FieldsAfterCreation) {
    const auto provider = SMBFileProvider::make(url("smb://server/share"), URLCredential("ann", "secret"));
    ASSERT_NE(provider, nullptr);
    EXPECT_EQ(provider->type(), "SMB");
    EXPECT_EQ(SMBFileProvider::staticType(), "SMB");
    EXPECT_TRUE(SMBFileProvider::supportsSecureCoding);
    EXPECT_EQ(provider->credential(), URLCredential("ann", "secret"));
    ASSERT_NE(provider->dispatch_queue(), nullptr);
    EXPECT_EQ(provider->dispatch_queue()->label(), "FileProvider.SMB");
    EXPECT_FALSE(provider->dispatch_queue()->isSerial());
    ASSERT_NE(provider->operation_queue(), nullptr);
    EXPECT_EQ(provider->operation_queue()->name(), "FileProvider.SMB.Operation");
    EXPECT_EQ(provider->delegate(), nullptr);
    EXPECT_EQ(provider->fileOperationDelegate(), nullptr);
    EXPECT_EQ(provider->url("dir/a b.txt").absoluteString(), "smb://server/share/dir/a%20b.txt");
    EXPECT_EQ(provider->debugDescription().rfind("SMB provider - smb://server/share/", 0), 0u);
    EXPECT_EQ(provider->debugDescription().find("secret"), std::string::npos);
}

TEST(SMBFileProvider, ArchiveRoundTrip) {
    for (const auto& credential : {std::optional<URLCredential>(URLCredential("ann", "p@ss:word")),
                                   std::optional<URLCredential>()}) {
        const auto provider = SMBFileProvider::make(url("smb://server/share/dir"), credential);
        platform::KeyedArchiver archiver;
        provider->encode(archiver);
        const auto restored = SMBFileProvider::make(platform::KeyedUnarchiver(archiver.encodedData()));
        ASSERT_NE(restored, nullptr);
        EXPECT_EQ(restored->baseURL(), provider->baseURL());
        EXPECT_EQ(restored->baseURL()->absoluteString(), "smb://server/share/dir/");
        EXPECT_EQ(restored->credential(), credential);
        EXPECT_TRUE(*restored == *provider);
    }
}

TEST(SMBFileProvider, UnarchivingWithoutBaseURLFailsTheDecoder) {
    platform::KeyedArchiver archiver;
    archiver.encode(platform::Value(), "credential");
    try {
        SMBFileProvider::make(platform::KeyedUnarchiver(archiver.encodedData()));
        FAIL() << "no error";
    } catch (const platform::Exception& e) {
        ASSERT_NE(e.error(), nullptr);
        EXPECT_TRUE(e.error()->is(platform::NSCocoaErrorDomain, platform::CocoaError::coderValueNotFound));
        EXPECT_EQ(e.error()->localizedDescription(), "Base URL is not set.");
    }
}

TEST(SMBFileProvider, UnarchivingAnotherSchemeGivesNoProviderAndNoError) {
    platform::KeyedArchiver archiver;
    archiver.encode(platform::Value(url("https://server/share/")), "baseURL");
    std::shared_ptr<SMBFileProvider> provider;
    EXPECT_NO_THROW(provider = SMBFileProvider::make(platform::KeyedUnarchiver(archiver.encodedData())));
    EXPECT_EQ(provider, nullptr);
}

TEST(SMBFileProvider, CopyKeepsBaseCredentialAndDelegatesWithQueuesOfItsOwn) {
    const auto provider = SMBFileProvider::make(url("smb://server/share"), URLCredential("ann", "secret"));
    const auto delegate = std::make_shared<NullDelegate>();
    const auto operationDelegate = std::make_shared<NullOperationDelegate>();
    provider->setDelegate(delegate);
    provider->setFileOperationDelegate(operationDelegate);

    const auto copy = provider->copy();
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, provider);
    EXPECT_EQ(copy->baseURL(), provider->baseURL());
    EXPECT_EQ(copy->credential(), provider->credential());
    EXPECT_EQ(copy->delegate(), delegate);
    EXPECT_EQ(copy->fileOperationDelegate(), operationDelegate);
    EXPECT_NE(copy->dispatch_queue(), provider->dispatch_queue());
    EXPECT_NE(copy->operation_queue(), provider->operation_queue());
    EXPECT_EQ(copy->dispatch_queue()->label(), "FileProvider.SMB");
    EXPECT_EQ(copy->operation_queue()->name(), "FileProvider.SMB.Operation");

    // The copy holds its delegates weakly too.
    {
        auto shortLived = std::make_shared<NullDelegate>();
        provider->setDelegate(shortLived);
        const auto second = provider->copy();
        EXPECT_EQ(second->delegate(), shortLived);
        shortLived.reset();
        provider->setDelegate(delegate);
        EXPECT_EQ(second->delegate(), nullptr);
    }

    provider->setCredential(std::nullopt);
    const auto plain = provider->copy();
    EXPECT_EQ(plain->credential(), std::nullopt);
}

// Every operation does no work, yet answers: its completion runs once, on the provider's queue,
// with an error, and it starts no progress.
TEST(SMBFileProvider, EveryOperationAnswersOnceWithAnError) {
    using Operation = std::function<ProgressRef(SMBFileProvider&, const std::shared_ptr<Answers>&)>;
    struct Case {
        const char* name;
        Operation run;
    };
    const URL local = URL::fileURLWithPath("/tmp/smb-upload.txt");
    const auto query = platform::Predicate::format("name == %@", {platform::Value("a")});
    const std::vector<Case> cases = {
        {"contentsOfDirectory",
         [](SMBFileProvider& p, const std::shared_ptr<Answers>& a) {
             p.contentsOfDirectory("dir", [a](std::vector<FileObjectRef> files, ErrorRef e) {
                 EXPECT_TRUE(files.empty());
                 a->record(e);
             });
             return ProgressRef();
         }},
        {"attributesOfItem",
         [](SMBFileProvider& p, const std::shared_ptr<Answers>& a) {
             p.attributesOfItem("a.txt", [a](FileObjectRef file, ErrorRef e) {
                 EXPECT_EQ(file, nullptr);
                 a->record(e);
             });
             return ProgressRef();
         }},
        {"storageProperties",
         [](SMBFileProvider& p, const std::shared_ptr<Answers>& a) {
             // This completion has no error argument: the missing volume is the failure.
             p.storageProperties([a](VolumeObjectRef volume) {
                 a->record(volume ? nullptr
                                  : platform::CocoaError::withDescription(platform::CocoaError::featureUnsupported,
                                                                          "Unimplemented operation (no volume)"));
             });
             return ProgressRef();
         }},
        {"isReachable",
         [](SMBFileProvider& p, const std::shared_ptr<Answers>& a) {
             p.isReachable([a](bool reachable, ErrorRef e) {
                 EXPECT_FALSE(reachable);
                 a->record(e);
             });
             return ProgressRef();
         }},
        {"searchFiles(predicate)",
         [query](SMBFileProvider& p, const std::shared_ptr<Answers>& a) {
             return p.searchFiles(
                 "", true, query, [a](FileObjectRef) { a->record(nullptr); },
                 [a](std::vector<FileObjectRef> files, ErrorRef e) {
                     EXPECT_TRUE(files.empty());
                     a->record(e);
                 });
         }},
        {"searchFiles(text)",
         [](SMBFileProvider& p, const std::shared_ptr<Answers>& a) {
             return p.searchFiles(
                 "", false, std::string("a"), [a](FileObjectRef) { a->record(nullptr); },
                 [a](std::vector<FileObjectRef>, ErrorRef e) { a->record(e); });
         }},
        {"create",
         [](SMBFileProvider& p, const std::shared_ptr<Answers>& a) {
             return p.create("new", "dir", [a](ErrorRef e) { a->record(e); });
         }},
        {"moveItem",
         [](SMBFileProvider& p, const std::shared_ptr<Answers>& a) {
             return p.moveItem("a", "b", true, [a](ErrorRef e) { a->record(e); });
         }},
        {"moveItem(no overwrite)",
         [](SMBFileProvider& p, const std::shared_ptr<Answers>& a) {
             return p.moveItem("a", "b", [a](ErrorRef e) { a->record(e); });
         }},
        {"copyItem",
         [](SMBFileProvider& p, const std::shared_ptr<Answers>& a) {
             return p.copyItem("a", "b", true, [a](ErrorRef e) { a->record(e); });
         }},
        {"copyItem(no overwrite)",
         [](SMBFileProvider& p, const std::shared_ptr<Answers>& a) {
             return p.copyItem("a", "b", [a](ErrorRef e) { a->record(e); });
         }},
        {"removeItem",
         [](SMBFileProvider& p, const std::shared_ptr<Answers>& a) {
             return p.removeItem("a", [a](ErrorRef e) { a->record(e); });
         }},
        {"upload",
         [local](SMBFileProvider& p, const std::shared_ptr<Answers>& a) {
             return p.copyItem(local, "b", true, [a](ErrorRef e) { a->record(e); });
         }},
        {"upload(no overwrite)",
         [local](SMBFileProvider& p, const std::shared_ptr<Answers>& a) {
             return p.copyItem(local, "b", [a](ErrorRef e) { a->record(e); });
         }},
        {"download",
         [local](SMBFileProvider& p, const std::shared_ptr<Answers>& a) {
             return p.copyItem("a", local, [a](ErrorRef e) { a->record(e); });
         }},
        {"contents",
         [](SMBFileProvider& p, const std::shared_ptr<Answers>& a) {
             return p.contents("a", [a](std::optional<Data> data, ErrorRef e) {
                 EXPECT_FALSE(data);
                 a->record(e);
             });
         }},
        {"contents(range)",
         [](SMBFileProvider& p, const std::shared_ptr<Answers>& a) {
             return p.contents("a", 10, 20, [a](std::optional<Data> data, ErrorRef e) {
                 EXPECT_FALSE(data);
                 a->record(e);
             });
         }},
        {"writeContents",
         [](SMBFileProvider& p, const std::shared_ptr<Answers>& a) {
             return p.writeContents("a", Data{1}, true, true, [a](ErrorRef e) { a->record(e); });
         }},
        {"writeContents(plain)",
         [](SMBFileProvider& p, const std::shared_ptr<Answers>& a) {
             return p.writeContents("a", Data{1}, [a](ErrorRef e) { a->record(e); });
         }},
        {"writeContents(atomically)",
         [](SMBFileProvider& p, const std::shared_ptr<Answers>& a) {
             return p.writeContents("a", Data{1}, true, [a](ErrorRef e) { a->record(e); });
         }},
        {"writeContents(overwrite)",
         [](SMBFileProvider& p, const std::shared_ptr<Answers>& a) {
             return p.writeContentsOverwrite("a", std::nullopt, true, [a](ErrorRef e) { a->record(e); });
         }},
    };

    const auto provider = SMBFileProvider::make(url("smb://server/share"));
    std::vector<std::shared_ptr<Answers>> answers;
    for (const Case& c : cases) {
        auto answer = std::make_shared<Answers>();
        answers.push_back(answer);
        EXPECT_EQ(c.run(*provider, answer), nullptr) << c.name;
    }
    for (size_t i = 0; i < cases.size(); ++i) {
        ASSERT_TRUE(answers[i]->waitForFirst()) << cases[i].name;
        ASSERT_NE(answers[i]->error(), nullptr) << cases[i].name;
        EXPECT_TRUE(answers[i]->error()->is(platform::NSCocoaErrorDomain, platform::CocoaError::featureUnsupported))
            << cases[i].name;
        EXPECT_EQ(answers[i]->error()->localizedDescription().rfind("Unimplemented operation ", 0), 0u)
            << cases[i].name << ": " << answers[i]->error()->localizedDescription();
        EXPECT_EQ(answers[i]->label(), "FileProvider.SMB") << cases[i].name;
    }
    // No late second answer.
    std::this_thread::sleep_for(ostrane_test::quietPeriod);
    for (size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(answers[i]->calls(), 1) << cases[i].name;
}

TEST(SMBFileProvider, AnswersAlsoWhenReleasedRightAfterTheCall) {
    auto answer = std::make_shared<Answers>();
    {
        const auto provider = SMBFileProvider::make(url("smb://server/share"));
        provider->contentsOfDirectory("", [answer](std::vector<FileObjectRef>, ErrorRef e) { answer->record(e); });
    }
    ASSERT_TRUE(answer->waitForFirst());
    EXPECT_NE(answer->error(), nullptr);
}

TEST(SMBFileProvider, OperationsWithoutCompletionDoNothing) {
    const auto provider = SMBFileProvider::make(url("smb://server/share"));
    EXPECT_EQ(provider->removeItem("a", nullptr), nullptr);
    provider->contentsOfDirectory("", nullptr);
    provider->isReachable(nullptr);
    EXPECT_EQ(provider->contents("a", 0, 1, nullptr), nullptr);
}

TEST(SMBFileProvider, NothingIsEverWatched) {
    const auto provider = SMBFileProvider::make(url("smb://server/share"));
    bool called = false;
    provider->registerNotifcation("dir", [&called] { called = true; });
    EXPECT_FALSE(provider->isRegisteredForNotification("dir"));
    provider->unregisterNotifcation("dir");
    EXPECT_FALSE(provider->isRegisteredForNotification("dir"));
    EXPECT_FALSE(called);
}
