#pragma once
// An SSH connection over libssh, shaped as the SFTP client uses it: connect (TCP, key exchange,
// host-key check against the known-hosts file), password authentication, the last error.
//
// libssh is not thread-safe per session, and the session's objects (the SFTP channel, open file
// handles) may be released on any thread, so every libssh call on a session is made inside a
// Call, which holds the session's lock. A Call also bounds each wait on the server: when one
// outlives timeout(), the connection is cut under libssh, whose wait then fails, and the session
// is dead from then on. When the process ends, every Call in progress is cut short and no
// further one runs, so no libssh call outlives the crypto library that exit handlers tear down.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

// libssh's own declaration, so users of this header need no libssh headers.
typedef struct ssh_session_struct* ssh_session;

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

    /// Bounds each wait on the server (the TCP connection, each reply awaited).
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
    void setLastError(std::optional<std::string> text);
    /// Says goodbye to the server (bounded) and closes the connection.
    void disconnect();

    /// The session's lock, held while libssh is called, with a bound on each wait on the server.
    class Call {
    public:
        explicit Call(const NMSSHSession& session);
        ~Call();
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;

        /// The connection stands and the process is not ending: libssh may be called.
        bool usable() const;
        /// The libssh session; null before connect() and once closed.
        ssh_session raw() const { return session_.session_; }
        /// A fresh timeout for the next wait on the server.
        void renew();
        /// After a libssh call failed: keeps libssh's message as the last error (after `context`,
        /// when given) and, when the transport failed or the wait timed out, marks the
        /// connection dead so that every further call fails at once.
        void noteFailure(const std::string& context = {});
        /// The transport failed or a wait timed out: the connection is unusable for good.
        bool transportFailed() const;

    private:
        const NMSSHSession& session_;
        std::unique_lock<std::mutex> guard_;
    };

    /// Whether the process has begun to end: no libssh call starts any more.
    static bool processEnding();
    /// What is left of libssh objects whose owner went while the process ended: kept reachable,
    /// never freed (freeing needs the crypto library, which is being torn down).
    static void abandon(void* libsshObject);

private:
    friend class Call;
    bool openSocket(std::string& error);
    void closeLocked(bool sayGoodbye);
    void markDeadLocked() const;
    std::string whereText() const;

    const std::string host_;
    const std::optional<std::int64_t> port_;
    const std::string username_;
    std::atomic<std::int64_t> timeoutMs_{defaultTimeout.count()};
    mutable std::atomic<bool> connected_{false};
    std::atomic<bool> authorized_{false};

    mutable std::mutex mutex_;  // guards the members below and every libssh call
    std::string knownHostsFile_;
    bool knownHostsChosen_ = false;
    bool used_ = false;
    int socket_ = -1;  // owned by session_ once that exists (libssh closes it)
    ssh_session session_ = nullptr;
    mutable bool timedOut_ = false;

    mutable std::mutex errorMutex_;
    std::optional<std::string> lastError_;
};

}  // namespace Ostrane
