#pragma once
// One behaviour suite for every kind of server client, run against a real server on 127.0.0.1.
//
// A kind joins from its own test program (labelled with its server label):
//
//   class MyServer : public ostrane_test::BehaviourServer { ... };      // start/stop a real server
//   MyServer* myServer = ...;                                          // made once per program
//   #include "support/ClientBehaviourSuite.hpp"                        // the tests, once per program
//   namespace ostrane_test {
//   INSTANTIATE_TEST_SUITE_P(SFTP, ClientBehaviour, ::testing::Values(myServer), behaviourName);
//   }
//
// Before the first test the suite writes its files into contentRoot() and starts the server; the
// server must then show contentRoot() at remoteRoot(). The last test stops the server under an open
// file and starts it again.
//
// Passwords go to the keychain store through the records, so the program must choose a store before
// the first keychain call (useMemoryKeychain() does).
#include "ostrane/NetworkFileHandle.hpp"
#include "ostrane/NetworkFileManager.hpp"
#include "ostrane/OstraneClient.hpp"
#include "support/Wait.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace ostrane_test {

class BehaviourServer {
public:
    virtual ~BehaviourServer() = default;

    /// The kind, for test names ("SMB").
    virtual std::string kind() const = 0;
    virtual void start() = 0;
    virtual void stop() = 0;
    /// The local folder the server serves; the suite fills it before start().
    virtual std::filesystem::path contentRoot() const = 0;
    /// The path on the server that shows contentRoot(), ending with "/" ("/" for an SMB share); the
    /// baseDirItem() of a client of record() must be that folder.
    virtual std::string remoteRoot() const = 0;
    /// A record for the running server (host, port, base directory or share, user name); its
    /// identifier is fixed for the life of the server object.
    virtual Ostrane::OstraneInfo record() const = 0;
    virtual std::string password() const = 0;
    /// Characters that this kind of server cannot carry in names (SMB: ? " * : < > | \).
    virtual std::string forbiddenNameCharacters() const { return ""; }
    /// Whether the registry declares this kind's files to stream through NetworkFileHandle (SMB,
    /// SFTP). Every kind serves open and ranged reads all the same.
    virtual bool streams() const { return true; }
    /// Size of the large sparse file; past 4 GiB by default.
    virtual std::int64_t largeFileSize() const { return 5LL * 1024 * 1024 * 1024 + 12345; }
    /// Whether the name listing keeps hidden names (SFTP keeps every entry that is not a directory).
    virtual bool namesShowHidden() const { return false; }
    /// Whether a read at or past the end answers no bytes at all instead of an empty list (SFTP).
    virtual bool endOfFileGivesNoBytes() const { return false; }
    /// Whether what arrived before the server went can still be read (SFTP's read-ahead).
    virtual bool readsAhead() const { return false; }
    /// Whether the tree keeps the server's order instead of sorting by name (WebDAV).
    virtual bool listsInServerOrder() const { return false; }
};

/// Test names from the kind.
std::string behaviourName(const ::testing::TestParamInfo<BehaviourServer*>& info);

/// Selects the process-wide in-memory keychain store (call before any password is used).
void useMemoryKeychain();

/// The names the suite writes (those this kind can carry), each a file of known content.
std::vector<std::string> hostileNames(const BehaviourServer& server);
std::string contentOf(const std::string& name);
/// The byte at `offset` of the large file's patterned regions (zeros elsewhere).
std::uint8_t largeFilePattern(std::int64_t offset);
/// Regions of the large file that hold the pattern: start, across 4 GiB, end.
std::vector<std::pair<std::int64_t, std::int64_t>> largeFileRegions(std::int64_t size);
bool matchesLargeFile(const std::vector<std::uint8_t>& data, std::int64_t offset, std::int64_t size);

/// Writes the suite's content (once) and starts the server (when it is not running).
void prepareBehaviourServer(BehaviourServer& server);

/// Waits at most `limit` for a completion-style call; fails the test when it never answers.
template <class T>
std::optional<T> await(const std::function<void(std::function<void(T)>)>& call,
                       std::chrono::seconds limit = hangLimit) {
    auto promise = std::make_shared<std::promise<T>>();
    auto future = promise->get_future();
    auto called = std::make_shared<std::atomic<int>>(0);
    call([promise, called](T value) {
        if (called->fetch_add(1) == 0) {
            promise->set_value(std::move(value));
        } else {
            ADD_FAILURE() << "completion called twice";
        }
    });
    if (future.wait_for(limit) != std::future_status::ready) {
        ADD_FAILURE() << "no completion within " << limit.count() << " s";
        return std::nullopt;
    }
    return future.get();
}

class ClientBehaviour : public ::testing::TestWithParam<BehaviourServer*> {
protected:
    void SetUp() override;
    void TearDown() override;

    BehaviourServer& server() { return *GetParam(); }
    /// A client of its own (not registered), password in the keychain.
    std::shared_ptr<Ostrane::OstraneClient> newClient(const std::optional<std::string>& password = std::nullopt);
    /// Logs in; no error expected.
    void login(const std::shared_ptr<Ostrane::OstraneClient>& client);
    Ostrane::OstraneErrorRef loginError(const std::shared_ptr<Ostrane::OstraneClient>& client);
    using Listing = std::pair<std::optional<Ostrane::OstranePathComponent::Contents>, Ostrane::OstraneErrorRef>;
    Listing list(const std::shared_ptr<Ostrane::OstraneClient>& client,
                 const std::shared_ptr<Ostrane::OstranePathComponent>& directory);
    using Names = std::pair<std::optional<std::vector<std::string>>, Ostrane::OstraneErrorRef>;
    Names names(const std::shared_ptr<Ostrane::OstraneClient>& client, const std::string& path);
    Ostrane::OstraneErrorRef download(const std::shared_ptr<Ostrane::OstraneClient>& client, const std::string& path,
                                      const std::filesystem::path& to);
    /// The remote path of a name under remoteRoot().
    std::string remote(const std::string& relative) { return server().remoteRoot() + relative; }
    /// The internal URL of a path on the registered record.
    platform::URL internalURL(const std::string& path);

    std::filesystem::path scratch_;  // a fresh local folder per test
    std::vector<Ostrane::OstraneInfo> registered_;
};

}  // namespace ostrane_test
