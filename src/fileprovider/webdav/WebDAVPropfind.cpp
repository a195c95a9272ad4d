#include "fileprovider/webdav/WebDAVPropfind.hpp"

#include "fileprovider/core/FileObject.hpp"

#include <utility>

namespace RiridOzizevud {

std::optional<std::string> davPropertyName(std::string_view resourceKey) {
    using Key = platform::URLResourceKey;
    static const std::pair<std::string_view, const char*> table[] = {
        {Key::fileSizeKey, "getcontentlength"},
        {Key::creationDateKey, "creationdate"},
        {Key::contentModificationDateKey, "getlastmodified"},
        {Key::fileResourceTypeKey, "getcontenttype"},
        {mimeTypeKey, "getcontenttype"},
        {Key::isHiddenKey, "ishidden"},
        {entryTagKey, "getetag"},
        // Storage asks for the used bytes and adds the available ones itself.
        {Key::volumeTotalCapacityKey, "quota-used-bytes"},
        {Key::volumeAvailableCapacityKey, "quota-available-bytes"},
    };
    for (const auto& [key, property] : table)
        if (key == resourceKey)
            return std::string(property);
    return std::nullopt;
}

std::string propfindProperties(const std::vector<std::string>& keys) {
    // One prop element for all of them: servers read only the first (Apache does), so a prop
    // per property would ask for the first property alone and lose the resource type.
    std::string out;
    for (const auto& key : keys)
        if (auto property = davPropertyName(key))
            out += "<D:" + *property + "/>";
    if (out.empty())
        return "<D:allprop/>";
    return "<D:prop>" + out + "<D:resourcetype/></D:prop>";
}

platform::Data propfindBody(const std::vector<std::string>& keys) {
    const std::string text = "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n<D:propfind xmlns:D=\"DAV:\">\n" +
                             propfindProperties(keys) + "\n</D:propfind>";
    return platform::Data(text.begin(), text.end());
}

} // namespace RiridOzizevud
