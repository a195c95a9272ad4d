#pragma once
// Helpers of the SMB worker tests: a server that never answers, and what a process has moved.

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace ostrane_smb_test {

// A loopback TCP listener that accepts connections and never sends a byte.
class SilentListener {
public:
    SilentListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(fd_, 16) != 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("cannot listen on 127.0.0.1");
        }
        port_ = ntohs(address.sin_port);
        accepting_ = std::thread([this] { acceptLoop(); });
    }

    ~SilentListener() {
        stop_.store(true);
        accepting_.join();
        close();
        ::close(fd_);
    }

    int port() const { return port_; }

    // True once a client has connected, false when none did within `limit`.
    bool waitForConnection(std::chrono::seconds limit) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [this] { return !accepted_.empty(); });
    }

    // Closes every accepted connection: the clients waiting on them fail at once.
    void close() {
        std::lock_guard guard(mutex_);
        for (int fd : accepted_) ::close(fd);
        accepted_.clear();
    }

private:
    void acceptLoop() {
        while (!stop_.load()) {
            pollfd ready{fd_, POLLIN, 0};
            if (::poll(&ready, 1, 50) <= 0) continue;
            const int client = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            {
                std::lock_guard guard(mutex_);
                accepted_.push_back(client);
            }
            changed_.notify_all();
        }
    }

    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread accepting_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<int> accepted_;
};

// A field of /proc/<pid>/io ("rchar", "wchar"): bytes a process has read or written through any
// descriptor (sockets included). 0 when the process is gone.
inline std::int64_t processIO(int pid, const std::string& field) {
    std::ifstream io("/proc/" + (pid == 0 ? std::string("self") : std::to_string(pid)) + "/io");
    std::string name;
    std::int64_t value = 0;
    while (io >> name >> value) {
        if (name == field + ":") return value;
    }
    return 0;
}

// Waits until `field` of `pid` has grown by `by` bytes from `from`; false after `limit`. Polls:
// another process's counters announce nothing.
inline bool waitForIO(int pid, const std::string& field, std::int64_t from, std::int64_t by, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (processIO(pid, field) < from + by) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// True once `pid` is gone (or a zombie) within `limit`.
inline bool waitForProcessEnd(int pid, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string field, state;
        if (!(stat >> field)) return true;
        // The name is in parentheses and may hold spaces: the state follows the last ")".
        std::string rest((std::istreambuf_iterator<char>(stat)), {});
        const auto close = rest.rfind(')');
        state = close == std::string::npos ? "" : rest.substr(close + 2, 1);
        if (state == "Z" || state == "X") return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace ostrane_smb_test
