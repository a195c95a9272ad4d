#pragma once
// The client of FTP server records. Listings, size queries and downloads are curl requests run on
// the client's serial queue, so one curl handle is never used by two threads: the login's listing
// and open/read wait for the queue; listings and downloads are queued and complete on it. Listing
// lines are read with parse_ftp_list_line. An open file reads through an FTPFileReader of its own
// (one login, one transfer kept open for reads in order).
//
// The host is used as "ftp://" + host, unless it already begins with a scheme of FTP (any letter
// case): "ftp://" plain; "ftps://" implicit TLS (TLS from the first byte, port 990 by default);
// "ftpes://" explicit TLS (AUTH TLS on the usual port). With TLS the control and data connections
// are protected, 1.2 or later, certificate verified; the connection fails rather than fall back
// to plain text. address(of:) hands out the same scheme.
//
// The user name is read when the server address is first needed, the keychain password then and
// again at every login; both go to curl as options: no URL the client builds, traces or reports
// carries them.
// FTP media are not streamed through the client's handle: the host plays them from address(of:).
#include "ostrane/NetworkFileDescriptor.hpp"
#include "ostrane/OstraneClient.hpp"
#include "ostrane/curl/CURLRequest.hpp"
#include "ostrane/curl/FTPFileReader.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform {
class DispatchQueue;
}

namespace Ostrane {

class CURLClientFileDescriptor final : public NetworkFileDescriptor {
public:
    CURLClientFileDescriptor(std::shared_ptr<FTPFileReader> handle, std::int64_t size)
        : handle(std::move(handle)), size(size) {}

    /// The file's own connection, logged in by open(file:), reused by every read of the file;
    /// none once closed.
    std::shared_ptr<FTPFileReader> handle;
    const std::int64_t size;
};

class CURLClient final : public OstraneClient, public std::enable_shared_from_this<CURLClient> {
public:
    using DataCompletion = std::function<void(std::optional<Bytes>, OstraneErrorRef)>;

    explicit CURLClient(OstraneInfo info);
    static std::shared_ptr<CURLClient> make(const OstraneInfo& info) { return std::make_shared<CURLClient>(info); }
    ~CURLClient() override;

    const OstraneInfo& info() const override { return info_; }
    /// The record's baseDir, or "/".
    std::string baseDir() const override;
    std::shared_ptr<OstraneDirectory> baseDirItem() override;
    void setBaseDirItem(std::shared_ptr<OstraneDirectory> item);

    /// Lists baseDir once; blocks the caller for that request and calls `finish` before returning.
    void login(LoginCompletion finish) override;
    /// A login's listing has succeeded.
    bool isConnected() const override { return isConnected_.load(); }

    void contents(std::shared_ptr<OstranePathComponent> of, ContentsCompletion finish) override;
    void contents(const std::string& dir, NamesCompletion finish) override;
    /// Streams into a temporary file beside `to`, renamed into place when complete.
    void download(const std::string& file, const platform::URL& to, DownloadCompletion completion) override;

    /// Logs in on a connection of the file's own and asks its size; no descriptor when the server
    /// reports no size (a folder, a missing file).
    std::shared_ptr<NetworkFileDescriptor> open(const std::string& file) override;
    /// Exactly `size` bytes from `offset`, fewer only at the end of the file, none at or past it;
    /// no value on failure, for a size of 0 or less, or after close.
    std::optional<Bytes> read(const std::shared_ptr<NetworkFileDescriptor>& file, std::int64_t offset,
                              std::ptrdiff_t size) override;
    std::optional<std::int64_t> fileSize(const std::shared_ptr<NetworkFileDescriptor>& file) override;
    /// Ends the file's connection.
    void close(const std::shared_ptr<NetworkFileDescriptor>& file) override;

    /// The server address without credentials (its scheme saying which TLS the client uses)
    /// followed by the URL's path, percent-encoded.
    std::optional<std::string> address(const platform::URL& of) override;
    /// The trimmed user name (none when empty) and the record's keychain password.
    std::optional<UserPassword> userpassword(const platform::URL& of) override;

    /// Reading a whole file at once is not offered: `finish` gets an error.
    void data(const std::shared_ptr<OstranePathComponent>& of, DataCompletion finish);

    const std::shared_ptr<platform::DispatchQueue>& queue() const { return queue_; }
    /// Bounds each wait of a request (connect, every reply, every stall of a transfer); default
    /// 60 s; applies to requests made afterwards.
    void setTimeout(std::chrono::milliseconds timeout) { timeoutMilliseconds_.store(timeout.count()); }

private:
    struct ServerAddress {
        std::string base;  // scheme://host[:port][/path], no credentials, no final "/"
        std::string requestBase;  // the same as curl reads it ("ftpes" goes as "ftp" with TLS required)
        std::string host;  // without brackets
        int port = 21;
        std::string path;  // the base path, no final "/"
        std::optional<std::string> user;
        std::optional<std::string> password;
        FTPFileReader::TLS tls = FTPFileReader::TLS::none;
    };
    struct Listing {
        OstranePathComponent::Contents entries;
        OstraneErrorRef error;
    };

    std::optional<ServerAddress> serverAddress();
    std::vector<platform::CURLRequest::Option> requestOptions(const ServerAddress& address) const;
    /// The URL curl is given for a path (FTPS goes as ftp:// with TLS demanded).
    static std::optional<std::string> requestURL(const ServerAddress& address, const std::string& path,
                                                 bool isDirectory);
    /// Whether `path` names a folder on the server (the server lets one change into it).
    static bool isFolder(const ServerAddress& address, const std::string& path,
                         const std::vector<platform::CURLRequest::Option>& options);
    std::shared_ptr<platform::CURLRequest> listingSession(const ServerAddress& address);
    enum class Links { leave, resolve };
    /// One directory listing with the session; runs on the queue. Resolving asks the server what
    /// each link leads to.
    Listing list(const std::string& path, const std::shared_ptr<OstraneDirectory>& parent, Links links);
    /// Gives the link a target of the kind the server finds through it; none when it leads nowhere.
    void resolveLink(const ServerAddress& address, platform::CURLRequest& session, const std::string& folder,
                     const std::shared_ptr<OstraneSymbolicLink>& link);
    template <class F>
    auto onQueue(F&& work) -> decltype(work());

    const OstraneInfo info_;
    std::atomic<bool> isConnected_{false};
    std::atomic<std::int64_t> timeoutMilliseconds_;
    const std::shared_ptr<platform::DispatchQueue> queue_;

    mutable std::mutex mutex_;  // guards the three below
    std::shared_ptr<OstraneDirectory> baseDirItem_;
    std::shared_ptr<platform::CURLRequest> session_;
    std::optional<std::optional<ServerAddress>> serverAddress_;
};

}  // namespace Ostrane
