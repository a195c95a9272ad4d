#include "ostrane/curl/CURLClient.hpp"

#include "keychain/ApplicationIdentity.hpp"
#include "ostrane/curl/FTPListing.hpp"
#include "ostrane/curl/TransferExit.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/base/Error.hpp"
#include "platform/fs/FilePlacement.hpp"
#include "platform/base/Trace.hpp"
#include "platform/text/Strings.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace Ostrane {

namespace {

using platform::CURLRequest;
using platform::CURLResponse;

constexpr const char* kInvalidAddress = "invalid address";
constexpr std::size_t kMaxListingBytes = std::size_t(256) << 20;

std::optional<std::int64_t> decimal(const std::optional<std::string>& text) {
    if (!text || text->empty()) return std::nullopt;
    std::int64_t value = 0;
    const char* end = text->data() + text->size();
    const auto [stop, error] = std::from_chars(text->data(), end, value);
    if (error != std::errc() || stop != end || value < 0) return std::nullopt;
    return value;
}

OstraneErrorRef folderError(const std::string& path) {
    return OstraneError::make("Cannot download " + (path.empty() ? std::string("/") : path) + ": it is a folder");
}

OstraneErrorRef releasedError() { return OstraneError::make("The client was released"); }

using platform::startsWithNoCase;

std::string trimmedWhitespace(const std::string& text) {
    constexpr const char* blanks = " \t\n\r\v\f";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// Each byte outside the unreserved set and "/" as %XX, so "#", "?", "%" and blanks in names reach
// the server as they are.
std::string encodePath(std::string_view path) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    out.reserve(path.size());
    for (unsigned char c : path) {
        const bool plain = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' ||
                           c == '.' || c == '_' || c == '~' || c == '/';
        if (plain) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 0xF]);
        }
    }
    return out;
}

// A line end inside a path would end the FTP command early and start another.
bool holdsCommandBreak(std::string_view path) { return path.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos; }

OstraneErrorRef errorOf(const std::exception& e) {
    if (auto* curl = dynamic_cast<const CURLResponse::Error*>(&e)) return OstraneError::make(curl->description());
    if (auto* platformError = dynamic_cast<const platform::Exception*>(&e); platformError && platformError->error()) {
        return OstraneError::make(platformError->error()->localizedDescription());
    }
    return OstraneError::make(e.what());
}

}  // namespace

CURLClient::CURLClient(OstraneInfo info)
    : info_(std::move(info)),
      timeoutMilliseconds_(CURLRequest::defaultTimeout.count()),
      queue_(platform::DispatchQueue::make(KeychainStore::ApplicationIdentity::reverseDNSPrefix() + ".curl")) {}

CURLClient::~CURLClient() {
    if (session_) session_->reset({});
}

std::string CURLClient::baseDir() const { return info_.baseDir.value_or("/"); }

std::shared_ptr<OstraneDirectory> CURLClient::baseDirItem() {
    std::lock_guard guard(mutex_);
    if (!baseDirItem_) baseDirItem_ = OstraneDirectory::make(baseDir());
    return baseDirItem_;
}

void CURLClient::setBaseDirItem(std::shared_ptr<OstraneDirectory> item) {
    std::lock_guard guard(mutex_);
    baseDirItem_ = std::move(item);
}

