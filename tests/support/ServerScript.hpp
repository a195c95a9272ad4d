#pragma once
// Starts and stops a real server through one of the scripts in tests/servers/, on a loopback port
// of its own, with its files under a fresh temporary folder that is removed afterwards.

#include "support/Wait.hpp"

#include <filesystem>
#include <string>

namespace ostrane_test {

// A 127.0.0.1 TCP port that nothing listens on right now.
int freeLoopbackPort();

// Runs a command line through /bin/sh, bounded by `timeoutSeconds`; returns its exit status
// and, when `output` is given, what it wrote on stdout and stderr.
int runCommand(const std::string& command, int timeoutSeconds, std::string* output = nullptr);

// How long any other command a test runs may take before it counts as hung.
inline int commandLimit() { return static_cast<int>(hangLimit.count()); }

// How long a server script's "start" may run: the script's own limit for the server to come up
// (tests/servers/limits.sh, the hang limit), and as long again for setting it up.
inline int serverStartLimit() { return static_cast<int>(2 * hangLimit.count()); }

// Quotes one argument for /bin/sh.
std::string shellQuote(const std::string& text);

// Runs `stopCommand` once this test process is gone, however it ends: a crash, a sanitizer's halt
// or ctest's kill at its time-out run no destructor, and a server left behind would load the
// machine for every later test. The watcher lives in a session of its own, out of reach of a kill
// aimed at the test's process group. Returns the watcher's process group for `endWatch`, or 0.
int watchUntilTestEnds(const std::string& stopCommand);

// Ends a watch once the test has stopped its server itself.
void endWatch(int group);

class ServerScript {
public:
    // `script` is a file name in tests/servers/, called as `script start <dir> <port>` and `script stop <dir>`.
    // With `samePortOnRestart`, a restart first tries the port of the first start, so that clients
    // that remember the server by its address (a known-hosts file) meet it again.
    explicit ServerScript(std::string script, bool samePortOnRestart = false);
    ~ServerScript();
    ServerScript(const ServerScript&) = delete;
    ServerScript& operator=(const ServerScript&) = delete;

    // Throws std::runtime_error with the script's output when the server does not come up.
    void start();
    void stop();
    bool running() const { return running_; }

    int port() const { return port_; }
    const std::filesystem::path& directory() const { return directory_; }

private:
    std::string script_;
    bool samePortOnRestart_;
    std::filesystem::path directory_;
    int port_ = 0;
    int watch_ = 0;
    bool running_ = false;
};

}  // namespace ostrane_test
