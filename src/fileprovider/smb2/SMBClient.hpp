// RiridOzizevud::SMBClient — the state of an SMB2 session over a socket stream pair, and the
// delegate of those streams. It opens no connection and exchanges no messages yet: it takes stream
// events, drains its input, and closes its streams (also when released).
#pragma once

#include "fileprovider/smb2/SMB2Header.hpp"
#include "fileprovider/smb2/SMB2TreeConnectResponse.hpp"
#include "fileprovider/smb2/SMBMessageProtocols.hpp"
#include "fileprovider/smb2/SMBStream.hpp"
#include "platform/dispatch/Guarded.hpp"
#include "platform/data/Value.hpp"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform {
class OperationQueue;
}

namespace RiridOzizevud {

class NetService;

class SMBClient : public SMBStreamDelegate, public std::enable_shared_from_this<SMBClient> {
    struct Token {};

public:
    struct Host {
        std::string hostname;
        int64_t port;
        bool operator==(const Host&) const = default;
    };
    struct Request {
        SMB2::Header header;
        std::optional<AnySMBRequestBody> body;
    };
    struct Response {
        SMB2::Header header;
        std::optional<AnySMBResponseBody> body;
    };

    /// The most one read of a stream event takes.
    static constexpr std::size_t readChunkSize = 65536;

    /// init(host:port:): no stream is opened.
    static std::shared_ptr<SMBClient> make(const std::string& host, int64_t port);
    SMBClient(Token, const std::string& host, int64_t port);
    ~SMBClient() override;
    SMBClient(const SMBClient&) = delete;
    SMBClient& operator=(const SMBClient&) = delete;

    std::shared_ptr<SMBInputStream> inputStream() const;
    void setInputStream(std::shared_ptr<SMBInputStream> stream);
    std::shared_ptr<SMBOutputStream> outputStream() const;
    void setOutputStream(std::shared_ptr<SMBOutputStream> stream);
    /// Serial: one operation at a time.
    std::shared_ptr<platform::OperationQueue> operation_queue() const;
    std::optional<Host> host() const;
    std::shared_ptr<NetService> service() const;
    void setService(std::shared_ptr<NetService> service);

    double timeout() const;
    void setTimeout(double seconds);
    uint64_t messageId() const;
    void setMessageId(uint64_t messageId);
    uint16_t credit() const;
    void setCredit(uint16_t credit);
    uint64_t sessionId() const;
    void setSessionId(uint64_t sessionId);
    platform::Data currentHandlingData() const;
    void setCurrentHandlingData(platform::Data data);
    int64_t expectedBytes() const;
    void setExpectedBytes(int64_t expectedBytes);

    std::vector<SMB2::TreeConnectResponse> establishedTrees() const;
    std::map<int64_t, Request> requestStack() const;
    std::map<int64_t, Response> responseStack() const;

    /// Closes both streams, takes them off the main run loop, clears their delegate and drops them.
    void close();

    /// Drains the input stream when it has bytes; every other event, and every event of another
    /// stream, is ignored.
    void stream(const std::shared_ptr<SMBStream>& aStream, SMBStreamEvent eventCode) override;

private:
    mutable std::mutex mutex_;
    std::shared_ptr<SMBInputStream> inputStream_;
    std::shared_ptr<SMBOutputStream> outputStream_;
    std::shared_ptr<platform::OperationQueue> operation_queue_;
    std::optional<Host> host_;
    std::vector<SMB2::TreeConnectResponse> establishedTrees_;
    std::map<int64_t, Request> requestStack_;
    std::map<int64_t, Response> responseStack_;
    platform::Guarded<std::shared_ptr<NetService>> service_;
    platform::Guarded<double> timeout_{30};
    platform::Guarded<uint64_t> messageId_{0};
    platform::Guarded<uint16_t> credit_{0};
    platform::Guarded<uint64_t> sessionId_{0};
    platform::Guarded<platform::Data> currentHandlingData_;
    platform::Guarded<int64_t> expectedBytes_{0};
};

} // namespace RiridOzizevud
