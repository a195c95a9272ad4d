#pragma once
// SMB2 session shaped as AMSMB2Client uses it: one session per login, one share per session,
// listings, downloads and synchronous ranged reads of opened files.
//
// Each session's libsmbclient work runs in a worker process of its own (SMBWorker.hpp), started
// when the share is connected. Its requests take turns, and transfers move at most one step of
// bytes per turn, so that streams and downloads of one session interleave; sessions never wait
// for one another.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
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

class AMSMB2;
class SMBWorker;

// An opened remote file. Releasing the last reference closes it on the server.
class SMB2FileHandle {
public:
    ~SMB2FileHandle();
    SMB2FileHandle(const SMB2FileHandle&) = delete;
    SMB2FileHandle& operator=(const SMB2FileHandle&) = delete;

private:
    friend class AMSMB2;
    SMB2FileHandle(std::shared_ptr<SMBWorker> worker, std::uint32_t number) : worker_(std::move(worker)), number_(number) {}
    const std::shared_ptr<SMBWorker> worker_;
    const std::uint32_t number_;
};

class AMSMB2 : public std::enable_shared_from_this<AMSMB2> {
public:
    // Largest number of bytes moved in one turn of the session's worker.
    static constexpr std::int64_t transferStep = 1 << 20;

    // A session to the server of an "smb://host[:port]" URL (a path after the host is ignored).
    // Nothing is started or sent yet. No value when the URL is not such a URL.
    // `timeout` bounds each request to the server.
    static std::shared_ptr<AMSMB2> make(const std::string& url, const std::string& domain, const AMSMB2Credential& credential,
                                        std::chrono::milliseconds timeout = std::chrono::seconds(60));

    ~AMSMB2();
    AMSMB2(const AMSMB2&) = delete;
    AMSMB2& operator=(const AMSMB2&) = delete;

    // Starts the session's worker, logs in and connects the share; `completionHandler` runs once,
    // on a thread of the session.
    void connectShare(const std::string& name, bool encrypted, AMSMB2Completion completionHandler);

    // Entries of a directory of the connected share, without "." and "..". Throws AMSMB2Error.
    std::vector<SMB2DirectoryEntry> contentsOfDirectory(const std::string& atPath);

    // Copies a remote file to a local path; a failure leaves nothing at `toPath` and never removes
    // what was there. `completionHandler` runs once, on a thread of the session.
    void downloadItem(const std::string& atPath, const std::string& toPath, AMSMB2Completion completionHandler);

    // Synchronous; no value when the file cannot be opened (a folder cannot).
    std::shared_ptr<SMB2FileHandle> openFile(const std::string& atPath);
    // `size` bytes from `offset`: all of them, fewer only at the end of the file, none past it; no
    // value on failure (also when the connection fails half way).
    std::optional<std::vector<std::uint8_t>> read(const SMB2FileHandle& file, std::int64_t offset, std::int64_t size);
    std::optional<std::int64_t> sizeOfFile(const SMB2FileHandle& file);

    // The server part of the URL the session was made from, as "host[:port]".
    const std::string& server() const noexcept { return server_; }
    // True once the session's worker process has ended (it cannot serve again).
    bool hasEnded() const;
    // The worker process, once started (for tests that end it).
    std::optional<int> workerProcessID() const;

private:
    AMSMB2(std::string server, std::string host, std::uint16_t port, std::string domain, AMSMB2Credential credential,
           std::chrono::milliseconds timeout);
    std::shared_ptr<SMBWorker> worker() const;
    std::shared_ptr<SMBWorker> connectedWorker() const;
    std::optional<AMSMB2Error> connect(const std::string& name, bool encrypted);
    std::shared_ptr<SMB2FileHandle> open(const std::string& atPath, std::optional<AMSMB2Error>& failure);
    std::optional<AMSMB2Error> readInto(std::vector<std::uint8_t>& data, const SMB2FileHandle& file, std::int64_t offset,
                                        std::int64_t size);
    std::optional<AMSMB2Error> download(const std::string& atPath, const std::string& toPath);
    std::chrono::milliseconds replyLimit() const;

    const std::string server_;
    const std::string host_;  // as written in a URL: IPv6 literals in brackets
    const std::uint16_t port_;  // 0: the default
    const std::string domain_;
    AMSMB2Credential credential_;
    const std::chrono::milliseconds timeout_;

    mutable std::mutex mutex_;  // guards the two below
    std::shared_ptr<SMBWorker> worker_;
    bool shareConnected_ = false;
};

}  // namespace Ostrane