std::optional<CURLClient::ServerAddress> CURLClient::serverAddress() {
    std::lock_guard guard(mutex_);
    if (serverAddress_) return *serverAddress_;
    std::optional<ServerAddress> address;
    [&] {
        struct Scheme {
            const char* prefix;
            const char* name;
            const char* requestName;
            FTPFileReader::TLS tls;
            int port;
        };
        // One meaning of the FTP schemes for the whole library, the one players and curl share.
        static const Scheme schemes[] = {
            {"ftp://", "ftp", "ftp", FTPFileReader::TLS::none, 21},
            {"ftps://", "ftps", "ftps", FTPFileReader::TLS::implicit, 990},
            {"ftpes://", "ftpes", "ftp", FTPFileReader::TLS::explicit_, 21},
        };
        Scheme scheme = schemes[0];
        std::string rest = info_.host;
        bool written = false;
        for (const auto& s : schemes) {
            if (startsWithNoCase(rest, s.prefix)) {
                scheme = s;
                rest.erase(0, std::string_view(s.prefix).size());
                written = true;
                break;
            }
        }
        if (!written && info_.type != OstraneType::ftp) {
            scheme = {"http://", "http", "http", FTPFileReader::TLS::none, 80};
            if (startsWithNoCase(rest, "http://") || startsWithNoCase(rest, "https://")) {
                if (startsWithNoCase(rest, "https://")) scheme = {"https://", "https", "https", FTPFileReader::TLS::none, 443};
                rest.erase(0, std::string_view(scheme.prefix).size());
            }
        }
        const auto slash = rest.find('/');
        std::string authority = rest.substr(0, slash);
        std::string path = slash == std::string::npos ? "" : rest.substr(slash);
        if (authority.empty()) return;
        std::string host = authority;
        if (host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
        // An IPv6 literal needs brackets before a port can follow it.
        if (authority.front() != '[' && std::count(authority.begin(), authority.end(), ':') > 1) {
            authority = "[" + authority + "]";
        }
        ServerAddress a;
        a.port = scheme.port;
        if (info_.port) {
            if (!OstraneInfo::isUsablePort(*info_.port)) return;
            authority += ":" + std::to_string(*info_.port);
            a.port = int(*info_.port);
        }
        while (!path.empty() && path.back() == '/') path.pop_back();
        a.base = std::string(scheme.name) + "://" + authority + path;
        a.requestBase = std::string(scheme.requestName) + "://" + authority + path;
        const auto url = platform::URL::parse(a.base);
        if (!url || !url->host() || url->host()->empty()) return;
        a.host = host;
        a.path = path;
        a.tls = scheme.tls;
        const auto user = trimmedWhitespace(info_.username);
        if (!user.empty()) a.user = user;
        a.password = info_.getPassword();
        address = std::move(a);
    }();
    serverAddress_ = address;
    return address;
}

std::vector<CURLRequest::Option> CURLClient::requestOptions(const ServerAddress& address) const {
    std::vector<CURLRequest::Option> options;
    if (address.user) options.push_back(CURLRequest::userName(*address.user));
    if (address.password) options.push_back(CURLRequest::password(*address.password));
    options.push_back(CURLRequest::timeout(std::chrono::milliseconds(timeoutMilliseconds_.load())));
    if (address.tls != FTPFileReader::TLS::none) options.push_back(CURLRequest::useTLS(CURLRequest::TLS::required));
    return options;
}

std::optional<std::string> CURLClient::requestURL(const ServerAddress& address, const std::string& path,
                                                  bool isDirectory) {
    if (holdsCommandBreak(path)) return std::nullopt;
    // A file path ending in "/" would turn its download into a directory listing.
    if (!isDirectory && (path.empty() || path.back() == '/')) return std::nullopt;
    std::string url = address.requestBase + encodePath(path.empty() || path.front() != '/' ? "/" + path : path);
    if (isDirectory && url.back() != '/') url += '/';
    return url;
}

std::shared_ptr<CURLRequest> CURLClient::listingSession(const ServerAddress& address) {
    std::lock_guard guard(mutex_);
    if (!session_) {
        // A listing without a login: make the session the login would have made.
        session_ = std::make_shared<CURLRequest>(*requestURL(address, "/", true), requestOptions(address));
    }
    return session_;
}

CURLClient::Listing CURLClient::list(const std::string& path, const std::shared_ptr<OstraneDirectory>& parent,
                                     Links links) {
    Listing listing;
    const auto address = serverAddress();
    const auto url = address ? requestURL(*address, path, true) : std::nullopt;
    if (!url) {
        listing.error = OstraneError::make(kInvalidAddress);
        return listing;
    }
    auto session = listingSession(*address);
    try {
        session->addOptions({CURLRequest::url(*url), CURLRequest::httpMethod(CURLRequest::HTTPMethod::get)});
        std::string body;
        session->perform([&body](const std::uint8_t* bytes, std::size_t count) {
            // A server that never ends its reply must not take all memory.
            if (body.size() + count > kMaxListingBytes) throw std::length_error("The directory listing is too long");
            body.append(reinterpret_cast<const char*>(bytes), count);
            return true;
        });
        listing.entries = ftpListingComponents(body, parent);
    } catch (const std::exception& e) {
        listing.entries.clear();
        listing.error = errorOf(e);
        return listing;
    }
    if (links == Links::resolve) {
        for (const auto& entry : listing.entries) {
            if (auto link = std::dynamic_pointer_cast<OstraneSymbolicLink>(entry)) {
                resolveLink(*address, *session, path, link);
            }
        }
    }
    return listing;
}

void CURLClient::resolveLink(const ServerAddress& address, CURLRequest& session, const std::string& folder,
                             const std::shared_ptr<OstraneSymbolicLink>& link) {
    // The server follows the link when asked through it, wherever the target lies in its own file
    // system, so the target stands at the link's own path: a file there plays, a folder lists.
    const std::string path = folder + (!folder.empty() && folder.back() == '/' ? "" : "/") + link->name();
    const auto probe = [&](bool isDirectory) -> std::optional<CURLResponse> {
        const auto url = requestURL(address, path, isDirectory);
        if (!url) return std::nullopt;
        try {
            session.addOptions({CURLRequest::url(*url), CURLRequest::httpMethod(CURLRequest::HTTPMethod::head)});
            auto response = session.perform();
            session.addOption(CURLRequest::httpMethod(CURLRequest::HTTPMethod::get));
            return response;
        } catch (const std::exception&) {
            session.addOption(CURLRequest::httpMethod(CURLRequest::HTTPMethod::get));
            return std::nullopt;
        }
    };
    const auto parent = link->parent();
    if (const auto file = probe(false)) {
        if (const auto size = decimal(file->get(platform::HTTPResponseHeader::Name::contentLength))) {
            link->setTarget(OstraneFile::make(link->name(), parent, *size));
            return;
        }
    }
    // A link that leads nowhere keeps no target, so nobody lists into it.
    if (probe(true)) link->setTarget(OstraneDirectory::make(link->name(), parent));
}

template <class F>
auto CURLClient::onQueue(F&& work) -> decltype(work()) {
    // Called from a completion that already runs on the queue: it is ours already.
    if (queue_->isCurrent()) return work();
    return queue_->sync(std::forward<F>(work));
}

void CURLClient::login(LoginCompletion finish) {
    auto address = serverAddress();
    if (!address) {
        finish(OstraneError::make("Invalid url"));
        return;
    }
    // The password is read again at every login, so one corrected in the keychain after a
    // refused login is the one the next login uses.
    address->password = info_.getPassword();
    {
        std::lock_guard guard(mutex_);
        if (serverAddress_ && *serverAddress_) (*serverAddress_)->password = address->password;
    }
    auto session = std::make_shared<CURLRequest>(*requestURL(*address, "/", true), requestOptions(*address));
    {
        std::lock_guard guard(mutex_);
        std::swap(session_, session);
    }
    session.reset();  // the previous one, outside the lock: closing it may talk to the server

    // The login's listing fills no tree: its directory goes when the login ends.
    const auto directory = OstraneDirectory::make(baseDir());
    auto listing = onQueue([&] { return list(directory->path(), directory, Links::leave); });
    std::optional<OstranePathComponent::Contents> listed;
    if (!listing.error) {
        sortByName(listing.entries);
        directory->setContents(listing.entries);
        listed = listing.entries;
    }
    Util::trace([listed] { return listed; }, "Ostrane/CURL/CURLClient", 44, "login(finish:)");
    // Connected only when the server took the login and listed the base directory.
    isConnected_.store(!listing.error);
    finish(listing.error);
}

void CURLClient::contents(std::shared_ptr<OstranePathComponent> of, ContentsCompletion finish) {
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
        auto listing = self->list(directory->path(), directory, Links::resolve);
        self.reset();
        if (listing.error) {
            // Not listed stays not listed: the next request asks the server again.
            finish(std::nullopt, listing.error);
            return;
        }
        sortByName(listing.entries);
        directory->setContents(listing.entries);
        finish(std::move(listing.entries), nullptr);
    });
}

