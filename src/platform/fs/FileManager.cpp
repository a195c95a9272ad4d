#include "platform/fs/FileManager.hpp"

#include "platform/data/Date.hpp"
#include "platform/fs/FilePlacement.hpp"
#include "platform/net/URLResourceKey.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <random>

namespace platform {

namespace {

[[noreturn]] void fail(int e, const std::string& path, bool writing) {
    throwError(cocoaFileError(e, path, writing));
}

std::string parentOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string lastComponent(const std::string& path) {
    if (path == "/") return "/";
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    const auto slash = p.find_last_of('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string join(const std::string& dir, const std::string& name) {
    return !dir.empty() && dir.back() == '/' ? dir + name : dir + "/" + name;
}

// A free-looking hidden name beside `path`; whoever makes it there does so exclusively.
std::string siblingName(const std::string& path, const char* purpose) {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    char buf[32];
    std::snprintf(buf, sizeof buf, "%012llx", static_cast<unsigned long long>(random() & 0xffffffffffffULL));
    return join(parentOf(path), std::string(".ostrane-") + purpose + "-" + buf);
}

bool isUnder(const std::string& path, const std::string& folder) {
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
           (folder.back() == '/' || path[folder.size()] == '/');
}

std::vector<std::string> readNames(const std::string& path) {
    DIR* dir = ::opendir(path.c_str());
    if (!dir) fail(errno, path, false);
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
        errno = 0;
    }
    const int e = errno;
    ::closedir(dir);
    if (e) fail(e, path, false);
    return names;
}

// Best effort: what is left of a copy that could not finish, or the old item a swap put aside.
void removeQuietly(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

void writeAll(int fd, const uint8_t* bytes, size_t length, const std::string& path) {
    for (size_t done = 0; done < length;) {
        const ssize_t n = ::write(fd, bytes + done, length - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail(errno, path, true);
        }
        done += static_cast<size_t>(n);
    }
}

void copyFileBytes(const std::string& src, const std::string& dst, const struct stat& st) {
    const int in = ::open(src.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (in < 0) fail(errno, src, false);
    const int out = ::open(dst.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 07777);
    if (out < 0) {
        const int e = errno;
        ::close(in);
        fail(e, dst, true);
    }
    std::vector<uint8_t> buffer(1 << 16);
    int error = 0;
    bool writing = false;
    for (;;) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            error = errno;
            break;
        }
        if (n == 0) break;
        try {
            writeAll(out, buffer.data(), static_cast<size_t>(n), dst);
        } catch (...) {
            ::close(in);
            ::close(out);
            throw;
        }
    }
    if (!error) {
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        ::futimens(out, times);
    }
    ::close(in);
    if (::close(out) != 0 && !error) {
        error = errno;
        writing = true;
    }
    if (error) fail(error, writing ? dst : src, writing);
}

// Moves a finished item from `from` to `to`. Without `replacing` an item at `to` is never
// touched; with it the item there is swapped out and removed only once the new one is in place.
void place(const std::string& from, const std::string& to, bool replacing) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return;
    const int e = errno;
    if (e == EEXIST) {
        if (!replacing) fail(EEXIST, to, true);
        // A file never takes a folder's place: the folder and everything in it would go.
        struct stat incoming {};
        const bool fileIncoming = ::lstat(from.c_str(), &incoming) == 0 && !S_ISDIR(incoming.st_mode);
        struct stat present {};
        if (fileIncoming && ::lstat(to.c_str(), &present) == 0 && S_ISDIR(present.st_mode)) fail(EISDIR, to, true);
        if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_EXCHANGE) == 0) {
            struct stat swapped {};
            if (fileIncoming && ::lstat(from.c_str(), &swapped) == 0 && S_ISDIR(swapped.st_mode)) {
                // A folder came in meanwhile: it goes back untouched.
                ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_EXCHANGE);
                fail(EISDIR, to, true);
            }
            removeQuietly(from);
            return;
        }
        struct stat st {};
        if (::lstat(to.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) && ::rename(from.c_str(), to.c_str()) == 0) return;
        fail(errno, to, true);
    }
    if (e == EINVAL || e == ENOSYS) {
        // A file system without the no-replace flag.
        if (!replacing && FileManager::itemExists(to)) fail(EEXIST, to, true);
        if (::rename(from.c_str(), to.c_str()) == 0) return;
        fail(errno, to, true);
    }
    fail(e, to, true);
}

std::string envPath(const char* name) {
    const char* value = std::getenv(name);
    return value && value[0] == '/' ? std::string(value) : std::string();
}

