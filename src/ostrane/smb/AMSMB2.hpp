#pragma once
// SMB2 session over libsmbclient, shaped as AMSMB2Client uses it: one session per login, one
// share per session, listings, downloads and synchronous ranged reads of opened files.
//
// libsmbclient is not thread-safe, not even with one context per thread, so every call into it in
// this process goes through one lock, and every locked call is kept short (transfers move at most
// one step of bytes per lock) so that concurrent streams and downloads interleave.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace Ostrane {

// What a directory entry is, as the platform names file resource types.
enum class URLFileResourceType { namedPipe, characterSpecial, directory, blockSpecial, regular, symbolicLink, socket, unknown };

// One entry of a directory listing. Each value is absent when the server did not tell it.
struct SMB2DirectoryEntry {
    std::optional<std::string> name;
    std::optional<URLFileResourceType> type;
    std::optional<std::int64_t> size;
};

// A failure of the SMB layer: an errno value and its English text (no credentials ever).
class AMSMB2Error : public std::runtime_error {
public:
    AMSMB2Error(int code, const std::string& description);
    int code() const noexcept { return code_; }
    // The text a user sees; what the client passes on.
    const std::string& localizedDescription() const noexcept { return description_; }

    static AMSMB2Error fromErrno(int code);

private:
    int code_;
    std::string description_;
};

using AMSMB2Completion = std::function<void(std::optional<AMSMB2Error>)>;

struct AMSMB2Credential {
    std::string user;
    std::string password;
};

class AMSMB2Context;
class AMSMB2;

// An opened remote file. Releasing the last reference closes it on the server.
class SMB2FileHandle {
public:
    ~SMB2FileHandle();
    SMB2FileHandle(const SMB2FileHandle&) = delete;
    SMB2FileHandle& operator=(const SMB2FileHandle&) = delete;

private:
    friend class AMSMB2;
    SMB2FileHandle(std::shared_ptr<AMSMB2Context> context, void* file) : context_(std::move(context)), file_(file) {}
    std::shared_ptr<AMSMB2Context> context_;
    void* file_;
};

class AMSMB2 : public std::enable_shared_from_this<AMSMB2> {
public:
    // Largest number of bytes moved under the process-wide lock at once.
    static constexpr std::int64_t transferStep = 1 << 20;

    // A session to the server of an "smb://host[:port]" URL (a path after the host is ignored).
    // Nothing is sent yet. No value when the URL is not such a URL or the library refuses.
    // `timeout` bounds each request to the server.
    static std::shared_ptr<AMSMB2> make(const std::string& url, const std::string& domain, const AMSMB2Credential& credential,
                                        std::chrono::milliseconds timeout = std::chrono::seconds(60));

    ~AMSMB2();
    AMSMB2(const AMSMB2&) = delete;
    AMSMB2& operator=(const AMSMB2&) = delete;

    // Logs in and connects the share; `completionHandler` runs once, on a thread of the session.
    void connectShare(const std::string& name, bool encrypted, AMSMB2Completion completionHandler);

    // Entries of a directory of the connected share, without "." and "..". Throws AMSMB2Error.
    std::vector<SMB2DirectoryEntry> contentsOfDirectory(const std::string& atPath);

    // Copies a remote file to a local path through a temporary file beside it that is renamed into
    // place, so a failure leaves nothing at `toPath`. `completionHandler` runs once, on a thread of
    // the session; the transfer does not hold the lock between steps.
    void downloadItem(const std::string& atPath, const std::string& toPath, AMSMB2Completion completionHandler);

    // Synchronous; no value when the file cannot be opened.
    std::shared_ptr<SMB2FileHandle> openFile(const std::string& atPath);
    // Up to `size` bytes from `offset`; fewer at the end of the file, none past it; no value on failure.
    std::optional<std::vector<std::uint8_t>> read(const SMB2FileHandle& file, std::int64_t offset, std::int64_t size);
    std::optional<std::int64_t> sizeOfFile(const SMB2FileHandle& file);

    // The server part of the URL the session was made from, as "host[:port]".
    const std::string& server() const noexcept { return server_; }

private:
    AMSMB2(std::shared_ptr<AMSMB2Context> context, std::string server);
    std::string shareURL(const std::string& path) const;
    void runDetached(std::function<void()> work);

    std::shared_ptr<AMSMB2Context> context_;
    std::string server_;
};

// Percent-encodes what libsmbclient would otherwise read as URL syntax ("?", "%", "#", ...).
std::string smb2EncodePath(const std::string& path);

}  // namespace Ostrane
