#pragma once
// Host keys of SFTP servers, kept in a known-hosts file of OpenSSH's form. The first login to a
// server records its key; a later login that meets another key is refused before the password is
// sent, so a server that merely answers at the address never learns it.
//
// Entries are written as "[host]:port type key": a line without a port would match every port of
// the host. A plain "host" line written by someone else matches port 22 only. Hashed names,
// wildcards and marker lines (@revoked, @cert-authority) are left alone and never match.
#include <optional>
#include <string>

namespace Ostrane {

class SSHKnownHosts {
public:
    enum class Outcome {
        known,     // a recorded entry holds this key
        recorded,  // no entry for the server yet: the key is now recorded
        changed,   // entries for the server hold other keys: refuse
        failed,    // the file could not be read or written: refuse
    };
    struct Verdict {
        Outcome outcome;
        /// For changed and failed: why the login is refused, naming the server.
        std::string message;
        bool accepted() const { return outcome == Outcome::known || outcome == Outcome::recorded; }
    };

    /// The file the SFTP clients use: the one the host set, else defaultPath().
    static std::string path();
    /// Sets the file for logins that start afterwards; no value restores the default.
    static void setPath(std::optional<std::string> path);
    /// $XDG_DATA_HOME/ostrane/known_hosts, or ~/.local/share/ostrane/known_hosts when XDG_DATA_HOME
    /// is unset or not absolute.
    static std::string defaultPath();

    /// "[host]:port", the host lower-cased and without IPv6 brackets of its own.
    static std::string entryName(const std::string& host, int port);
    /// "SHA256:" and the unpadded Base64 of the key's SHA-256, as OpenSSH shows it.
    static std::string fingerprint(const std::string& keyBlob);

    /// Checks `keyBlob` (the server's public key in SSH wire form) for host:port against the file at
    /// `file`, recording it when the file has no entry for that server. Safe against concurrent
    /// checks in this and other processes (the file is locked while it is read and appended to).
    static Verdict check(const std::string& file, const std::string& host, int port, const std::string& keyBlob);
};

}  // namespace Ostrane
