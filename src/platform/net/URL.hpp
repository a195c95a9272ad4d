// platform::URL — stand-in for the platform's URL (RFC 3986), own code.
//
// A URL is immutable and cheap to copy. It keeps the text it was made from (`relativeString`) and,
// when made relative to another URL, that base (`baseURL`); every component getter reads the
// resolved (absolute) URL, except the `relative…` ones. Equality is by relative string and base,
// like the platform: URL("http://h/a/b") differs from URL("b", relative to "http://h/a/").
//
// Parsing refuses text that is not a URL (no value): characters that a URL cannot hold (space,
// "\"", "<", ">", "\\", "^", "`", "{", "|", "}", control characters, anything outside ASCII),
// a "%" not followed by two hex digits, a second "#", "[" or "]" outside an IPv6 host literal or the
// query/fragment, a port that is not decimal digits, the empty text without a base.
// Use addingPercentEncoding (CharacterSet.hpp) to turn arbitrary text into URL text first.
#pragma once

#include "platform/text/CharacterSet.hpp"

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class URL {
public:
    /// URL(string:): no value when `string` is not a URL (see above).
    static std::optional<URL> parse(std::string_view string);
    /// URL(string:relativeTo:): a reference resolved against `base` (RFC 3986 section 5.2). When
    /// `string` has a scheme it is absolute and the URL keeps no base. The empty string gives the
    /// base itself (as a relative URL with an empty relative string).
    static std::optional<URL> parse(std::string_view string, const URL& base);
    static std::optional<URL> parse(std::string_view string, const std::optional<URL>& base);

    /// URL(fileURLWithPath:): "file://" + the path percent-encoded with urlPathAllowed. A relative
    /// path is made absolute against the current directory (no base is kept). The URL is a
    /// directory URL (ends with "/") when the path ends with "/" or names an existing directory.
    static URL fileURLWithPath(std::string_view path);
    /// URL(fileURLWithPath:isDirectory:): as above; a "/" is appended when `isDirectory`.
    static URL fileURLWithPath(std::string_view path, bool isDirectory);

    // --- Text forms -------------------------------------------------------------------------
    /// The text the URL was made from (relative to baseURL when there is one).
    const std::string& relativeString() const { return relative_; }
    /// The resolved URL's text.
    const std::string& absoluteString() const { return absolute_; }
    /// "relativeString -- baseURL" for a relative URL, else the absolute string.
    std::string description() const;

    /// The base URL this URL is relative to, when there is one.
    std::optional<URL> baseURL() const;
    bool hasBaseURL() const { return base_ != nullptr; }
    /// The same location without a base.
    URL absoluteURL() const;

    // --- Components of the resolved URL -------------------------------------------------------
    std::optional<std::string> scheme() const;           // as written (case kept)
    std::optional<std::string> user() const;             // percent-decoded
    std::optional<std::string> password() const;         // percent-decoded
    /// Percent-decoded host, case kept; an IPv6 literal without its brackets. No value when the
    /// URL has no authority ("mailto:x") or an empty host ("file:///x").
    std::optional<std::string> host() const;
    std::optional<int> port() const;
    /// Percent-decoded path; a final "/" is dropped unless the path is "/". When the decoded bytes
    /// are not UTF-8 the percent-encoded path is returned (decoding happens at most once).
    std::string path() const;
    /// The path percent-decoded exactly once, whatever bytes that gives (a name that is not UTF-8
    /// keeps its own bytes); a final "/" is dropped unless the path is "/". What names a file.
    std::string pathBytes() const;
    /// The path as written (percent-encoded, final "/" kept).
    std::string percentEncodedPath() const;
    std::optional<std::string> query() const;             // percent-encoded, without "?"
    std::optional<std::string> fragment() const;          // percent-encoded, without "#"
    /// The authority text as written ("user:pw@host:port"), no value without an authority.
    std::optional<std::string> percentEncodedAuthority() const;
    /// The host as written (percent-encoded, IPv6 brackets kept).
    std::optional<std::string> percentEncodedHost() const;
    std::optional<std::string> percentEncodedUser() const;
    std::optional<std::string> percentEncodedPassword() const;

    /// Path of the relative part alone (decoded like `path()`); equals `path()` without a base.
    std::string relativePath() const;
    std::string percentEncodedRelativePath() const;

    /// Scheme is "file" (any case).
    bool isFileURL() const;
    /// The path ends with "/".
    bool hasDirectoryPath() const;
    /// Decoded last component of `path()` ("/" for the root, "" for an empty path).
    std::string lastPathComponent() const;
    /// Text after the last "." of lastPathComponent, "" when none (a leading dot does not count:
    /// ".profile" has no extension, nor has "a.").
    std::string pathExtension() const;
    /// Decoded components of `path()`: "/a/b/" gives {"/", "a", "b"}.
    std::vector<std::string> pathComponents() const;

    // --- Derived URLs (the base, query and fragment are kept) ---------------------------------
    /// Appends `name` percent-encoded with urlPathAllowed ("/" inside `name` stays a separator),
    /// after a "/" when the path does not end with one; adds a final "/" when `isDirectory`.
    /// In a scheme-less relative URL a ":" in the first segment is encoded too.
    URL appendingPathComponent(std::string_view name, bool isDirectory) const;
    /// As above; a file URL becomes a directory URL when the result names an existing directory.
    URL appendingPathComponent(std::string_view name) const;
    /// Drops the last component: "/a/b" and "/a/b/" give "/a/"; "/" stays "/"; "b" gives "./".
    URL deletingLastPathComponent() const;
    /// Appends "." and `ext` (encoded) to the last component, keeping a final "/".
    URL appendingPathExtension(std::string_view ext) const;
    /// Removes the pathExtension and its dot from the last component.
    URL deletingPathExtension() const;
    /// Dot segments removed from the path (RFC 3986 5.2.4). A URL with a base is standardized on
    /// its absolute form (the result has no base), so it never climbs above the base's root.
    URL standardized() const;
    /// standardized(), for file URLs (the platform's standardizedFileURL).
    URL standardizedFileURL() const;

    bool operator==(const URL& other) const;
    bool operator!=(const URL& other) const { return !(*this == other); }
    /// Orders by absolute string, then relative string (for sorted containers).
    bool operator<(const URL& other) const;

    // --- Helpers ------------------------------------------------------------------------------
    /// RFC 3986 5.2.4 remove_dot_segments on a (percent-encoded) path.
    static std::string removeDotSegments(std::string_view path);
    /// RFC 3986 5.2 resolution of `reference` against the absolute URL text `base`; no value when
    /// either is not a URL.
    static std::optional<std::string> resolve(std::string_view base, std::string_view reference);

    /// Parsed pieces of URL text (percent-encoded, as written). Public for URLComponents.
    struct Parts {
        std::optional<std::string> scheme;
        bool hasAuthority = false;
        std::optional<std::string> user;
        std::optional<std::string> password;
        std::string host;                 // as written, IPv6 brackets kept
        std::optional<std::string> port;  // digits as written (may be empty: "http://h:/")
        std::string path;
        std::optional<std::string> query;
        std::optional<std::string> fragment;
        std::string authority() const;    // "user:pw@host:port"
        std::string toString() const;
    };
    /// Splits URL text, validating as `parse` does. No value when it is not a URL.
    static std::optional<Parts> split(std::string_view text);

private:
    URL() = default;
    static std::optional<URL> make(std::string_view relative, std::shared_ptr<const URL> base);
    URL withRelativeParts(const Parts& p) const;

    std::string relative_;
    std::string absolute_;
    Parts rel_;
    Parts abs_;
    std::shared_ptr<const URL> base_;
};