void CURLClient::contents(const std::string& dir, NamesCompletion finish) {
    queue_->async([weak = weak_from_this(), dir, finish = std::move(finish)] {
        auto self = weak.lock();
        if (!self) {
            finish(std::nullopt, releasedError());
            return;
        }
        auto listing = self->list(dir, nullptr, Links::resolve);
        self.reset();
        std::vector<std::string> names;
        for (const auto& entry : listing.entries) {
            auto link = std::dynamic_pointer_cast<OstraneSymbolicLink>(entry);
            const auto target = link ? link->target() : entry;
            if (target && target->type() == OstraneFileType::file) names.push_back(entry->name());
        }
        // A failed listing (a file, a missing folder) has no names, not an empty list of them.
        if (listing.error) {
            finish(std::nullopt, listing.error);
            return;
        }
        finish(std::move(names), nullptr);
    });
}

void CURLClient::download(const std::string& file, const platform::URL& to, DownloadCompletion completion) {
    queue_->async([weak = weak_from_this(), file, to, completion = std::move(completion)] {
        auto self = weak.lock();
        const auto address = self ? self->serverAddress() : std::nullopt;
        if (address && !holdsCommandBreak(file) && (file.empty() || file.back() == '/')) {
            // The server would answer with the folder's listing, which is not the file asked for.
            self.reset();
            completion(folderError(file));
            return;
        }
        const auto url = address ? requestURL(*address, file, false) : std::nullopt;
        if (!url) {
            self.reset();
            completion(OstraneError::make(kInvalidAddress));
            return;
        }
        const auto destination = to.isFileURL() ? to.path() : std::string();
        if (destination.empty() || destination.back() == '/') {
            self.reset();
            completion(OstraneError::make("invalid destination"));
            return;
        }
        const auto options = self->requestOptions(*address);
        self.reset();
        TransferActivity activity;
        OstraneErrorRef error;
        try {
            // Streamed beside the destination and moved into place when complete, replacing a file
            // there: a failed download leaves nothing behind and never a part of the file.
            platform::PlacementFile placement(destination);
            CURLRequest request(*url, options);
            request.perform([&placement](const std::uint8_t* bytes, std::size_t count) {
                placement.write(bytes, count);
                return true;
            });
            placement.place(true);
        } catch (const std::exception& e) {
            error = errorOf(e);
            if (isFolder(*address, file, options)) error = folderError(file);
        }
        // Nobody is left to hear of a download that the process's exit cut short.
        if (TransferActivity::exiting()) return;
        completion(error);
    });
}

