#include "platform/net/URLResponse.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace platform {

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// The value of one parameter ("charset", "filename") of a header value, unquoted.
std::optional<std::string> parameter(std::string_view value, std::string_view name) {
    size_t pos = value.find(';');
    while (pos != std::string_view::npos) {
        value.remove_prefix(pos + 1);
        const size_t next = value.find(';');
        std::string_view item = trim(value.substr(0, next));
        const size_t eq = item.find('=');
        if (eq != std::string_view::npos && equalsIgnoringCase(trim(item.substr(0, eq)), name)) {
            std::string_view v = trim(item.substr(eq + 1));
            if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
            return std::string(v);
        }
        pos = next;
    }
    return std::nullopt;
}

std::optional<std::string> field(const HTTPURLResponse::HeaderFields& fields, std::string_view name) {
    std::optional<std::string> out;
    for (const auto& [k, v] : fields) {
        if (!equalsIgnoringCase(k, name)) continue;
        if (out) *out += ", " + v;
        else out = v;
    }
    return out;
}

int64_t expectedLength(const HTTPURLResponse::HeaderFields& fields) {
    // Bodies arrive decoded, so an encoded length says nothing of what the caller receives.
    if (auto enc = field(fields, "Content-Encoding"); enc && !equalsIgnoringCase(trim(*enc), "identity"))
        return -1;
    const auto len = field(fields, "Content-Length");
    if (!len) return -1;
    const std::string_view t = trim(*len);
    int64_t n = -1;
    const auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), n);
    if (ec != std::errc() || p != t.data() + t.size() || n < 0) return -1;
    return n;
}

std::optional<std::string> mimeTypeOf(const HTTPURLResponse::HeaderFields& fields) {
    const auto ct = field(fields, "Content-Type");
    if (!ct) return std::nullopt;
    const std::string_view t = trim(std::string_view(*ct).substr(0, ct->find(';')));
    if (t.empty()) return std::nullopt;
    return lower(t);
}

std::optional<std::string> charsetOf(const HTTPURLResponse::HeaderFields& fields) {
    const auto ct = field(fields, "Content-Type");
    if (!ct) return std::nullopt;
    return parameter(*ct, "charset");
}

} // namespace

URLResponse::URLResponse(std::optional<URL> url, std::optional<std::string> mimeType, int64_t expectedContentLength,
                         std::optional<std::string> textEncodingName)
    : url_(std::move(url)), mimeType_(std::move(mimeType)), expectedContentLength_(expectedContentLength),
      textEncodingName_(std::move(textEncodingName)) {}

std::optional<std::string> URLResponse::suggestedFilename() const {
    if (!url_) return std::nullopt;
    std::string name = url_->lastPathComponent();
    if (name.empty() || name == "/") return std::nullopt;
    return name;
}

HTTPURLResponse::HTTPURLResponse(std::optional<URL> url, int statusCode, HeaderFields headerFields)
    : URLResponse(std::move(url), mimeTypeOf(headerFields), expectedLength(headerFields), charsetOf(headerFields)),
      statusCode_(statusCode), headerFields_(std::move(headerFields)) {}

std::optional<std::string> HTTPURLResponse::value(std::string_view forHTTPHeaderField) const {
    return field(headerFields_, forHTTPHeaderField);
}

std::optional<std::string> HTTPURLResponse::suggestedFilename() const {
    if (const auto cd = value("Content-Disposition")) {
        if (auto name = parameter(*cd, "filename"); name && !name->empty()) {
            // Only the last component: a server cannot steer the name into another folder.
            const size_t slash = name->find_last_of("/\\");
            std::string base = slash == std::string::npos ? *name : name->substr(slash + 1);
            if (!base.empty() && base != "." && base != "..") return base;
        }
    }
    return URLResponse::suggestedFilename();
}

} // namespace platform
