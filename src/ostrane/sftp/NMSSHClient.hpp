#pragma once
// The client of SFTP server records: password login over SSH (the server's key checked against
// the known-hosts file first), listings with symbolic links resolved one level, downloads, and
// ranged reads for streaming. Everything that talks to the server runs on the client's serial
// queue; open, read, fileSize and close wait for it.
#include "ostrane/NetworkFileDescriptor.hpp"
#include "ostrane/OstraneClient.hpp"
#include "ostrane/sftp/NMSFTP.hpp"
#include "ostrane/sftp/NMSSHSession.hpp"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace platform {
class DispatchQueue;
}

namespace Ostrane {

/// A file opened by NMSSHClient. The handle is closed by the client's close(file:), or when the
/// last descriptor holding it goes.
class NMSSHFileDescriptor final : public NetworkFileDescriptor {
public:
    explicit NMSSHFileDescriptor(std::shared_ptr<NMSFTPHandle> fd) : fd(std::move(fd)) {}
    const std::shared_ptr<NMSFTPHandle> fd;
};

class NMSSHClient final : public OstraneClient, public std::enable_shared_from_this<NMSSHClient> {
public:
    /// A read asks for at most this much; the caller asks again for the rest.
    static constexpr std::ptrdiff_t maximumReadSize = 16 << 20;

    explicit NMSSHClient(OstraneInfo info);
    static std::shared_ptr<NMSSHClient> make(const OstraneInfo& info) { return std::make_shared<NMSSHClient>(info); }
    ~NMSSHClient() override;

    const OstraneInfo& info() const override { return info_; }
    /// The record's baseDir, or "/".
    std::string baseDir() const override;
    std::shared_ptr<OstraneDirectory> baseDirItem() override;

    /// Connects, checks the host key, authenticates and starts SFTP. While the channel of an
    /// earlier login stands, it is kept (descriptors opened on it stay usable) and the login
    /// succeeds at once; a dead one is replaced by a new session.
    void login(LoginCompletion finish) override;
    /// The SFTP channel of the last login stands.
    bool isConnected() const override;

    void contents(std::shared_ptr<OstranePathComponent> of, ContentsCompletion finish) override;
    void contents(const std::string& dir, NamesCompletion finish) override;
    /// Copies into a placement file beside `to` (platform::PlacementFile) and moves it into place,
    /// replacing a file there but never a folder, only when the whole file arrived; a destination
    /// that cannot be written answers "dst file open failed" at once.
    void download(const std::string& file, const platform::URL& to, DownloadCompletion completion) override;

    std::shared_ptr<NetworkFileDescriptor> open(const std::string& file) override;
    /// The `size` bytes (at most maximumReadSize) from `offset`, or fewer only where the file ends:
    /// empty bytes at or past its end. No value for an empty range or on failure; what arrived of
    /// a range that then failed (a dead connection, a time-out) is never handed out as a success.
    std::optional<Bytes> read(const std::shared_ptr<NetworkFileDescriptor>& file, std::int64_t offset,
                              std::ptrdiff_t size) override;
    std::optional<std::int64_t> fileSize(const std::shared_ptr<NetworkFileDescriptor>& file) override;
    /// On the queue like read(): returns once the handle is closed (or was left to a dead connection).
    void close(const std::shared_ptr<NetworkFileDescriptor>& file) override;

    /// SFTP media are streamed through the client: always none.
    std::optional<std::string> address(const platform::URL& of) override;
    std::optional<UserPassword> userpassword(const platform::URL& of) override;

    /// Bounds each wait on the server (default 60 s); applies from the next connection.
    void setTimeout(std::chrono::milliseconds timeout) { timeoutMs_.store(timeout.count()); }

    std::shared_ptr<NMSSHSession> session() const;
    std::shared_ptr<NMSFTP> sftp() const;
    const std::shared_ptr<platform::DispatchQueue>& queue() const { return queue_; }

    /// One listed entry as a tree component under `parent`, or none for a hidden name.
    static std::shared_ptr<OstranePathComponent> component(const NMSFTPFile& file,
                                                           const std::shared_ptr<OstraneDirectory>& parent);
    /// Where a link in `directory` whose stored target is `target` points: relative targets are
    /// taken from the link's directory; "." and ".." segments are worked out.
    static std::string resolveLinkTarget(const std::string& directory, const std::string& target);

private:
    OstraneErrorRef connectSteps();
    void resolveLinks(NMSFTP& sftp, const std::shared_ptr<OstraneDirectory>& directory,
                      const OstranePathComponent::Contents& list);
    template <class F>
    auto onQueue(F&& work) -> decltype(work());

    const OstraneInfo info_;
    const std::shared_ptr<platform::DispatchQueue> queue_;
    std::atomic<std::int64_t> timeoutMs_{NMSSHSession::defaultTimeout.count()};

    mutable std::mutex mutex_;  // guards the members below
    std::shared_ptr<OstraneDirectory> baseDirItem_;
    std::shared_ptr<NMSSHSession> session_;
    bool sessionUsed_ = false;
    std::shared_ptr<NMSFTP> sftp_;
};

}  // namespace Ostrane
