// One response of a WebDAV multistatus reply: the resource's reference resolved against the
// provider's base URL, its status and its properties. Replies are matched by element-name endings,
// so any namespace prefix ("D:", "d:", "lp1:", none) reads the same.
#pragma once

#include "fileprovider/core/XMLTree.hpp"
#include "platform/net/URL.hpp"
#include "platform/data/Value.hpp"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace RiridOzizevud {

struct DavResponse {
    /// The resource, relative to the base URL (made absolute when there is no base).
    platform::URL href;
    /// The href text exactly as received.
    std::string hrefString;
    /// The status: the first successful propstat's, else the first propstat's, else the response's.
    std::optional<int> status;
    /// Properties of every successful propstat, by local name in lower case; the first value wins.
    std::map<std::string, std::string> prop;
    /// The provider path of the resource: "/" followed by the decoded path below the base URL's
    /// path, without a final "/" ("/" for the base itself).
    std::string path;

    /// Every response of the reply, in document order; empty for malformed XML or no responses.
    static std::vector<DavResponse> parse(std::span<const uint8_t> data, const std::optional<platform::URL>& baseURL);
    static std::vector<DavResponse> parse(std::string_view data, const std::optional<platform::URL>& baseURL);
    /// One response element; none without an href text.
    static std::optional<DavResponse> make(const XMLElement& response, const std::optional<platform::URL>& baseURL);
};

/// Reads a multistatus piece by piece as it arrives, handing over each response when its element
/// ends, without building the document. Element values and limits are the XML tree's (text before
/// the first child, CDATA not counted, no external entity, XMLTreeParser::maximumDepth levels).
class MultistatusParser {
public:
    using ResponseHandler = std::function<void(DavResponse&& response)>;

    MultistatusParser(std::optional<platform::URL> baseURL, ResponseHandler onResponse);
    ~MultistatusParser();
    MultistatusParser(const MultistatusParser&) = delete;
    MultistatusParser& operator=(const MultistatusParser&) = delete;

    /// The next piece; `last` ends the document. False once it is known not to be well-formed XML
    /// (or, at the end, to hold no element at all); later pieces are then ignored.
    bool feed(std::span<const uint8_t> data, bool last);
    bool failed() const;

private:
    struct Reader;
    std::unique_ptr<Reader> reader_;
};

/// "HTTP/1.1 200 OK" and "HTTP/1.1 200" give 200; anything else gives none.
std::optional<int> davStatusCode(std::string_view statusLine);

/// Reference text made URL text: every byte that a URL cannot hold (space, controls, non-ASCII,
/// "%" not starting an escape ...) is percent-encoded on its own; the rest is kept as written.
std::string encodeHrefText(std::string_view text);

/// The path of `url` decoded once, as bytes (not necessarily UTF-8), final "/" dropped.
std::string decodedPath(const platform::URL& url);

/// The provider path of a URL as DavResponse::path gives it, so a listed collection can be told
/// from its members however the server spells its reference.
std::string davProviderPath(const platform::URL& url, const std::optional<platform::URL>& baseURL);

} // namespace RiridOzizevud
