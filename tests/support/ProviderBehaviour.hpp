#pragma once
// One behaviour suite for every file provider (WebDAV, FTP, local, and the cloud ones against their
// fakes): listing, attributes, search, create, copy, move, remove, upload, download, ranged and
// streamed reads, overwrite rules and hostile names.
//
// A provider joins from its own test program:
//
//   class MyTarget : public ostrane_test::ProviderTarget { ... };      // its server and providers
//   #include "support/ProviderBehaviourSuite.hpp"                     // the tests, once per program
//   namespace ostrane_test {
//   INSTANTIATE_TEST_SUITE_P(WebDAV, ProviderBehaviour, ::testing::Values(myTarget), providerBehaviourName);
//   }
//
// Before the first test the suite writes its files into contentRoot() (which the provider must show
// at its root path "/") and starts the target. Each test works in a folder of its own, made through
// the provider. Every wait is bounded.
#include "fileprovider/core/FileProvider.hpp"
#include "support/Wait.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ostrane_test {

class ProviderTarget {
public:
    virtual ~ProviderTarget() = default;

    /// The provider kind, for test names ("WebDAV").
    virtual std::string kind() const = 0;
    virtual void start() = 0;
    virtual void stop() = 0;
    /// The local folder the provider shows at "/"; the suite fills it before start().
    virtual std::filesystem::path contentRoot() const = 0;
    /// Called after the suite wrote into contentRoot(): a server running as another user takes the files.
    virtual void handOver() {}
    /// A fresh provider for the running target (credentials set, delegates not).
    virtual std::shared_ptr<RiridOzizevud::FileProvider> makeProvider() = 0;
    /// Characters this kind cannot carry in names.
    virtual std::string forbiddenNameCharacters() const { return ""; }
    /// Whether searchFiles finds entries by name.
    virtual bool searches() const { return true; }
    /// Whether a copy or move with overwrite replaces an existing item (a service without that
    /// choice refuses it instead).
    virtual bool replacesOnCopyAndMove() const { return true; }
    /// Makes the next download answer end, connection closed, after `bytes` bytes of its body;
    /// false for a real server, whose transfers the suite cuts short by cancelling instead.
    virtual bool dropNextDownloadAfter(std::size_t /*bytes*/) { return false; }
    /// Whether an overwriting copy or upload onto a folder is refused. False marks a provider that
    /// still lets the server replace the folder (a fault not mended yet).
    virtual bool keepsFoldersFromOverwritingTransfers() const { return true; }
    /// Whether an overwriting write onto a folder is refused (see above).
    virtual bool keepsFoldersFromOverwritingWrites() const { return true; }
    /// Whether an overwriting move of a file onto a folder is refused (see above).
    virtual bool keepsFoldersFromOverwritingMoves() const { return true; }
};

std::string providerBehaviourName(const ::testing::TestParamInfo<ProviderTarget*>& info);

/// The hostile names this kind can carry (spaces, quotes, ?, #, %, non-ASCII...).
std::vector<std::string> providerHostileNames(const ProviderTarget& target);
/// Known content of a named file.
std::string providerContentOf(const std::string& name);
/// The patterned bytes of the suite's large file.
std::string providerLargeFile();

/// Writes the suite's content and starts the target, once until it is stopped.
void prepareProviderTarget(ProviderTarget& target);
/// Stops every target prepareProviderTarget started.
void stopProviderTargets();

/// Waits at most `limit` for a completion; fails the test when it never comes or comes twice.
template <class... Args, class Call>
std::optional<std::tuple<Args...>> awaitCompletion(Call&& call, std::chrono::seconds limit = ostrane_test::hangLimit) {
    auto promise = std::make_shared<std::promise<std::tuple<Args...>>>();
    auto future = promise->get_future();
    auto called = std::make_shared<std::atomic<int>>(0);
    std::function<void(Args...)> handler = [promise, called](Args... args) {
        if (called->fetch_add(1) == 0) promise->set_value(std::make_tuple(std::move(args)...));
        else ADD_FAILURE() << "completion called twice";
    };
    call(handler);
    if (future.wait_for(limit) != std::future_status::ready) {
        ADD_FAILURE() << "no completion within " << limit.count() << " s";
        return std::nullopt;
    }
    return future.get();
}

class ProviderBehaviour : public ::testing::TestWithParam<ProviderTarget*> {
public:
    /// The servers stop with the suite.
    static void TearDownTestSuite() { stopProviderTargets(); }

protected:
    using FileObjectRef = RiridOzizevud::FileObjectRef;
    using ErrorRef = platform::ErrorRef;

    void SetUp() override;
    void TearDown() override;

    ProviderTarget& target() { return *GetParam(); }
    RiridOzizevud::FileProvider& provider() { return *provider_; }

    /// The test's own folder on the provider ("/work-<test name>"), made in SetUp.
    const std::string& work() const { return work_; }

    std::pair<std::vector<FileObjectRef>, ErrorRef> list(const std::string& path);
    std::vector<std::string> names(const std::string& path);
    std::pair<FileObjectRef, ErrorRef> attributes(const std::string& path);
    ErrorRef write(const std::string& path, const std::string& content, bool overwrite);
    std::pair<std::optional<std::string>, ErrorRef> read(const std::string& path, int64_t offset = 0, int64_t length = -1);
    ErrorRef create(const std::string& folder, const std::string& at);
    ErrorRef copy(const std::string& from, const std::string& to, bool overwrite);
    ErrorRef move(const std::string& from, const std::string& to, bool overwrite);
    ErrorRef remove(const std::string& path);
    ErrorRef upload(const std::filesystem::path& local, const std::string& to, bool overwrite);
    ErrorRef download(const std::string& path, const std::filesystem::path& to);
    /// Waits (bounded) until `done` holds, asking again every few milliseconds.
    static bool eventually(const std::function<bool()>& done, std::chrono::seconds limit = std::chrono::seconds(60));
    /// The names in a local folder, sorted.
    static std::vector<std::string> localNames(const std::filesystem::path& folder);

    std::shared_ptr<RiridOzizevud::FileProvider> provider_;
    std::string work_;
    std::filesystem::path scratch_;  // a fresh local folder per test
};

}  // namespace ostrane_test
