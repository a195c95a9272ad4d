#pragma once
// The SFTP channel of an SSH session over libssh, shaped as the SFTP client uses it: listing,
// link reading, file information, copying a file into a stream, and opening a file for the
// client's own ranged reads. Each object keeps the one it stands on alive (handle -> channel ->
// session), so libssh frees them in the right order whichever goes last.
//
// Names and paths are bytes: they go to the server and come back exactly as they are, whatever
// their encoding.
#include "ostrane/sftp/NMSSHSession.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// libssh's own declarations, so users of this header need no libssh headers.
typedef struct sftp_session_struct* sftp_session;
typedef struct sftp_file_struct* sftp_file;

namespace Ostrane {

/// One entry of a listing, or what a path stands for.
struct NMSFTPFile {
    std::string filename;
    bool isDirectory = false;
    bool isSymbolicLink = false;
    /// Absent when the server did not tell.
    std::optional<std::int64_t> fileSize;
};

class NMSFTP;

/// An open remote file (never a folder), read with several requests in flight: a read asks for
/// its whole range at once, and reads that follow one another also keep the next bytes coming
/// (dropped when a read goes elsewhere). Closed by close() or, at the latest, when the last owner
/// lets it go.
class NMSFTPHandle {
public:
    /// Bytes asked of the server per request (OpenSSH serves up to 256 KiB).
    static constexpr std::uint32_t requestSize = 64 << 10;
    /// Requests in flight for a handle's reads, read-ahead included.
    static constexpr std::size_t readWindow = 32;

    NMSFTPHandle(std::shared_ptr<NMSFTP> sftp, sftp_file file);
    ~NMSFTPHandle();
    NMSFTPHandle(const NMSFTPHandle&) = delete;
    NMSFTPHandle& operator=(const NMSFTPHandle&) = delete;

    /// Reads [offset, offset + size) into `into`: the whole range, or less only where the file
    /// ends (nothing at or past its end). None on failure (a dead connection, a time-out, an
    /// error of the server), with the session's lastError() telling why; what arrived of a range
    /// that failed is never handed out.
    std::optional<std::size_t> read(std::int64_t offset, char* into, std::size_t size);
    /// The file's size as the server tells it now; none on failure.
    std::optional<std::int64_t> fileSize();
    /// Sets how many requests may be in flight (at least 1); a download goes deeper than a player.
    void setWindow(std::size_t requests);
    /// Sends the close (when the connection stands) and forgets the handle. False when the server
    /// did not confirm it.
    bool close();
    bool isOpen() const;

    NMSFTP& sftp() const { return *sftp_; }
    NMSSHSession& session() const;

private:
    friend class NMSFTP;
    struct Request {
        std::uint32_t id;
        std::int64_t offset;
        std::uint32_t length;
    };
    using Call = NMSSHSession::Call;

    bool send(Call& call, std::int64_t offset, std::uint32_t length);
    bool fill(Call& call, std::int64_t limit);
    int receive(Call& call, const Request& request, char* into);
    void drop(Call& call);
    bool closeWithin(Call& call);

    const std::shared_ptr<NMSFTP> sftp_;
    // Guarded by the session's lock.
    sftp_file file_;
    std::size_t window_ = readWindow;
    std::deque<Request> inFlight_;  // back to back, in offset order, from the end of spare_; taken in that order
    std::int64_t nextRequest_ = 0;  // where the next request starts
    std::int64_t lastEnd_ = 0;      // where the last read ended: a read from there is sequential
    std::vector<char> spare_;       // what arrived past the end of the last read, from spareOffset_
    std::int64_t spareOffset_ = 0;
    std::vector<char> scratch_;
};

class NMSFTP : public std::enable_shared_from_this<NMSFTP> {
public:
    /// Bytes handed to a copy's stream at a time.
    static constexpr std::size_t copyBufferSize = 1 << 20;
    /// Requests in flight while copying a file.
    static constexpr std::size_t copyWindow = 64;

    static std::shared_ptr<NMSFTP> make(std::shared_ptr<NMSSHSession> session);
    explicit NMSFTP(std::shared_ptr<NMSSHSession> session);
    ~NMSFTP();
    NMSFTP(const NMSFTP&) = delete;
    NMSFTP& operator=(const NMSFTP&) = delete;

    /// Starts the SFTP subsystem on an authenticated session.
    bool connect();
    /// The channel was started and its connection stands.
    bool isConnected() const;

    /// The entries of a directory without "." and "..", in the server's order; none on failure
    /// ("Not a directory" when the path names something else).
    std::optional<std::vector<NMSFTPFile>> contentsOfDirectoryAtPath(const std::string& path);
    /// The target text of a symbolic link, as stored; none on failure.
    std::optional<std::string> loadLink(const std::string& path);
    /// What the path stands for, links followed; `filename` is the last component of the path.
    std::optional<NMSFTPFile> infoForFileAtPath(const std::string& path);
    /// Copies the remote file into `toStream`, which takes each piece, in order, on a thread of
    /// the copy's own (so that the next piece arrives meanwhile) and answers false when it cannot
    /// keep it. True when the whole file arrived and was taken.
    bool contentsAtPath(const std::string& path, const std::function<bool(const char*, std::size_t)>& toStream);
    /// Opens a file for reading; none on failure ("Is a directory" for a folder).
    std::shared_ptr<NMSFTPHandle> openFileAtPath(const std::string& path);

    const std::shared_ptr<NMSSHSession>& session() const { return session_; }
    /// Inside a Call on the session.
    sftp_session raw() const { return sftp_; }
    /// Inside a Call, after a failed call on this channel or one of its handles: keeps the reason
    /// (the server's status in words, or the transport's failure) as the session's last error.
    void noteFailure(NMSSHSession::Call& call, const std::string& path);
    /// Inside a Call, before any request on the channel: takes in the replies still due to the
    /// read-ahead of a handle other than `keeping`. libssh 0.10 loses replies that arrive while
    /// it waits for another one, so replies are always awaited in the order of their requests.
    void settle(NMSSHSession::Call& call, const NMSFTPHandle* keeping = nullptr);

private:
    friend class NMSFTPHandle;
    bool ready(NMSSHSession::Call& call, const std::string& path);

    const std::shared_ptr<NMSSHSession> session_;
    // Guarded by the session's lock.
    sftp_session sftp_ = nullptr;
    NMSFTPHandle* reading_ = nullptr;  // the one handle that may have requests in flight
    std::atomic<bool> started_{false};
};

}  // namespace Ostrane
