#pragma once
// A private Apache mod_dav (tests/servers/apache-dav-webdav.sh) for the WebDAV tests: Digest
// authentication, /dav/ served from directory()/dav, /plain/ without WebDAV.
#include "support/ServerScript.hpp"

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace ostrane_test {

class ApacheDAV {
public:
    static constexpr const char* user = "ostranedav";
    static constexpr const char* password = "Ostrane-Dav-Test-1";

    ApacheDAV() : script_("apache-dav-webdav.sh") {}
    void start() { script_.start(); }
    void stop() { script_.stop(); }
    int port() const { return script_.port(); }
    std::filesystem::path root() const { return script_.directory() / "dav"; }
    /// "http://127.0.0.1:<port>" + path.
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port()) + path; }
    /// The requests served so far, one "<method> <path> <status>" line each, in the order served.
    std::vector<std::string> requests() const {
        std::vector<std::string> lines;
        std::ifstream in(script_.directory() / "log" / "access.log");
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    /// Files written into root() by the test become the server's, so it can change them.
    void handOver() const {
        runCommand("[ \"$(id -u)\" != 0 ] || chown -R www-data:www-data " + shellQuote(root().string()), commandLimit());
    }

private:
    ServerScript script_;
};

}  // namespace ostrane_test
