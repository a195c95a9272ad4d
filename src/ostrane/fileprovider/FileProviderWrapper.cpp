#include "ostrane/fileprovider/FileProviderWrapper.hpp"

#include "fileprovider/ftp/FTPFileProvider.hpp"
#include "fileprovider/webdav/WebDAVFileProvider.hpp"
#include "keychain/ApplicationIdentity.hpp"
#include "platform/dispatch/DispatchQueue.hpp"
#include "platform/dispatch/OperationQueue.hpp"
#include "platform/text/Strings.hpp"

#include <cctype>

namespace Ostrane {

namespace {

bool hasScheme(const std::string& text) {
    const auto end = text.find("://");
    if (end == std::string::npos || end == 0 || !std::isalpha(static_cast<unsigned char>(text[0])))
        return false;
    for (std::size_t i = 1; i < end; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.')
            return false;
    }
    return true;
}

bool isSpace(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

}  // namespace

FileProviderWrapper::FileProviderWrapper(OstraneInfo info) : info_(std::move(info)) {}

FileProviderWrapper::~FileProviderWrapper() = default;

std::string FileProviderWrapper::trimmedUser(const std::string& username) {
    std::size_t first = 0;
    std::size_t last = username.size();
    while (first < last && isSpace(static_cast<unsigned char>(username[first])))
        ++first;
    while (last > first && isSpace(static_cast<unsigned char>(username[last - 1])))
        --last;
    return username.substr(first, last - first);
}

std::optional<platform::URL> FileProviderWrapper::baseURL(const OstraneInfo& info, std::string_view defaultScheme) {
    std::string text = info.host;
    // Only "scheme://" is a scheme: hosts such as "httpd-box" or "ftp.example.org" are hosts. A
    // scheme of another kind stays, for the provider to refuse.
    if (!hasScheme(text)) {
        // An IPv6 literal needs its brackets before anything can follow it.
        if (text.find(':') != text.rfind(':') && text.front() != '[')
            text = "[" + text + "]";
        text = std::string(defaultScheme) + "://" + text;
    }
    auto components = platform::URLComponents::parse(text);
    if (!components || !components->percentEncodedHost || components->percentEncodedHost->empty())
        return std::nullopt;
    // Schemes compare without case; written in lower case, the providers and the players that get
    // address(of:) read them alike ("ftps": implicit TLS, "ftpes": AUTH TLS).
    if (components->scheme)
        components->scheme = platform::lowercased(*components->scheme);
    if (info.port) {
        if (!OstraneInfo::isUsablePort(*info.port))
            return std::nullopt;
        components->port = static_cast<int>(*info.port);
    }
    return components->url();
}

std::optional<platform::URL> FileProviderWrapper::webDAVBaseURL(const OstraneInfo& info) {
    return baseURL(info, "http");
}

std::optional<platform::URL> FileProviderWrapper::ftpBaseURL(const OstraneInfo& info) {
    return baseURL(info, "ftp");
}

std::optional<platform::URL> FileProviderWrapper::baseURL(const OstraneInfo& info) {
    switch (info.type) {
    case OstraneType::webdav:
        return webDAVBaseURL(info);
    case OstraneType::ftp:
        return ftpBaseURL(info);
    default:
        return std::nullopt;
    }
}

std::shared_ptr<RiridOzizevud::FileProvider> FileProviderWrapper::setupProvider(std::string& failure) {
    using namespace RiridOzizevud;
    std::shared_ptr<FileProvider> provider;
    switch (info_.type) {
    case OstraneType::webdav:
        if (const auto url = webDAVBaseURL(info_))
            provider = WebDAVFileProvider::make(*url, std::nullopt, nullptr);
        break;
    case OstraneType::ftp:
        if (const auto url = ftpBaseURL(info_))
            provider = FTPFileProvider::make(*url, FTPFileProvider::Mode::default_, std::nullopt, nullptr);
        break;
    default:
        break;
    }
    if (!provider) {
        failure = "invalid addresss";
        return nullptr;
    }

    const std::string user = trimmedUser(info_.username);
    if (!user.empty()) {
        // Read at every login: a password changed in the keychain applies to the next one.
        provider->setCredential(platform::URLCredential(user, info_.getPassword().value_or(""),
                                                        platform::URLCredential::Persistence::permanent));
    }
    provider->setDispatch_queue(
        platform::DispatchQueue::make(KeychainStore::ApplicationIdentity::reverseDNSPrefix() + ".fileprovider"));
    provider->setOperation_queue(platform::OperationQueue::make());

    std::shared_ptr<FileProvider> previous;
    {
        std::lock_guard lock(mutex_);
        previous = std::exchange(fileProvider_, provider);
    }
    // The previous provider goes here, outside the lock; requests still under way hold it.
    return provider;
}

bool FileProviderWrapper::setupProvider() {
    std::string failure;
    setupProvider(failure);
    return fileProvider() != nullptr;
}

std::shared_ptr<RiridOzizevud::FileProvider> FileProviderWrapper::fileProvider() const {
    std::lock_guard lock(mutex_);
    return fileProvider_;
}

}  // namespace Ostrane