std::string dataHome() {
    const std::string xdg = envPath("XDG_DATA_HOME");
    return xdg.empty() ? join(FileManager::homeDirectoryPath(), ".local/share") : xdg;
}

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

Date dateOf(const struct statx_timestamp& t) {
    return Date(static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9);
}

std::string filePathOf(const URL& url) {
    if (!url.isFileURL()) throwError(CocoaError::make(CocoaError::fileReadUnsupportedScheme, url.absoluteString()));
    return url.path();
}

} // namespace

// --- Life and delegate ----------------------------------------------------------------------------

std::shared_ptr<FileManager> FileManager::make() { return std::shared_ptr<FileManager>(new FileManager()); }

std::shared_ptr<FileManager> FileManager::defaultManager() {
    static const std::shared_ptr<FileManager> shared = make();
    return shared;
}

std::shared_ptr<FileManagerDelegate> FileManager::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

void FileManager::setDelegate(const std::shared_ptr<FileManagerDelegate>& delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = delegate;
}

// --- Listing ----------------------------------------------------------------------------------------

std::vector<URL> FileManager::contentsOfDirectory(const URL& url) const {
    const std::string path = filePathOf(url);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) fail(errno, path, false);
    if (!S_ISDIR(st.st_mode)) fail(ENOTDIR, path, false);
    const URL directory = url.absoluteURL();
    std::vector<URL> out;
    for (const auto& name : readNames(path)) out.push_back(directory.appendingPathComponent(name));
    return out;
}

std::vector<std::string> FileManager::contentsOfDirectory(const std::string& atPath) const {
    return readNames(atPath);
}

std::unique_ptr<FileManager::DirectoryEnumerator> FileManager::enumerator(
    const URL& url, EnumerationOptions options, std::function<bool(const URL&, const ErrorRef&)> errorHandler) const {
    if (!url.isFileURL()) return nullptr;
    std::unique_ptr<DirectoryEnumerator> e(new DirectoryEnumerator());
    e->options_ = options;
    e->errorHandler_ = std::move(errorHandler);
    try {
        e->stack_.push_back({url.absoluteURL(), readNames(url.path()), 0});
    } catch (const Exception&) {
        return nullptr;
    }
    return e;
}

bool FileManager::DirectoryEnumerator::enter(const URL& directory) {
    try {
        stack_.push_back({directory, readNames(directory.path()), 0});
        return true;
    } catch (const Exception& ex) {
        return !errorHandler_ || errorHandler_(directory, ex.error());
    }
}

std::optional<URL> FileManager::DirectoryEnumerator::nextObject() {
    if (pendingDirectory_) {
        const URL directory = *pendingDirectory_;
        pendingDirectory_.reset();
        if (!enter(directory)) ended_ = true;
    }
    while (!ended_ && !stack_.empty()) {
        Frame& top = stack_.back();
        if (top.next >= top.names.size()) {
            stack_.pop_back();
            continue;
        }
        const std::string name = top.names[top.next++];
        if (options_.skipsHiddenFiles && name[0] == '.') continue;
        struct stat st {};
        const std::string path = join(top.directory.path(), name);
        if (::lstat(path.c_str(), &st) != 0) {
            // Gone since the folder was read: nothing to report. Anything else is a failed item.
            if (errno == ENOENT) continue;
            const ErrorRef error = cocoaFileError(errno, path, false);
            const URL url = top.directory.appendingPathComponent(name, false);
            if (errorHandler_ && !errorHandler_(url, error)) ended_ = true;
            continue;
        }
        const bool directory = S_ISDIR(st.st_mode);
        URL url = top.directory.appendingPathComponent(name, directory);
        if (directory && !options_.skipsSubdirectoryDescendants) pendingDirectory_ = url;
        return url;
    }
    return std::nullopt;
}

void FileManager::DirectoryEnumerator::skipDescendants() { pendingDirectory_.reset(); }

// --- Changes ----------------------------------------------------------------------------------------

