#include "ostrane/sftp/NMSFTP.hpp"

#include <libssh/libssh.h>
#include <libssh/sftp.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <cstring>
#include <utility>

namespace Ostrane {

namespace {

using Call = NMSSHSession::Call;

std::string statusText(int status) {
    switch (status) {
    case SSH_FX_EOF: return "End of file";
    case SSH_FX_NO_SUCH_FILE: return "No such file";
    case SSH_FX_PERMISSION_DENIED: return "Permission denied";
    case SSH_FX_FAILURE: return "Failure";
    case SSH_FX_BAD_MESSAGE: return "Bad message";
    case SSH_FX_NO_CONNECTION: return "No connection";
    case SSH_FX_CONNECTION_LOST: return "Connection lost";
    case SSH_FX_OP_UNSUPPORTED: return "Operation unsupported";
    case SSH_FX_INVALID_HANDLE: return "Invalid handle";
    case SSH_FX_NO_SUCH_PATH: return "No such path";
    case SSH_FX_FILE_ALREADY_EXISTS: return "File already exists";
    case SSH_FX_WRITE_PROTECT: return "Write protected";
    case SSH_FX_NO_MEDIA: return "No media";
    default: return "SFTP status " + std::to_string(status);
    }
}

// libssh takes paths as C strings: one with a NUL byte could only name another file.
bool usablePath(const std::string& path) {
    return !path.empty() && path.size() < 65536 && path.find('\0') == std::string::npos;
}

bool isDirectory(const sftp_attributes_struct& attrs) {
    if (attrs.flags & SSH_FILEXFER_ATTR_PERMISSIONS) return S_ISDIR(attrs.permissions);
    return attrs.type == SSH_FILEXFER_TYPE_DIRECTORY;
}

NMSFTPFile fileOf(std::string name, const sftp_attributes_struct& attrs) {
    NMSFTPFile file;
    file.filename = std::move(name);
    if (attrs.flags & SSH_FILEXFER_ATTR_PERMISSIONS) {
        file.isDirectory = S_ISDIR(attrs.permissions);
        file.isSymbolicLink = S_ISLNK(attrs.permissions);
    } else {
        file.isDirectory = attrs.type == SSH_FILEXFER_TYPE_DIRECTORY;
        file.isSymbolicLink = attrs.type == SSH_FILEXFER_TYPE_SYMLINK;
    }
    if ((attrs.flags & SSH_FILEXFER_ATTR_SIZE) && attrs.size <= static_cast<std::uint64_t>(INT64_MAX)) {
        file.fileSize = static_cast<std::int64_t>(attrs.size);
    }
    return file;
}

std::string lastComponent(const std::string& path) {
    auto end = path.find_last_not_of('/');
    if (end == std::string::npos) return path.empty() ? path : "/";
    const auto slash = path.rfind('/', end);
    const auto start = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(start, end - start + 1);
}

// Hands a copy's pieces to its stream on a thread of its own, so that writing one piece and
// receiving the next overlap. One piece at a time, in order: hand() returns once the piece before
// was taken, so the buffer of that one may be filled again.
class PieceWriter {
public:
    explicit PieceWriter(const std::function<bool(const char*, std::size_t)>& stream)
        : stream_(stream), thread_([this] { run(); }) {}
    ~PieceWriter() { finish(); }
    PieceWriter(const PieceWriter&) = delete;
    PieceWriter& operator=(const PieceWriter&) = delete;

    /// False when the stream refused an earlier piece.
    bool hand(const char* data, std::size_t size) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !busy_; });
        if (refused_) return false;
        piece_ = data;
        size_ = size;
        busy_ = true;
        changed_.notify_all();
        return true;
    }

    /// Waits for the last piece; false when the stream refused one.
    bool finish() {
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return !busy_; });
            done_ = true;
            changed_.notify_all();
        }
        if (thread_.joinable()) thread_.join();
        return !refused_;
    }

private:
    void run() {
        std::unique_lock lock(mutex_);
        while (true) {
            changed_.wait(lock, [this] { return busy_ || done_; });
            if (!busy_) return;
            lock.unlock();
            const bool taken = stream_(piece_, size_);
            lock.lock();
            if (!taken) refused_ = true;
            busy_ = false;
            changed_.notify_all();
        }
    }

    const std::function<bool(const char*, std::size_t)>& stream_;
    std::mutex mutex_;
    std::condition_variable changed_;
    const char* piece_ = nullptr;
    std::size_t size_ = 0;
    bool busy_ = false;
    bool done_ = false;
    bool refused_ = false;
    std::thread thread_;  // last: starts once the rest is ready
};

