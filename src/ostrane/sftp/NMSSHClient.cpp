#include "ostrane/sftp/NMSSHClient.hpp"

#include "keychain/ApplicationIdentity.hpp"
#include "platform/DispatchQueue.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <utility>
#include <vector>

namespace Ostrane {

namespace {

OstraneErrorRef notConnectedError() { return OstraneError::make("Not connected"); }

OstraneErrorRef errorOf(const NMSSHSession& session, const std::string& fallback) {
    return OstraneError::make(session.lastError().value_or(fallback));
}

mode_t processUmask() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Umask:", 0) == 0) {
            try {
                return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8));
            } catch (...) {
                break;
            }
        }
    }
    return 022;
}

// A download's temporary file beside its destination. It becomes the destination only by
// commit(); otherwise it is removed, so a failed download leaves nothing behind.
class TemporaryFile {
public:
    static std::shared_ptr<TemporaryFile> beside(const std::string& destination) {
        const auto slash = destination.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : destination.substr(0, slash);
        std::string name = slash == std::string::npos ? destination : destination.substr(slash + 1);
        if (name.empty() || name == "." || name == "..") return nullptr;
        // Room for the marks within a file name's 255 bytes.
        if (name.size() > 200) name.resize(200);
        std::string path = (folder == "/" ? "" : folder) + "/." + name + ".part-XXXXXX";
        const int fd = ::mkostemp(path.data(), O_CLOEXEC);
        if (fd < 0) return nullptr;
        return std::shared_ptr<TemporaryFile>(new TemporaryFile(fd, std::move(path)));
    }
    ~TemporaryFile() { discard(); }

    bool write(const char* data, std::size_t size) {
        while (size > 0) {
            const ssize_t n = ::write(fd_, data, size);
            if (n < 0) {
                if (errno == EINTR) continue;
                error_ = std::strerror(errno);
                return false;
            }
            data += n;
            size -= static_cast<std::size_t>(n);
        }
        return true;
    }

    bool commit(const std::string& destination) {
        ::fchmod(fd_, 0666 & ~processUmask());
        const int closed = ::close(std::exchange(fd_, -1));
        if (closed != 0) {
            error_ = std::strerror(errno);
            return false;
        }
        if (::rename(path_.c_str(), destination.c_str()) != 0) {
            error_ = std::strerror(errno);
            return false;
        }
        path_.clear();
        return true;
    }

    void discard() {
        if (fd_ >= 0) ::close(std::exchange(fd_, -1));
        if (!path_.empty()) ::unlink(std::exchange(path_, std::string()).c_str());
    }

    const std::string& error() const { return error_; }

private:
    TemporaryFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    int fd_;
    std::string path_;
    std::string error_;
};

}  // namespace

NMSSHClient::NMSSHClient(OstraneInfo info)
    : info_(std::move(info)),
      queue_(platform::DispatchQueue::make(KeychainStore::ApplicationIdentity::reverseDNSPrefix() + ".nmssh")),
      session_(info_.port ? NMSSHSession::make(info_.host, *info_.port, info_.username)
                          : NMSSHSession::make(info_.host, info_.username)) {}

NMSSHClient::~NMSSHClient() = default;

std::string NMSSHClient::baseDir() const { return info_.baseDir.value_or("/"); }

std::shared_ptr<OstraneDirectory> NMSSHClient::baseDirItem() {
    std::lock_guard guard(mutex_);
    if (!baseDirItem_) baseDirItem_ = OstraneDirectory::make(baseDir());
    return baseDirItem_;
}

std::shared_ptr<NMSSHSession> NMSSHClient::session() const {
    std::lock_guard guard(mutex_);
    return session_;
}

std::shared_ptr<NMSFTP> NMSSHClient::sftp() const {
    std::lock_guard guard(mutex_);
    return sftp_;
}

bool NMSSHClient::isConnected() const {
    auto channel = sftp();
    return channel && channel->isConnected();
}

void NMSSHClient::login(LoginCompletion finish) {
    queue_->async([weak = weak_from_this(), finish = std::move(finish)] {
        auto self = weak.lock();
        if (!self) {
            finish(OstraneError::make("Failed to connect"));
            return;
        }
        auto error = self->connectSteps();
        self.reset();
        finish(std::move(error));
    });
}

