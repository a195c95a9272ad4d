#include "ostrane/sftp/SSHCallWatch.hpp"

#include <libssh/libssh.h>
#include <openssl/crypto.h>

#include <sys/socket.h>

#include <atomic>
#include <cstdlib>
#include <thread>

namespace Ostrane {

namespace {

// Constant-initialised and trivially destructible: readable by every thread until the very end.
std::atomic<bool> processEnds{false};

// How long the end of the process waits for calls that were cut to leave libssh.
constexpr auto leaveLimit = std::chrono::seconds(5);

}  // namespace

SSHCallWatch& SSHCallWatch::shared() {
    static SSHCallWatch* const watch = [] {
        auto* made = new SSHCallWatch();
        // Exit handlers run in reverse order of registration: the crypto library (which libssh
        // starts) registers its cleanup first, so ours runs before it.
        ssh_init();
        OPENSSL_init_crypto(0, nullptr);
        std::atexit([] { shared().endAll(); });
        return made;
    }();
    return *watch;
}

bool SSHCallWatch::ending() const { return processEnds.load(); }

void SSHCallWatch::arm(const void* owner, int fd, Clock::time_point deadline) {
    std::lock_guard guard(mutex_);
    // A renewal keeps a cut that already happened: that call has failed.
    auto& armed = armed_.try_emplace(owner, Armed{fd, deadline, false}).first->second;
    armed.fd = fd;
    armed.deadline = deadline;
    if (processEnds.load() && !armed.cut) {
        ::shutdown(fd, SHUT_RDWR);
        armed.cut = true;
        return;
    }
    if (!running_) {
        running_ = true;
        std::thread([this] { run(); }).detach();
    }
    if (deadline < wakeAt_) wake_.notify_one();
}

bool SSHCallWatch::wasCut(const void* owner) {
    std::lock_guard guard(mutex_);
    const auto found = armed_.find(owner);
    return found != armed_.end() && found->second.cut;
}

bool SSHCallWatch::disarm(const void* owner) {
    std::lock_guard guard(mutex_);
    const auto found = armed_.find(owner);
    if (found == armed_.end()) return false;
    const bool cut = found->second.cut;
    armed_.erase(found);
    if (armed_.empty()) idle_.notify_all();
    return cut;
}

void SSHCallWatch::abandon(void* object) {
    if (!object) return;
    std::lock_guard guard(mutex_);
    abandoned_.push_back(object);
}

void SSHCallWatch::run() {
    std::unique_lock lock(mutex_);
    while (true) {
        const auto now = Clock::now();
        auto next = Clock::time_point::max();
        for (auto& [owner, armed] : armed_) {
            if (armed.cut) continue;
            if (armed.deadline <= now) {
                ::shutdown(armed.fd, SHUT_RDWR);
                armed.cut = true;
            } else if (armed.deadline < next) {
                next = armed.deadline;
            }
        }
        wakeAt_ = next;
        if (next == Clock::time_point::max()) {
            wake_.wait(lock);
        } else {
            wake_.wait_until(lock, next);
        }
    }
}

void SSHCallWatch::endAll() {
    processEnds.store(true);
    std::unique_lock lock(mutex_);
    for (auto& [owner, armed] : armed_) {
        if (!armed.cut) ::shutdown(armed.fd, SHUT_RDWR);
        armed.cut = true;
    }
    idle_.wait_for(lock, leaveLimit, [this] { return armed_.empty(); });
}

}  // namespace Ostrane
