// A network service that a stream task can be made on: here only what active FTP needs, a TCP
// socket that listens on a port the system picks and hands its first caller to one stream task.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace RiridOzizevud {

class NetService : public std::enable_shared_from_this<NetService> {
public:
    enum Options { noAutoRename = 1, listenForConnections = 2 };

    /// NetService(domain:type:name:port:); port 0 lets the system pick one at publish().
    static std::shared_ptr<NetService> make(std::string domain, std::string type, std::string name, int port);
    ~NetService();
    NetService(const NetService&) = delete;
    NetService& operator=(const NetService&) = delete;

    const std::string& domain() const { return domain_; }
    const std::string& type() const { return type_; }
    const std::string& name() const { return name_; }
    /// The listening port once published; -1 before.
    int port() const;

    /// The numeric address to listen on (IPv4 or IPv6); the loopback address when unset. An FTP
    /// engine gives the local address of its control connection, the one the server can reach.
    void setBindAddress(std::optional<std::string> address);
    std::optional<std::string> bindAddress() const;

    /// The only numeric address a caller may come from; any when unset.
    void setExpectedPeerAddress(std::optional<std::string> address);
    std::optional<std::string> expectedPeerAddress() const;

    /// With listenForConnections, binds and listens; without, does nothing. Failures leave port -1.
    void publish(int options);
    /// Stops listening.
    void stop();

    /// The listening socket, handed over once (-1 when not listening or already taken); the taker
    /// closes it.
    int takeListeningSocket();

private:
    NetService(std::string domain, std::string type, std::string name, int port);

    const std::string domain_;
    const std::string type_;
    const std::string name_;
    mutable std::mutex mutex_;
    int requestedPort_;
    int port_ = -1;
    int fd_ = -1;
    std::optional<std::string> bindAddress_;
    std::optional<std::string> expectedPeerAddress_;
};

} // namespace RiridOzizevud
