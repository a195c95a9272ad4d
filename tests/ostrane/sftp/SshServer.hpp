#pragma once
// The sshd of tests/servers/sshd.sh in a temporary folder of its own: its login, the folder whose
// content the tests write (root()), and a port kept across restarts, so that a restarted server
// is the same "[127.0.0.1]:port" to the known-hosts file.
#include "ostrane/OstraneInfo.hpp"
#include "ostrane/sftp/SSHKnownHosts.hpp"
#include "support/ServerScript.hpp"

#include <signal.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace ostrane_test {

class SshServer : public ServerScript {
public:
    static constexpr const char* user = "ostranesftp";
    static constexpr const char* password = "Ostrane-Sftp-Test-1";

    SshServer() : ServerScript("sshd.sh", true) {
        std::filesystem::create_directories(root());
        std::filesystem::permissions(root(), std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                                 std::filesystem::perms::group_exec |
                                                 std::filesystem::perms::others_read |
                                                 std::filesystem::perms::others_exec);
    }

    /// The processes that serve this server's connections: every descendant of its listener
    /// (sshd forks one or two per connection), never the listener itself nor another server's.
    std::vector<int> connectionProcesses() const {
        std::ifstream pidFile(directory() / "run" / "sshd.listener");
        int listener = 0;
        if (!(pidFile >> listener) || listener <= 0) return {};
        std::multimap<int, int> children;
        for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
            const std::string name = entry.path().filename().string();
            if (name.find_first_not_of("0123456789") != std::string::npos) continue;
            std::ifstream stat(entry.path() / "stat");
            std::string line;
            if (!std::getline(stat, line)) continue;
            // The command name may hold blanks and parentheses: the fields after it are state, ppid.
            const auto close = line.rfind(')');
            if (close == std::string::npos || close + 4 > line.size()) continue;
            const auto state = line[close + 2];
            if (state == 'Z') continue;
            children.emplace(std::atoi(line.c_str() + close + 4), std::stoi(name));
        }
        std::vector<int> found;
        std::vector<int> parents{listener};
        while (!parents.empty() && found.size() < 1000) {
            const int parent = parents.back();
            parents.pop_back();
            const auto [from, to] = children.equal_range(parent);
            for (auto it = from; it != to; ++it) {
                found.push_back(it->second);
                parents.push_back(it->second);
            }
        }
        return found;
    }

    /// Sends `signal` to the processes of this server's connections; how many there were.
    std::size_t signalConnections(int signal) const {
        const auto pids = connectionProcesses();
        for (int pid : pids) ::kill(pid, signal);
        return pids.size();
    }

    /// The next start() serves a freshly generated host key.
    void replaceHostKey() {
        std::filesystem::remove(directory() / "etc" / "ssh_host_ed25519_key");
        std::filesystem::remove(directory() / "etc" / "ssh_host_ed25519_key.pub");
    }

    /// Served at the same path: the server shows the real file system.
    std::filesystem::path root() const { return directory() / "root"; }
    std::filesystem::path log() const { return directory() / "log" / "sshd.log"; }
    /// A known-hosts file of this server's own.
    std::string knownHosts() const { return (directory() / "known_hosts").string(); }

    Ostrane::OstraneInfo record() const {
        Ostrane::OstraneInfo info(Ostrane::OstraneType::sftp);
        info.host = "127.0.0.1";
        info.port = port();
        info.username = user;
        info.baseDir = root().string();
        return info;
    }
};

}  // namespace ostrane_test
