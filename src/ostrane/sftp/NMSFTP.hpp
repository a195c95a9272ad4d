#pragma once
// The SFTP channel of an SSH session over libssh2, shaped as the SFTP client uses it: listing,
// link reading, file information, copying a file into a stream, and opening a file for the
// client's own ranged reads. Each object keeps the one it stands on alive (handle -> channel ->
// session), so libssh2 frees them in the right order whichever goes last.
#include "ostrane/sftp/NMSSHSession.hpp"

#include <libssh2_sftp.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

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

/// An open remote file: a libssh2 SFTP handle, closed by close() or, at the latest, when the last
/// owner lets it go.
class NMSFTPHandle {
public:
    NMSFTPHandle(std::shared_ptr<NMSFTP> sftp, LIBSSH2_SFTP_HANDLE* handle);
    ~NMSFTPHandle();
    NMSFTPHandle(const NMSFTPHandle&) = delete;
    NMSFTPHandle& operator=(const NMSFTPHandle&) = delete;

    /// The session's lock; hold it around every libssh2 call on raw().
    std::unique_lock<std::mutex> lock() const;
    /// With lock() held: the handle, or null once closed.
    LIBSSH2_SFTP_HANDLE* raw() const { return handle_; }
    /// With lock() held: sends the close (when the connection stands) and forgets the handle.
    /// False when the server did not confirm it.
    bool closeLocked();
    bool close();

    NMSFTP& sftp() const { return *sftp_; }
    NMSSHSession& session() const;

private:
    const std::shared_ptr<NMSFTP> sftp_;
    LIBSSH2_SFTP_HANDLE* handle_;
};

class NMSFTP : public std::enable_shared_from_this<NMSFTP> {
public:
    /// Bytes asked of libssh2 per read while copying a file; its read-ahead grows with it.
    static constexpr std::size_t copyBufferSize = 1 << 20;

    static std::shared_ptr<NMSFTP> make(std::shared_ptr<NMSSHSession> session);
    explicit NMSFTP(std::shared_ptr<NMSSHSession> session);
    ~NMSFTP();
    NMSFTP(const NMSFTP&) = delete;
    NMSFTP& operator=(const NMSFTP&) = delete;

    /// Starts the SFTP subsystem on an authenticated session.
    bool connect();
    /// The channel was started and its connection stands.
    bool isConnected() const;

    /// The entries of a directory without "." and "..", in the server's order; none on failure.
    std::optional<std::vector<NMSFTPFile>> contentsOfDirectoryAtPath(const std::string& path);
    /// The target text of a symbolic link, as stored; none on failure.
    std::optional<std::string> loadLink(const std::string& path);
    /// What the path stands for, links followed; `filename` is the last component of the path.
    std::optional<NMSFTPFile> infoForFileAtPath(const std::string& path);
    /// Copies the remote file into `toStream`, which takes each piece and answers false when it
    /// cannot keep it. True when the whole file arrived and was taken.
    bool contentsAtPath(const std::string& path, const std::function<bool(const char*, std::size_t)>& toStream);
    /// Opens a file for reading; none on failure.
    std::shared_ptr<NMSFTPHandle> openFileAtPath(const std::string& path);

    const std::shared_ptr<NMSSHSession>& session() const { return session_; }
    /// With the session's lock held.
    LIBSSH2_SFTP* raw() const { return sftp_; }
    /// With the session's lock held, after a failed call on this channel or one of its handles:
    /// keeps the reason (an SFTP status as words) as the session's last error.
    void noteFailure(const std::string& path);

private:
    LIBSSH2_SFTP_HANDLE* openLocked(const std::string& path, int type);

    const std::shared_ptr<NMSSHSession> session_;
    LIBSSH2_SFTP* sftp_ = nullptr;  // guarded by the session's lock
    std::atomic<bool> started_{false};
};

}  // namespace Ostrane
