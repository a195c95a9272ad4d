#pragma once
// The libsmbclient side of one SMB session, inside the worker program: one context, one share,
// the files opened on it. Single-threaded, as libsmbclient needs.
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <libsmbclient.h>

namespace Ostrane::smbworker {

// A failure to answer: an errno value and the English text the user will see.
struct Failure {
    int code;
    std::string text;
    static Failure fromErrno(int code);
};

struct ConnectRequest {
    std::string share;
    std::string server;  // as written in a URL: a name, an IPv4 address or a bracketed IPv6 literal
    std::uint32_t port = 0;  // 0: the default
    std::string domain;
    std::string user;
    std::string password;
    std::int64_t timeoutMilliseconds = 60'000;
    bool encrypted = false;
};

struct Entry {
    std::string name;
    std::uint8_t type;  // a URLFileResourceType
    std::optional<std::int64_t> size;
};

class WorkerSession {
public:
    WorkerSession() = default;
    ~WorkerSession();
    WorkerSession(const WorkerSession&) = delete;
    WorkerSession& operator=(const WorkerSession&) = delete;

    // Each throws Failure.
    void connect(ConnectRequest request);
    std::vector<Entry> list(const std::string& path);
    std::uint32_t open(const std::string& path);
    // Up to `size` bytes from `offset` into `into`: all of them, or fewer only at the end of the file.
    std::int64_t read(std::uint32_t file, std::int64_t offset, std::int64_t size, std::uint8_t* into);
    std::int64_t size(std::uint32_t file);
    void close(std::uint32_t file);

private:
    static void authenticate(SMBCCTX* c, const char* server, const char* share, char* workgroup, int workgroupLength,
                             char* user, int userLength, char* password, int passwordLength);
    void makeContext(const ConnectRequest& request);
    std::string shareURL(const std::string& path) const;
    SMBCFILE* fileNumbered(std::uint32_t file) const;

    SMBCCTX* context_ = nullptr;
    std::string server_;
    std::string domain_;
    std::string user_;
    std::string password_;
    std::string share_;
    bool shareConnected_ = false;
    std::map<std::uint32_t, SMBCFILE*> files_;
    std::uint32_t nextFile_ = 1;
};

// Percent-encodes what libsmbclient would otherwise read as URL syntax ("?", "%", "#", ...).
std::string encodePath(const std::string& path);

}  // namespace Ostrane::smbworker