struct AttributesFree {
    void operator()(sftp_attributes attrs) const { sftp_attributes_free(attrs); }
};
using Attributes = std::unique_ptr<sftp_attributes_struct, AttributesFree>;

}  // namespace

// --- NMSFTPHandle --------------------------------------------------------------------------------

NMSFTPHandle::NMSFTPHandle(std::shared_ptr<NMSFTP> sftp, sftp_file file) : sftp_(std::move(sftp)), file_(file) {}

NMSFTPHandle::~NMSFTPHandle() { close(); }

NMSSHSession& NMSFTPHandle::session() const { return *sftp_->session(); }

bool NMSFTPHandle::isOpen() const {
    Call call(session());
    return file_ != nullptr;
}

void NMSFTPHandle::setWindow(std::size_t requests) {
    Call call(session());
    window_ = std::max<std::size_t>(1, requests);
}

bool NMSFTPHandle::send(Call& call, std::int64_t offset, std::uint32_t length) {
    // libssh moves the file's position by each request; ours says where each one goes.
    sftp_seek64(file_, static_cast<std::uint64_t>(offset));
    const int id = sftp_async_read_begin(file_, length);
    if (id < 0) {
        sftp_->noteFailure(call, "read");
        return false;
    }
    inFlight_.push_back(Request{static_cast<std::uint32_t>(id), offset, length});
    return true;
}

bool NMSFTPHandle::fill(Call& call, std::int64_t limit) {
    // Requests go out in bursts of half a window: a server woken for many requests at once
    // serves them far faster than one woken for each.
    if (inFlight_.size() > window_ / 2) return true;
    while (inFlight_.size() < window_ && nextRequest_ < limit) {
        const auto length = static_cast<std::uint32_t>(std::min<std::int64_t>(requestSize, limit - nextRequest_));
        if (!send(call, nextRequest_, length)) return false;
        nextRequest_ += length;
    }
    return true;
}

int NMSFTPHandle::receive(Call& call, const Request& request, char* into) {
    call.renew();
    // An earlier answer "end of file" marks libssh's file so that it answers 0 without looking
    // at this request's reply: a seek clears the mark.
    sftp_seek64(file_, static_cast<std::uint64_t>(request.offset));
    return sftp_async_read(file_, into, request.length, request.id);
}

void NMSFTPHandle::drop(Call& call) {
    if (sftp_->reading_ == this) sftp_->reading_ = nullptr;
    spare_.clear();
    // Every reply still comes: take them, or libssh keeps them for the life of the channel.
    while (!inFlight_.empty() && !call.transportFailed()) {
        const Request request = inFlight_.front();
        inFlight_.pop_front();
        scratch_.resize(request.length);
        if (receive(call, request, scratch_.data()) < 0) break;
    }
    inFlight_.clear();
}

std::optional<std::size_t> NMSFTPHandle::read(std::int64_t offset, char* into, std::size_t size) {
    Call call(session());
    if (!file_ || !call.usable()) {
        session().setLastError(std::string(file_ ? "Not connected" : "The file is closed"));
        return std::nullopt;
    }
    if (offset < 0 || size > static_cast<std::size_t>(INT64_MAX - offset)) {
        session().setLastError(std::string("Invalid range"));
        return std::nullopt;
    }
    sftp_->settle(call, this);
    const std::int64_t end = offset + static_cast<std::int64_t>(size);
    const bool sequential = offset == lastEnd_;
    std::size_t got = 0;
    if (!spare_.empty() && spareOffset_ == offset) {
        got = std::min(size, spare_.size());
        std::memcpy(into, spare_.data(), got);
        spare_.erase(spare_.begin(), spare_.begin() + static_cast<std::ptrdiff_t>(got));
        spareOffset_ += static_cast<std::int64_t>(got);
    } else if (!spare_.empty() || (!inFlight_.empty() && inFlight_.front().offset != offset)) {
        drop(call);  // a seek: what was read ahead is of no use
    }
    if (inFlight_.empty() && spare_.empty()) nextRequest_ = offset + static_cast<std::int64_t>(got);
    // Sequential reads keep a window of requests going beyond their range.
    const std::int64_t limit =
        sequential ? end + static_cast<std::int64_t>(window_) * requestSize : end;
    while (got < size) {
        if (!fill(call, limit)) return std::nullopt;
        const Request request = inFlight_.front();
        inFlight_.pop_front();
        const std::int64_t at = offset + static_cast<std::int64_t>(got);
        const bool inside = request.offset + request.length <= end;
        char* target = into + got;
        if (!inside) {
            scratch_.resize(request.length);
            target = scratch_.data();
        }
        const int n = receive(call, request, target);
        if (n < 0) {
            sftp_->noteFailure(call, "read");
            if (!call.transportFailed()) drop(call);
            lastEnd_ = -1;
            return std::nullopt;
        }
        if (n == 0) {
            // The file ends here: the rest of the range does not exist.
            drop(call);
            lastEnd_ = at;
            return got;
        }
        const auto arrived = static_cast<std::size_t>(n);
        const std::size_t used = std::min(arrived, size - got);
        if (!inside) {
            std::memcpy(into + got, scratch_.data(), used);
            spare_.assign(scratch_.begin() + static_cast<std::ptrdiff_t>(used),
                          scratch_.begin() + static_cast<std::ptrdiff_t>(arrived));
            spareOffset_ = end;
        }
        got += used;
        if (arrived < request.length) {
            // A reply shorter than asked (the end of the file, or a server's own limit): the
            // requests after it are taken in, and the reading goes on from what arrived.
            auto kept = std::move(spare_);
            drop(call);
            spare_ = std::move(kept);
            nextRequest_ = request.offset + n;
        }
    }
    lastEnd_ = end;
    if (!inFlight_.empty()) sftp_->reading_ = this;
    return got;
}