/// A query item: name and optional value, decoded.
struct URLQueryItem {
    std::string name;
    std::optional<std::string> value;
    bool operator==(const URLQueryItem&) const = default;
};

/// Small stand-in for URLComponents: the pieces of URL text, settable one by one. The members
/// hold the percent-encoded forms; the decoded getters and setters mirror the platform's.
struct URLComponents {
    std::optional<std::string> scheme;
    std::optional<std::string> percentEncodedUser;
    std::optional<std::string> percentEncodedPassword;
    std::optional<std::string> percentEncodedHost;   // no value: no authority
    std::optional<int> port;
    std::string percentEncodedPath;
    std::optional<std::string> percentEncodedQuery;
    std::optional<std::string> percentEncodedFragment;

    URLComponents() = default;
    /// URLComponents(string:): no value when `string` is not URL text.
    static std::optional<URLComponents> parse(std::string_view string);
    /// URLComponents(url:resolvingAgainstBaseURL:).
    static URLComponents fromURL(const URL& url, bool resolvingAgainstBaseURL = true);

    std::optional<std::string> user() const;
    std::optional<std::string> password() const;
    std::optional<std::string> host() const;      // decoded, brackets kept for IPv6 as the platform
    std::string path() const;                     // decoded (as written when not decodable)
    std::optional<std::string> query() const;     // decoded
    std::optional<std::string> fragment() const;  // decoded
    void setUser(const std::optional<std::string>& v);      // encodes with urlUserAllowed
    void setPassword(const std::optional<std::string>& v);  // urlPasswordAllowed
    void setHost(const std::optional<std::string>& v);      // urlHostAllowed
    void setPath(std::string_view v);                       // urlPathAllowed
    void setQuery(const std::optional<std::string>& v);     // urlQueryAllowed
    void setFragment(const std::optional<std::string>& v);  // urlFragmentAllowed

    /// Query split at "&" and "=" (decoded); no value without a query.
    std::optional<std::vector<URLQueryItem>> queryItems() const;
    /// Sets the query from items; names and values are encoded with urlQueryAllowed minus "&=+";
    /// no value removes the query.
    void setQueryItems(const std::optional<std::vector<URLQueryItem>>& items);

    /// The URL text; no value when the pieces do not form a URL (e.g. a path without "/" after
    /// a host).
    std::optional<std::string> string() const;
    std::optional<URL> url() const;
    std::optional<URL> url(const URL& relativeTo) const;
};

} // namespace platform

template <>
struct std::hash<platform::URL> {
    std::size_t operator()(const platform::URL& u) const noexcept {
        return std::hash<std::string>()(u.relativeString());
    }
};