void FileManager::createDirectory(const URL& url, bool withIntermediateDirectories) const {
    const std::string path = filePathOf(url);
    if (withIntermediateDirectories) {
        std::error_code ec;
        std::filesystem::create_directories(path, ec);
        if (ec) fail(ec.value(), path, true);
        if (!std::filesystem::is_directory(path, ec)) fail(EEXIST, path, true);
        return;
    }
    if (::mkdir(path.c_str(), 0777) != 0) {
        const int e = errno;
        struct stat st {};
        if (e == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return;
        fail(e, path, true);
    }
}

void FileManager::copyTree(const std::string& src, const std::string& dst, const URL& srcURL, const URL& logicalDst,
                           bool top) {
    struct stat st {};
    if (::lstat(src.c_str(), &st) != 0) fail(errno, src, false);
    if (S_ISLNK(st.st_mode)) {
        std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1, '\0');
        const ssize_t n = ::readlink(src.c_str(), target.data(), target.size());
        if (n < 0) fail(errno, src, false);
        target.resize(static_cast<size_t>(n));
        if (::symlink(target.c_str(), dst.c_str()) != 0) fail(errno, dst, true);
        return;
    }
    if (S_ISREG(st.st_mode)) {
        copyFileBytes(src, dst, st);
        return;
    }
    if (!S_ISDIR(st.st_mode)) fail(ENOTSUP, src, false);

    if (::mkdir(dst.c_str(), (st.st_mode & 07777) | S_IRWXU) != 0) fail(errno, dst, true);
    (void)top;
    const auto delegate = this->delegate();
    for (const auto& name : readNames(src)) {
        const std::string childSrc = join(src, name);
        struct stat cst {};
        const bool childIsDir = ::lstat(childSrc.c_str(), &cst) == 0 && S_ISDIR(cst.st_mode);
        const URL childURL = srcURL.appendingPathComponent(name, childIsDir);
        const URL childDst = logicalDst.appendingPathComponent(name, childIsDir);
        if (delegate && !delegate->shouldCopyItemAtURL(*this, childURL, childDst)) continue;
        try {
            copyTree(childSrc, join(dst, name), childURL, childDst, false);
        } catch (const Exception& ex) {
            if (!(delegate && delegate->shouldProceedAfterErrorCopyingItemAtURL(*this, ex.error(), childURL, childDst)))
                throw;
        }
    }
    ::chmod(dst.c_str(), st.st_mode & 07777);
}

bool FileManager::copyItem(const URL& src, const URL& dst, bool replacing) {
    if (const auto d = delegate(); d && !d->shouldCopyItemAtURL(*this, src, dst)) return false;
    const std::string from = filePathOf(src);
    const std::string to = filePathOf(dst);
    struct stat st {};
    if (::lstat(from.c_str(), &st) != 0) fail(errno, from, false);
    if (!replacing && itemExists(to)) fail(EEXIST, to, true);
    if (S_ISDIR(st.st_mode) && (to == from || isUnder(to, from))) fail(EINVAL, to, true);

    const std::string temporary = siblingName(to, "copy");
    try {
        copyTree(from, temporary, src, dst, true);
        place(temporary, to, replacing);
    } catch (...) {
        removeQuietly(temporary);
        throw;
    }
    return true;
}

bool FileManager::moveItem(const URL& src, const URL& dst, bool replacing) {
    if (const auto d = delegate(); d && !d->shouldMoveItemAtURL(*this, src, dst)) return false;
    const std::string from = filePathOf(src);
    const std::string to = filePathOf(dst);
    struct stat st {};
    if (::lstat(from.c_str(), &st) != 0) fail(errno, from, false);
    if (from == to) return true;
    if (S_ISDIR(st.st_mode) && isUnder(to, from)) fail(EINVAL, to, true);
    if (!replacing && itemExists(to)) fail(EEXIST, to, true);

    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), replacing ? 0 : RENAME_NOREPLACE) == 0) return true;
    int e = errno;
    if (!replacing && (e == EINVAL || e == ENOSYS)) {
        if (itemExists(to)) fail(EEXIST, to, true);
        if (::rename(from.c_str(), to.c_str()) == 0) return true;
        e = errno;
    }
    if (replacing && itemExists(to) && (e == ENOTEMPTY || e == EEXIST || e == EISDIR || e == ENOTDIR)) {
        // The same swap as a finished copy's: never a file in a folder's place, and the old item
        // goes only once the moved one is in place.
        place(from, to, true);
        return true;
    }
    if (e == EXDEV) {
        const std::string temporary = siblingName(to, "move");
        try {
            copyTree(from, temporary, src, dst, true);
            place(temporary, to, replacing);
        } catch (...) {
            removeQuietly(temporary);
            throw;
        }
        std::error_code ec;
        std::filesystem::remove_all(from, ec);
        if (ec) fail(ec.value(), from, true);
        return true;
    }
    fail(e, e == ENOENT ? from : to, true);
}

