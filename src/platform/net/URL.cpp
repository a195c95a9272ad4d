#include "platform/net/URL.hpp"

#include <filesystem>
#include <system_error>

namespace platform {

namespace {

bool isAlpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHex(char c) { return isDigit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }
bool isUnreserved(char c) { return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~'; }
bool isSubDelim(char c) {
    switch (c) {
    case '!': case '$': case '&': case '\'': case '(': case ')': case '*': case '+': case ',': case ';': case '=': return true;
    default: return false;
    }
}
bool isGenDelim(char c) {
    switch (c) {
    case ':': case '/': case '?': case '#': case '[': case ']': case '@': return true;
    default: return false;
    }
}

// Every character is one a URL may hold and every "%" starts a valid escape.
bool validURLText(std::string_view s) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c == '%') {
            if (i + 2 >= s.size() || !isHex(s[i + 1]) || !isHex(s[i + 2])) return false;
            i += 2;
        } else if (!(isUnreserved(c) || isSubDelim(c) || isGenDelim(c))) {
            return false;
        }
    }
    return true;
}

bool validScheme(std::string_view s) {
    if (s.empty() || !isAlpha(s[0])) return false;
    for (char c : s)
        if (!(isAlpha(c) || isDigit(c) || c == '+' || c == '-' || c == '.')) return false;
    return true;
}

bool hasBracket(std::string_view s) { return s.find_first_of("[]") != std::string_view::npos; }

// Byte-wise percent-encoding with an ASCII set (all URL sets are ASCII only, so this equals the
// scalar-wise encoding for UTF-8 and never fails).
std::string encodeBytes(std::string_view s, const CharacterSet& allowed) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(s.size());
    for (char ch : s) {
        auto b = static_cast<uint8_t>(ch);
        if (b < 128 && allowed.contains(b)) {
            out += ch;
        } else {
            out += '%';
            out += hex[b >> 4];
            out += hex[b & 15];
        }
    }
    return out;
}

std::string decodeOrKeep(const std::string& s) {
    auto d = removingPercentEncoding(s);
    return d ? *d : s;
}

// Decoded path with a final "/" dropped unless the path is "/".
std::string displayPath(const std::string& encoded) {
    std::string p = encoded;
    if (p.size() > 1 && p.back() == '/') p.pop_back();
    return decodeOrKeep(p);
}

bool endsWithSlash(const std::string& s) { return !s.empty() && s.back() == '/'; }

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Every "%XX" to its byte, with no check of what the bytes spell: a file name is bytes. A malformed
// escape (which parsing refuses) stays as written.
std::string decodeBytes(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        const int hi = s[i] == '%' && i + 2 < s.size() ? hexValue(s[i + 1]) : -1;
        const int lo = hi >= 0 ? hexValue(s[i + 2]) : -1;
        if (lo < 0) {
            out += s[i];
            continue;
        }
        out += static_cast<char>(hi << 4 | lo);
        i += 2;
    }
    return out;
}

} // namespace

// ---- Parts ------------------------------------------------------------------------------------

std::string URL::Parts::authority() const {
    std::string a;
    if (user || password) {
        a += user.value_or("");
        if (password) a += ":" + *password;
        a += "@";
    }
    a += host;
    if (port) a += ":" + *port;
    return a;
}

std::string URL::Parts::toString() const {
    std::string s;
    if (scheme) s += *scheme + ":";
    if (hasAuthority) s += "//" + authority();
    s += path;
    if (query) s += "?" + *query;
    if (fragment) s += "#" + *fragment;
    return s;
}

