// Stub — full implementation follows.
#include "platform/URL.hpp"
namespace platform {
std::optional<URL> URL::parse(std::string_view) { return std::nullopt; }
std::optional<URL> URL::parse(std::string_view, const URL&) { return std::nullopt; }
std::optional<URL> URL::parse(std::string_view s, const std::optional<URL>& b) { return b ? parse(s, *b) : parse(s); }
URL URL::fileURLWithPath(std::string_view) { return URL(); }
URL URL::fileURLWithPath(std::string_view, bool) { return URL(); }
std::string URL::description() const { return absolute_; }
std::optional<URL> URL::baseURL() const { return base_ ? std::optional<URL>(*base_) : std::nullopt; }
URL URL::absoluteURL() const { return *this; }
std::optional<std::string> URL::scheme() const { return abs_.scheme; }
std::optional<std::string> URL::user() const { return abs_.user; }
std::optional<std::string> URL::password() const { return abs_.password; }
std::optional<std::string> URL::host() const { return std::nullopt; }
std::optional<int> URL::port() const { return std::nullopt; }
std::string URL::path() const { return abs_.path; }
std::string URL::percentEncodedPath() const { return abs_.path; }
std::optional<std::string> URL::query() const { return abs_.query; }
std::optional<std::string> URL::fragment() const { return abs_.fragment; }
std::optional<std::string> URL::percentEncodedAuthority() const { return std::nullopt; }
std::optional<std::string> URL::percentEncodedHost() const { return std::nullopt; }
std::optional<std::string> URL::percentEncodedUser() const { return std::nullopt; }
std::optional<std::string> URL::percentEncodedPassword() const { return std::nullopt; }
std::string URL::relativePath() const { return rel_.path; }
std::string URL::percentEncodedRelativePath() const { return rel_.path; }
bool URL::isFileURL() const { return false; }
bool URL::hasDirectoryPath() const { return false; }
std::string URL::lastPathComponent() const { return {}; }
std::string URL::pathExtension() const { return {}; }
std::vector<std::string> URL::pathComponents() const { return {}; }
URL URL::appendingPathComponent(std::string_view, bool) const { return *this; }
URL URL::appendingPathComponent(std::string_view) const { return *this; }
URL URL::deletingLastPathComponent() const { return *this; }
URL URL::appendingPathExtension(std::string_view) const { return *this; }
URL URL::deletingPathExtension() const { return *this; }
URL URL::standardized() const { return *this; }
URL URL::standardizedFileURL() const { return *this; }
bool URL::operator==(const URL& o) const { return relative_ == o.relative_; }
bool URL::operator<(const URL& o) const { return absolute_ < o.absolute_; }
std::string URL::removeDotSegments(std::string_view p) { return std::string(p); }
std::optional<std::string> URL::resolve(std::string_view, std::string_view) { return std::nullopt; }
std::string URL::Parts::authority() const { return host; }
std::string URL::Parts::toString() const { return path; }
std::optional<URL::Parts> URL::split(std::string_view) { return std::nullopt; }
std::optional<URL> URL::make(std::string_view, std::shared_ptr<const URL>) { return std::nullopt; }
URL URL::withRelativeParts(const Parts&) const { return *this; }

std::optional<URLComponents> URLComponents::parse(std::string_view) { return std::nullopt; }
URLComponents URLComponents::fromURL(const URL&, bool) { return {}; }
std::optional<std::string> URLComponents::user() const { return percentEncodedUser; }
std::optional<std::string> URLComponents::password() const { return percentEncodedPassword; }
std::optional<std::string> URLComponents::host() const { return percentEncodedHost; }
std::string URLComponents::path() const { return percentEncodedPath; }
std::optional<std::string> URLComponents::query() const { return percentEncodedQuery; }
std::optional<std::string> URLComponents::fragment() const { return percentEncodedFragment; }
void URLComponents::setUser(const std::optional<std::string>& v) { percentEncodedUser = v; }
void URLComponents::setPassword(const std::optional<std::string>& v) { percentEncodedPassword = v; }
void URLComponents::setHost(const std::optional<std::string>& v) { percentEncodedHost = v; }
void URLComponents::setPath(std::string_view v) { percentEncodedPath = std::string(v); }
void URLComponents::setQuery(const std::optional<std::string>& v) { percentEncodedQuery = v; }
void URLComponents::setFragment(const std::optional<std::string>& v) { percentEncodedFragment = v; }
std::optional<std::vector<URLQueryItem>> URLComponents::queryItems() const { return std::nullopt; }
void URLComponents::setQueryItems(const std::optional<std::vector<URLQueryItem>>&) {}
std::optional<std::string> URLComponents::string() const { return std::nullopt; }
std::optional<URL> URLComponents::url() const { return std::nullopt; }
std::optional<URL> URLComponents::url(const URL&) const { return std::nullopt; }
} // namespace platform
