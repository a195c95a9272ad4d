#include "ostrane/smb/worker/WorkerSession.hpp"

#include "ostrane/smb/AMSMB2.hpp"
#include "platform/text/Strings.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>

namespace Ostrane::smbworker {

namespace {

void copyInto(char* target, int length, const std::string& value) {
    if (target == nullptr || length <= 0) return;
    const auto count = std::min<std::size_t>(value.size(), static_cast<std::size_t>(length) - 1);
    std::memcpy(target, value.data(), count);
    target[count] = '\0';
}

void discardLog(void*, int, const char*) {}

using platform::trimSlashes;

URLFileResourceType typeOf(mode_t mode) {
    if (S_ISDIR(mode)) return URLFileResourceType::directory;
    if (S_ISREG(mode)) return URLFileResourceType::regular;
    if (S_ISLNK(mode)) return URLFileResourceType::symbolicLink;
    if (S_ISFIFO(mode)) return URLFileResourceType::namedPipe;
    if (S_ISCHR(mode)) return URLFileResourceType::characterSpecial;
    if (S_ISBLK(mode)) return URLFileResourceType::blockSpecial;
    if (S_ISSOCK(mode)) return URLFileResourceType::socket;
    return URLFileResourceType::unknown;
}

const Failure notConnected{ENOTCONN, "Not connected to a share"};

}  // namespace

Failure Failure::fromErrno(int code) {
    if (code == 0) code = EIO;
    return Failure{code, std::generic_category().message(code)};
}

std::string encodePath(const std::string& path) {
    static const char* hex = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(path.size());
    for (unsigned char c : path) {
        const bool alnum = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        if (alnum || c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
            encoded.push_back(static_cast<char>(c));
        } else {
            encoded.push_back('%');
            encoded.push_back(hex[c >> 4]);
            encoded.push_back(hex[c & 0xF]);
        }
    }
    return encoded;
}

WorkerSession::~WorkerSession() {
    if (context_ != nullptr) smbc_free_context(context_, 1);
    std::fill(password_.begin(), password_.end(), '\0');
}

// Called by libsmbclient on every operation: copies only, never prompts.
void WorkerSession::authenticate(SMBCCTX* c, const char*, const char*, char* workgroup, int workgroupLength, char* user,
                                 int userLength, char* password, int passwordLength) {
    auto* self = static_cast<WorkerSession*>(smbc_getOptionUserData(c));
    if (self == nullptr) return;
    if (!self->domain_.empty()) copyInto(workgroup, workgroupLength, self->domain_);
    copyInto(user, userLength, self->user_);
    copyInto(password, passwordLength, self->password_);
}

void WorkerSession::makeContext(const ConnectRequest& request) {
    SMBCCTX* c = smbc_new_context();
    if (c == nullptr) throw Failure::fromErrno(errno == 0 ? ENOMEM : errno);
    smbc_setDebug(c, 0);
    smbc_setLogCallback(c, nullptr, discardLog);
    smbc_setOptionUserData(c, this);
    smbc_setFunctionAuthDataWithContext(c, &WorkerSession::authenticate);
    // A refused password must stay refused, not become a guest login; and nothing may prompt.
    smbc_setOptionNoAutoAnonymousLogin(c, 1);
    smbc_setOptionUseKerberos(c, 0);
    smbc_setOptionFallbackAfterKerberos(c, 1);
    smbc_setOptionUseCCache(c, 0);
    smbc_setTimeout(c, static_cast<int>(std::clamp<std::int64_t>(request.timeoutMilliseconds, 1, 24 * 3600 * 1000)));
    if (request.port != 0) smbc_setPort(c, static_cast<std::uint16_t>(request.port));
    if (request.encrypted) smbc_setOptionSmbEncryptionLevel(c, SMBC_ENCRYPTLEVEL_REQUIRE);
    if (smbc_init_context(c) == nullptr) {
        const int code = errno;
        smbc_free_context(c, 1);
        throw Failure::fromErrno(code);
    }
    // The machine's smb.conf must not decide how we talk to servers.
    smbc_setConfiguration(c, "/dev/null");
    context_ = c;
}

void WorkerSession::connect(ConnectRequest request) {
    if (context_ == nullptr) {
        server_ = request.server;
        domain_ = request.domain;
        user_ = request.user;
        password_ = std::move(request.password);
        makeContext(request);
    }
    shareConnected_ = false;
    if (request.share.empty() || request.share.find('/') != std::string::npos) {
        throw Failure{EINVAL, "Invalid share name"};
    }
    const std::string url = "smb://" + server_ + "/" + encodePath(request.share) + "/";
    errno = 0;
    SMBCFILE* dir = smbc_getFunctionOpendir(context_)(context_, url.c_str());
    if (dir == nullptr) throw Failure::fromErrno(errno);
    smbc_getFunctionClosedir(context_)(context_, dir);
    share_ = request.share;
    shareConnected_ = true;
}

std::string WorkerSession::shareURL(const std::string& path) const {
    std::string url = "smb://" + server_ + "/" + encodePath(share_);
    const auto trimmed = trimSlashes(path);
    if (!trimmed.empty()) url += "/" + encodePath(trimmed);
    return url;
}

std::vector<Entry> WorkerSession::list(const std::string& path) {
    if (!shareConnected_) throw notConnected;
    const auto url = shareURL(path) + "/";
    errno = 0;
    SMBCFILE* dir = smbc_getFunctionOpendir(context_)(context_, url.c_str());
    if (dir == nullptr) throw Failure::fromErrno(errno);
    std::vector<Entry> entries;
    struct stat st {};
    while (const auto* info = smbc_getFunctionReaddirPlus2(context_)(context_, dir, &st)) {
        if (info->name != nullptr && std::strcmp(info->name, ".") != 0 && std::strcmp(info->name, "..") != 0) {
            const auto type = typeOf(st.st_mode);
            Entry entry{info->name, static_cast<std::uint8_t>(type), std::nullopt};
            if (type == URLFileResourceType::regular) entry.size = static_cast<std::int64_t>(info->size);
            entries.push_back(std::move(entry));
        }
        st = {};
    }
    smbc_getFunctionClosedir(context_)(context_, dir);
    return entries;
}

std::uint32_t WorkerSession::open(const std::string& path) {
    if (!shareConnected_) throw notConnected;
    if (trimSlashes(path).empty()) throw Failure::fromErrno(EISDIR);
    const auto url = shareURL(path);
    errno = 0;
    SMBCFILE* file = smbc_getFunctionOpen(context_)(context_, url.c_str(), O_RDONLY, 0);
    if (file == nullptr) throw Failure::fromErrno(errno == 0 ? ENOENT : errno);
    struct stat st {};
    // A directory opens too; only files can be read.
    if (smbc_getFunctionFstat(context_)(context_, file, &st) == 0 && S_ISDIR(st.st_mode)) {
        smbc_getFunctionClose(context_)(context_, file);
        throw Failure::fromErrno(EISDIR);
    }
    const auto number = nextFile_++;
    files_[number] = file;
    return number;
}

SMBCFILE* WorkerSession::fileNumbered(std::uint32_t file) const {
    const auto found = files_.find(file);
    if (found == files_.end()) throw Failure::fromErrno(EBADF);
    return found->second;
}

std::int64_t WorkerSession::read(std::uint32_t file, std::int64_t offset, std::int64_t size, std::uint8_t* into) {
    SMBCFILE* handle = fileNumbered(file);
    if (offset < 0 || size < 0) throw Failure::fromErrno(EINVAL);
    errno = 0;
    if (smbc_getFunctionLseek(context_)(context_, handle, static_cast<off_t>(offset), SEEK_SET) < 0) {
        throw Failure::fromErrno(errno);
    }
    std::int64_t got = 0;
    while (got < size) {
        errno = 0;
        const auto count =
            smbc_getFunctionRead(context_)(context_, handle, into + got, static_cast<std::size_t>(size - got));
        if (count < 0) throw Failure::fromErrno(errno);
        if (count == 0) break;  // the end of the file
        got += count;
    }
    return got;
}

std::int64_t WorkerSession::size(std::uint32_t file) {
    SMBCFILE* handle = fileNumbered(file);
    struct stat st {};
    errno = 0;
    if (smbc_getFunctionFstat(context_)(context_, handle, &st) != 0) throw Failure::fromErrno(errno);
    return static_cast<std::int64_t>(st.st_size);
}

void WorkerSession::close(std::uint32_t file) {
    const auto found = files_.find(file);
    if (found == files_.end()) return;
    smbc_getFunctionClose(context_)(context_, found->second);
    files_.erase(found);
}

}  // namespace Ostrane::smbworker
