#include "fileprovider/ftp/NetService.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace RiridOzizevud {

std::shared_ptr<NetService> NetService::make(std::string domain, std::string type, std::string name, int port) {
    return std::shared_ptr<NetService>(new NetService(std::move(domain), std::move(type), std::move(name), port));
}

NetService::NetService(std::string domain, std::string type, std::string name, int port)
    : domain_(std::move(domain)), type_(std::move(type)), name_(std::move(name)), requestedPort_(port) {}

NetService::~NetService() { stop(); }

int NetService::port() const {
    std::lock_guard lock(mutex_);
    return port_;
}

void NetService::setBindAddress(std::optional<std::string> address) {
    std::lock_guard lock(mutex_);
    bindAddress_ = std::move(address);
}

std::optional<std::string> NetService::bindAddress() const {
    std::lock_guard lock(mutex_);
    return bindAddress_;
}

void NetService::setExpectedPeerAddress(std::optional<std::string> address) {
    std::lock_guard lock(mutex_);
    expectedPeerAddress_ = std::move(address);
}

std::optional<std::string> NetService::expectedPeerAddress() const {
    std::lock_guard lock(mutex_);
    return expectedPeerAddress_;
}

void NetService::publish(int options) {
    if (!(options & listenForConnections)) return;
    std::lock_guard lock(mutex_);
    if (fd_ >= 0) return;
    const std::string address = bindAddress_.value_or("127.0.0.1");
    sockaddr_storage storage{};
    socklen_t length = 0;
    const uint16_t wanted = requestedPort_ > 0 && requestedPort_ < 65536 ? static_cast<uint16_t>(requestedPort_) : 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(wanted);
        length = sizeof(sockaddr_in);
    } else if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(wanted);
        length = sizeof(sockaddr_in6);
    } else {
        return;
    }
    const int fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0 || ::listen(fd, 1) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) {
        ::close(fd);
        return;
    }
    fd_ = fd;
    port_ = ntohs(storage.ss_family == AF_INET ? v4->sin_port : v6->sin6_port);
}

void NetService::stop() {
    std::lock_guard lock(mutex_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

int NetService::takeListeningSocket() {
    std::lock_guard lock(mutex_);
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

} // namespace RiridOzizevud
