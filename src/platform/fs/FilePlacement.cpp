#include "platform/fs/FilePlacement.hpp"

#include "platform/base/Error.hpp"
#include "platform/fs/FileCoordinator.hpp"
#include "platform/net/URL.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {
namespace {

constexpr const char* kSuffix = ".ostrane-part";
// Leaves room in a 255-byte name for the dot, pid, counter and suffix.
constexpr std::size_t kNameRoom = 200;

std::atomic<bool> namedOnly{false};

[[noreturn]] void fail(int e, const std::string& path) {
    throwError(cocoaFileError(e, path, true));
}

// Named temporaries still on disk, removed at exit. Never destroyed: a download thread may still
// register or drop one while static destruction runs.
struct LiveTemporaries {
    std::mutex lock;
    std::set<std::string> paths;

    static LiveTemporaries& shared() {
        static auto* live = new LiveTemporaries;
        static std::once_flag once;
        std::call_once(once, [] { std::atexit([] { LiveTemporaries::shared().removeAll(); }); });
        return *live;
    }
    void add(const std::string& path) {
        std::lock_guard guard(lock);
        paths.insert(path);
    }
    void drop(const std::string& path) {
        std::lock_guard guard(lock);
        paths.erase(path);
    }
    void removeAll() {
        std::lock_guard guard(lock);
        for (const auto& path : paths) ::unlink(path.c_str());
        paths.clear();
    }
};

std::pair<std::string, std::string> splitPath(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// The start of every temporary name made for `name`, cut at a character boundary so that file
// systems that insist on UTF-8 names accept it.
std::string temporaryPrefix(const std::string& name) {
    std::size_t end = std::min(name.size(), kNameRoom);
    while (end > 0 && end < name.size() && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) --end;
    return "." + name.substr(0, end) + ".";
}

std::string joined(const std::string& folder, const std::string& name) {
    return folder == "/" ? "/" + name : folder + "/" + name;
}

std::string freshTemporaryName(const std::string& name) {
    static std::atomic<std::uint64_t> counter{0};
    return temporaryPrefix(name) + std::to_string(::getpid()) + "-" + std::to_string(counter++) + kSuffix;
}

// Temporaries of `name` whose writer is gone (a kill -9, a power cut) are removed; a live writer's
// are left alone.
void removeAbandoned(const std::string& folder, const std::string& name) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir) return;
    const std::string prefix = temporaryPrefix(name);
    const std::string suffix = kSuffix;
    std::vector<std::string> abandoned;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string entryName = entry->d_name;
        if (entryName.size() <= prefix.size() + suffix.size() || entryName.compare(0, prefix.size(), prefix) != 0 ||
            entryName.compare(entryName.size() - suffix.size(), suffix.size(), suffix) != 0) {
            continue;
        }
        const std::string middle = entryName.substr(prefix.size(), entryName.size() - prefix.size() - suffix.size());
        const auto dash = middle.find('-');
        if (dash == std::string::npos || dash == 0) continue;
        char* end = nullptr;
        const long pid = std::strtol(middle.c_str(), &end, 10);
        if (end != middle.c_str() + dash || pid <= 0) continue;
        if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) abandoned.push_back(joined(folder, entryName));
    }
    for (const auto& path : abandoned) ::unlink(path.c_str());
}

struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

