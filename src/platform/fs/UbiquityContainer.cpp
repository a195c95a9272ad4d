#include "platform/fs/UbiquityContainer.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <mutex>

namespace platform {

namespace {

std::mutex settingsMutex;
std::optional<URL> hostRoot;
std::optional<std::string> hostDefaultIdentifier;

bool isPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

std::string defaultRootPath() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    std::string dataHome;
    if (xdg && xdg[0] == '/') {
        dataHome = xdg;
    } else {
        const char* home = std::getenv("HOME");
        dataHome = std::string(home && home[0] ? home : "/") + "/.local/share";
    }
    return dataHome + "/ostrane/ubiquity";
}

bool isDirectory(const std::string& path, struct stat* st) {
    return ::stat(path.c_str(), st) == 0 && S_ISDIR(st->st_mode);
}

} // namespace

URL UbiquityContainer::rootURL() {
    {
        std::lock_guard lock(settingsMutex);
        if (hostRoot) return URL::fileURLWithPath(hostRoot->path(), true);
    }
    return URL::fileURLWithPath(defaultRootPath(), true);
}

void UbiquityContainer::setRootURL(const std::optional<URL>& url) {
    std::lock_guard lock(settingsMutex);
    hostRoot = url;
}

std::optional<std::string> UbiquityContainer::defaultIdentifier() {
    std::lock_guard lock(settingsMutex);
    return hostDefaultIdentifier;
}

void UbiquityContainer::setDefaultIdentifier(const std::optional<std::string>& identifier) {
    std::lock_guard lock(settingsMutex);
    hostDefaultIdentifier = identifier;
}

std::optional<std::string> UbiquityContainer::identityToken() {
    struct stat st {};
    if (!isDirectory(rootURL().path(), &st)) return std::nullopt;
    return std::to_string(static_cast<unsigned long long>(st.st_dev)) + ":" +
           std::to_string(static_cast<unsigned long long>(st.st_ino));
}

std::optional<URL> UbiquityContainer::containerURL(const std::optional<std::string>& identifier) {
    if (!identityToken()) return std::nullopt;
    const auto id = identifier ? identifier : defaultIdentifier();
    if (!id || !isPlainName(*id)) return std::nullopt;
    const std::string path = rootURL().path() + "/" + *id;
    struct stat st {};
    if (!isDirectory(path, &st) && ::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return std::nullopt;
    if (!isDirectory(path, &st)) return std::nullopt;
    return URL::fileURLWithPath(path, true);
}

std::vector<URL> UbiquityContainer::containerURLs() {
    std::vector<std::string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(rootURL().path(), ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code typeError;
        if (it->is_directory(typeError)) names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    std::vector<URL> urls;
    const std::string root = rootURL().path();
    for (const auto& name : names) urls.push_back(URL::fileURLWithPath(root + "/" + name, true));
    return urls;
}

} // namespace platform