void FileManager::removeTree(const std::string& path, const URL& url) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) fail(errno, path, true);
    if (S_ISDIR(st.st_mode)) {
        const auto delegate = this->delegate();
        for (const auto& name : readNames(path)) {
            const std::string child = join(path, name);
            struct stat cst {};
            const bool childIsDir = ::lstat(child.c_str(), &cst) == 0 && S_ISDIR(cst.st_mode);
            const URL childURL = url.appendingPathComponent(name, childIsDir);
            if (delegate && !delegate->shouldRemoveItemAtURL(*this, childURL)) continue;
            try {
                removeTree(child, childURL);
            } catch (const Exception& ex) {
                if (!(delegate && delegate->shouldProceedAfterErrorRemovingItemAtURL(*this, ex.error(), childURL)))
                    throw;
            }
        }
        if (::rmdir(path.c_str()) != 0) fail(errno, path, true);
        return;
    }
    if (::unlink(path.c_str()) != 0) fail(errno, path, true);
}

bool FileManager::removeItem(const URL& url) {
    if (const auto d = delegate(); d && !d->shouldRemoveItemAtURL(*this, url)) return false;
    removeTree(filePathOf(url), url);
    return true;
}

void FileManager::createSymbolicLink(const std::string& atPath, const std::string& withDestinationPath) const {
    if (::symlink(withDestinationPath.c_str(), atPath.c_str()) != 0) fail(errno, atPath, true);
}

void FileManager::createSymbolicLink(const URL& at, const URL& withDestinationURL) const {
    createSymbolicLink(filePathOf(at), withDestinationURL.isFileURL() ? withDestinationURL.path()
                                                                     : withDestinationURL.relativeString());
}

std::string FileManager::destinationOfSymbolicLink(const std::string& atPath) const {
    std::string target(PATH_MAX + 1, '\0');
    const ssize_t n = ::readlink(atPath.c_str(), target.data(), target.size());
    if (n < 0) fail(errno, atPath, false);
    target.resize(static_cast<size_t>(n));
    return target;
}

void FileManager::write(const Data& data, const URL& url, bool atomically, bool replacing) {
    const std::string path = filePathOf(url);
    if (!atomically) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | (replacing ? 0 : O_EXCL), 0666);
        if (fd < 0) fail(errno, path, true);
        try {
            writeAll(fd, data.data(), data.size(), path);
        } catch (...) {
            ::close(fd);
            throw;
        }
        if (::close(fd) != 0) fail(errno, path, true);
        return;
    }
    PlacementFile file(path);
    // A file that is replaced keeps its permissions; a new one takes the umask's.
    struct stat old {};
    if (::stat(path.c_str(), &old) == 0 && ::fchmod(file.fd(), old.st_mode & 07777) != 0) fail(errno, path, true);
    file.write(data.data(), data.size());
    file.place(replacing);
}

// --- Questions --------------------------------------------------------------------------------------

bool FileManager::itemExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool FileManager::checkResourceIsReachable(const URL& url) {
    const std::string path = filePathOf(url);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) fail(errno, path, false);
    return true;
}

bool FileManager::checkPromisedItemIsReachable(const URL& url) { return checkResourceIsReachable(url); }