std::optional<URL::Parts> URL::split(std::string_view text) {
    if (!validURLText(text)) return std::nullopt;
    Parts p;
    std::string_view rest = text;
    if (auto h = rest.find('#'); h != std::string_view::npos) {
        std::string_view frag = rest.substr(h + 1);
        if (frag.find('#') != std::string_view::npos) return std::nullopt;
        p.fragment = std::string(frag);
        rest = rest.substr(0, h);
    }
    if (auto q = rest.find('?'); q != std::string_view::npos) {
        p.query = std::string(rest.substr(q + 1));
        rest = rest.substr(0, q);
    }
    if (auto c = rest.find(':'); c != std::string_view::npos) {
        std::string_view prefix = rest.substr(0, c);
        if (prefix.find('/') == std::string_view::npos && validScheme(prefix)) {
            p.scheme = std::string(prefix);
            rest = rest.substr(c + 1);
        }
    }
    if (rest.size() >= 2 && rest[0] == '/' && rest[1] == '/') {
        p.hasAuthority = true;
        rest = rest.substr(2);
        std::size_t end = rest.find('/');
        std::string_view auth = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
        if (auto at = auth.rfind('@'); at != std::string_view::npos) {
            std::string_view userinfo = auth.substr(0, at);
            if (userinfo.find('@') != std::string_view::npos || hasBracket(userinfo)) return std::nullopt;
            auth = auth.substr(at + 1);
            if (auto colon = userinfo.find(':'); colon != std::string_view::npos) {
                p.user = std::string(userinfo.substr(0, colon));
                p.password = std::string(userinfo.substr(colon + 1));
            } else {
                p.user = std::string(userinfo);
            }
        }
        std::string_view portText;
        bool hasPort = false;
        if (!auth.empty() && auth[0] == '[') {
            auto close = auth.find(']');
            if (close == std::string_view::npos) return std::nullopt;
            std::string_view literal = auth.substr(1, close - 1);
            if (literal.empty()) return std::nullopt;
            if (literal[0] == 'v' || literal[0] == 'V') {
                // IPvFuture: "v" 1*HEXDIG "." 1*( unreserved / sub-delims / ":" )
                auto dot = literal.find('.');
                if (dot == std::string_view::npos || dot < 2 || dot + 1 >= literal.size()) return std::nullopt;
                for (std::size_t i = 1; i < dot; ++i)
                    if (!isHex(literal[i])) return std::nullopt;
                for (std::size_t i = dot + 1; i < literal.size(); ++i)
                    if (!(isUnreserved(literal[i]) || isSubDelim(literal[i]) || literal[i] == ':')) return std::nullopt;
            } else {
                if (literal.find(':') == std::string_view::npos) return std::nullopt;
                for (char c : literal)
                    if (!(isHex(c) || c == ':' || c == '.')) return std::nullopt;
            }
            p.host = std::string(auth.substr(0, close + 1));
            std::string_view after = auth.substr(close + 1);
            if (!after.empty()) {
                if (after[0] != ':') return std::nullopt;
                hasPort = true;
                portText = after.substr(1);
            }
        } else {
            auto colon = auth.find(':');
            std::string_view host = auth.substr(0, colon);
            if (hasBracket(host)) return std::nullopt;
            p.host = std::string(host);
            if (colon != std::string_view::npos) {
                hasPort = true;
                portText = auth.substr(colon + 1);
            }
        }
        if (hasPort) {
            for (char c : portText)
                if (!isDigit(c)) return std::nullopt;
            if (portText.size() > 9) return std::nullopt;
            p.port = std::string(portText);
        }
    }
    if (hasBracket(rest)) return std::nullopt;
    p.path = std::string(rest);
    return p;
}

std::string URL::removeDotSegments(std::string_view path) {
    std::string in(path);
    std::string out;
    std::size_t i = 0;  // read position in `in`
    auto startsAt = [&](std::string_view s) { return in.compare(i, s.size(), s) == 0; };
    auto dropLastSegment = [&] {
        auto pos = out.rfind('/');
        out.erase(pos == std::string::npos ? 0 : pos);
    };
    while (i < in.size()) {
        if (startsAt("../")) { i += 3; }
        else if (startsAt("./")) { i += 2; }
        else if (startsAt("/./")) { i += 2; }
        else if (in.size() - i == 2 && startsAt("/.")) { in.replace(i, 2, "/"); }
        else if (startsAt("/../")) { i += 3; dropLastSegment(); }
        else if (in.size() - i == 3 && startsAt("/..")) { in.replace(i, 3, "/"); dropLastSegment(); }
        else if ((in.size() - i == 1 && startsAt(".")) || (in.size() - i == 2 && startsAt(".."))) { i = in.size(); }
        else {
            std::size_t next = in.find('/', i + (in[i] == '/' ? 1 : 0));
            if (next == std::string::npos) next = in.size();
            out.append(in, i, next - i);
            i = next;
        }
    }
    return out;
}