std::optional<std::int64_t> NMSFTPHandle::fileSize() {
    Call call(session());
    if (!file_ || !call.usable()) {
        session().setLastError(std::string(file_ ? "Not connected" : "The file is closed"));
        return std::nullopt;
    }
    sftp_->settle(call);
    Attributes attrs(sftp_fstat(file_));
    if (!attrs) {
        sftp_->noteFailure(call, "fstat");
        return std::nullopt;
    }
    // A size the server did not send is no size.
    if (!(attrs->flags & SSH_FILEXFER_ATTR_SIZE) || attrs->size > static_cast<std::uint64_t>(INT64_MAX)) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(attrs->size);
}

bool NMSFTPHandle::close() {
    Call call(session());
    return closeWithin(call);
}

bool NMSFTPHandle::closeWithin(Call& call) {
    if (!file_) return true;
    if (sftp_->reading_ == this) sftp_->reading_ = nullptr;
    if (NMSSHSession::processEnding()) {
        NMSSHSession::abandon(std::exchange(file_, nullptr));
        inFlight_.clear();
        return false;
    }
    const bool standing = call.usable();
    if (standing) {
        drop(call);
        sftp_->settle(call);
    }
    inFlight_.clear();
    spare_.clear();
    // Over a dead connection the close cannot be sent, but libssh frees the handle all the same.
    const int rc = sftp_close(std::exchange(file_, nullptr));
    if (!standing) return false;
    if (rc != SSH_NO_ERROR) {
        call.noteFailure("Closing a remote file failed");
        return false;
    }
    return true;
}

// --- NMSFTP ---------------------------------------------------------------------------------------

std::shared_ptr<NMSFTP> NMSFTP::make(std::shared_ptr<NMSSHSession> session) {
    return std::make_shared<NMSFTP>(std::move(session));
}

NMSFTP::NMSFTP(std::shared_ptr<NMSSHSession> session) : session_(std::move(session)) {}

NMSFTP::~NMSFTP() {
    Call call(*session_);
    if (!sftp_) return;
    if (NMSSHSession::processEnding()) {
        NMSSHSession::abandon(std::exchange(sftp_, nullptr));
        return;
    }
    sftp_free(std::exchange(sftp_, nullptr));
}

bool NMSFTP::connect() {
    Call call(*session_);
    if (sftp_) return true;
    if (!call.usable()) {
        session_->setLastError(std::string("Not connected"));
        return false;
    }
    if (!session_->isAuthorized()) {
        session_->setLastError(std::string("Not authenticated"));
        return false;
    }
    sftp_ = sftp_new(call.raw());
    if (!sftp_) {
        call.noteFailure("Cannot start SFTP");
        return false;
    }
    if (sftp_init(sftp_) != SSH_OK) {
        call.noteFailure("Cannot start SFTP");
        sftp_free(std::exchange(sftp_, nullptr));
        return false;
    }
    started_.store(true);
    return true;
}

bool NMSFTP::isConnected() const { return started_.load() && session_->isConnected(); }

void NMSFTP::noteFailure(Call& call, const std::string& path) {
    if (sftp_ && !call.transportFailed()) {
        session_->setLastError(statusText(sftp_get_error(sftp_)) + ": " + path);
        return;
    }
    call.noteFailure(path);
}

