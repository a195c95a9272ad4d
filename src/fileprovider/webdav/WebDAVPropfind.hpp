// PROPFIND request bodies: which DAV property stands for which resource key, and the body that
// asks for a list of keys. WebDAVFileProvider offers these under its own name as well.
#pragma once

#include "platform/data/Value.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace RiridOzizevud {

/// The DAV property of a resource key ("getcontentlength" for the file size ...); none for keys
/// that have no property.
std::optional<std::string> davPropertyName(std::string_view resourceKey);
/// One "<D:prop>" holding "<D:name/>" per known key in order, then the resource type;
/// "<D:allprop/>" when no key is known.
std::string propfindProperties(const std::vector<std::string>& keys);
/// The whole request body: XML declaration, propfind element, the properties.
platform::Data propfindBody(const std::vector<std::string>& keys);

} // namespace RiridOzizevud
