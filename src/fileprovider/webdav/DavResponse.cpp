#include "fileprovider/webdav/DavResponse.hpp"

#include "fileprovider/core/FileObject.hpp"

#include <cctype>

namespace RiridOzizevud {

namespace {

std::string lowercased(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

bool nameEndsWith(const XMLElement& element, std::string_view word) { return endsWith(lowercased(element.name), word); }

/// The full name of the last child whose name ends with `word`, else `word` itself.
std::string childName(const XMLElement& parent, std::string_view word) {
    std::string found(word);
    for (const auto& child : parent.children)
        if (nameEndsWith(*child, word))
            found = child->name;
    return found;
}

bool isHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    return (std::tolower(static_cast<unsigned char>(c)) - 'a') + 10;
}

bool isURLCharacter(unsigned char c, bool pathOnly) {
    if (std::isalnum(c))
        return true;
    switch (c) {
    case '-': case '.': case '_': case '~': case ':': case '/': case '@': case '!': case '$': case '&':
    case '\'': case '(': case ')': case '*': case '+': case ',': case ';': case '=':
        return true;
    case '?': case '#': case '[': case ']':
        return !pathOnly;
    default:
        return false;
    }
}

std::string encodeBytes(std::string_view text, bool pathOnly) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '%' && i + 2 < text.size() && isHex(text[i + 1]) && isHex(text[i + 2])) {
            out += '%';
            continue;
        }
        if (c != '%' && isURLCharacter(c, pathOnly)) {
            out += static_cast<char>(c);
            continue;
        }
        out += '%';
        out += digits[c >> 4];
        out += digits[c & 0xF];
    }
    return out;
}

std::string stripLeadingSlashes(std::string text) {
    const auto first = text.find_first_not_of('/');
    return first == std::string::npos ? std::string() : text.substr(first);
}

std::string stripTrailingSlashes(std::string text) {
    while (!text.empty() && text.back() == '/')
        text.pop_back();
    return text;
}

/// Removes "." and ".." segments of a decoded path, never climbing above its start.
std::string withoutDotSegments(const std::string& path) {
    std::vector<std::string> segments;
    std::size_t start = 0;
    while (start <= path.size()) {
        const auto end = path.find('/', start);
        const std::string segment = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (segment == "..") {
            if (!segments.empty())
                segments.pop_back();
        } else if (!segment.empty() && segment != ".") {
            segments.push_back(segment);
        }
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    std::string out;
    for (const auto& s : segments) {
        if (!out.empty())
            out += '/';
        out += s;
    }
    return out;
}

std::optional<platform::URL> parseHref(std::string_view text, const std::optional<platform::URL>& baseURL) {
    // A reference with a raw "[" or "#" in its path is tried again with those escaped as well.
    for (bool pathOnly : {false, true}) {
        const std::string encoded = encodeBytes(text, pathOnly);
        auto url = baseURL ? platform::URL::parse(encoded, baseURL->absoluteURL()) : platform::URL::parse(encoded);
        if (url)
            return url->absoluteURL();
    }
    return std::nullopt;
}

std::string pathBelowBase(const platform::URL& url, const std::optional<platform::URL>& baseURL) {
    const std::string path = decodedPath(url);
    const std::string basePath = baseURL ? decodedPath(*baseURL) : std::string();
    if (basePath.empty())
        return path;
    if (path == basePath)
        return {};
    // Only at a segment boundary: "/dav" is no prefix of "/dav2".
    if (path.size() > basePath.size() && path.compare(0, basePath.size(), basePath) == 0 && path[basePath.size()] == '/')
        return path.substr(basePath.size());
    return path;
}

bool isSuccess(const std::optional<int>& status) { return status && *status >= 200 && *status < 300; }

void readProperties(const XMLElement& prop, std::map<std::string, std::string>& into) {
    for (const auto& child : prop.children) {
        const auto colon = child->name.rfind(':');
        std::string key = lowercased(colon == std::string::npos ? child->name : child->name.substr(colon + 1));
        if (into.count(key))
            continue;
        if (child->value)
            into[key] = *child->value;
        if (key == "resourcetype") {
            for (const auto& kind : child->children)
                if (nameEndsWith(*kind, "collection"))
                    into["getcontenttype"] = "httpd/unix-directory";
        }
    }
}

} // namespace

