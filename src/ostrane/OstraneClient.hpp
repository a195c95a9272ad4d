#pragma once
// The interface every server client implements. Clients are shared (std::shared_ptr) and belong to
// one server record; NetworkFileManager makes them (see ClientFactory.hpp).
//
// What callers rely on:
// - Each completion is called exactly once, on any thread (the client's queue or a library's
//   thread), and never while the client holds one of its own locks.
// - The synchronous members (open, read, fileSize, close) return no value on failure and may block
//   the caller until the server answers; each of their waits is bounded.
// - isConnected may be read from any thread while a login runs.
#include "ostrane/NetworkFileDescriptor.hpp"
#include "ostrane/OstraneError.hpp"
#include "ostrane/OstraneInfo.hpp"
#include "ostrane/OstranePathComponent.hpp"
#include "platform/net/URL.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace Ostrane {

class OstraneClient {
public:
    using Bytes = std::vector<std::uint8_t>;
    using LoginCompletion = std::function<void(OstraneErrorRef)>;
    using ContentsCompletion =
        std::function<void(std::optional<std::vector<std::shared_ptr<OstranePathComponent>>>, OstraneErrorRef)>;
    using NamesCompletion = std::function<void(std::optional<std::vector<std::string>>, OstraneErrorRef)>;
    using DownloadCompletion = std::function<void(OstraneErrorRef)>;
    /// (user, password) to go with address(of:).
    using UserPassword = std::pair<std::optional<std::string>, std::optional<std::string>>;

    virtual ~OstraneClient() = default;

    /// The record the client was made from; its identifier is the client's identity in the registry.
    virtual const OstraneInfo& info() const = 0;
    /// The base directory path on the server.
    virtual std::string baseDir() const = 0;
    /// The root of the client's listing tree, made once and kept.
    virtual std::shared_ptr<OstraneDirectory> baseDirItem() = 0;

    /// Connects and authenticates; `finish` gets no error on success.
    virtual void login(LoginCompletion finish) = 0;
    /// A login has succeeded and the connection can be used.
    virtual bool isConnected() const = 0;

    /// Lists a directory component into child components.
    virtual void contents(std::shared_ptr<OstranePathComponent> of, ContentsCompletion finish) = 0;
    /// Lists a directory path into entry names (names, not paths).
    virtual void contents(const std::string& dir, NamesCompletion finish) = 0;
    /// Copies a remote file to a local file URL; on failure nothing is left at `to`.
    virtual void download(const std::string& file, const platform::URL& to, DownloadCompletion completion) = 0;

    virtual std::shared_ptr<NetworkFileDescriptor> open(const std::string& file) = 0;
    virtual std::optional<Bytes> read(const std::shared_ptr<NetworkFileDescriptor>& file, std::int64_t offset,
                                      std::ptrdiff_t size) = 0;
    virtual std::optional<std::int64_t> fileSize(const std::shared_ptr<NetworkFileDescriptor>& file) = 0;
    /// Releases what open() took on the server.
    virtual void close(const std::shared_ptr<NetworkFileDescriptor>& file) = 0;

    /// A plain URL a player can fetch directly, where the kind of server allows it.
    virtual std::optional<std::string> address(const platform::URL& of) = 0;
    /// Credentials to go with address(of:), where needed.
    virtual std::optional<UserPassword> userpassword(const platform::URL& of) = 0;

protected:
    OstraneClient() = default;
    OstraneClient(const OstraneClient&) = delete;
    OstraneClient& operator=(const OstraneClient&) = delete;
};

}  // namespace Ostrane
