#pragma once
// The client of WebDAV server records. It speaks no protocol itself: a provider of the file-provider
// module (FileProviderWrapper) does the work, and this client turns its entries into the listing
// tree or into file names, and its errors into OstraneError texts. A client made directly for an
// FTP record drives the FTP provider the same way. Media play from address(of:), or through
// NetworkFileHandle with the provider's ranged reads (no password in any URL).
//
// Listings, downloads and open run on the client's serial queue, one provider request at a time;
// each waits for the provider's answer, at most timeout() without progress. Reads run on the
// caller's thread.
#include "ostrane/LoginGate.hpp"
#include "ostrane/NetworkFileDescriptor.hpp"
#include "ostrane/OstraneClient.hpp"
#include "ostrane/fileprovider/FileProviderWrapper.hpp"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace platform {
class DispatchQueue;
}
namespace RiridOzizevud {
class FileObject;
}

namespace Ostrane {

class FileProviderReader;

class FileProviderFileDescriptor final : public NetworkFileDescriptor {
public:
    FileProviderFileDescriptor(std::shared_ptr<RiridOzizevud::FileObject> file, std::shared_ptr<FileProviderReader> reader)
        : file(std::move(file)), reader(std::move(reader)) {}
    /// The entry the provider gave for the opened path.
    const std::shared_ptr<RiridOzizevud::FileObject> file;
    /// The ranged reads of the file, through the provider the file was opened with.
    const std::shared_ptr<FileProviderReader> reader;
};

class FileProviderClient final : public OstraneClient, public std::enable_shared_from_this<FileProviderClient> {
public:
    explicit FileProviderClient(OstraneInfo info);
    static std::shared_ptr<FileProviderClient> make(const OstraneInfo& info) {
        return std::make_shared<FileProviderClient>(info);
    }
    ~FileProviderClient() override;

    const OstraneInfo& info() const override { return info_; }
    /// The record's baseDir, or "/".
    std::string baseDir() const override;
    std::shared_ptr<OstraneDirectory> baseDirItem() override;

    /// Builds a new provider and asks it for the base directory's attributes.
    void login(LoginCompletion finish) override;
    bool isConnected() const override { return isConnected_.load(); }

    /// The tree in the server's order; names beginning with "." are left out. A path that names a
    /// file fails ("Not a directory").
    void contents(std::shared_ptr<OstranePathComponent> of, ContentsCompletion finish) override;
    /// Names of the regular files, in the server's order (dot names included). A path that names a
    /// file fails ("Not a directory").
    void contents(const std::string& dir, NamesCompletion finish) override;
    void download(const std::string& file, const platform::URL& to, DownloadCompletion completion) override;

    /// A descriptor for a file; none for a folder or a path that is not there.
    std::shared_ptr<NetworkFileDescriptor> open(const std::string& file) override;
    /// The whole range asked (cut at the end of the file; empty at or past it), or none on failure.
    /// Reads that follow each other keep requests running ahead (FileProviderReader).
    std::optional<Bytes> read(const std::shared_ptr<NetworkFileDescriptor>& file, std::int64_t offset,
                              std::ptrdiff_t size) override;
    std::optional<std::int64_t> fileSize(const std::shared_ptr<NetworkFileDescriptor>& file) override;
    /// Cancels the file's requests under way.
    void close(const std::shared_ptr<NetworkFileDescriptor>& file) override;

    /// The file's plain URL with the user name and the password (read from the keychain now)
    /// inside it, both percent-encoded.
    std::optional<std::string> address(const platform::URL& of) override;
    std::optional<UserPassword> userpassword(const platform::URL& of) override;

    /// address(of:) for a record and a password.
    static std::optional<std::string> address(const OstraneInfo& info, const std::optional<std::string>& password,
                                              const platform::URL& of);
    /// The text of an HTML page (libxml2's HTML parser); none when it cannot be read.
    static std::optional<std::string> plainText(const std::string& fromHTML);
    /// The tree node of a provider entry under `parent`, named by the resource's own name (never
    /// by a server-given label); none for dot names and kinds other than file, directory, link.
    static std::shared_ptr<OstranePathComponent> pathComponent(const RiridOzizevud::FileObject& entry,
                                                               const std::shared_ptr<OstraneDirectory>& parent);

    const std::shared_ptr<FileProviderWrapper>& provider() const { return provider_; }
    const std::shared_ptr<platform::DispatchQueue>& queue() const { return queue_; }
    /// How long a request may go without an answer or progress (60 s by default).
    std::chrono::milliseconds timeout() const { return std::chrono::milliseconds(timeoutMilliseconds_.load()); }
    void setTimeout(std::chrono::milliseconds timeout) { timeoutMilliseconds_.store(timeout.count()); }

private:
    template <class F>
    auto onQueue(F&& work) -> decltype(work());

    const OstraneInfo info_;
    const std::shared_ptr<FileProviderWrapper> provider_;
    const std::shared_ptr<platform::DispatchQueue> queue_;
    std::atomic<bool> isConnected_{false};
    std::atomic<std::int64_t> timeoutMilliseconds_{60'000};
    LoginGate loginGate_;

    std::mutex mutex_;
    std::shared_ptr<OstraneDirectory> baseDirItem_;
};

}  // namespace Ostrane
