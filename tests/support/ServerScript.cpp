#include "support/ServerScript.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <system_error>

namespace ostrane_test {

int freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::system_error(errno, std::generic_category(), "socket");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const int error = errno;
        ::close(fd);
        throw std::system_error(error, std::generic_category(), "bind");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

int runCommand(const std::string& command, int timeoutSeconds, std::string* output) {
    const std::string line = "timeout -k 5 " + std::to_string(timeoutSeconds) + " /bin/sh -c " + shellQuote(command) + " 2>&1";
    FILE* pipe = ::popen(line.c_str(), "r");
    if (pipe == nullptr) {
        return -1;
    }
    std::array<char, 4096> buffer{};
    std::string text;
    std::size_t count = 0;
    while ((count = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
        text.append(buffer.data(), count);
    }
    const int status = ::pclose(pipe);
    if (output != nullptr) {
        *output = text;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int watchUntilTestEnds(const std::string& stopCommand) {
    // A background job of a non-interactive shell leads no process group, so setsid needs no
    // fork and $! is the watcher's own pid, which is then its group's too.
    const std::string watcher = "tail --pid=" + std::to_string(::getpid()) + " -f /dev/null; " + stopCommand;
    std::string output;
    if (runCommand("setsid /bin/sh -c " + shellQuote(watcher) + " </dev/null >/dev/null 2>&1 & echo $!",
                   commandLimit(), &output) != 0) {
        return 0;
    }
    return std::atoi(output.c_str());
}

void endWatch(int group) {
    if (group > 0) {
        ::kill(-group, SIGTERM);
    }
}

ServerScript::ServerScript(std::string script, bool samePortOnRestart)
    : script_(std::move(script)), samePortOnRestart_(samePortOnRestart) {
    std::string pattern = (std::filesystem::temp_directory_path() / "ostrane-server-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    }
    directory_ = pattern;
}

ServerScript::~ServerScript() {
    stop();
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
}

void ServerScript::start() {
    if (running_) {
        return;
    }
    const std::string path = std::string(OSTRANE_SOURCE_DIR) + "/tests/servers/" + script_;
    std::string output;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (port_ == 0 || attempt > 0 || !samePortOnRestart_) port_ = freeLoopbackPort();
        const int status = runCommand(shellQuote(path) + " start " + shellQuote(directory_.string()) + " " +
                                          std::to_string(port_),
                                      serverStartLimit(), &output);
        if (status == 0) {
            running_ = true;
            watch_ = watchUntilTestEnds(shellQuote(path) + " stop " + shellQuote(directory_.string()) + "; rm -rf " +
                                        shellQuote(directory_.string()));
            return;
        }
    }
    throw std::runtime_error(script_ + " did not start: " + output);
}

void ServerScript::stop() {
    if (!running_) {
        return;
    }
    running_ = false;
    endWatch(watch_);
    watch_ = 0;
    const std::string path = std::string(OSTRANE_SOURCE_DIR) + "/tests/servers/" + script_;
    runCommand(shellQuote(path) + " stop " + shellQuote(directory_.string()), commandLimit());
}

}  // namespace ostrane_test

// libsamba keeps the log file name of every libsmbclient context it made for good; that is its
// own bookkeeping, not a leak of ours.
extern "C" const char* __lsan_default_suppressions() {
    // Its allocator has no frame pointers, so the stack ends in libtalloc; we never call it ourselves.
    return "leak:libtalloc.so\n";
}
