// platform::URLRequest — the platform's (mutable) URL request: method, URL, header fields, body,
// time-out and cache policy. A plain value. Header names compare case-insensitively; setting a
// field replaces every earlier value of it and keeps the name as first written.
#pragma once

#include "platform/data/Date.hpp"
#include "platform/net/URL.hpp"
#include "platform/data/Value.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

class URLRequest {
public:
    enum class CachePolicy {
        useProtocolCachePolicy,
        reloadIgnoringLocalCacheData,
        reloadIgnoringLocalAndRemoteCacheData,
        returnCacheDataElseLoad,
        returnCacheDataDontLoad,
        reloadRevalidatingCacheData,
    };

    static constexpr TimeInterval defaultTimeoutInterval = 60;

    explicit URLRequest(std::optional<URL> url, CachePolicy cachePolicy = CachePolicy::useProtocolCachePolicy,
                        TimeInterval timeoutInterval = defaultTimeoutInterval);

    std::optional<URL> url;
    /// "GET" unless set.
    std::string httpMethod = "GET";
    std::optional<Data> httpBody;
    TimeInterval timeoutInterval;
    CachePolicy cachePolicy;

    using HeaderFields = std::vector<std::pair<std::string, std::string>>;

    /// setValue(_:forHTTPHeaderField:): replaces the field; no value removes it. A name that is not
    /// an HTTP token, or a value holding CR, LF or NUL, would let a request smuggle header lines:
    /// such a call changes nothing and returns false.
    bool setValue(const std::optional<std::string>& value, std::string_view field);
    /// addValue(_:forHTTPHeaderField:): appends to an existing field with "," (as the platform
    /// joins them), else sets it. Refuses the same input as setValue.
    bool addValue(const std::string& value, std::string_view field);
    /// value(forHTTPHeaderField:), case-insensitive.
    std::optional<std::string> value(std::string_view field) const;
    /// The fields in the order first set.
    const HeaderFields& allHTTPHeaderFields() const { return headers_; }

    static bool isValidFieldName(std::string_view field);
    static bool isValidFieldValue(std::string_view value);

private:
    HeaderFields headers_;
};

} // namespace platform
