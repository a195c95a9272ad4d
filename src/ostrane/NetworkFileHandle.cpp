#include "ostrane/NetworkFileHandle.hpp"

#include "ostrane/NetworkFileManager.hpp"
#include "platform/dispatch/RunLoop.hpp"
#include "platform/base/Trace.hpp"

#include <utility>

namespace Ostrane {

std::shared_ptr<NetworkFileHandle> NetworkFileHandle::make(const platform::URL& from) {
    auto client = NetworkFileManager::shared()->serverClient(from);
    if (!client) return nullptr;
    return std::make_shared<NetworkFileHandle>(from, std::move(client));
}

NetworkFileHandle::NetworkFileHandle(platform::URL url, std::shared_ptr<OstraneClient> client)
    : url_(std::move(url)), client_(std::move(client)) {}

NetworkFileHandle::~NetworkFileHandle() { close(); }

bool NetworkFileHandle::loginIfNeeded() {
    if (client_->isConnected()) return true;
    // Shared with the login's completion, which may run on another thread and after we gave up.
    struct Outcome {
        std::atomic<bool> done{false};
        std::atomic<bool> succeeded{false};
    };
    auto outcome = std::make_shared<Outcome>();
    client_->login([outcome](OstraneErrorRef error) {
        if (error) {
            Util::trace([error] { return error; }, __FILE__, 48, "open()");
        } else {
            outcome->succeeded.store(true);
        }
        outcome->done.store(true);
    });
    if (!outcome->done.load()) {
        double seconds = std::chrono::duration<double>(loginTimeout()).count();
        platform::RunLoop::runUntil([&] { return outcome->done.load(); }, seconds);
    }
    return outcome->done.load() && outcome->succeeded.load();
}

bool NetworkFileHandle::open() {
    if (!loginIfNeeded()) return false;
    std::shared_ptr<NetworkFileDescriptor> previous;
    {
        std::lock_guard lock(fdMutex_);
        previous = std::exchange(fd_, nullptr);
    }
    // The earlier descriptor is released on the server before the new one replaces it.
    closeDescriptor(std::move(previous));

    auto fd = client_->open(url_.pathBytes());
    if (!fd) return false;
    {
        std::lock_guard lock(fdMutex_);
        previous = std::exchange(fd_, fd);
    }
    closeDescriptor(std::move(previous));  // another thread's open() raced us; keep only ours
    auto size = client_->fileSize(fd);
    if (!size) return false;
    size_.store(*size);
    return true;
}

std::optional<std::vector<std::uint8_t>> NetworkFileHandle::read(std::int64_t offset, std::ptrdiff_t size) {
    if (offset < 0 || size < 0) return std::nullopt;
    std::shared_ptr<NetworkFileDescriptor> fd;
    {
        std::lock_guard lock(fdMutex_);
        fd = fd_;
    }
    if (!fd) return std::nullopt;
    return client_->read(fd, offset, size);
}

void NetworkFileHandle::close() {
    std::shared_ptr<NetworkFileDescriptor> fd;
    {
        std::lock_guard lock(fdMutex_);
        fd = std::exchange(fd_, nullptr);
    }
    closeDescriptor(std::move(fd));
}

void NetworkFileHandle::closeDescriptor(std::shared_ptr<NetworkFileDescriptor> fd) {
    if (fd && client_->isConnected()) client_->close(fd);
}

}  // namespace Ostrane
