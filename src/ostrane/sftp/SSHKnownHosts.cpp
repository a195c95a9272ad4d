#include "ostrane/sftp/SSHKnownHosts.hpp"

#include "platform/data/Base64.hpp"

#include <openssl/sha.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

namespace Ostrane {

namespace {

std::mutex pathMutex;
std::optional<std::string>& chosenPath() {
    static std::optional<std::string> path;
    return path;
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string errnoText(int error) { return std::strerror(error); }

// The key type is the first string of the key blob.
std::optional<std::string> keyType(const std::string& blob) {
    if (blob.size() < 4) return std::nullopt;
    const auto* b = reinterpret_cast<const unsigned char*>(blob.data());
    const std::size_t length = (std::size_t(b[0]) << 24) | (std::size_t(b[1]) << 16) | (std::size_t(b[2]) << 8) | b[3];
    if (length == 0 || length > 64 || blob.size() < 4 + length) return std::nullopt;
    std::string type = blob.substr(4, length);
    for (unsigned char c : type) {
        if (c <= ' ' || c > '~') return std::nullopt;
    }
    return type;
}

void makeFolders(const std::string& file) {
    const auto slash = file.rfind('/');
    if (slash == std::string::npos || slash == 0) return;
    const std::string folder = file.substr(0, slash);
    std::size_t at = 1;
    while (true) {
        const auto next = folder.find('/', at);
        const std::string part = folder.substr(0, next);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return;
        if (next == std::string::npos) return;
        at = next + 1;
    }
}

// An exclusive lock on the open file, waited for at most a few seconds.
bool lockFile(int fd) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) return false;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool readAll(int fd, std::string& text) {
    char buffer[8192];
    while (true) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return true;
        text.append(buffer, static_cast<std::size_t>(n));
    }
}

bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

enum class Match { none, same, other };

// What the file's text says about `name` (and, on port 22, the bare host) and this key.
Match lookUp(const std::string& text, const std::string& name, const std::optional<std::string>& bareHost,
             const std::string& blob) {
    Match result = Match::none;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string hosts, type, key;
        if (!(fields >> hosts) || hosts.front() == '#' || hosts.front() == '@') continue;
        if (!(fields >> type >> key)) continue;
        bool names = false;
        std::size_t at = 0;
        while (at <= hosts.size()) {
            const auto comma = hosts.find(',', at);
            const std::string pattern = lower(hosts.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
            if (pattern == name || (bareHost && pattern == *bareHost)) names = true;
            if (comma == std::string::npos) break;
            at = comma + 1;
        }
        if (!names) continue;
        const auto decoded = platform::Base64::decode(key);
        if (decoded && std::string(decoded->begin(), decoded->end()) == blob) return Match::same;
        result = Match::other;
    }
    return result;
}

}  // namespace

std::string SSHKnownHosts::defaultPath() {
    std::string base;
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && xdg[0] == '/') {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        std::string folder = home && home[0] == '/' ? home : "";
        if (folder.empty()) {
            if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) folder = pw->pw_dir;
        }
        base = folder + "/.local/share";
    }
    return base + "/ostrane/known_hosts";
}

std::string SSHKnownHosts::path() {
    std::lock_guard guard(pathMutex);
    return chosenPath() ? *chosenPath() : defaultPath();
}

void SSHKnownHosts::setPath(std::optional<std::string> path) {
    std::lock_guard guard(pathMutex);
    chosenPath() = std::move(path);
}

std::string SSHKnownHosts::entryName(const std::string& host, int port) {
    std::string bare = host;
    if (bare.size() >= 2 && bare.front() == '[' && bare.back() == ']') bare = bare.substr(1, bare.size() - 2);
    return "[" + lower(bare) + "]:" + std::to_string(port);
}

std::string SSHKnownHosts::fingerprint(const std::string& keyBlob) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    ::SHA256(reinterpret_cast<const unsigned char*>(keyBlob.data()), keyBlob.size(), digest);
    std::string text = platform::Base64::encode(std::string_view(reinterpret_cast<const char*>(digest), sizeof digest));
    while (!text.empty() && text.back() == '=') text.pop_back();
    return "SHA256:" + text;
}

SSHKnownHosts::Verdict SSHKnownHosts::check(const std::string& file, const std::string& host, int port,
                                            const std::string& keyBlob) {
    const std::string name = entryName(host, port);
    const auto refuse = [&](Outcome outcome, const std::string& why) { return Verdict{outcome, why}; };
    const auto type = keyType(keyBlob);
    if (!type) return refuse(Outcome::failed, "The host key of " + name + " is not readable; the login was refused");
    if (file.empty()) return refuse(Outcome::failed, "No known-hosts file is set; the login to " + name + " was refused");

    std::optional<std::string> bareHost;
    if (port == 22) bareHost = name.substr(1, name.size() - 5);

    makeFolders(file);
    bool writable = true;
    int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        writable = false;
        fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return refuse(Outcome::failed, "The known-hosts file " + file + " cannot be read (" + errnoText(errno) +
                                               "); the login to " + name + " was refused");
        }
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }  // also drops the lock
    } closer{fd};
    if (!lockFile(fd)) {
        return refuse(Outcome::failed, "The known-hosts file " + file + " stayed locked; the login to " + name +
                                           " was refused");
    }
    std::string text;
    if (!readAll(fd, text)) {
        return refuse(Outcome::failed, "The known-hosts file " + file + " cannot be read (" + errnoText(errno) +
                                           "); the login to " + name + " was refused");
    }
    switch (lookUp(text, name, bareHost, keyBlob)) {
    case Match::same:
        return {Outcome::known, {}};
    case Match::other:
        return refuse(Outcome::changed, "The host key of " + name + " has changed (it now offers " + *type + " key " +
                                            fingerprint(keyBlob) + ", which is not the one recorded in " + file +
                                            "); the login was refused and no password was sent");
    case Match::none:
        break;
    }
    if (!writable) {
        return refuse(Outcome::failed, "The host key of " + name + " cannot be recorded in " + file +
                                           "; the login was refused");
    }
    std::string line;
    if (!text.empty() && text.back() != '\n') line += '\n';
    line += name + " " + *type + " " + platform::Base64::encode(keyBlob) + "\n";
    if (::lseek(fd, 0, SEEK_END) < 0 || !writeAll(fd, line) || ::fsync(fd) != 0) {
        return refuse(Outcome::failed, "The host key of " + name + " cannot be recorded in " + file + " (" +
                                           errnoText(errno) + "); the login was refused");
    }
    return {Outcome::recorded, {}};
}

}  // namespace Ostrane
