#include "ostrane/sftp/NMSFTP.hpp"

#include <climits>
#include <utility>
#include <vector>

namespace Ostrane {

namespace {

std::string statusText(unsigned long status) {
    switch (status) {
    case LIBSSH2_FX_EOF: return "End of file";
    case LIBSSH2_FX_NO_SUCH_FILE: return "No such file";
    case LIBSSH2_FX_PERMISSION_DENIED: return "Permission denied";
    case LIBSSH2_FX_FAILURE: return "Failure";
    case LIBSSH2_FX_BAD_MESSAGE: return "Bad message";
    case LIBSSH2_FX_NO_CONNECTION: return "No connection";
    case LIBSSH2_FX_CONNECTION_LOST: return "Connection lost";
    case LIBSSH2_FX_OP_UNSUPPORTED: return "Operation unsupported";
    case LIBSSH2_FX_INVALID_HANDLE: return "Invalid handle";
    case LIBSSH2_FX_NO_SUCH_PATH: return "No such path";
    case LIBSSH2_FX_FILE_ALREADY_EXISTS: return "File already exists";
    case LIBSSH2_FX_WRITE_PROTECT: return "Write protected";
    case LIBSSH2_FX_NO_MEDIA: return "No media";
    case LIBSSH2_FX_NO_SPACE_ON_FILESYSTEM: return "No space on file system";
    case LIBSSH2_FX_QUOTA_EXCEEDED: return "Quota exceeded";
    case LIBSSH2_FX_UNKNOWN_PRINCIPAL: return "Unknown principal";
    case LIBSSH2_FX_LOCK_CONFLICT: return "Lock conflict";
    case LIBSSH2_FX_DIR_NOT_EMPTY: return "Directory not empty";
    case LIBSSH2_FX_NOT_A_DIRECTORY: return "Not a directory";
    case LIBSSH2_FX_INVALID_FILENAME: return "Invalid file name";
    case LIBSSH2_FX_LINK_LOOP: return "Link loop";
    default: return "SFTP status " + std::to_string(status);
    }
}

// libssh2 takes lengths as unsigned int and C strings for some calls: refuse what cannot pass.
bool usablePath(const std::string& path) {
    return !path.empty() && path.size() < 65536 && path.find('\0') == std::string::npos;
}

NMSFTPFile fileOf(std::string name, const LIBSSH2_SFTP_ATTRIBUTES& attrs) {
    NMSFTPFile file;
    file.filename = std::move(name);
    if (attrs.flags & LIBSSH2_SFTP_ATTR_PERMISSIONS) {
        file.isDirectory = LIBSSH2_SFTP_S_ISDIR(attrs.permissions);
        file.isSymbolicLink = LIBSSH2_SFTP_S_ISLNK(attrs.permissions);
    }
    if ((attrs.flags & LIBSSH2_SFTP_ATTR_SIZE) && attrs.filesize <= static_cast<libssh2_uint64_t>(INT64_MAX)) {
        file.fileSize = static_cast<std::int64_t>(attrs.filesize);
    }
    return file;
}

std::string lastComponent(const std::string& path) {
    auto end = path.find_last_not_of('/');
    if (end == std::string::npos) return path.empty() ? path : "/";
    const auto slash = path.rfind('/', end);
    return path.substr(slash == std::string::npos ? 0 : slash + 1, end - (slash == std::string::npos ? 0 : slash + 1) + 1);
}

}  // namespace

// --- NMSFTPHandle --------------------------------------------------------------------------------

NMSFTPHandle::NMSFTPHandle(std::shared_ptr<NMSFTP> sftp, LIBSSH2_SFTP_HANDLE* handle)
    : sftp_(std::move(sftp)), handle_(handle) {}

NMSFTPHandle::~NMSFTPHandle() {
    auto guard = lock();
    closeLocked();
}

std::unique_lock<std::mutex> NMSFTPHandle::lock() const { return sftp_->session()->lock(); }

NMSSHSession& NMSFTPHandle::session() const { return *sftp_->session(); }

bool NMSFTPHandle::closeLocked() {
    if (!handle_) return true;
    auto* handle = std::exchange(handle_, nullptr);
    // Over a dead connection the close cannot be sent; what libssh2 keeps for the handle then goes
    // with the session.
    if (!session().isConnected() || !sftp_->raw()) return false;
    if (libssh2_sftp_close_handle(handle) != 0) {
        session().noteFailure("Closing a remote file failed");
        return false;
    }
    return true;
}

bool NMSFTPHandle::close() {
    auto guard = lock();
    return closeLocked();
}

// --- NMSFTP ---------------------------------------------------------------------------------------

std::shared_ptr<NMSFTP> NMSFTP::make(std::shared_ptr<NMSSHSession> session) {
    return std::make_shared<NMSFTP>(std::move(session));
}

NMSFTP::NMSFTP(std::shared_ptr<NMSSHSession> session) : session_(std::move(session)) {}

NMSFTP::~NMSFTP() {
    auto guard = session_->lock();
    if (sftp_ && session_->isConnected()) libssh2_sftp_shutdown(sftp_);
    // Over a dead connection the channel goes with the session.
    sftp_ = nullptr;
}

bool NMSFTP::connect() {
    auto guard = session_->lock();
    if (sftp_) return true;
    if (!session_->raw() || !session_->isConnected()) {
        session_->setLastError(std::string("Not connected"));
        return false;
    }
    if (!session_->isAuthorized()) {
        session_->setLastError(std::string("Not authenticated"));
        return false;
    }
    sftp_ = libssh2_sftp_init(session_->raw());
    if (!sftp_) {
        session_->noteFailure("Cannot start SFTP");
        return false;
    }
    started_.store(true);
    return true;
}

bool NMSFTP::isConnected() const { return started_.load() && session_->isConnected(); }

void NMSFTP::noteFailure(const std::string& path) {
    if (!session_->raw()) {
        session_->setLastError(std::string("Not connected"));
        return;
    }
    if (libssh2_session_last_errno(session_->raw()) == LIBSSH2_ERROR_SFTP_PROTOCOL && sftp_) {
        session_->setLastError(statusText(libssh2_sftp_last_error(sftp_)) + ": " + path);
        return;
    }
    session_->noteFailure(path);
}

LIBSSH2_SFTP_HANDLE* NMSFTP::openLocked(const std::string& path, int type) {
    session_->setLastError(std::nullopt);
    if (!sftp_ || !session_->isConnected()) {
        session_->setLastError(std::string("Not connected"));
        return nullptr;
    }
    if (!usablePath(path)) {
        session_->setLastError("Invalid path: " + path);
        return nullptr;
    }
    auto* handle = libssh2_sftp_open_ex(sftp_, path.data(), static_cast<unsigned>(path.size()), LIBSSH2_FXF_READ, 0, type);
    if (!handle) noteFailure(path);
    return handle;
}

std::optional<std::vector<NMSFTPFile>> NMSFTP::contentsOfDirectoryAtPath(const std::string& path) {
    auto guard = session_->lock();
    auto* handle = openLocked(path, LIBSSH2_SFTP_OPENDIR);
    if (!handle) return std::nullopt;
    std::vector<NMSFTPFile> files;
    std::vector<char> name(4096);
    bool failed = false;
    while (true) {
        LIBSSH2_SFTP_ATTRIBUTES attrs{};
        const int rc = libssh2_sftp_readdir_ex(handle, name.data(), name.size(), nullptr, 0, &attrs);
        if (rc == 0) break;
        if (rc < 0) {
            noteFailure(path);
            failed = true;
            break;
        }
        std::string filename(name.data(), static_cast<std::size_t>(rc));
        if (filename == "." || filename == "..") continue;
        files.push_back(fileOf(std::move(filename), attrs));
    }
    if (session_->isConnected()) libssh2_sftp_close_handle(handle);
    if (failed) return std::nullopt;
    return files;
}

std::optional<std::string> NMSFTP::loadLink(const std::string& path) {
    auto guard = session_->lock();
    session_->setLastError(std::nullopt);
    if (!sftp_ || !session_->isConnected()) {
        session_->setLastError(std::string("Not connected"));
        return std::nullopt;
    }
    if (!usablePath(path)) {
        session_->setLastError("Invalid path: " + path);
        return std::nullopt;
    }
    std::vector<char> target(PATH_MAX + 1);
    const int rc = libssh2_sftp_symlink_ex(sftp_, path.data(), static_cast<unsigned>(path.size()), target.data(),
                                           static_cast<unsigned>(target.size()), LIBSSH2_SFTP_READLINK);
    if (rc < 0) {
        noteFailure(path);
        return std::nullopt;
    }
    return std::string(target.data(), static_cast<std::size_t>(rc));
}

std::optional<NMSFTPFile> NMSFTP::infoForFileAtPath(const std::string& path) {
    auto guard = session_->lock();
    session_->setLastError(std::nullopt);
    if (!sftp_ || !session_->isConnected()) {
        session_->setLastError(std::string("Not connected"));
        return std::nullopt;
    }
    if (!usablePath(path)) {
        session_->setLastError("Invalid path: " + path);
        return std::nullopt;
    }
    LIBSSH2_SFTP_ATTRIBUTES attrs{};
    if (libssh2_sftp_stat_ex(sftp_, path.data(), static_cast<unsigned>(path.size()), LIBSSH2_SFTP_STAT, &attrs) != 0) {
        noteFailure(path);
        return std::nullopt;
    }
    return fileOf(lastComponent(path), attrs);
}

bool NMSFTP::contentsAtPath(const std::string& path, const std::function<bool(const char*, std::size_t)>& toStream) {
    auto file = openFileAtPath(path);
    if (!file) return false;
    std::vector<char> buffer(copyBufferSize);
    while (true) {
        ssize_t rc = 0;
        {
            auto guard = file->lock();
            if (!file->raw()) {
                session_->setLastError(std::string("Not connected"));
                return false;
            }
            rc = libssh2_sftp_read(file->raw(), buffer.data(), buffer.size());
            if (rc < 0) {
                noteFailure(path);
                return false;
            }
        }
        if (rc == 0) break;
        // The stream is the caller's: never called under the session's lock.
        if (!toStream(buffer.data(), static_cast<std::size_t>(rc))) {
            session_->setLastError("Cannot write what was read of " + path);
            return false;
        }
    }
    if (!file->close()) {
        if (!session_->lastError()) session_->setLastError("Closing " + path + " failed");
        return false;
    }
    return true;
}

std::shared_ptr<NMSFTPHandle> NMSFTP::openFileAtPath(const std::string& path) {
    LIBSSH2_SFTP_HANDLE* handle = nullptr;
    {
        auto guard = session_->lock();
        handle = openLocked(path, LIBSSH2_SFTP_OPENFILE);
    }
    if (!handle) return nullptr;
    return std::make_shared<NMSFTPHandle>(shared_from_this(), handle);
}

}  // namespace Ostrane