bool CURLClient::isFolder(const ServerAddress& address, const std::string& path,
                          const std::vector<CURLRequest::Option>& options) {
    if (TransferActivity::exiting()) return false;
    const auto url = requestURL(address, path, true);
    if (!url) return false;
    try {
        // Changing into it is enough; nothing is listed.
        CURLRequest probe(*url, options);
        probe.addOption(CURLRequest::httpMethod(CURLRequest::HTTPMethod::head));
        probe.perform();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

std::shared_ptr<NetworkFileDescriptor> CURLClient::open(const std::string& file) {
    const auto address = serverAddress();
    if (!address || !requestURL(*address, file, false)) return nullptr;
    FTPFileReader::Server server;
    server.host = address->host;
    server.port = address->port;
    server.user = address->user;
    server.password = info_.getPassword();
    server.tls = address->tls;
    server.timeout = std::chrono::milliseconds(timeoutMilliseconds_.load());
    // Relative to the login's folder, as curl reads the path of an FTP URL.
    std::string path = address->path + (file.front() == '/' ? file : "/" + file);
    path.erase(0, path.find_first_not_of('/'));
    if (path.empty()) return nullptr;
    return onQueue([&]() -> std::shared_ptr<NetworkFileDescriptor> {
        try {
            auto reader = std::make_shared<FTPFileReader>(std::move(server), std::move(path));
            const auto size = reader->size();
            return std::make_shared<CURLClientFileDescriptor>(std::move(reader), size);
        } catch (const FTPFileReader::Failure&) {
            return nullptr;
        }
    });
}

std::optional<OstraneClient::Bytes> CURLClient::read(const std::shared_ptr<NetworkFileDescriptor>& file,
                                                     std::int64_t offset, std::ptrdiff_t size) {
    auto descriptor = std::dynamic_pointer_cast<CURLClientFileDescriptor>(file);
    if (!descriptor || size <= 0 || offset < 0) return std::nullopt;
    if (offset > std::numeric_limits<std::int64_t>::max() - std::int64_t(size)) return std::nullopt;
    return onQueue([&]() -> std::optional<Bytes> {
        if (!descriptor->handle) return std::nullopt;
        return descriptor->handle->read(offset, std::size_t(size));
    });
}

std::optional<std::int64_t> CURLClient::fileSize(const std::shared_ptr<NetworkFileDescriptor>& file) {
    auto descriptor = std::dynamic_pointer_cast<CURLClientFileDescriptor>(file);
    if (!descriptor) return std::nullopt;
    return descriptor->size;
}

void CURLClient::close(const std::shared_ptr<NetworkFileDescriptor>& file) {
    auto descriptor = std::dynamic_pointer_cast<CURLClientFileDescriptor>(file);
    if (!descriptor) return;
    std::shared_ptr<FTPFileReader> reader;
    onQueue([&] { reader = std::exchange(descriptor->handle, nullptr); });
    // Logged out outside the queue: the queue's next work need not wait for the server's goodbye.
    reader.reset();
}

std::optional<std::string> CURLClient::address(const platform::URL& of) {
    const auto address = serverAddress();
    if (!address) return std::nullopt;
    return address->base + encodePath(of.path());
}

std::optional<OstraneClient::UserPassword> CURLClient::userpassword(const platform::URL&) {
    const auto user = trimmedWhitespace(info_.username);
    return UserPassword{user.empty() ? std::nullopt : std::optional<std::string>(user), info_.getPassword()};
}

void CURLClient::data(const std::shared_ptr<OstranePathComponent>&, DataCompletion finish) {
    finish(std::nullopt, OstraneError::make("Reading a whole file is not supported for FTP servers"));
}

}  // namespace Ostrane