ValueDictionary FileManager::resourceValues(const URL& url, const std::vector<std::string>& keys) {
    const std::string path = filePathOf(url);
    struct statx stx {};
    if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &stx) != 0)
        fail(errno, path, false);
    const mode_t mode = stx.stx_mode;
    const bool regular = S_ISREG(mode);
    const std::string name = lastComponent(path);

    using K = URLResourceKey;
    ValueDictionary out;
    for (const auto& key : keys) {
        if (key == K::nameKey) {
            out[key] = name;
        } else if (key == K::pathKey) {
            out[key] = path;
        } else if (key == K::fileSizeKey || key == K::totalFileSizeKey) {
            if (regular) out[key] = static_cast<int64_t>(stx.stx_size);
        } else if (key == K::fileAllocatedSizeKey || key == "NSURLTotalFileAllocatedSizeKey") {
            if (regular) out[key] = static_cast<int64_t>(stx.stx_blocks) * 512;
        } else if (key == K::creationDateKey) {
            if (stx.stx_mask & STATX_BTIME) out[key] = dateOf(stx.stx_btime);
        } else if (key == K::contentModificationDateKey) {
            out[key] = dateOf(stx.stx_mtime);
        } else if (key == K::contentAccessDateKey) {
            out[key] = dateOf(stx.stx_atime);
        } else if (key == K::fileResourceTypeKey) {
            out[key] = rawValue(typeOf(mode));
        } else if (key == K::isDirectoryKey) {
            out[key] = S_ISDIR(mode);
        } else if (key == K::isRegularFileKey) {
            out[key] = regular;
        } else if (key == K::isSymbolicLinkKey) {
            out[key] = S_ISLNK(mode);
        } else if (key == K::isHiddenKey) {
            out[key] = !name.empty() && name[0] == '.';
        } else if (key == K::isReadableKey) {
            out[key] = ::faccessat(AT_FDCWD, path.c_str(), R_OK, AT_EACCESS) == 0;
        } else if (key == K::isWritableKey) {
            out[key] = ::faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0;
        } else if (key == K::isExecutableKey) {
            out[key] = ::faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) == 0;
        } else if (key == "NSURLGenerationIdentifierKey") {
            // Changes whenever the content may have: modification time and size.
            if (regular) {
                Data id;
                const uint64_t parts[2] = {
                    static_cast<uint64_t>(stx.stx_mtime.tv_sec) * 1000000000ULL + stx.stx_mtime.tv_nsec,
                    static_cast<uint64_t>(stx.stx_size)};
                for (uint64_t part : parts)
                    for (int shift = 56; shift >= 0; shift -= 8) id.push_back(static_cast<uint8_t>(part >> shift));
                out[key] = std::move(id);
            }
        } else if (key == "NSURLDocumentIdentifierKey") {
            // The inode survives renames within the file system, as a document identifier must.
            if (regular) out[key] = static_cast<int64_t>(stx.stx_ino);
        }
    }
    return out;
}

ValueDictionary FileManager::volumeResourceValues(const URL& url, const std::vector<std::string>& keys) {
    const std::string path = filePathOf(url);
    struct statvfs vfs {};
    if (::statvfs(path.c_str(), &vfs) != 0) fail(errno, path, false);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) fail(errno, path, false);

    // The mount point: the highest folder above the item on the same device.
    std::error_code ec;
    std::string mount = std::filesystem::canonical(path, ec).string();
    if (ec) mount = path;
    while (mount != "/") {
        const std::string parent = parentOf(mount);
        struct stat pst {};
        if (::stat(parent.c_str(), &pst) != 0 || pst.st_dev != st.st_dev) break;
        mount = parent;
    }

    using K = URLResourceKey;
    ValueDictionary out;
    for (const auto& key : keys) {
        if (key == K::volumeTotalCapacityKey) {
            out[key] = static_cast<int64_t>(vfs.f_blocks) * static_cast<int64_t>(vfs.f_frsize);
        } else if (key == K::volumeAvailableCapacityKey) {
            out[key] = static_cast<int64_t>(vfs.f_bavail) * static_cast<int64_t>(vfs.f_frsize);
        } else if (key == K::volumeURLKey) {
            out[key] = URL::fileURLWithPath(mount, true);
        } else if (key == K::volumeNameKey) {
            if (mount != "/") out[key] = lastComponent(mount);
        } else if (key == K::volumeIsReadOnlyKey) {
            out[key] = (vfs.f_flag & ST_RDONLY) != 0;
        }
    }
    return out;
}

std::string FileManager::homeDirectoryPath() {
    if (const std::string home = envPath("HOME"); !home.empty()) return home;
    struct passwd pw {};
    struct passwd* result = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(::getuid(), &pw, buffer.data(), buffer.size(), &result) == 0 && result && result->pw_dir)
        return result->pw_dir;
    return "/";
}

std::vector<URL> FileManager::urls(SearchPathDirectory directory, SearchPathDomainMask domainMask) {
    if (domainMask != SearchPathDomainMask::userDomainMask) return {};
    std::string path;
    switch (directory) {
    case SearchPathDirectory::documents: path = join(homeDirectoryPath(), "Documents"); break;
    case SearchPathDirectory::caches:
        path = envPath("XDG_CACHE_HOME");
        if (path.empty()) path = join(homeDirectoryPath(), ".cache");
        break;
    case SearchPathDirectory::library:
    case SearchPathDirectory::applicationSupport: path = dataHome(); break;
    default: return {};
    }
    return {URL::fileURLWithPath(path, true)};
}

std::optional<URL> FileManager::containerURL(const std::string& identifier) {
    if (identifier.empty() || identifier == "." || identifier == ".." ||
        identifier.find_first_of(std::string("/\0", 2)) != std::string::npos)
        return std::nullopt;
    return URL::fileURLWithPath(join(dataHome(), identifier), true);
}

} // namespace platform
