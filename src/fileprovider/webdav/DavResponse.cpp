#include "fileprovider/webdav/DavResponse.hpp"

#include "fileprovider/core/FileObject.hpp"
#include "platform/text/Strings.hpp"

#include <expat.h>

#include <algorithm>

#include <cctype>

namespace RiridOzizevud {

namespace {

using platform::lowercased;

bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
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

namespace {

/// The part of a response element the reading needs: names, the text before the first child,
/// children down to the properties; deeper elements only mark a collection.
struct Node {
    std::string name;
    std::optional<std::string> value;
    std::vector<Node> children;
    bool collection = false;

    /// The full name of the last child whose name ends with `word`, else `word` itself.
    std::string childName(std::string_view word) const {
        std::string found(word);
        for (const auto& child : children)
            if (endsWith(lowercased(child.name), word))
                found = child.name;
        return found;
    }
    const Node* firstChild(const std::string& exactName) const {
        for (const auto& child : children)
            if (child.name == exactName)
                return &child;
        return nullptr;
    }
    std::optional<std::string> childValue(const std::string& exactName) const {
        const Node* child = firstChild(exactName);
        return child ? child->value : std::nullopt;
    }
};

constexpr std::size_t propertyDepth = 3;  // response > propstat > prop > property

Node nodeOf(const XMLElement& element, std::size_t depth) {
    Node node{element.name, element.value, {}, false};
    for (const auto& child : element.children) {
        if (depth < propertyDepth) {
            node.children.push_back(nodeOf(*child, depth + 1));
        } else {
            std::vector<const XMLElement*> pending{child.get()};
            while (!pending.empty()) {
                const XMLElement* e = pending.back();
                pending.pop_back();
                if (endsWith(lowercased(e->name), "collection"))
                    node.collection = true;
                for (const auto& c : e->children)
                    pending.push_back(c.get());
            }
        }
    }
    return node;
}

void readProperties(const Node& prop, std::map<std::string, std::string>& into) {
    for (const auto& child : prop.children) {
        const auto colon = child.name.rfind(':');
        std::string key = lowercased(colon == std::string::npos ? child.name : child.name.substr(colon + 1));
        if (into.count(key))
            continue;
        if (child.value)
            into[key] = *child.value;
        if (key == "resourcetype" && child.collection)
            into["getcontenttype"] = "httpd/unix-directory";
    }
}

std::optional<DavResponse> responseOf(const Node& response, const std::optional<platform::URL>& baseURL) {
    const std::string propstatName = response.childName("propstat");
    const auto hrefValue = response.childValue(response.childName("href"));
    if (!hrefValue)
        return std::nullopt;
    const std::string& hrefText = *hrefValue;

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

    const std::optional<int> responseStatus =
        davStatusCode(response.childValue(response.childName("status")).value_or(""));
    std::optional<int> firstStatus;
    std::optional<int> successStatus;
    bool first = true;
    for (const auto& propstat : response.children) {
        if (propstat.name != propstatName)
            continue;
        const auto status = davStatusCode(propstat.childValue(propstat.childName("status")).value_or(""));
        if (first)
            firstStatus = status;
        first = false;
        if (isSuccess(status) && !successStatus)
            successStatus = status;
        // A propstat without a readable status is taken as found: some servers leave it out.
        if (isSuccess(status) || !status)
            if (const Node* prop = propstat.firstChild(propstat.childName("prop")))
                readProperties(*prop, result.prop);
    }
    result.status = successStatus ? successStatus : firstStatus ? firstStatus : responseStatus;
    return result;
}

std::string trimmedText(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

} // namespace

/// Expat's callbacks and the state of the response being read.
struct MultistatusParser::Reader {
    Reader(std::optional<platform::URL> baseURL, ResponseHandler onResponse)
        : baseURL(std::move(baseURL)), onResponse(std::move(onResponse)) {}

    static void start(void* user, const XML_Char* name, const XML_Char**) {
        auto& self = *static_cast<Reader*>(user);
        if (++self.depth > XMLTreeParser::maximumDepth) {
            self.failed = true;
            XML_StopParser(self.parser, XML_FALSE);
            return;
        }
        self.closeText();
        if (self.depth == 1) {
            self.sawRoot = true;
            return;
        }
        if (self.depth == 2) {
            const std::string element(name);
            if (!self.responseName && endsWith(lowercased(element), "response"))
                self.responseName = element;
            if (self.responseName && element == *self.responseName) {
                self.response = Node{element, std::nullopt, {}, false};
                self.open.assign(1, &*self.response);
                self.textOpen = true;
            }
            return;
        }
        if (!self.response)
            return;
        const std::size_t level = self.depth - 2;  // 1: in the response, 3: a property
        if (level <= propertyDepth) {
            Node* parent = self.open.back();
            parent->children.push_back(Node{name, std::nullopt, {}, false});
            self.open.push_back(&parent->children.back());
            self.textOpen = true;
        } else if (endsWith(lowercased(name), "collection")) {
            self.open.back()->collection = true;
        }
    }

