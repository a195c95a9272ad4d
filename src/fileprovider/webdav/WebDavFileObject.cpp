#include "fileprovider/webdav/WebDavFileObject.hpp"

#include "fileprovider/core/RFCStandards.hpp"

#include <charconv>

namespace RiridOzizevud {

namespace {

const std::string* property(const DavResponse& response, const char* key) {
    auto it = response.prop.find(key);
    return it == response.prop.end() ? nullptr : &it->second;
}

std::string lastComponent(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::optional<platform::Date> dateProperty(const DavResponse& response, const char* key) {
    if (const auto* text = property(response, key))
        return dateFromRFCString(*text);
    return std::nullopt;
}

} // namespace

std::optional<int64_t> parseDecimalInt64(std::string_view text) {
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    if (text.empty() || (text.front() == '-' && text.size() == 1))
        return std::nullopt;
    int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

WebDavFileObject::WebDavFileObject(const DavResponse& response)
    : FileObject(response.href,
                 property(response, "displayname") ? *property(response, "displayname") : lastComponent(response.path),
                 response.path) {
    const auto* length = property(response, "getcontentlength");
    setSize(length ? parseDecimalInt64(*length).value_or(-1) : -1);
    setCreationDate(dateProperty(response, "creationdate"));
    setModifiedDate(dateProperty(response, "getlastmodified"));

    const auto* type = property(response, "getcontenttype");
    const ContentMIMEType mime(type ? *type : "application/octet-stream");
    setContentType(mime);

    const auto* hidden = property(response, "ishidden");
    setIsHidden(hidden && parseDecimalInt64(*hidden).value_or(0) > 0);
    const auto* readOnly = property(response, "isreadonly");
    setIsReadOnly(readOnly && parseDecimalInt64(*readOnly).value_or(0) >= 1);

    setType(mime.rawValue == "httpd/unix-directory" ? URLFileResourceType::directory : URLFileResourceType::regular);
    if (const auto* tag = property(response, "getetag"))
        setEntryTag(*tag);
}

ContentMIMEType WebDavFileObject::contentType() const {
    if (const auto* value = platform::find(allValues(), mimeTypeKey))
        if (const auto* text = value->asString())
            return ContentMIMEType(*text);
    return ContentMIMEType("application/octet-stream");
}

void WebDavFileObject::setContentType(const ContentMIMEType& type) { allValues()[mimeTypeKey] = type.rawValue; }

std::optional<std::string> WebDavFileObject::entryTag() const {
    if (const auto* value = platform::find(allValues(), entryTagKey))
        return value->stringValue();
    return std::nullopt;
}

void WebDavFileObject::setEntryTag(const std::optional<std::string>& tag) {
    if (tag)
        allValues()[entryTagKey] = *tag;
    else
        allValues().erase(entryTagKey);
}

std::string WebDavFileObject::resourceName() const { return lastComponent(path()); }

} // namespace RiridOzizevud
