#pragma once
// The FTP servers of tests/servers/ftp.sh: pyftpdlib (plain, demanding explicit TLS, or speaking
// implicit TLS) and vsftpd, each serving root() on its own loopback port with one test login.
#include "support/ServerScript.hpp"

#include <filesystem>
#include <fstream>
#include <string>

namespace ostrane_test {

class FTPTestServer : public ServerScript {
public:
    enum class Kind { pyftpdlib, vsftpd, pyftpdlibTLS, pyftpdlibImplicitTLS };

    static constexpr const char* user = "ostraneftp";
    static constexpr const char* password = "Ostrane-Ftp-Test-1";

    explicit FTPTestServer(Kind kind) : ServerScript(script(kind)), kind_(kind) {
        // An existing root keeps the script from adding its sample content.
        std::filesystem::create_directories(root());
        std::filesystem::permissions(directory(), std::filesystem::perms::owner_all |
                                                      std::filesystem::perms::others_exec |
                                                      std::filesystem::perms::group_exec);
    }

    Kind kind() const { return kind_; }
    bool tls() const { return kind_ == Kind::pyftpdlibTLS || kind_ == Kind::pyftpdlibImplicitTLS; }
    /// The host of a record for this server: its scheme says which TLS it speaks.
    std::string recordHost() const {
        switch (kind_) {
        case Kind::pyftpdlibTLS: return "ftpes://127.0.0.1";
        case Kind::pyftpdlibImplicitTLS: return "ftps://127.0.0.1";
        default: return "127.0.0.1";
        }
    }
    std::string name() const { return name(kind_); }
    static std::string name(Kind kind) {
        switch (kind) {
        case Kind::pyftpdlib: return "pyftpdlib";
        case Kind::vsftpd: return "vsftpd";
        case Kind::pyftpdlibTLS: return "pyftpdlibTLS";
        case Kind::pyftpdlibImplicitTLS: return "pyftpdlibImplicitTLS";
        }
        return "";
    }
    std::filesystem::path root() const { return directory() / "root"; }
    /// The self-signed certificate of the TLS server: the file a client must trust.
    std::filesystem::path certificate() const { return directory() / "tls" / "cert.pem"; }
    std::string hostPort() const { return "127.0.0.1:" + std::to_string(port()); }

    /// Writes a file under root(), readable by the server's user.
    void write(const std::string& relative, const std::string& content) const {
        const auto path = root() / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
        std::filesystem::permissions(path, std::filesystem::perms::others_read, std::filesystem::perm_options::add);
    }

private:
    static std::string script(Kind kind) {
        switch (kind) {
        case Kind::pyftpdlib: return "ftp-pyftpdlib.sh";
        case Kind::vsftpd: return "ftp-vsftpd.sh";
        case Kind::pyftpdlibTLS: return "ftp-pyftpdlib-tls.sh";
        case Kind::pyftpdlibImplicitTLS: return "ftp-pyftpdlib-implicit.sh";
        }
        return "";
    }

    Kind kind_;
};

}  // namespace ostrane_test