namespace {
URL::Parts resolveParts(const URL::Parts& b, const URL::Parts& r) {
    URL::Parts t;
    if (r.scheme) {
        t = r;
        t.path = URL::removeDotSegments(r.path);
        return t;
    }
    if (r.hasAuthority) {
        t = r;
        t.path = URL::removeDotSegments(r.path);
    } else {
        t.hasAuthority = b.hasAuthority;
        t.user = b.user;
        t.password = b.password;
        t.host = b.host;
        t.port = b.port;
        if (r.path.empty()) {
            t.path = b.path;
            t.query = r.query ? r.query : b.query;
        } else {
            if (r.path[0] == '/') {
                t.path = URL::removeDotSegments(r.path);
            } else {
                std::string merged;
                if (b.hasAuthority && b.path.empty()) {
                    merged = "/" + r.path;
                } else {
                    auto slash = b.path.rfind('/');
                    merged = (slash == std::string::npos ? std::string() : b.path.substr(0, slash + 1)) + r.path;
                }
                t.path = URL::removeDotSegments(merged);
            }
            t.query = r.query;
        }
    }
    t.scheme = b.scheme;
    t.fragment = r.fragment;
    return t;
}
} // namespace

std::optional<std::string> URL::resolve(std::string_view base, std::string_view reference) {
    auto b = split(base);
    auto r = split(reference);
    if (!b || !r) return std::nullopt;
    return resolveParts(*b, *r).toString();
}

// ---- URL ----------------------------------------------------------------------------------------

std::optional<URL> URL::make(std::string_view relative, std::shared_ptr<const URL> base) {
    auto parts = split(relative);
    if (!parts) return std::nullopt;
    if (parts->scheme) base = nullptr;
    if (!base && relative.empty()) return std::nullopt;
    URL u;
    u.relative_ = std::string(relative);
    u.rel_ = *parts;
    if (base) {
        u.abs_ = resolveParts(base->abs_, *parts);
        u.absolute_ = u.abs_.toString();
        u.base_ = std::move(base);
    } else {
        u.abs_ = *parts;
        u.absolute_ = u.relative_;
    }
    return u;
}

std::optional<URL> URL::parse(std::string_view string) { return make(string, nullptr); }

std::optional<URL> URL::parse(std::string_view string, const URL& base) {
    return make(string, std::make_shared<const URL>(base));
}

std::optional<URL> URL::parse(std::string_view string, const std::optional<URL>& base) {
    return base ? parse(string, *base) : parse(string);
}

URL URL::fileURLWithPath(std::string_view path, bool isDirectory) {
    std::string p(path);
    if (p.empty() || p[0] != '/') {
        std::error_code ec;
        std::string cwd = std::filesystem::current_path(ec).string();
        if (ec || cwd.empty()) cwd = "/";
        if (!endsWithSlash(cwd)) cwd += '/';
        p = cwd + p;
        if (path.empty()) isDirectory = true;
    }
    if (isDirectory && !endsWithSlash(p)) p += '/';
    auto u = make("file://" + encodeBytes(p, CharacterSet::urlPathAllowed()), nullptr);
    return u ? *u : *make("file:///", nullptr);
}

URL URL::fileURLWithPath(std::string_view path) {
    bool dir = !path.empty() && path.back() == '/';
    if (!dir && !path.empty()) {
        std::error_code ec;
        dir = std::filesystem::is_directory(std::filesystem::path(std::string(path)), ec);
    }
    return fileURLWithPath(path, dir);
}

std::string URL::description() const { return base_ ? relative_ + " -- " + base_->description() : absolute_; }

std::optional<URL> URL::baseURL() const { return base_ ? std::optional<URL>(*base_) : std::nullopt; }

URL URL::absoluteURL() const {
    if (!base_) return *this;
    auto u = make(absolute_, nullptr);
    return u ? *u : *this;
}

std::optional<std::string> URL::scheme() const { return abs_.scheme; }

std::optional<std::string> URL::user() const {
    if (!abs_.user) return std::nullopt;
    return decodeOrKeep(*abs_.user);
}

std::optional<std::string> URL::password() const {
    if (!abs_.password) return std::nullopt;
    return decodeOrKeep(*abs_.password);
}

