#include "ostrane/smb/AMSMB2.hpp"

#include <libsmbclient.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <list>
#include <mutex>
#include <random>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace Ostrane {

namespace {

// Guards every libsmbclient call of the process (see the header).
std::mutex& libraryLock() {
    static std::mutex lock;
    return lock;
}

// Set when the process exits: running downloads stop at their next step instead of holding the
// exit up until the whole file has arrived.
std::atomic<bool> exiting{false};

// Threads that run completion-style work. Kept joinable so that the process never exits under a
// running transfer; finished ones are reaped when the next one starts.
class Workers {
public:
    static Workers& shared() {
        static Workers workers;
        return workers;
    }

    void run(std::function<void()> work) {
        std::lock_guard guard(mutex_);
        reapLocked();
        auto done = std::make_shared<std::atomic<bool>>(false);
        threads_.push_back(Entry{std::thread([work = std::move(work), done]() mutable {
                                     work();
                                     work = nullptr;
                                     done->store(true);
                                 }),
                                 done});
    }

    ~Workers() {
        exiting.store(true);
        std::list<Entry> threads;
        {
            std::lock_guard guard(mutex_);
            threads.swap(threads_);
        }
        for (auto& entry : threads) {
            if (entry.thread.get_id() == std::this_thread::get_id()) {
                entry.thread.detach();
            } else if (entry.thread.joinable()) {
                entry.thread.join();
            }
        }
    }

private:
    struct Entry {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };

    void reapLocked() {
        for (auto it = threads_.begin(); it != threads_.end();) {
            if (it->done->load()) {
                it->thread.join();
                it = threads_.erase(it);
            } else {
                ++it;
            }
        }
    }

    std::mutex mutex_;
    std::list<Entry> threads_;
};

void copyInto(char* target, int length, const std::string& value) {
    if (target == nullptr || length <= 0) {
        return;
    }
    const auto count = std::min<std::size_t>(value.size(), static_cast<std::size_t>(length) - 1);
    std::memcpy(target, value.data(), count);
    target[count] = '\0';
}

bool startsWithNoCase(const std::string& text, const std::string& prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) {
            return false;
        }
    }
    return true;
}

void discardLog(void*, int, const char*) {}

std::string trimSlashes(const std::string& path) {
    const auto first = path.find_first_not_of('/');
    if (first == std::string::npos) {
        return {};
    }
    const auto last = path.find_last_not_of('/');
    return path.substr(first, last - first + 1);
}

}  // namespace

// One libsmbclient context and what its authentication callback answers.
class AMSMB2Context {
public:
    AMSMB2Context(std::string domain, AMSMB2Credential credential)
        : domain(std::move(domain)), credential(std::move(credential)) {}

    ~AMSMB2Context() {
        if (context != nullptr) {
            std::lock_guard guard(libraryLock());
            smbc_free_context(context, 1);
        }
        std::fill(credential.password.begin(), credential.password.end(), '\0');
    }

    // Called by libsmbclient on every operation, under the library lock: copies only.
    static void authenticate(SMBCCTX* c, const char*, const char*, char* workgroup, int workgroupLength, char* user,
                             int userLength, char* password, int passwordLength) {
        auto* self = static_cast<AMSMB2Context*>(smbc_getOptionUserData(c));
        if (self == nullptr) {
            return;
        }
        if (!self->domain.empty()) {
            copyInto(workgroup, workgroupLength, self->domain);
        }
        copyInto(user, userLength, self->credential.user);
        copyInto(password, passwordLength, self->credential.password);
    }

    SMBCCTX* context = nullptr;
    const std::string domain;
    AMSMB2Credential credential;
    std::string share;  // guarded by libraryLock()
    bool shareConnected = false;  // guarded by libraryLock()
};

AMSMB2Error::AMSMB2Error(int code, const std::string& description)
    : std::runtime_error(description), code_(code), description_(description) {}

AMSMB2Error AMSMB2Error::fromErrno(int code) {
    if (code == 0) {
        code = EIO;
    }
    return AMSMB2Error(code, std::generic_category().message(code));
}

SMB2FileHandle::~SMB2FileHandle() {
    if (file_ == nullptr) {
        return;
    }
    std::lock_guard guard(libraryLock());
    auto* file = static_cast<SMBCFILE*>(file_);
    smbc_getFunctionClose(context_->context)(context_->context, file);
}

