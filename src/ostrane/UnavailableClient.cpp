#include "ostrane/UnavailableClient.hpp"

namespace Ostrane {

UnavailableClient::UnavailableClient(OstraneInfo info) : info_(std::move(info)) {}

std::string UnavailableClient::baseDir() const { return info_.baseDir.value_or("/"); }

std::shared_ptr<OstraneDirectory> UnavailableClient::baseDirItem() {
    std::lock_guard lock(mutex_);
    if (!baseDirItem_) baseDirItem_ = OstraneDirectory::make(baseDir());
    return baseDirItem_;
}

OstraneErrorRef UnavailableClient::error() const {
    return OstraneError::make(std::string(rawValue(info_.type)) + " client is not available");
}

void UnavailableClient::login(LoginCompletion finish) {
    if (finish) finish(error());
}

void UnavailableClient::contents(std::shared_ptr<OstranePathComponent>, ContentsCompletion finish) {
    if (finish) finish(std::nullopt, error());
}

void UnavailableClient::contents(const std::string&, NamesCompletion finish) {
    if (finish) finish(std::nullopt, error());
}

void UnavailableClient::download(const std::string&, const platform::URL&, DownloadCompletion completion) {
    if (completion) completion(error());
}

std::shared_ptr<NetworkFileDescriptor> UnavailableClient::open(const std::string&) { return nullptr; }

std::optional<OstraneClient::Bytes> UnavailableClient::read(const std::shared_ptr<NetworkFileDescriptor>&,
                                                            std::int64_t, std::ptrdiff_t) {
    return std::nullopt;
}

std::optional<std::int64_t> UnavailableClient::fileSize(const std::shared_ptr<NetworkFileDescriptor>&) {
    return std::nullopt;
}

void UnavailableClient::close(const std::shared_ptr<NetworkFileDescriptor>&) {}

std::optional<std::string> UnavailableClient::address(const platform::URL&) { return std::nullopt; }

std::optional<OstraneClient::UserPassword> UnavailableClient::userpassword(const platform::URL&) {
    return std::nullopt;
}

}  // namespace Ostrane