std::optional<std::string> URL::host() const {
    if (!abs_.hasAuthority || abs_.host.empty()) return std::nullopt;
    std::string h = abs_.host;
    if (h.size() >= 2 && h.front() == '[' && h.back() == ']') return h.substr(1, h.size() - 2);
    return decodeOrKeep(h);
}

std::optional<int> URL::port() const {
    if (!abs_.port || abs_.port->empty()) return std::nullopt;
    return std::stoi(*abs_.port);
}

std::string URL::path() const { return displayPath(abs_.path); }
std::string URL::pathBytes() const {
    std::string_view p = abs_.path;
    if (p.size() > 1 && p.back() == '/') p.remove_suffix(1);
    return decodeBytes(p);
}
std::string URL::percentEncodedPath() const { return abs_.path; }
std::optional<std::string> URL::query() const { return abs_.query; }
std::optional<std::string> URL::fragment() const { return abs_.fragment; }

std::optional<std::string> URL::percentEncodedAuthority() const {
    if (!abs_.hasAuthority) return std::nullopt;
    return abs_.authority();
}
std::optional<std::string> URL::percentEncodedHost() const {
    if (!abs_.hasAuthority) return std::nullopt;
    return abs_.host;
}
std::optional<std::string> URL::percentEncodedUser() const { return abs_.user; }
std::optional<std::string> URL::percentEncodedPassword() const { return abs_.password; }

std::string URL::relativePath() const { return displayPath(rel_.path); }
std::string URL::percentEncodedRelativePath() const { return rel_.path; }

bool URL::isFileURL() const {
    if (!abs_.scheme || abs_.scheme->size() != 4) return false;
    const std::string& s = *abs_.scheme;
    return (s[0] | 0x20) == 'f' && (s[1] | 0x20) == 'i' && (s[2] | 0x20) == 'l' && (s[3] | 0x20) == 'e';
}

bool URL::hasDirectoryPath() const { return endsWithSlash(abs_.path); }

std::string URL::lastPathComponent() const {
    std::string p = path();
    if (p.empty() || p == "/") return p;
    auto slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string URL::pathExtension() const {
    std::string last = lastPathComponent();
    auto dot = last.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == last.size() || last == "/") return {};
    return last.substr(dot + 1);
}

std::vector<std::string> URL::pathComponents() const {
    std::vector<std::string> out;
    std::string p = abs_.path;
    if (!p.empty() && p[0] == '/') out.push_back("/");
    std::size_t i = 0;
    while (i < p.size()) {
        auto next = p.find('/', i);
        if (next == std::string::npos) next = p.size();
        if (next > i) out.push_back(decodeOrKeep(p.substr(i, next - i)));
        i = next + 1;
    }
    return out;
}

URL URL::withRelativeParts(const Parts& p) const {
    auto u = make(p.toString(), base_);
    return u ? *u : *this;
}

URL URL::appendingPathComponent(std::string_view name, bool isDirectory) const {
    Parts p = rel_;
    std::string enc = encodeBytes(name, CharacterSet::urlPathAllowed());
    bool firstSegment = p.path.empty() && !p.hasAuthority;
    if (firstSegment && !p.scheme) {
        // A ":" in the first segment of a scheme-less reference would read as a scheme.
        std::string e;
        for (char c : enc) e += c == ':' ? std::string("%3A") : std::string(1, c);
        enc = e;
    }
    if (p.path.empty()) {
        if (p.hasAuthority) p.path = "/";
    } else if (!endsWithSlash(p.path)) {
        p.path += '/';
    }
    p.path += enc;
    if (isDirectory && !endsWithSlash(p.path)) p.path += '/';
    // A path that begins with "//" without an authority would read as one.
    if (!p.hasAuthority && p.path.size() >= 2 && p.path[0] == '/' && p.path[1] == '/') p.path = "/." + p.path;
    return withRelativeParts(p);
}

URL URL::appendingPathComponent(std::string_view name) const {
    URL u = appendingPathComponent(name, false);
    if (u.isFileURL() && !u.hasDirectoryPath()) {
        std::error_code ec;
        if (std::filesystem::is_directory(std::filesystem::path(u.path()), ec)) return appendingPathComponent(name, true);
    }
    return u;
}

