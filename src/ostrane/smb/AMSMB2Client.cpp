#include "ostrane/smb/AMSMB2Client.hpp"

#include "keychain/ApplicationIdentity.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/text/Strings.hpp"

#include <cctype>
#include <utility>

namespace Ostrane {

namespace {

OstraneErrorRef releasedError() { return OstraneError::make("The client was released"); }
OstraneErrorRef notConnectedError() { return OstraneError::make("Not connected"); }

using platform::startsWithNoCase;

using platform::trimSlashes;

}  // namespace

AMSMB2Client::AMSMB2Client(OstraneInfo info)
    : info_(std::move(info)), queue_(platform::DispatchQueue::make(KeychainStore::ApplicationIdentity::reverseDNSPrefix() + ".amsmb2")) {}

AMSMB2Client::~AMSMB2Client() = default;

std::shared_ptr<OstraneDirectory> AMSMB2Client::baseDirItem() {
    std::lock_guard guard(mutex_);
    if (!baseDirItem_) {
        baseDirItem_ = OstraneDirectory::make("/");
    }
    return baseDirItem_;
}

void AMSMB2Client::setBaseDirItem(std::shared_ptr<OstraneDirectory> item) {
    std::lock_guard guard(mutex_);
    baseDirItem_ = std::move(item);
}

bool AMSMB2Client::isConnected() const {
    if (!isConnected_.load()) {
        return false;
    }
    // A session whose worker process has ended is connected no more: the next login starts another.
    auto session = this->session();
    return !(session && session->hasEnded());
}

std::shared_ptr<AMSMB2> AMSMB2Client::session() const {
    std::lock_guard guard(mutex_);
    return session_;
}

void AMSMB2Client::replaceSession(std::shared_ptr<AMSMB2> session) {
    std::shared_ptr<AMSMB2> previous;
    {
        std::lock_guard guard(mutex_);
        previous = std::exchange(session_, std::move(session));
    }
    // `previous` goes here, outside the lock: freeing a session talks to the library.
}

std::optional<platform::URL> AMSMB2Client::serverURL() {
    std::lock_guard guard(mutex_);
    if (!serverURL_) {
        serverURL_ = makeServerURL(info_);
    }
    return *serverURL_;
}

std::optional<platform::URL> AMSMB2Client::makeServerURL(const OstraneInfo& info) {
    std::string text = info.host;
    if (text.empty()) {
        return std::nullopt;
    }
    if (!startsWithNoCase(text, "smb://")) {
        // Brackets only around an IPv6 literal: in "nas.local:445" the colon sets the port.
        if (text.find(':') != text.rfind(':') && text.front() != '[') {
            text = "[" + text + "]";
        }
        text = "smb://" + text;
    }
    auto components = platform::URLComponents::parse(text);
    if (!components || !components->percentEncodedHost || components->percentEncodedHost->empty()) {
        return std::nullopt;
    }
    // The record's port field wins over one written in the host.
    if (info.port) {
        if (!OstraneInfo::isUsablePort(*info.port)) {
            return std::nullopt;
        }
        components->port = static_cast<int>(*info.port);
    }
    return components->url();
}

std::string AMSMB2Client::shareName(const std::string& baseDir) {
    const auto first = baseDir.find_first_not_of("/ ");
    if (first == std::string::npos) {
        return {};
    }
    return baseDir.substr(first, baseDir.find_last_not_of("/ ") - first + 1);
}

void AMSMB2Client::login(LoginCompletion finish) {
    const auto url = serverURL();
    if (!url) {
        finish(OstraneError::make("invalid url"));
        return;
    }
    if (!info_.baseDir) {
        finish(OstraneError::make("invalid share name"));
        return;
    }
    const std::string share = shareName(*info_.baseDir);
    loginGate_.login(std::move(finish), [this, weak = weak_from_this(), url = *url, share](LoginGate::Finish done) {
        if (weak.expired()) {
            done(releasedError());
            return;
        }
        // Read at every login, so a password changed in the keychain applies to the next one.
        AMSMB2Credential credential{info_.username, info_.getPassword().value_or("")};
        const auto timeout = std::chrono::milliseconds(timeoutMilliseconds_.load());
        queue_->async([weak, url, share, credential = std::move(credential), timeout, done]() mutable {
            auto self = weak.lock();
            if (!self) {
                done(releasedError());
                return;
            }
            auto session = AMSMB2::make(url.absoluteString(), "", credential, timeout);
            std::fill(credential.password.begin(), credential.password.end(), '\0');
            self->replaceSession(session);
            if (!session) {
                self->setIsConnected(false);
                done(OstraneError::make("Failed to connect"));
                return;
            }
            self.reset();
            session->connectShare(share, false, [weak, done](std::optional<AMSMB2Error> error) {
                auto client = weak.lock();
                if (client) {
                    client->setIsConnected(!error);
                }
                client.reset();
                done(error ? OstraneError::make(error->localizedDescription()) : nullptr);
            });
        });
    });
}

std::shared_ptr<OstranePathComponent> AMSMB2Client::component(const SMB2DirectoryEntry& entry,
                                                              const std::shared_ptr<OstraneDirectory>& parent) {
    if (!entry.name || !entry.type) {
        return nullptr;
    }
    const std::string& name = *entry.name;
    // Hidden entries are dropped; "." and ".." with them. A "/" could never be a name here.
    if (name.empty() || name.front() == '.' || name.find('/') != std::string::npos) {
        return nullptr;
    }
    switch (*entry.type) {
    case URLFileResourceType::regular:
        return OstraneFile::make(name, parent, entry.size.value_or(0));
    case URLFileResourceType::directory:
        return OstraneDirectory::make(name, parent);
    case URLFileResourceType::symbolicLink:
        return OstraneSymbolicLink::make(name, parent);
    default:
        return nullptr;
    }
}

void AMSMB2Client::contents(std::shared_ptr<OstranePathComponent> of, ContentsCompletion finish) {
    auto directory = std::dynamic_pointer_cast<OstraneDirectory>(of);
    if (!directory) {
        finish(std::nullopt, nullptr);
        return;
    }
    queue_->async([weak = weak_from_this(), directory, finish = std::move(finish)] {
        auto self = weak.lock();
        if (!self) {
            finish(std::nullopt, releasedError());
            return;
        }
        if (auto cached = directory->contents()) {
            self.reset();
            finish(std::move(*cached), nullptr);
            return;
        }
        auto session = self->session();
        self.reset();
        if (!session) {
            finish(std::nullopt, notConnectedError());
            return;
        }
        std::vector<SMB2DirectoryEntry> entries;
        try {
            entries = session->contentsOfDirectory(directory->path());
        } catch (const AMSMB2Error& error) {
            // Not listed stays not listed: the next request asks the server again.
            finish(std::nullopt, OstraneError::make(error.localizedDescription()));
            return;
        }
        OstranePathComponent::Contents list;
        for (const auto& entry : entries) {
            if (auto child = component(entry, directory)) {
                list.push_back(std::move(child));
            }
        }
        sortByName(list);
        directory->setContents(list);
        finish(std::move(list), nullptr);
    });
}

void AMSMB2Client::contents(const std::string& dir, NamesCompletion finish) {
    queue_->async([weak = weak_from_this(), dir, finish = std::move(finish)] {
        auto self = weak.lock();
        if (!self) {
            finish(std::nullopt, releasedError());
            return;
        }
        auto session = self->session();
        self.reset();
        if (!session) {
            finish(std::nullopt, notConnectedError());
            return;
        }
        std::vector<SMB2DirectoryEntry> entries;
        try {
            entries = session->contentsOfDirectory(dir);
        } catch (const AMSMB2Error& error) {
            finish(std::nullopt, OstraneError::make(error.localizedDescription()));
            return;
        }
        std::vector<std::string> names;
        for (const auto& entry : entries) {
            auto child = component(entry, nullptr);
            if (child && child->type() == OstraneFileType::file) {
                names.push_back(child->name());
            }
        }
        finish(std::move(names), nullptr);
    });
}

void AMSMB2Client::download(const std::string& file, const platform::URL& to, DownloadCompletion completion) {
    auto session = this->session();
    if (!session) {
        completion(notConnectedError());
        return;
    }
    if (!to.isFileURL() || to.path().empty()) {
        completion(OstraneError::make("invalid url"));
        return;
    }
    session->downloadItem(file, to.path(), [completion = std::move(completion)](std::optional<AMSMB2Error> error) {
        completion(error ? OstraneError::make(error->localizedDescription()) : nullptr);
    });
}

template <class F>
auto AMSMB2Client::onQueue(F&& work) -> decltype(work()) {
    // Called from a completion that already runs on the queue: it is ours already.
    if (queue_->isCurrent()) {
        return work();
    }
    return queue_->sync(std::forward<F>(work));
}

std::shared_ptr<NetworkFileDescriptor> AMSMB2Client::open(const std::string& file) {
    auto session = this->session();
    if (!session) {
        return nullptr;
    }
    return onQueue([&]() -> std::shared_ptr<NetworkFileDescriptor> {
        const auto stripped = trimSlashes(file);
        auto handle = session->openFile(stripped);
        if (!handle && stripped != file) {
            handle = session->openFile(file);
        }
        if (!handle) {
            return nullptr;
        }
        return std::make_shared<AMSMB2FileDescriptor>(std::move(handle), session);
    });
}

std::optional<OstraneClient::Bytes> AMSMB2Client::read(const std::shared_ptr<NetworkFileDescriptor>& file,
                                                       std::int64_t offset, std::ptrdiff_t size) {
    auto descriptor = std::dynamic_pointer_cast<AMSMB2FileDescriptor>(file);
    if (!descriptor || !descriptor->handle || !descriptor->session) {
        return std::nullopt;
    }
    return onQueue([&] { return descriptor->session->read(*descriptor->handle, offset, size); });
}

std::optional<std::int64_t> AMSMB2Client::fileSize(const std::shared_ptr<NetworkFileDescriptor>& file) {
    auto descriptor = std::dynamic_pointer_cast<AMSMB2FileDescriptor>(file);
    if (!descriptor || !descriptor->handle || !descriptor->session) {
        return std::nullopt;
    }
    return onQueue([&] { return descriptor->session->sizeOfFile(*descriptor->handle); });
}

void AMSMB2Client::close(const std::shared_ptr<NetworkFileDescriptor>&) {}

std::optional<std::string> AMSMB2Client::address(const platform::URL&) { return std::nullopt; }

std::optional<OstraneClient::UserPassword> AMSMB2Client::userpassword(const platform::URL&) { return std::nullopt; }

void AMSMB2Client::data(const platform::URL&, DataCompletion finish) {
    finish(std::nullopt, OstraneError::make("Reading a whole file is not supported for SMB servers"));
}

}  // namespace Ostrane