    static void end(void* user, const XML_Char*) {
        auto& self = *static_cast<Reader*>(user);
        self.closeText();
        if (self.response) {
            const std::size_t level = self.depth >= 2 ? self.depth - 2 : 0;
            if (level == 0) {
                auto response = responseOf(*self.response, self.baseURL);
                self.response.reset();
                self.open.clear();
                if (response && self.onResponse)
                    self.onResponse(std::move(*response));
            } else if (level <= propertyDepth) {
                self.open.pop_back();
            }
        }
        if (self.depth > 0)
            --self.depth;
    }

    static void characters(void* user, const XML_Char* text, int length) {
        auto& self = *static_cast<Reader*>(user);
        if (self.inCDATA || !self.textOpen || length <= 0 || self.open.empty())
            return;
        self.text.append(text, static_cast<std::size_t>(length));
    }

    /// The open element's value is its text up to here: the first child or its end.
    void closeText() {
        if (textOpen && !open.empty()) {
            std::string value = trimmedText(text);
            if (!value.empty())
                open.back()->value = std::move(value);
        }
        textOpen = false;
        text.clear();
    }

    const std::optional<platform::URL> baseURL;
    const ResponseHandler onResponse;
    XML_Parser parser = nullptr;
    std::size_t depth = 0;
    bool sawRoot = false;
    bool failed = false;
    bool finished = false;
    bool inCDATA = false;
    bool textOpen = false;
    std::string text;
    std::optional<std::string> responseName;
    std::optional<Node> response;
    std::vector<Node*> open;
};

MultistatusParser::MultistatusParser(std::optional<platform::URL> baseURL, ResponseHandler onResponse)
    : reader_(std::make_unique<Reader>(std::move(baseURL), std::move(onResponse))) {
    XML_Parser parser = XML_ParserCreate(nullptr);
    if (!parser) {
        reader_->failed = true;
        return;
    }
    reader_->parser = parser;
    XML_SetUserData(parser, reader_.get());
    XML_SetElementHandler(parser, &Reader::start, &Reader::end);
    XML_SetCharacterDataHandler(parser, &Reader::characters);
    XML_SetCdataSectionHandler(parser, [](void* self) { static_cast<Reader*>(self)->inCDATA = true; },
                               [](void* self) { static_cast<Reader*>(self)->inCDATA = false; });
    XML_SetParamEntityParsing(parser, XML_PARAM_ENTITY_PARSING_NEVER);
    XML_SetExternalEntityRefHandler(parser, [](XML_Parser, const XML_Char*, const XML_Char*, const XML_Char*,
                                               const XML_Char*) { return static_cast<int>(XML_STATUS_ERROR); });
}

MultistatusParser::~MultistatusParser() {
    if (reader_->parser)
        XML_ParserFree(reader_->parser);
}

bool MultistatusParser::feed(std::span<const uint8_t> data, bool last) {
    if (reader_->failed || reader_->finished)
        return !reader_->failed;
    // Expat takes an int length: large pieces go in slices.
    constexpr std::size_t slice = 1 << 20;
    std::size_t offset = 0;
    do {
        const std::size_t length = std::min(slice, data.size() - offset);
        const bool final = last && offset + length == data.size();
        if (XML_Parse(reader_->parser, reinterpret_cast<const char*>(data.data() + offset), static_cast<int>(length),
                      final ? XML_TRUE : XML_FALSE) != XML_STATUS_OK) {
            reader_->failed = true;
            return false;
        }
        offset += length;
    } while (offset < data.size());
    if (last) {
        reader_->finished = true;
        if (!reader_->sawRoot)
            reader_->failed = true;
    }
    return !reader_->failed;
}

bool MultistatusParser::failed() const { return reader_->failed; }


std::optional<DavResponse> DavResponse::make(const XMLElement& response, const std::optional<platform::URL>& baseURL) {
    return responseOf(nodeOf(response, 0), baseURL);
}

std::vector<DavResponse> DavResponse::parse(std::span<const uint8_t> data, const std::optional<platform::URL>& baseURL) {
    std::vector<DavResponse> responses;
    MultistatusParser parser(baseURL, [&responses](DavResponse&& response) { responses.push_back(std::move(response)); });
    if (!parser.feed(data, true))
        return {};
    return responses;
}

std::vector<DavResponse> DavResponse::parse(std::string_view data, const std::optional<platform::URL>& baseURL) {
    return parse(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(data.data()), data.size()), baseURL);
}

} // namespace RiridOzizevud
