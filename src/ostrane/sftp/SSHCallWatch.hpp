#pragma once
// The bound on every wait of the SFTP client's libssh calls, and their end when the process ends.
//
// libssh waits on its socket for as long as it likes in places (a reply that never comes), so a
// call is armed with a deadline and, when the deadline passes, the socket is shut down under it:
// libssh's wait ends with an error at once. Shutting down acts on the socket, so the watch keeps
// a duplicate descriptor of its own and never cuts a number that libssh closed and the process
// reused.
//
// When the process ends (exit handlers run, among them the crypto library's cleanup), every armed
// call is cut and waited for, and no libssh call starts afterwards: a worker thread that was
// inside libssh leaves it before the crypto library goes.
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <vector>

namespace Ostrane {

class SSHCallWatch {
public:
    using Clock = std::chrono::steady_clock;

    /// The one watch of the process, made on first use and never destroyed (exit handlers and
    /// static destructors may still use it). Its first use sets up the end-of-process handler.
    static SSHCallWatch& shared();

    /// Arms (or renews) the call of `owner`: at `deadline` the socket `fd` is shut down.
    void arm(const void* owner, int fd, Clock::time_point deadline);
    /// Whether the deadline of `owner`'s call passed and its socket was cut.
    bool wasCut(const void* owner);
    /// Ends the watch of `owner`'s call; true when its deadline passed and the socket was cut.
    bool disarm(const void* owner);

    /// The process has begun to end.
    bool ending() const;
    /// Keeps a libssh object whose owner went after the process began to end: never freed,
    /// reachable to the end.
    void abandon(void* object);

private:
    SSHCallWatch() = default;
    void run();
    void endAll();

    struct Armed {
        int fd;
        Clock::time_point deadline;
        bool cut;
    };

    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::map<const void*, Armed> armed_;
    Clock::time_point wakeAt_ = Clock::time_point::max();
    bool running_ = false;
    std::vector<void*> abandoned_;
};

}  // namespace Ostrane