OstraneErrorRef NMSSHClient::connectSteps() {
    std::shared_ptr<NMSSHSession> session;
    std::shared_ptr<NMSFTP> dead;
    {
        std::lock_guard guard(mutex_);
        // Descriptors opened on a standing channel must stay usable: keep it.
        if (sftp_ && sftp_->isConnected()) return nullptr;
        dead = std::move(sftp_);
        if (sessionUsed_ || !session_) {
            session_ = info_.port ? NMSSHSession::make(info_.host, *info_.port, info_.username)
                                  : NMSSHSession::make(info_.host, info_.username);
        }
        sessionUsed_ = true;
        session = session_;
    }
    dead.reset();  // outside our lock: letting a channel go may talk to the server
    session->setTimeout(std::chrono::milliseconds(timeoutMs_.load()));

    // The host key is checked inside connect(): a refused key ends here, before any password.
    if (!session->connect()) return errorOf(*session, "Failed to connect");
    {
        auto password = info_.getPassword().value_or("");
        session->authenticateByPassword(password);
        std::fill(password.begin(), password.end(), '\0');
    }
    if (!session->isConnected()) return errorOf(*session, "Failed to connect");
    // The channel would be refused anyway; the authentication's own reason says more.
    if (!session->isAuthorized()) return errorOf(*session, "Authentication failed");
    auto channel = NMSFTP::make(session);
    channel->connect();
    if (!channel->isConnected()) return errorOf(*session, "Failed to connect");
    {
        std::lock_guard guard(mutex_);
        sftp_ = std::move(channel);
    }
    return nullptr;
}

std::shared_ptr<OstranePathComponent> NMSSHClient::component(const NMSFTPFile& file,
                                                             const std::shared_ptr<OstraneDirectory>& parent) {
    const std::string& name = file.filename;
    if (name.empty() || name.front() == '.' || (name.find('/') != std::string::npos && name != "/")) return nullptr;
    if (file.isDirectory) return OstraneDirectory::make(name, parent);
    if (file.isSymbolicLink) return OstraneSymbolicLink::make(name, parent);
    return OstraneFile::make(name, parent, file.fileSize.value_or(0));
}

std::string NMSSHClient::resolveLinkTarget(const std::string& directory, const std::string& target) {
    std::string joined;
    if (!target.empty() && target.front() == '/') {
        joined = target;
    } else if (directory.empty()) {
        joined = target;
    } else {
        joined = directory + (directory.back() == '/' ? "" : "/") + target;
    }
    const bool absolute = !joined.empty() && joined.front() == '/';
    std::vector<std::string> parts;
    std::size_t at = 0;
    while (at <= joined.size()) {
        auto slash = joined.find('/', at);
        if (slash == std::string::npos) slash = joined.size();
        const std::string part = joined.substr(at, slash - at);
        if (part == "..") {
            if (!parts.empty() && parts.back() != "..") {
                parts.pop_back();
            } else if (!absolute) {
                parts.push_back(part);
            }
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        at = slash + 1;
    }
    std::string result = absolute ? "/" : "";
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i) result += "/";
        result += parts[i];
    }
    if (result.empty()) result = ".";
    return result;
}

void NMSSHClient::resolveLinks(NMSFTP& sftp, const std::shared_ptr<OstraneDirectory>& directory,
                               const OstranePathComponent::Contents& list) {
    for (const auto& entry : list) {
        auto link = std::dynamic_pointer_cast<OstraneSymbolicLink>(entry);
        if (!link) continue;
        const auto stored = sftp.loadLink(link->path());
        if (!stored || stored->empty()) continue;
        const std::string resolved = resolveLinkTarget(directory->path(), *stored);
        const auto info = sftp.infoForFileAtPath(resolved);
        if (!info) continue;
        // The target hangs under its own directory, so its path (and so its URL) is the real one.
        std::shared_ptr<OstraneDirectory> parent;
        const auto slash = resolved.rfind('/');
        if (resolved != "/" && slash != std::string::npos) {
            const std::string folder = slash == 0 ? "/" : resolved.substr(0, slash);
            parent = folder == directory->path() ? directory : OstraneDirectory::make(folder);
        }
        if (auto target = component(*info, parent)) link->setTarget(std::move(target));
    }
}

void NMSSHClient::contents(std::shared_ptr<OstranePathComponent> of, ContentsCompletion finish) {
    auto directory = std::dynamic_pointer_cast<OstraneDirectory>(of);
    if (!directory) {
        finish(std::nullopt, nullptr);
        return;
    }
    queue_->async([self = shared_from_this(), directory, finish = std::move(finish)] {
        if (auto cached = directory->contents()) {
            finish(std::move(*cached), nullptr);
            return;
        }
        auto sftp = self->sftp();
        if (!sftp || !sftp->isConnected()) {
            finish(std::nullopt, notConnectedError());
            return;
        }
        const std::string path = directory->path();
        auto files = sftp->contentsOfDirectoryAtPath(path);
        if (!files) {
            // Not listed stays not listed: the next request asks the server again.
            directory->setContents(std::nullopt);
            finish(std::nullopt, errorOf(*sftp->session(), "Cannot list " + path));
            return;
        }
        OstranePathComponent::Contents list;
        for (const auto& file : *files) {
            if (auto child = component(file, directory)) list.push_back(std::move(child));
        }
        sortByName(list);
        self->resolveLinks(*sftp, directory, list);
        directory->setContents(list);
        finish(std::move(list), nullptr);
    });
}

