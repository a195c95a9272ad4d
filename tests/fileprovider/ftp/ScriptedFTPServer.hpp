#pragma once
// A scripted loopback FTP peer: greets every control connection, records each command line and
// answers it by a script; QUIT ends a connection, and the next one is taken. One data peer serves
// the script's passive connections. What goes wrong on the server's thread fails the test with
// its message when the server is dropped.
#include "fileprovider/ftp/LoopbackPeer.hpp"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ostrane_test {

class ScriptedServer {
public:
    using Script = std::function<void(ScriptedServer&, const std::string& command)>;

    explicit ScriptedServer(Script script, std::string greeting = "220 ready\r\n")
        : script_(std::move(script)), greeting_(std::move(greeting)), thread_("scripted FTP server", [this] { run(); }) {}
    ~ScriptedServer() {
        stop_ = true;
        control_.stop();
        data_.stop();
        thread_.join();
    }
    int port() const { return control_.port(); }
    void reply(const std::string& text) { control_.send(text); }
    std::vector<std::string> commands() {
        std::lock_guard lock(mutex_);
        return commands_;
    }
    LoopbackPeer& data() { return data_; }
    /// The "227" reply that names the data peer.
    std::string passiveReply() const {
        const int p = data_.port();
        return "227 Entering Passive Mode (127,0,0,1," + std::to_string(p / 256) + "," + std::to_string(p % 256) + ").\r\n";
    }

private:
    void run() {
        // Each connection in turn, until the server is dropped.
        while (!stop_) {
            if (!control_.accept(std::chrono::milliseconds(100))) continue;
            control_.send(greeting_);
            serve();
        }
    }
    void serve() {
        std::string line;
        while (!stop_) {
            const std::string c = control_.receive(1);
            if (c.empty()) return;
            if (c != "\n") {
                line += c;
                continue;
            }
            if (!line.empty() && line.back() == '\r') line.pop_back();
            {
                std::lock_guard lock(mutex_);
                commands_.push_back(line);
            }
            if (line == "QUIT") {
                control_.send("221 bye\r\n");
                control_.closeConnection();
                return;
            }
            script_(*this, line);
            line.clear();
        }
    }

    Script script_;
    std::string greeting_;
    LoopbackPeer control_;
    LoopbackPeer data_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::string> commands_;
    FixtureThread thread_;
};

}  // namespace ostrane_test