URL URL::deletingLastPathComponent() const {
    Parts p = rel_;
    std::string& P = p.path;
    if (P.empty()) {
        P = p.hasAuthority ? "/" : "../";
    } else if (P == "/") {
        // the root stays the root
    } else {
        std::string core = endsWithSlash(P) ? P.substr(0, P.size() - 1) : P;
        auto slash = core.rfind('/');
        std::string last = slash == std::string::npos ? core : core.substr(slash + 1);
        if (last == ".." || last == ".") {
            P = core + "/../";
        } else if (slash == std::string::npos) {
            P = "./";
        } else {
            P = core.substr(0, slash + 1);
        }
    }
    return withRelativeParts(p);
}

URL URL::appendingPathExtension(std::string_view ext) const {
    Parts p = rel_;
    if (p.path.empty() || p.path == "/" || ext.empty()) return *this;
    bool slash = endsWithSlash(p.path);
    std::string core = slash ? p.path.substr(0, p.path.size() - 1) : p.path;
    core += "." + encodeBytes(ext, CharacterSet::urlPathAllowed().removing("/"));
    p.path = core + (slash ? "/" : "");
    return withRelativeParts(p);
}

URL URL::deletingPathExtension() const {
    Parts p = rel_;
    if (p.path.empty() || p.path == "/") return *this;
    bool slash = endsWithSlash(p.path);
    std::string core = slash ? p.path.substr(0, p.path.size() - 1) : p.path;
    auto segStart = core.rfind('/');
    segStart = segStart == std::string::npos ? 0 : segStart + 1;
    auto dot = core.rfind('.');
    if (dot == std::string::npos || dot <= segStart || dot + 1 == core.size()) return *this;
    p.path = core.substr(0, dot) + (slash ? "/" : "");
    return withRelativeParts(p);
}

URL URL::standardized() const {
    URL a = absoluteURL();
    Parts p = a.rel_;
    std::string s = removeDotSegments(p.path);
    if (s == p.path) return a;
    p.path = s;
    if (!p.hasAuthority && p.path.size() >= 2 && p.path[0] == '/' && p.path[1] == '/') p.path = "/." + p.path;
    auto u = make(p.toString(), nullptr);
    return u ? *u : a;
}

URL URL::standardizedFileURL() const { return isFileURL() ? standardized() : *this; }

bool URL::operator==(const URL& o) const {
    if (relative_ != o.relative_) return false;
    if (!base_ || !o.base_) return !base_ && !o.base_;
    return *base_ == *o.base_;
}

bool URL::operator<(const URL& o) const {
    if (absolute_ != o.absolute_) return absolute_ < o.absolute_;
    return relative_ < o.relative_;
}

// ---- URLComponents ------------------------------------------------------------------------------

namespace {
URLComponents fromParts(const URL::Parts& p, bool& ok) {
    URLComponents c;
    ok = true;
    c.scheme = p.scheme;
    c.percentEncodedUser = p.user;
    c.percentEncodedPassword = p.password;
    if (p.hasAuthority) c.percentEncodedHost = p.host;
    if (p.port && !p.port->empty()) c.port = std::stoi(*p.port);
    c.percentEncodedPath = p.path;
    c.percentEncodedQuery = p.query;
    c.percentEncodedFragment = p.fragment;
    return c;
}
std::optional<std::string> decodeOpt(const std::optional<std::string>& s) {
    if (!s) return std::nullopt;
    return decodeOrKeep(*s);
}
} // namespace

std::optional<URLComponents> URLComponents::parse(std::string_view string) {
    auto p = URL::split(string);
    if (!p) return std::nullopt;
    bool ok;
    auto c = fromParts(*p, ok);
    if (!ok) return std::nullopt;
    return c;
}

URLComponents URLComponents::fromURL(const URL& url, bool resolvingAgainstBaseURL) {
    auto p = URL::split(resolvingAgainstBaseURL ? url.absoluteString() : url.relativeString());
    bool ok;
    return p ? fromParts(*p, ok) : URLComponents();
}

std::optional<std::string> URLComponents::user() const { return decodeOpt(percentEncodedUser); }
std::optional<std::string> URLComponents::password() const { return decodeOpt(percentEncodedPassword); }
std::optional<std::string> URLComponents::host() const { return decodeOpt(percentEncodedHost); }
std::string URLComponents::path() const { return decodeOrKeep(percentEncodedPath); }
std::optional<std::string> URLComponents::query() const { return decodeOpt(percentEncodedQuery); }
std::optional<std::string> URLComponents::fragment() const { return decodeOpt(percentEncodedFragment); }

