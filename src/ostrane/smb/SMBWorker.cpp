#include "ostrane/smb/SMBWorker.hpp"

#include "ostrane/smb/SMBWorkerProtocol.hpp"

#include <cerrno>
#include <csignal>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <future>
#include <poll.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <utility>
#include <unistd.h>

extern char** environ;

namespace Ostrane {

namespace {

using namespace smbworker;

// --- Process exit -----------------------------------------------------------------------------

std::atomic<bool> exiting{false};
std::atomic<std::thread::id> exitingThread{};

void markExiting() {
    exitingThread.store(std::this_thread::get_id());
    exiting.store(true);
}

// Exit handlers run newest first, and exit tears down what was made after an older handler: so the
// mark is registered again with every worker, to run before whatever the program made since.
void markExitingFirst() { std::atexit(markExiting); }

// A thread that would return into a program that is exiting waits here for the process to go.
[[noreturn]] void parkUntilTheProcessEnds() {
    for (;;) ::pause();
}

// During exit: true on the exiting thread (which must fail at once), never returns on any other.
bool exitingHere() {
    if (!exiting.load()) return false;
    if (exitingThread.load() == std::this_thread::get_id()) return true;
    parkUntilTheProcessEnds();
}

AMSMB2Error lostError() { return AMSMB2Error(ECONNABORTED, "The SMB worker process ended"); }
AMSMB2Error exitingError() { return AMSMB2Error(ECANCELED, "Operation canceled"); }

// --- Starting --------------------------------------------------------------------------------

// Starts every worker. A worker's parent-death signal fires when the thread that started it ends,
// so they all come from this one thread, which lives as long as the process.
class Launcher {
public:
    static Launcher& shared() {
        static auto* launcher = new Launcher();  // never destroyed: its thread outlives exit handlers
        return *launcher;
    }

    template <class F>
    auto run(F work) -> decltype(work()) {
        auto task = std::make_shared<std::packaged_task<decltype(work())()>>(std::move(work));
        auto result = task->get_future();
        {
            std::lock_guard guard(mutex_);
            jobs_.push_back([task] { (*task)(); });
        }
        wake_.notify_one();
        return result.get();
    }

private:
    Launcher() {
        std::thread([this] {
            for (;;) {
                std::function<void()> job;
                {
                    std::unique_lock lock(mutex_);
                    wake_.wait(lock, [this] { return !jobs_.empty(); });
                    job = std::move(jobs_.front());
                    jobs_.pop_front();
                }
                job();
            }
        }).detach();
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
};

// A descriptor of ours, closed on every path.
struct Descriptor {
    int fd = -1;
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int release() { return std::exchange(fd, -1); }
};

[[noreturn]] void throwErrno(const std::string& what, int code) {
    throw AMSMB2Error(code, what + ": " + std::generic_category().message(code));
}

// Above the numbers the worker finds them at, so that moving them there always makes a new
// descriptor (one without close-on-exec).
int raised(int fd) {
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, sharedBufferDescriptor + 1);
    if (moved < 0) throwErrno("Cannot start the SMB worker", errno);
    return moved;
}

pid_t spawnWorker(const std::string& program, int socket, int buffer) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, socket, socketDescriptor);
    posix_spawn_file_actions_adddup2(&actions, buffer, sharedBufferDescriptor);
    // The host's blocked or ignored signals are not the worker's.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const std::string parent = std::to_string(::getpid());
    char* const argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(parent.c_str()), nullptr};
    pid_t pid = -1;
    const int failed = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (failed != 0) throwErrno("Cannot start the SMB worker " + program, failed);
    return pid;
}

bool isExecutable(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The file this code was loaded from: the shared library, or a program built with our objects.
std::filesystem::path loadedFrom() {
    Dl_info info{};
    static const int anchor = 0;
    std::error_code error;
    if (::dladdr(&anchor, &info) != 0 && info.dli_fname != nullptr && info.dli_fname[0] == '/') {
        auto path = std::filesystem::canonical(info.dli_fname, error);
        if (!error) return path;
    }
    auto program = std::filesystem::canonical("/proc/self/exe", error);
    return error ? std::filesystem::path() : program;
}

}  // namespace

// --- SMBWorker -------------------------------------------------------------------------------

std::string SMBWorker::programPath() {
    static const std::string path = [] {
        const auto self = loadedFrom();
        const std::string buildTree = OSTRANE_BUILD_DIR;
        const auto text = self.string();
        if (text.size() > buildTree.size() && text.compare(0, buildTree.size(), buildTree) == 0 &&
            text[buildTree.size()] == '/') {
            return std::string(OSTRANE_SMB_WORKER_BUILD_PATH);
        }
        return (self.parent_path() / OSTRANE_SMB_WORKER_FROM_LIBRARY).lexically_normal().string();
    }();
    return path;
}