std::string smb2EncodePath(const std::string& path) {
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

std::shared_ptr<AMSMB2> AMSMB2::make(const std::string& url, const std::string& domain, const AMSMB2Credential& credential,
                                     std::chrono::milliseconds timeout) {
    if (!startsWithNoCase(url, "smb://")) {
        return nullptr;
    }
    std::string authority = url.substr(6);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    // Credentials never travel in the URL: the callback gives them.
    if (authority.empty() || authority.find('@') != std::string::npos) {
        return nullptr;
    }
    std::string host = authority;
    std::optional<int> port;
    const auto bracket = authority.rfind(']');
    const auto colon = authority.rfind(':');
    if (authority.front() == '[') {
        if (bracket == std::string::npos) {
            return nullptr;
        }
        host = authority.substr(0, bracket + 1);
        if (bracket + 1 < authority.size()) {
            if (authority[bracket + 1] != ':') {
                return nullptr;
            }
            const auto digits = authority.substr(bracket + 2);
            if (digits.empty() || digits.size() > 5 || !std::all_of(digits.begin(), digits.end(), ::isdigit)) {
                return nullptr;
            }
            port = std::stoi(digits);
        }
    } else if (colon != std::string::npos) {
        host = authority.substr(0, colon);
        const auto digits = authority.substr(colon + 1);
        if (digits.empty() || digits.size() > 5 || !std::all_of(digits.begin(), digits.end(), ::isdigit)) {
            return nullptr;
        }
        port = std::stoi(digits);
    }
    if (host.empty() || host == "[]" || (port && (*port < 1 || *port > 65535))) {
        return nullptr;
    }
    for (unsigned char c : host) {
        if (c <= ' ' || c == 0x7F || c == '\\' || c == '%') {
            return nullptr;
        }
    }

    auto holder = std::make_shared<AMSMB2Context>(domain, credential);
    {
        std::lock_guard guard(libraryLock());
        SMBCCTX* c = smbc_new_context();
        if (c == nullptr) {
            return nullptr;
        }
        smbc_setDebug(c, 0);
        smbc_setLogCallback(c, nullptr, discardLog);
        smbc_setOptionUserData(c, holder.get());
        smbc_setFunctionAuthDataWithContext(c, &AMSMB2Context::authenticate);
        // A refused password must stay refused, not become a guest login; and nothing may prompt.
        smbc_setOptionNoAutoAnonymousLogin(c, 1);
        smbc_setOptionUseKerberos(c, 0);
        smbc_setOptionFallbackAfterKerberos(c, 1);
        smbc_setOptionUseCCache(c, 0);
        const auto ms = std::clamp<std::int64_t>(timeout.count(), 1, 24 * 3600 * 1000);
        smbc_setTimeout(c, static_cast<int>(ms));
        if (port) {
            smbc_setPort(c, static_cast<std::uint16_t>(*port));
        }
        if (smbc_init_context(c) == nullptr) {
            smbc_free_context(c, 1);
            return nullptr;
        }
        // The machine's smb.conf must not decide how we talk to servers.
        static std::once_flag emptyConfiguration;
        std::call_once(emptyConfiguration, [c] { smbc_setConfiguration(c, "/dev/null"); });
        holder->context = c;
    }
    return std::shared_ptr<AMSMB2>(new AMSMB2(std::move(holder), host));
}

AMSMB2::AMSMB2(std::shared_ptr<AMSMB2Context> context, std::string server)
    : context_(std::move(context)), server_(std::move(server)) {}

AMSMB2::~AMSMB2() = default;

std::string AMSMB2::shareURL(const std::string& path) const {
    std::string url = "smb://" + server_ + "/" + smb2EncodePath(context_->share);
    const auto trimmed = trimSlashes(path);
    if (!trimmed.empty()) {
        url += "/" + smb2EncodePath(trimmed);
    }
    return url;
}

void AMSMB2::runDetached(std::function<void()> work) {
    Workers::shared().run(std::move(work));
}

void AMSMB2::connectShare(const std::string& name, bool encrypted, AMSMB2Completion completionHandler) {
    auto context = context_;
    auto server = server_;
    runDetached([context, server, name, encrypted, completionHandler = std::move(completionHandler)] {
        std::optional<AMSMB2Error> failure;
        {
            std::lock_guard guard(libraryLock());
            SMBCCTX* c = context->context;
            if (encrypted) {
                smbc_setOptionSmbEncryptionLevel(c, SMBC_ENCRYPTLEVEL_REQUIRE);
            }
            if (name.empty() || name.find('/') != std::string::npos) {
                failure = AMSMB2Error(EINVAL, "Invalid share name");
            } else {
                const std::string url = "smb://" + server + "/" + smb2EncodePath(name) + "/";
                errno = 0;
                SMBCFILE* dir = smbc_getFunctionOpendir(c)(c, url.c_str());
                if (dir == nullptr) {
                    failure = AMSMB2Error::fromErrno(errno);
                } else {
                    smbc_getFunctionClosedir(c)(c, dir);
                    context->share = name;
                    context->shareConnected = true;
                }
            }
        }
        completionHandler(std::move(failure));
    });
}

std::vector<SMB2DirectoryEntry> AMSMB2::contentsOfDirectory(const std::string& atPath) {
    std::vector<SMB2DirectoryEntry> entries;
    SMBCCTX* c = context_->context;
    SMBCFILE* dir = nullptr;
    {
        std::lock_guard guard(libraryLock());
        if (!context_->shareConnected) {
            throw AMSMB2Error(ENOTCONN, "Not connected to a share");
        }
        const auto url = shareURL(atPath) + "/";
        errno = 0;
        dir = smbc_getFunctionOpendir(c)(c, url.c_str());
        if (dir == nullptr) {
            throw AMSMB2Error::fromErrno(errno);
        }
    }
    // The listing arrived with the open; walking it is local work.
    std::lock_guard guard(libraryLock());
    struct stat st {};
    while (const auto* info = smbc_getFunctionReaddirPlus2(c)(c, dir, &st)) {
        if (info->name == nullptr) {
            continue;
        }
        const std::string name = info->name;
        if (name == "." || name == "..") {
            continue;
        }
        SMB2DirectoryEntry entry;
        entry.name = name;
        const auto mode = st.st_mode;
        if (S_ISDIR(mode)) {
            entry.type = URLFileResourceType::directory;
        } else if (S_ISREG(mode)) {
            entry.type = URLFileResourceType::regular;
            entry.size = static_cast<std::int64_t>(info->size);
        } else if (S_ISLNK(mode)) {
            entry.type = URLFileResourceType::symbolicLink;
        } else if (S_ISFIFO(mode)) {
            entry.type = URLFileResourceType::namedPipe;
        } else if (S_ISCHR(mode)) {
            entry.type = URLFileResourceType::characterSpecial;
        } else if (S_ISBLK(mode)) {
            entry.type = URLFileResourceType::blockSpecial;
        } else if (S_ISSOCK(mode)) {
            entry.type = URLFileResourceType::socket;
        } else {
            entry.type = URLFileResourceType::unknown;
        }
        entries.push_back(std::move(entry));
        st = {};
    }
    smbc_getFunctionClosedir(c)(c, dir);
    return entries;
}

std::shared_ptr<SMB2FileHandle> AMSMB2::openFile(const std::string& atPath) {
    std::lock_guard guard(libraryLock());
    if (!context_->shareConnected || trimSlashes(atPath).empty()) {
        return nullptr;
    }
    SMBCCTX* c = context_->context;
    const auto url = shareURL(atPath);
    SMBCFILE* file = smbc_getFunctionOpen(c)(c, url.c_str(), O_RDONLY, 0);
    if (file == nullptr) {
        return nullptr;
    }
    struct stat st {};
    // A directory opens too; only files can be read.
    if (smbc_getFunctionFstat(c)(c, file, &st) == 0 && S_ISDIR(st.st_mode)) {
        smbc_getFunctionClose(c)(c, file);
        return nullptr;
    }
    return std::shared_ptr<SMB2FileHandle>(new SMB2FileHandle(context_, file));
}

std::optional<std::vector<std::uint8_t>> AMSMB2::read(const SMB2FileHandle& file, std::int64_t offset, std::int64_t size) {
    if (offset < 0 || size < 0 || file.context_ != context_ || file.file_ == nullptr) {
        return std::nullopt;
    }
    // libsmbclient fills a warm buffer about twice as fast as fresh pages, so each thread reads into
    // one buffer of its own and the answer is copied out of it.
    thread_local std::vector<std::uint8_t> scratch(static_cast<std::size_t>(transferStep));
    std::vector<std::uint8_t> data;
    if (size > transferStep) {
        data.reserve(static_cast<std::size_t>(std::min<std::int64_t>(size, 64 * transferStep)));
    }
    SMBCCTX* c = context_->context;
    auto* handle = static_cast<SMBCFILE*>(file.file_);
    std::int64_t got = 0;
    while (got < size) {
        const auto step = std::min(transferStep, size - got);
        ssize_t count = 0;
        {
            std::lock_guard guard(libraryLock());
            if (smbc_getFunctionLseek(c)(c, handle, static_cast<off_t>(offset + got), SEEK_SET) < 0) {
                return std::nullopt;
            }
            count = smbc_getFunctionRead(c)(c, handle, scratch.data(), static_cast<std::size_t>(step));
        }
        if (count < 0) {
            return std::nullopt;
        }
        if (count == 0) {
            break;
        }
        data.insert(data.end(), scratch.begin(), scratch.begin() + count);
        got += count;
    }
    return data;
}

std::optional<std::int64_t> AMSMB2::sizeOfFile(const SMB2FileHandle& file) {
    if (file.context_ != context_ || file.file_ == nullptr) {
        return std::nullopt;
    }
    std::lock_guard guard(libraryLock());
    struct stat st {};
    SMBCCTX* c = context_->context;
    if (smbc_getFunctionFstat(c)(c, static_cast<SMBCFILE*>(file.file_), &st) != 0) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(st.st_size);
}

namespace {

// A new file beside `target`, named so that listings of that folder skip it.
int createTemporaryBeside(const std::string& target, std::string& path) {
    const auto slash = target.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    for (int attempt = 0; attempt < 16; ++attempt) {
        path = directory + "." + name + ".part-" + std::to_string(random()) + "-" + std::to_string(counter++);
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    errno = EEXIST;
    return -1;
}

bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const auto written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace

void AMSMB2::downloadItem(const std::string& atPath, const std::string& toPath, AMSMB2Completion completionHandler) {
    auto self = shared_from_this();
    runDetached([self, atPath, toPath, completionHandler = std::move(completionHandler)] {
        auto failure = [&]() -> std::optional<AMSMB2Error> {
            if (toPath.empty() || toPath.back() == '/') {
                return AMSMB2Error(EISDIR, "Is a directory");
            }
            std::shared_ptr<SMB2FileHandle> file;
            {
                std::lock_guard guard(libraryLock());
                if (!self->context_->shareConnected) {
                    return AMSMB2Error(ENOTCONN, "Not connected to a share");
                }
            }
            errno = 0;
            file = self->openFile(atPath);
            if (file == nullptr) {
                return AMSMB2Error::fromErrno(errno == 0 ? ENOENT : errno);
            }
            std::string temporary;
            const int fd = createTemporaryBeside(toPath, temporary);
            if (fd < 0) {
                return AMSMB2Error::fromErrno(errno);
            }
            std::vector<std::uint8_t> buffer(static_cast<std::size_t>(transferStep));
            auto* handle = static_cast<SMBCFILE*>(file->file_);
            SMBCCTX* c = self->context_->context;
            std::optional<AMSMB2Error> error;
            {
                std::lock_guard guard(libraryLock());
                if (smbc_getFunctionLseek(c)(c, handle, 0, SEEK_SET) < 0) {
                    error = AMSMB2Error::fromErrno(errno);
                }
            }
            while (!error) {
                if (exiting.load()) {
                    error = AMSMB2Error(ECANCELED, "Operation canceled");
                    break;
                }
                ssize_t count = 0;
                {
                    std::lock_guard guard(libraryLock());
                    errno = 0;
                    count = smbc_getFunctionRead(c)(c, handle, buffer.data(), buffer.size());
                    if (count < 0) {
                        error = AMSMB2Error::fromErrno(errno);
                    }
                }
                if (count <= 0) {
                    break;
                }
                if (!writeAll(fd, buffer.data(), static_cast<std::size_t>(count))) {
                    error = AMSMB2Error::fromErrno(errno);
                }
            }
            if (::close(fd) != 0 && !error) {
                error = AMSMB2Error::fromErrno(errno);
            }
            if (!error && ::rename(temporary.c_str(), toPath.c_str()) != 0) {
                error = AMSMB2Error::fromErrno(errno);
            }
            if (error) {
                ::unlink(temporary.c_str());
            }
            return error;
        }();
        completionHandler(std::move(failure));
    });
}

}  // namespace Ostrane