namespace {
std::optional<std::string> encodeOpt(const std::optional<std::string>& v, const CharacterSet& set) {
    if (!v) return std::nullopt;
    return encodeBytes(*v, set);
}
} // namespace

void URLComponents::setUser(const std::optional<std::string>& v) { percentEncodedUser = encodeOpt(v, CharacterSet::urlUserAllowed()); }
void URLComponents::setPassword(const std::optional<std::string>& v) {
    percentEncodedPassword = encodeOpt(v, CharacterSet::urlPasswordAllowed());
}
void URLComponents::setHost(const std::optional<std::string>& v) {
    if (v && v->find(':') != std::string::npos && v->front() != '[') {
        percentEncodedHost = "[" + *v + "]";  // an IPv6 literal
        return;
    }
    percentEncodedHost = encodeOpt(v, CharacterSet::urlHostAllowed());
}
void URLComponents::setPath(std::string_view v) { percentEncodedPath = encodeBytes(v, CharacterSet::urlPathAllowed()); }
void URLComponents::setQuery(const std::optional<std::string>& v) { percentEncodedQuery = encodeOpt(v, CharacterSet::urlQueryAllowed()); }
void URLComponents::setFragment(const std::optional<std::string>& v) {
    percentEncodedFragment = encodeOpt(v, CharacterSet::urlFragmentAllowed());
}

std::optional<std::vector<URLQueryItem>> URLComponents::queryItems() const {
    if (!percentEncodedQuery) return std::nullopt;
    std::vector<URLQueryItem> items;
    const std::string& q = *percentEncodedQuery;
    if (q.empty()) return items;
    std::size_t i = 0;
    while (i <= q.size()) {
        auto amp = q.find('&', i);
        if (amp == std::string::npos) amp = q.size();
        std::string pair = q.substr(i, amp - i);
        auto eq = pair.find('=');
        URLQueryItem item;
        if (eq == std::string::npos) {
            item.name = decodeOrKeep(pair);
        } else {
            item.name = decodeOrKeep(pair.substr(0, eq));
            item.value = decodeOrKeep(pair.substr(eq + 1));
        }
        items.push_back(std::move(item));
        i = amp + 1;
    }
    return items;
}

void URLComponents::setQueryItems(const std::optional<std::vector<URLQueryItem>>& items) {
    if (!items) {
        percentEncodedQuery.reset();
        return;
    }
    static const CharacterSet set = CharacterSet::urlQueryAllowed().removing("&=+");
    std::string q;
    for (std::size_t i = 0; i < items->size(); ++i) {
        if (i) q += '&';
        q += encodeBytes((*items)[i].name, set);
        if ((*items)[i].value) q += "=" + encodeBytes(*(*items)[i].value, set);
    }
    percentEncodedQuery = q;
}

std::optional<std::string> URLComponents::string() const {
    URL::Parts p;
    p.scheme = scheme;
    if (scheme && !validScheme(*scheme)) return std::nullopt;
    p.hasAuthority = percentEncodedHost.has_value() || percentEncodedUser || percentEncodedPassword || port;
    p.user = percentEncodedUser;
    p.password = percentEncodedPassword;
    p.host = percentEncodedHost.value_or("");
    if (port) {
        if (*port < 0) return std::nullopt;
        p.port = std::to_string(*port);
    }
    p.path = percentEncodedPath;
    p.query = percentEncodedQuery;
    p.fragment = percentEncodedFragment;
    if (p.hasAuthority && !p.path.empty() && p.path[0] != '/') return std::nullopt;
    if (!p.hasAuthority && p.path.size() >= 2 && p.path[0] == '/' && p.path[1] == '/') return std::nullopt;
    std::string s = p.toString();
    if (!URL::split(s)) return std::nullopt;
    return s;
}

std::optional<URL> URLComponents::url() const {
    auto s = string();
    if (!s) return std::nullopt;
    return URL::parse(*s);
}

std::optional<URL> URLComponents::url(const URL& relativeTo) const {
    auto s = string();
    if (!s) return std::nullopt;
    return URL::parse(*s, relativeTo);
}

} // namespace platform
