#pragma once
// The client of SMB server records: one share of one server, logged in through an SMB2 session
// (AMSMB2.hpp) whose libsmbclient work runs in a worker process of its own. Listings and the
// synchronous open, read and size run on the client's serial queue; a download runs on a thread of
// the session, so it never holds up reads.
#include "ostrane/LoginGate.hpp"
#include "ostrane/NetworkFileDescriptor.hpp"
#include "ostrane/OstraneClient.hpp"
#include "ostrane/smb/AMSMB2.hpp"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace platform {
class DispatchQueue;
}

namespace Ostrane {

class AMSMB2FileDescriptor final : public NetworkFileDescriptor {
public:
    AMSMB2FileDescriptor(std::shared_ptr<SMB2FileHandle> handle, std::shared_ptr<AMSMB2> session)
        : handle(std::move(handle)), session(std::move(session)) {}

    // Releasing the descriptor is what closes the file on the server.
    const std::shared_ptr<SMB2FileHandle> handle;
    // The session that opened it: a later login's new session cannot read this handle.
    const std::shared_ptr<AMSMB2> session;
};

class AMSMB2Client final : public OstraneClient, public std::enable_shared_from_this<AMSMB2Client> {
public:
    using DataCompletion = std::function<void(std::optional<Bytes>, OstraneErrorRef)>;

    explicit AMSMB2Client(OstraneInfo info);
    static std::shared_ptr<AMSMB2Client> make(const OstraneInfo& info) { return std::make_shared<AMSMB2Client>(info); }
    ~AMSMB2Client() override;

    const OstraneInfo& info() const override { return info_; }
    std::string baseDir() const override { return "/"; }
    std::shared_ptr<OstraneDirectory> baseDirItem() override;
    void setBaseDirItem(std::shared_ptr<OstraneDirectory> item);

    void login(LoginCompletion finish) override;
    /// False also once the worker process of the session has ended.
    bool isConnected() const override;
    void setIsConnected(bool connected) { isConnected_.store(connected); }

    void contents(std::shared_ptr<OstranePathComponent> of, ContentsCompletion finish) override;
    void contents(const std::string& dir, NamesCompletion finish) override;
    void download(const std::string& file, const platform::URL& to, DownloadCompletion completion) override;

    std::shared_ptr<NetworkFileDescriptor> open(const std::string& file) override;
    std::optional<Bytes> read(const std::shared_ptr<NetworkFileDescriptor>& file, std::int64_t offset,
                              std::ptrdiff_t size) override;
    std::optional<std::int64_t> fileSize(const std::shared_ptr<NetworkFileDescriptor>& file) override;
    /// Nothing to send: the file closes when its descriptor is released.
    void close(const std::shared_ptr<NetworkFileDescriptor>& file) override;

    /// SMB media are streamed through the client, never played from a URL: always none.
    std::optional<std::string> address(const platform::URL& of) override;
    std::optional<UserPassword> userpassword(const platform::URL& of) override;

    /// Reading a whole file at once is not offered: `finish` gets an error.
    void data(const platform::URL& of, DataCompletion finish);

    /// The session of the last login, if any.
    std::shared_ptr<AMSMB2> session() const;
    const std::shared_ptr<platform::DispatchQueue>& queue() const { return queue_; }

    /// Bounds every request to the server (default 60 s); applies from the next login.
    void setTimeout(std::chrono::milliseconds timeout) { timeoutMilliseconds_.store(timeout.count()); }

    /// "smb://" + host (+ ":" + port); no value when that is not a URL or the port is unusable.
    /// A host may carry its own port ("nas.local:445"); the record's port replaces it.
    std::optional<platform::URL> serverURL();
    static std::optional<platform::URL> makeServerURL(const OstraneInfo& info);
    /// `baseDir` with "/" and " " removed from both ends.
    static std::string shareName(const std::string& baseDir);
    /// One listed entry as a tree component under `parent`, or none (hidden, unnamed, other kinds).
    static std::shared_ptr<OstranePathComponent> component(const SMB2DirectoryEntry& entry,
                                                           const std::shared_ptr<OstraneDirectory>& parent);

private:
    void replaceSession(std::shared_ptr<AMSMB2> session);
    template <class F>
    auto onQueue(F&& work) -> decltype(work());

    const OstraneInfo info_;
    std::atomic<bool> isConnected_{false};
    std::atomic<std::int64_t> timeoutMilliseconds_{60'000};
    const std::shared_ptr<platform::DispatchQueue> queue_;
    LoginGate loginGate_;

    mutable std::mutex mutex_;  // guards the three below
    std::shared_ptr<OstraneDirectory> baseDirItem_;
    std::shared_ptr<AMSMB2> session_;
    std::optional<std::optional<platform::URL>> serverURL_;
};

}  // namespace Ostrane
