#pragma once
// An SSH connection over libssh2, shaped as the SFTP client uses it: connect (TCP, key exchange,
// host-key check against the known-hosts file), password authentication, the last error.
//
// libssh2 is not thread-safe per session, and the session's objects (the SFTP channel, open file
// handles) may be released on any thread, so every libssh2 call on a session is made with its
// lock() held. Every wait on the server is bounded by timeout(). Whatever libssh2 allocates for a
// session is freed with it, also what a connection that died left behind.
#include <libssh2.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace Ostrane {

class NMSSHSession : public std::enable_shared_from_this<NMSSHSession> {
public:
    static constexpr int defaultPort = 22;
    static constexpr std::chrono::milliseconds defaultTimeout{60'000};

    /// Neither connects nor resolves: connect() does.
    static std::shared_ptr<NMSSHSession> make(std::string host, std::string username);
    static std::shared_ptr<NMSSHSession> make(std::string host, std::int64_t port, std::string username);
    NMSSHSession(std::string host, std::optional<std::int64_t> port, std::string username);
    ~NMSSHSession();
    NMSSHSession(const NMSSHSession&) = delete;
    NMSSHSession& operator=(const NMSSHSession&) = delete;

    const std::string& host() const { return host_; }
    const std::string& username() const { return username_; }
    /// The port connected to: the given one, else 22.
    std::int64_t port() const { return port_.value_or(defaultPort); }

    /// Bounds each wait on the server (the TCP connection, each libssh2 call).
    void setTimeout(std::chrono::milliseconds timeout);
    std::chrono::milliseconds timeout() const { return std::chrono::milliseconds(timeoutMs_.load()); }
    /// The known-hosts file the next connect() checks against; SSHKnownHosts::path() by default.
    void setKnownHostsFile(std::string file);

    /// Opens the TCP connection, exchanges keys and checks the server's key. False on failure,
    /// with lastError() telling why; a refused host key leaves the connection closed.
    bool connect();
    /// Password authentication (only the "password" method). False on failure, with lastError().
    bool authenticateByPassword(const std::string& password);
    /// The connection stands: connected, host key accepted, and no transport failure since.
    bool isConnected() const { return connected_.load(); }
    bool isAuthorized() const { return authorized_.load(); }
    /// What the last failed operation reported, if anything.
    std::optional<std::string> lastError() const;
    /// Says goodbye to the server (bounded) and closes the connection.
    void disconnect();

    // For the SFTP channel, its handles and the client's direct libssh2 calls.

    /// Held around every libssh2 call on this session.
    std::unique_lock<std::mutex> lock() const { return std::unique_lock(libssh2Mutex_); }
    /// With lock() held; null before connect() or after disconnect().
    LIBSSH2_SESSION* raw() const { return session_; }
    /// With lock() held, after a libssh2 call failed: keeps libssh2's message as the last error
    /// (after `context`, when given) and, when the transport failed, marks the connection dead so
    /// that every further call fails at once. Returns libssh2's error number.
    int noteFailure(const std::string& context = {});
    void setLastError(std::optional<std::string> text);
    /// With lock() held: the connection is broken for good (a transport error or a time-out).
    void markDead();

    /// What libssh2 allocated for this session (freed with it).
    struct Allocations;

private:
    bool openSocket(std::string& error);
    void closeLocked(bool sayGoodbye);

    const std::string host_;
    const std::optional<std::int64_t> port_;
    const std::string username_;
    std::atomic<std::int64_t> timeoutMs_{defaultTimeout.count()};
    std::atomic<bool> connected_{false};
    std::atomic<bool> authorized_{false};

    mutable std::mutex libssh2Mutex_;  // guards the members below and every libssh2 call
    std::string knownHostsFile_;
    bool knownHostsChosen_ = false;
    int socket_ = -1;
    LIBSSH2_SESSION* session_ = nullptr;
    std::unique_ptr<Allocations> allocations_;

    mutable std::mutex errorMutex_;
    std::optional<std::string> lastError_;
};

}  // namespace Ostrane
