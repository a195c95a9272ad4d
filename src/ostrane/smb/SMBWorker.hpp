#pragma once
// One running ostrane-smb-worker program and the socket pair to it. libsmbclient is not
// thread-safe, so every SMB session runs its libsmbclient work in a worker process of its own:
// one session's slow, dead or crashing server never holds up another's, and a crash inside
// libsmbclient ends only that worker.
//
// Requests go one at a time (SMBWorkerProtocol.hpp); read bytes come back through a shared buffer.
// The worker gets no password on its command line or in its environment, is started without a shell
// from one long-lived thread (so that its parent-death signal follows the process, not a passing
// thread), and ends when this process ends or lets it go.
//
// When the process exits, threads that wait on a worker never return into the exiting program: they
// stay parked until the process is gone, and the exiting thread itself never waits on a worker.
#include "ostrane/smb/AMSMB2.hpp"

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace Ostrane {

class SMBWorker {
public:
    struct Reply {
        std::optional<AMSMB2Error> error;  // the worker's failure, or why there is no answer
        std::vector<std::uint8_t> body;    // the answer's fields, when there is no error
    };
    using WhileHeld = std::function<void(const Reply&, const std::uint8_t* sharedBuffer)>;

    // Starts a worker. Throws AMSMB2Error when the program cannot be found or started.
    static std::shared_ptr<SMBWorker> start();
    // Ends the worker at once (it may be in the middle of a network call) and reaps it.
    ~SMBWorker();
    SMBWorker(const SMBWorker&) = delete;
    SMBWorker& operator=(const SMBWorker&) = delete;

    // Sends `request` and waits at most `limit` for its answer. `whileHeld`, when given, sees the
    // answer and the shared read buffer before any later request can change the buffer. A worker
    // that ends, breaks the protocol or overruns `limit` is ended; this and every later call then
    // answer an error.
    Reply call(const std::vector<std::uint8_t>& request, std::chrono::milliseconds limit,
               const WhileHeld& whileHeld = nullptr);
    // Sends a request that has no answer. Waits for no answer in progress; does nothing once the
    // worker is gone or the process is exiting.
    void post(const std::vector<std::uint8_t>& request);

    pid_t processID() const { return pid_; }
    // False once the worker has ended, for whatever reason.
    bool isAlive() const;

    // Where the worker program is: beside an installed library, or in the build tree it was built in.
    static std::string programPath();

private:
    SMBWorker(pid_t pid, int pidfd, int socket, std::uint8_t* sharedBuffer);
    std::optional<AMSMB2Error> receive(std::vector<std::uint8_t>& body, std::chrono::steady_clock::time_point deadline);
    void end();

    const pid_t pid_;
    const int pidfd_;  // -1 when the kernel offers none
    const int socket_;
    std::uint8_t* const sharedBuffer_;
    std::atomic<bool> alive_{true};
    std::mutex turn_;   // one request and its answer at a time
    std::mutex write_;  // whole frames on the socket
};

}  // namespace Ostrane