bool isFolder(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// The rule both placements share: nothing at the destination unless overwriting, never a folder.
void checkDestination(const std::string& destination, bool overwrite) {
    if (isFolder(destination)) fail(overwrite ? EISDIR : EEXIST, destination);
    if (!overwrite && exists(destination)) fail(EEXIST, destination);
}

// rename(2) without replacing; file systems without the flag get a check first.
int renameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    if (exists(to)) return EEXIST;
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

void writeAll(int fd, const char* bytes, std::size_t size, const std::string& path) {
    while (size > 0) {
        const ssize_t n = ::write(fd, bytes, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(errno, path);
        }
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
}

} // namespace

PlacementFile::PlacementFile(std::string destination) : destination_(std::move(destination)) {
    auto [folder, name] = splitPath(destination_);
    if (name.empty() || name == "." || name == "..") fail(EINVAL, destination_);
    folder_ = folder;
    removeAbandoned(folder_, name);
    if (!namedOnly) {
        fd_ = ::open(folder_.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (fd_ >= 0) return;
        // EOPNOTSUPP: FAT, network mounts; EISDIR/EINVAL: kernels or file systems that predate it.
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) fail(errno, destination_);
    }
    auto& live = LiveTemporaries::shared();
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
        temporary_ = joined(folder_, freshTemporaryName(name));
        live.add(temporary_);
        fd_ = ::open(temporary_.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
        if (fd_ < 0) {
            const int e = errno;
            live.drop(temporary_);
            if (e != EEXIST) fail(e, destination_);
        }
    }
    if (fd_ < 0) fail(EEXIST, destination_);
}

PlacementFile::PlacementFile(PlacementFile&& other) noexcept
    : destination_(std::move(other.destination_)),
      folder_(std::move(other.folder_)),
      temporary_(std::exchange(other.temporary_, std::string())),
      fd_(std::exchange(other.fd_, -1)),
      size_(other.size_) {}

PlacementFile::~PlacementFile() {
    discard();
}

void PlacementFile::discard() noexcept {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
    if (!temporary_.empty()) {
        ::unlink(temporary_.c_str());
        LiveTemporaries::shared().drop(std::exchange(temporary_, std::string()));
    }
}

void PlacementFile::write(const void* data, std::size_t size) {
    if (fd_ < 0) fail(EBADF, destination_);
    writeAll(fd_, static_cast<const char*>(data), size, destination_);
    size_ += static_cast<std::int64_t>(size);
}

void PlacementFile::place(bool overwrite) {
    if (fd_ < 0) fail(EBADF, destination_);
    if (::fsync(fd_) != 0) {
        const int e = errno;
        discard();
        fail(e, destination_);
    }
    try {
        checkDestination(destination_, overwrite);
        if (temporary_.empty()) {
            placeUnnamed(overwrite);
        } else {
            placeNamed(overwrite);
        }
    } catch (...) {
        discard();
        throw;
    }
    discard();
}

void PlacementFile::placeUnnamed(bool overwrite) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd_);
    if (!overwrite) {
        // linkat never replaces: whatever appeared at the destination since the check stays.
        if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, destination_.c_str(), AT_SYMLINK_FOLLOW) != 0) {
            fail(errno, destination_);
        }
        return;
    }
    const std::string named = joined(folder_, freshTemporaryName(splitPath(destination_).second));
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, named.c_str(), AT_SYMLINK_FOLLOW) != 0) fail(errno, destination_);
    // rename(2) refuses to put a file over a folder (EISDIR), so a folder that appeared meanwhile stays.
    if (::rename(named.c_str(), destination_.c_str()) != 0) {
        const int e = errno;
        ::unlink(named.c_str());
        fail(e, destination_);
    }
}

void PlacementFile::placeNamed(bool overwrite) {
    const int e = overwrite ? (::rename(temporary_.c_str(), destination_.c_str()) == 0 ? 0 : errno)
                            : renameNoReplace(temporary_, destination_);
    if (e != 0) fail(e, destination_);
    LiveTemporaries::shared().drop(std::exchange(temporary_, std::string()));
}

void placeFile(const std::string& from, const std::string& to, bool overwrite) {
    struct stat st {};
    if (::lstat(from.c_str(), &st) != 0) throwError(cocoaFileError(errno, from, false));
    if (!S_ISREG(st.st_mode)) throwError(cocoaFileError(EINVAL, from, false));
    checkDestination(to, overwrite);
    const int e = overwrite ? (::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno) : renameNoReplace(from, to);
    if (e == 0) return;
    if (e != EXDEV) fail(e, to);

    const Descriptor in{::open(from.c_str(), O_RDONLY | O_CLOEXEC)};
    if (in.fd < 0) throwError(cocoaFileError(errno, from, false));
    PlacementFile out(to);
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t n = ::read(in.fd, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            throwError(cocoaFileError(errno, from, false));
        }
        if (n == 0) break;
        out.write(buffer.data(), static_cast<std::size_t>(n));
    }
    out.place(overwrite);
    ::unlink(from.c_str());
}

void placeCoordinated(std::shared_ptr<PlacementFile> file, const std::shared_ptr<OperationQueue>& queue,
                      std::function<void(ErrorRef error)> done) {
    const URL destination = URL::fileURLWithPath(file->destination());
    FileCoordinator::coordinate(
        {FileAccessIntent::writingIntent(destination, FileAccessIntent::forReplacing)}, queue,
        [file = std::move(file), done = std::move(done)](ErrorRef coordinationError) {
            ErrorRef failure = coordinationError;
            if (!failure) {
                try {
                    file->place(false);
                } catch (...) {
                    failure = errorFromException(std::current_exception());
                }
            }
            done(failure);
        });
}

namespace detail {
void useNamedTemporaries(bool named) {
    namedOnly = named;
}
} // namespace detail

} // namespace platform