void NMSSHClient::contents(const std::string& dir, NamesCompletion finish) {
    queue_->async([self = shared_from_this(), dir, finish = std::move(finish)] {
        auto sftp = self->sftp();
        if (!sftp || !sftp->isConnected()) {
            finish(std::nullopt, notConnectedError());
            return;
        }
        auto files = sftp->contentsOfDirectoryAtPath(dir);
        if (!files) {
            finish(std::nullopt, errorOf(*sftp->session(), "Cannot list " + dir));
            return;
        }
        std::vector<std::string> names;
        for (const auto& file : *files) {
            if (!file.isDirectory) names.push_back(file.filename);
        }
        finish(std::move(names), nullptr);
    });
}

void NMSSHClient::download(const std::string& file, const platform::URL& to, DownloadCompletion completion) {
    std::shared_ptr<TemporaryFile> temporary;
    if (to.isFileURL()) temporary = TemporaryFile::beside(to.path());
    if (!temporary) {
        completion(OstraneError::make("dst file open failed"));
        return;
    }
    queue_->async([self = shared_from_this(), file, destination = to.path(), temporary,
                   completion = std::move(completion)] {
        auto sftp = self->sftp();
        if (!sftp || !sftp->isConnected()) {
            temporary->discard();
            completion(notConnectedError());
            return;
        }
        const bool copied = sftp->contentsAtPath(
            file, [&](const char* data, std::size_t size) { return temporary->write(data, size); });
        if (copied && temporary->commit(destination)) {
            completion(nullptr);
            return;
        }
        temporary->discard();
        if (!temporary->error().empty()) {
            completion(OstraneError::make("Cannot write " + destination + ": " + temporary->error()));
        } else {
            // Also when the library says nothing: a failed copy is never reported as success.
            completion(errorOf(*sftp->session(), "Download of " + file + " failed"));
        }
    });
}

template <class F>
auto NMSSHClient::onQueue(F&& work) -> decltype(work()) {
    if (queue_->isCurrent()) return work();
    return queue_->sync(std::forward<F>(work));
}

std::shared_ptr<NetworkFileDescriptor> NMSSHClient::open(const std::string& file) {
    return onQueue([&]() -> std::shared_ptr<NetworkFileDescriptor> {
        auto sftp = this->sftp();
        if (!sftp || !sftp->isConnected()) return nullptr;
        auto handle = sftp->openFileAtPath(file);
        if (!handle) return nullptr;
        return std::make_shared<NMSSHFileDescriptor>(std::move(handle));
    });
}

std::optional<OstraneClient::Bytes> NMSSHClient::read(const std::shared_ptr<NetworkFileDescriptor>& file,
                                                      std::int64_t offset, std::ptrdiff_t size) {
    auto descriptor = std::dynamic_pointer_cast<NMSSHFileDescriptor>(file);
    if (!descriptor || !descriptor->fd || offset < 0 || size < 1) return std::nullopt;
    const auto wanted = static_cast<std::size_t>(std::min(size, maximumReadSize));
    return onQueue([&]() -> std::optional<Bytes> {
        Bytes buffer(wanted);
        const auto got = descriptor->fd->read(offset, reinterpret_cast<char*>(buffer.data()), wanted);
        if (!got) return std::nullopt;
        buffer.resize(*got);
        return buffer;
    });
}

std::optional<std::int64_t> NMSSHClient::fileSize(const std::shared_ptr<NetworkFileDescriptor>& file) {
    auto descriptor = std::dynamic_pointer_cast<NMSSHFileDescriptor>(file);
    if (!descriptor || !descriptor->fd) return std::nullopt;
    return onQueue([&] { return descriptor->fd->fileSize(); });
}

void NMSSHClient::close(const std::shared_ptr<NetworkFileDescriptor>& file) {
    auto descriptor = std::dynamic_pointer_cast<NMSSHFileDescriptor>(file);
    if (!descriptor || !descriptor->fd) return;
    // Waited for, like open and read: the server has let the file go when the caller goes on.
    onQueue([&] { descriptor->fd->close(); });
}

std::optional<std::string> NMSSHClient::address(const platform::URL&) { return std::nullopt; }

std::optional<OstraneClient::UserPassword> NMSSHClient::userpassword(const platform::URL&) { return std::nullopt; }

}  // namespace Ostrane
