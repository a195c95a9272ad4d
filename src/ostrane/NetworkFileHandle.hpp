#pragma once
// Streams a remote file through the client that serves its internal URL: open() logs in when
// needed and learns the size; read() is one ranged read of the client, no cache, no read-ahead.
// The handle keeps its client alive, also after the registry has dropped it.
#include "ostrane/NetworkFileDescriptor.hpp"
#include "ostrane/OstraneClient.hpp"
#include "ostrane/RemoteFileHandle.hpp"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>

namespace Ostrane {

class NetworkFileHandle final : public RemoteFileHandle {
public:
    static constexpr std::chrono::milliseconds defaultLoginTimeout{60'000};

    /// A handle for an internal URL; null when no client serves it (the registry makes and keeps
    /// the client when the record has none yet). Neither logs in nor opens anything.
    static std::shared_ptr<NetworkFileHandle> make(const platform::URL& from);
    /// Closes as close() does.
    ~NetworkFileHandle() override;

    /// -1 until an open() learns the file's size.
    std::int64_t size() const override { return size_.load(); }
    void setSize(std::int64_t size) { size_.store(size); }
    /// The caller's bookkeeping; the handle never reads or moves it.
    std::int64_t offset() const override { return offset_.load(); }
    void setOffset(std::int64_t offset) { offset_.store(offset); }
    const platform::URL& url() const override { return url_; }

    /// How long open() waits for a login before it fails.
    std::chrono::milliseconds loginTimeout() const { return std::chrono::milliseconds(loginTimeoutMs_.load()); }
    void setLoginTimeout(std::chrono::milliseconds timeout) { loginTimeoutMs_.store(timeout.count()); }

    /// Logs in when the client is not connected (waiting at most loginTimeout(), serving the calling
    /// thread's run loop meanwhile), opens the file and reads its size. True when both succeeded.
    /// A descriptor held from an earlier open() is closed first.
    bool open() override;
    /// One ranged read of the client; no value without an open descriptor or for a negative range.
    std::optional<std::vector<std::uint8_t>> read(std::int64_t offset, std::ptrdiff_t size) override;
    /// Closes the descriptor through the client when it is connected, then forgets it.
    void close() override;

    NetworkFileHandle(platform::URL url, std::shared_ptr<OstraneClient> client);

private:
    bool loginIfNeeded();
    void closeDescriptor(std::shared_ptr<NetworkFileDescriptor> fd);

    std::atomic<std::int64_t> size_{-1};
    std::atomic<std::int64_t> offset_{0};
    const platform::URL url_;
    const std::shared_ptr<OstraneClient> client_;
    std::atomic<std::chrono::milliseconds::rep> loginTimeoutMs_{defaultLoginTimeout.count()};
    std::mutex fdMutex_;
    std::shared_ptr<NetworkFileDescriptor> fd_;
};

}  // namespace Ostrane
