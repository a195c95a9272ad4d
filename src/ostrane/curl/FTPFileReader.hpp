#pragma once
// Ranged reads of one FTP file over a control connection of its own, kept for the life of the
// open file: one login, then one transfer (REST once, RETR) that serves every read in order from
// where the last one stopped. A read elsewhere closes the data connection and starts another at the
// new offset on the same control connection. The socket buffers are the read-ahead: the server
// runs a few MiB ahead at most and is held back by the transport while nobody reads.
//
// libcurl is not used here: it closes the control connection after every transfer it does not read
// to the end, so each seek would cost a login.
//
// Not thread-safe: the client runs all reads of a file on its queue.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct ssl_ctx_st;

namespace Ostrane {

class FTPFileReader {
public:
    enum class TLS { none, implicit, explicit_ };
    struct Server {
        std::string host;  // a name or an address, without brackets
        int port = 21;
        std::optional<std::string> user;  // "anonymous" when absent
        std::optional<std::string> password;
        TLS tls = TLS::none;
        std::chrono::milliseconds timeout{60'000};  // bounds every wait
    };
    /// What went wrong, for the caller's own error.
    class Failure : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    /// Logs in and asks the file's size; throws Failure when the server refuses either (a folder
    /// has no size). `path` is absolute on the server and holds no line break.
    FTPFileReader(Server server, std::string path);
    ~FTPFileReader();
    FTPFileReader(const FTPFileReader&) = delete;
    FTPFileReader& operator=(const FTPFileReader&) = delete;

    std::int64_t size() const { return size_; }
    /// Exactly min(size, end of file - offset) bytes from `offset` (none at or past the end), or no
    /// value when they could not all be read. `offset` >= 0, `size` > 0.
    std::optional<std::vector<std::uint8_t>> read(std::int64_t offset, std::size_t size);

    /// Logins made so far (for tests of connection reuse).
    int logins() const { return logins_; }

private:
    class Connection;

    void connect();
    void startTransfer(std::int64_t offset);
    void endTransfer();
    void drop();
    bool fill(std::uint8_t* into, std::size_t count);

    const Server server_;
    const std::string path_;
    std::int64_t size_ = 0;
    int logins_ = 0;
    std::shared_ptr<ssl_ctx_st> context_;  // TLS set-up shared by the control and data connections
    std::unique_ptr<Connection> control_;
    std::unique_ptr<Connection> data_;
    std::int64_t position_ = 0;  // the offset of the next byte of the data connection
};

}  // namespace Ostrane
