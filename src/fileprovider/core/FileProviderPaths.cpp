// How provider paths and URLs map onto each other under a base URL.
#include "fileprovider/core/FileProvider.hpp"

#include "fileprovider/core/PlatformExtensions.hpp"
#include "platform/text/CharacterSet.hpp"

namespace RiridOzizevud {

namespace {

std::string stripLeadingSlashes(std::string s) {
    const auto first = s.find_first_not_of('/');
    return first == std::string::npos ? std::string() : s.substr(first);
}

} // namespace

const platform::CharacterSet& pathTrimCharacterSet() {
    static const platform::CharacterSet set = platform::CharacterSet::charactersIn(" /");
    return set;
}

// --- FileProviderBasic --------------------------------------------------------------------------

platform::URL FileProviderBasic::url(const std::string& of) const {
    const std::string encoded = percentEncodedPath(of);
    const auto base = baseURL();
    if (!base) {
        if (auto u = platform::URL::parse(encoded))
            return *u;
        return *platform::URL::parse("/");
    }
    const platform::URL absoluteBase = base->absoluteURL();
    // Every leading "/" and every dot segment goes, so the result stays under the base URL
    // ("///host/x" is no network path, "../x" no way out).
    std::string relative = stripLeadingSlashes(platform::URL::removeDotSegments("/" + stripLeadingSlashes(encoded)));
    if (auto u = platform::URL::parse(relative, absoluteBase))
        return *u;
    return absoluteBase;
}

std::string FileProviderBasic::relativePathOf(const platform::URL& url) const {
    // relativePath is decoded already; it is not decoded a second time.
    const std::string rel = url.relativePath();
    const auto base = baseURL();
    if (!rel.empty() && url.baseURL() == base)
        return stripLeadingSlashes(rel);
    if (!base)
        return url.absoluteString();

    const std::string absolute = url.absoluteString();
    const std::string baseString = base->absoluteString();
    std::string result;
    if (absolute.compare(0, baseString.size(), baseString) == 0)
        result = absolute.substr(baseString.size());
    else if (absolute + "/" == baseString)
        result.clear();
    else
        result = absolute;
    result = stripLeadingSlashes(result);

    if (const auto components = platform::URLComponents::parse(result);
        components && components->host() && !components->host()->empty())
        return stripLeadingSlashes(rel);
    return platform::removingPercentEncoding(result).value_or(result);
}

} // namespace RiridOzizevud