std::shared_ptr<SMBWorker> SMBWorker::start() {
    if (exiting.load()) throw exitingError();
    const auto program = programPath();
    if (!isExecutable(program)) throw AMSMB2Error(ENOENT, "The SMB worker program is missing: " + program);
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) throwErrno("Cannot start the SMB worker", errno);
    Descriptor ours(pair[0]);
    Descriptor theirs(pair[1]);
    Descriptor buffer(::memfd_create("ostrane-smb-read", MFD_CLOEXEC));
    if (buffer.fd < 0 || ::ftruncate(buffer.fd, static_cast<off_t>(sharedBufferSize)) != 0) {
        throwErrno("Cannot start the SMB worker", errno);
    }
    void* mapped = ::mmap(nullptr, sharedBufferSize, PROT_READ | PROT_WRITE, MAP_SHARED, buffer.fd, 0);
    if (mapped == MAP_FAILED) throwErrno("Cannot start the SMB worker", errno);
    Descriptor theirSocket(raised(theirs.fd));
    Descriptor theirBuffer(raised(buffer.fd));
    pid_t pid = -1;
    try {
        pid = Launcher::shared().run([&] { return spawnWorker(program, theirSocket.fd, theirBuffer.fd); });
    } catch (...) {
        ::munmap(mapped, sharedBufferSize);
        throw;
    }
    markExitingFirst();
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    return std::shared_ptr<SMBWorker>(new SMBWorker(pid, pidfd, ours.release(), static_cast<std::uint8_t*>(mapped)));
}

SMBWorker::SMBWorker(pid_t pid, int pidfd, int socket, std::uint8_t* sharedBuffer)
    : pid_(pid), pidfd_(pidfd), socket_(socket), sharedBuffer_(sharedBuffer) {}

SMBWorker::~SMBWorker() {
    end();
    ::close(socket_);
    ::munmap(sharedBuffer_, sharedBufferSize);
    // Reaped at once unless the process is exiting (the kill takes effect without us).
    if (!exiting.load()) {
        if (pidfd_ >= 0) {
            siginfo_t info{};
            while (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd_), &info, WEXITED) < 0 && errno == EINTR) {
            }
        } else {
            while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
    }
    if (pidfd_ >= 0) ::close(pidfd_);
}

void SMBWorker::end() {
    alive_.store(false);
    // Through the pidfd, the signal can never reach another process that reused the number.
    if (pidfd_ >= 0) {
        ::syscall(SYS_pidfd_send_signal, pidfd_, SIGKILL, nullptr, 0);
    } else {
        ::kill(pid_, SIGKILL);
    }
}

bool SMBWorker::isAlive() const {
    if (!alive_.load()) return false;
    pollfd watched{socket_, POLLRDHUP, 0};
    return ::poll(&watched, 1, 0) == 0;
}

std::optional<AMSMB2Error> SMBWorker::receive(std::vector<std::uint8_t>& body,
                                              std::chrono::steady_clock::time_point deadline) {
    std::uint8_t header[4];
    std::size_t length = sizeof header;
    std::uint8_t* into = header;
    bool inBody = false;
    for (;;) {
        while (length > 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                end();
                return AMSMB2Error(ETIMEDOUT, std::generic_category().message(ETIMEDOUT));
            }
            pollfd ready{socket_, POLLIN, 0};
            const int polled = ::poll(&ready, 1, static_cast<int>(std::min<std::int64_t>(left.count(), INT_MAX)));
            if (polled < 0 && errno != EINTR) {
                end();
                return lostError();
            }
            if (polled <= 0) continue;
            const auto got = ::recv(socket_, into, length, MSG_DONTWAIT);
            if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (got <= 0) {
                end();
                return lostError();
            }
            into += got;
            length -= static_cast<std::size_t>(got);
        }
        if (inBody) return std::nullopt;
        const auto size = frameLength(header);
        if (size == 0 || size > largestFrame) {
            end();
            return lostError();
        }
        body.resize(size);
        into = body.data();
        length = size;
        inBody = true;
    }
}

SMBWorker::Reply SMBWorker::call(const std::vector<std::uint8_t>& request, std::chrono::milliseconds limit,
                                 const WhileHeld& whileHeld) {
    Reply reply;
    if (exitingHere()) {
        reply.error = exitingError();
        return reply;
    }
    std::lock_guard turn(turn_);
    if (!alive_.load()) {
        reply.error = lostError();
        return reply;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool sent = false;
    {
        std::lock_guard write(write_);
        sent = sendAll(socket_, request.data(), request.size());
    }
    std::vector<std::uint8_t> body;
    if (!sent) {
        end();
        reply.error = lostError();
    } else {
        reply.error = receive(body, deadline);
    }
    // Only another thread can be waiting here when exit begins: it stays here.
    if (exitingHere()) reply.error = exitingError();
    if (!reply.error) {
        FrameReader fields(body);
        if (fields.u8() == 0) {
            reply.body.assign(body.begin() + 1, body.end());
        } else {
            const auto code = static_cast<int>(fields.u32());
            auto text = fields.text();
            if (fields.failed()) {
                end();
                reply.error = lostError();
            } else {
                reply.error = AMSMB2Error(code, text);
            }
        }
    }
    if (whileHeld) whileHeld(reply, sharedBuffer_);
    return reply;
}

void SMBWorker::post(const std::vector<std::uint8_t>& request) {
    if (exiting.load() || !alive_.load()) return;
    std::lock_guard write(write_);
    if (!sendAll(socket_, request.data(), request.size())) alive_.store(false);
}

}  // namespace Ostrane