std::optional<int> davStatusCode(std::string_view statusLine) {
    std::vector<std::string_view> parts;
    std::size_t i = 0;
    while (i < statusLine.size() && parts.size() < 2) {
        while (i < statusLine.size() && std::isspace(static_cast<unsigned char>(statusLine[i])))
            ++i;
        const std::size_t start = i;
        while (i < statusLine.size() && !std::isspace(static_cast<unsigned char>(statusLine[i])))
            ++i;
        if (i > start)
            parts.push_back(statusLine.substr(start, i - start));
    }
    if (parts.size() < 2 || parts[1].empty() || parts[1].size() > 3)
        return std::nullopt;
    int code = 0;
    for (char c : parts[1]) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return std::nullopt;
        code = code * 10 + (c - '0');
    }
    return code;
}

std::string encodeHrefText(std::string_view text) { return encodeBytes(text, false); }

std::string decodedPath(const platform::URL& url) {
    const std::string encoded = url.absoluteURL().percentEncodedPath();
    std::string out;
    out.reserve(encoded.size());
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] == '%' && i + 2 < encoded.size() && isHex(encoded[i + 1]) && isHex(encoded[i + 2])) {
            out += static_cast<char>(hexValue(encoded[i + 1]) * 16 + hexValue(encoded[i + 2]));
            i += 2;
        } else {
            out += encoded[i];
        }
    }
    return stripTrailingSlashes(std::move(out));
}

std::string davProviderPath(const platform::URL& url, const std::optional<platform::URL>& baseURL) {
    return "/" + withoutDotSegments(stripLeadingSlashes(pathBelowBase(url, baseURL)));
}

std::optional<DavResponse> DavResponse::make(const XMLElement& response, const std::optional<platform::URL>& baseURL) {
    const std::string hrefName = childName(response, "href");
    const std::string statusName = childName(response, "status");
    const std::string propstatName = childName(response, "propstat");

    const auto hrefElement = response.firstChild(hrefName);
    if (!hrefElement->value)
        return std::nullopt;
    const std::string& hrefText = *hrefElement->value;

    // The path below the base URL's path. Hosts are not compared: a server behind a proxy may
    // name itself differently from the address the provider was given.
    std::string relative;
    bool isCollection = !hrefText.empty() && hrefText.back() == '/';
    if (auto url = parseHref(hrefText, baseURL)) {
        isCollection = url->hasDirectoryPath();
        relative = pathBelowBase(*url, baseURL);
    } else {
        relative = hrefText;
    }
    relative = withoutDotSegments(stripLeadingSlashes(relative));

    std::optional<platform::URL> href;
    std::string encoded = percentEncodedPath(relative);
    if (isCollection && !relative.empty())
        encoded += '/';
    if (baseURL) {
        href = relative.empty() ? std::optional(baseURL->absoluteURL())
                                : platform::URL::parse(encoded, baseURL->absoluteURL());
        if (!href)
            href = baseURL->absoluteURL();
    } else {
        href = platform::URL::parse("/" + encoded);
    }
    if (!href)
        return std::nullopt;

    DavResponse result{*href, hrefText, std::nullopt, {}, "/" + relative};

    const auto statusElement = response.firstChild(statusName);
    const std::optional<int> responseStatus = davStatusCode(statusElement->value.value_or(""));
    std::optional<int> firstStatus;
    std::optional<int> successStatus;
    bool first = true;
    for (const auto& propstat : response.children) {
        if (propstat->name != propstatName)
            continue;
        const auto status = davStatusCode(propstat->firstChild(childName(*propstat, "status"))->value.value_or(""));
        if (first)
            firstStatus = status;
        first = false;
        if (isSuccess(status) && !successStatus)
            successStatus = status;
        // A propstat without a readable status is taken as found: some servers leave it out.
        if (isSuccess(status) || !status)
            readProperties(*propstat->firstChild(childName(*propstat, "prop")), result.prop);
    }
    result.status = successStatus ? successStatus : firstStatus ? firstStatus : responseStatus;
    return result;
}

std::vector<DavResponse> DavResponse::parse(std::span<const uint8_t> data, const std::optional<platform::URL>& baseURL) {
    auto document = XMLDocument::make();
    try {
        document->load(data);
    } catch (...) {
        return {};
    }
    const auto multistatus = document->rootElement();
    std::string responseName = "response";
    for (const auto& child : multistatus->children) {
        if (nameEndsWith(*child, "response")) {
            responseName = child->name;
            break;
        }
    }
    std::vector<DavResponse> responses;
    for (const auto& child : multistatus->children) {
        if (child->name != responseName)
            continue;
        if (auto response = make(*child, baseURL))
            responses.push_back(std::move(*response));
    }
    return responses;
}

std::vector<DavResponse> DavResponse::parse(std::string_view data, const std::optional<platform::URL>& baseURL) {
    return parse(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(data.data()), data.size()), baseURL);
}

} // namespace RiridOzizevud