void NMSFTP::settle(Call& call, const NMSFTPHandle* keeping) {
    if (reading_ && reading_ != keeping) reading_->drop(call);
}

bool NMSFTP::ready(Call& call, const std::string& path) {
    session_->setLastError(std::nullopt);
    if (!sftp_ || !call.usable()) {
        session_->setLastError(std::string(NMSSHSession::processEnding() ? "The process is ending" : "Not connected"));
        return false;
    }
    settle(call);
    if (!usablePath(path)) {
        session_->setLastError("Invalid path: " + path);
        return false;
    }
    return true;
}

std::optional<std::vector<NMSFTPFile>> NMSFTP::contentsOfDirectoryAtPath(const std::string& path) {
    Call call(*session_);
    if (!ready(call, path)) return std::nullopt;
    sftp_dir dir = sftp_opendir(sftp_, path.c_str());
    if (!dir) {
        noteFailure(call, path);
        // The server's word for a file given as a folder varies; say what it is.
        if (!call.transportFailed()) {
            Attributes attrs(sftp_stat(sftp_, path.c_str()));
            if (attrs && !isDirectory(*attrs)) session_->setLastError("Not a directory: " + path);
        }
        return std::nullopt;
    }
    std::vector<NMSFTPFile> files;
    while (true) {
        call.renew();
        Attributes attrs(sftp_readdir(sftp_, dir));
        if (!attrs) break;
        if (!attrs->name) continue;
        std::string filename(attrs->name);
        if (filename == "." || filename == "..") continue;
        files.push_back(fileOf(std::move(filename), *attrs));
    }
    const bool complete = sftp_dir_eof(dir) != 0;
    if (!complete) noteFailure(call, path);
    sftp_closedir(dir);
    if (!complete) return std::nullopt;
    return files;
}

std::optional<std::string> NMSFTP::loadLink(const std::string& path) {
    Call call(*session_);
    if (!ready(call, path)) return std::nullopt;
    char* target = sftp_readlink(sftp_, path.c_str());
    if (!target) {
        noteFailure(call, path);
        return std::nullopt;
    }
    std::string text(target);
    ssh_string_free_char(target);
    return text;
}

std::optional<NMSFTPFile> NMSFTP::infoForFileAtPath(const std::string& path) {
    Call call(*session_);
    if (!ready(call, path)) return std::nullopt;
    Attributes attrs(sftp_stat(sftp_, path.c_str()));
    if (!attrs) {
        noteFailure(call, path);
        return std::nullopt;
    }
    return fileOf(lastComponent(path), *attrs);
}

bool NMSFTP::contentsAtPath(const std::string& path, const std::function<bool(const char*, std::size_t)>& toStream) {
    auto file = openFileAtPath(path);
    if (!file) return false;
    file->setWindow(copyWindow);
    std::vector<char> buffers[2] = {std::vector<char>(copyBufferSize), std::vector<char>(copyBufferSize)};
    PieceWriter writer(toStream);
    std::int64_t offset = 0;
    for (int turn = 0;; turn ^= 1) {
        auto& buffer = buffers[turn];
        const auto got = file->read(offset, buffer.data(), buffer.size());
        if (!got) return false;
        // The stream is the caller's: never called inside a Call.
        if (*got > 0 && !writer.hand(buffer.data(), *got)) break;
        if (*got < buffer.size()) break;
        offset += static_cast<std::int64_t>(*got);
    }
    if (!writer.finish()) {
        session_->setLastError("Cannot write what was read of " + path);
        return false;
    }
    if (!file->close()) {
        if (!session_->lastError()) session_->setLastError("Closing " + path + " failed");
        return false;
    }
    return true;
}

std::shared_ptr<NMSFTPHandle> NMSFTP::openFileAtPath(const std::string& path) {
    sftp_file file = nullptr;
    {
        Call call(*session_);
        if (!ready(call, path)) return nullptr;
        file = sftp_open(sftp_, path.c_str(), O_RDONLY, 0);
        if (!file) {
            noteFailure(call, path);
            return nullptr;
        }
        // A folder opens on many servers, and then every read fails: refuse it here.
        Attributes attrs(sftp_fstat(file));
        if (!attrs || isDirectory(*attrs)) {
            if (attrs) {
                session_->setLastError("Is a directory: " + path);
            } else {
                noteFailure(call, path);
            }
            if (NMSSHSession::processEnding()) {
                NMSSHSession::abandon(file);
            } else {
                sftp_close(file);
            }
            return nullptr;
        }
    }
    return std::make_shared<NMSFTPHandle>(shared_from_this(), file);
}

}  // namespace Ostrane
