#include "ostrane/sftp/NMSSHClient.hpp"

#include "keychain/ApplicationIdentity.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/base/Error.hpp"
#include "platform/fs/FilePlacement.hpp"

#include <algorithm>
#include <utility>
#include <vector>

namespace Ostrane {

namespace {

OstraneErrorRef notConnectedError() { return OstraneError::make("Not connected"); }

OstraneErrorRef errorOf(const NMSSHSession& session, const std::string& fallback) {
    return OstraneError::make(session.lastError().value_or(fallback));
}

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
    std::shared_ptr<platform::PlacementFile> placement;
    try {
        if (to.isFileURL()) placement = std::make_shared<platform::PlacementFile>(to.path());
    } catch (const std::exception&) {
        placement.reset();
    }
    if (!placement) {
        completion(OstraneError::make("dst file open failed"));
        return;
    }
    queue_->async([self = shared_from_this(), file, placement, completion = std::move(completion)]() mutable {
        auto sftp = self->sftp();
        if (!sftp || !sftp->isConnected()) {
            placement.reset();
            completion(notConnectedError());
            return;
        }
        std::string localError;
        const bool copied = sftp->contentsAtPath(file, [&](const char* data, std::size_t size) {
            try {
                placement->write(data, size);
                return true;
            } catch (const std::exception&) {
                localError = platform::errorFromException(std::current_exception())->localizedDescription();
                return false;
            }
        });
        if (copied) {
            try {
                placement->place(true);
                placement.reset();
                completion(nullptr);
                return;
            } catch (const std::exception&) {
                localError = platform::errorFromException(std::current_exception())->localizedDescription();
            }
        }
        const std::string destination = placement->destination();
        // Nothing new stays at the destination: the unplaced file goes with its owner.
        placement.reset();
        if (!localError.empty()) {
            completion(OstraneError::make("Cannot write " + destination + ": " + localError));
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
