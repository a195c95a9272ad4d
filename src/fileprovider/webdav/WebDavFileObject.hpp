// A WebDAV entry: a FileObject filled from one multistatus response.
#pragma once

#include "fileprovider/core/ContentMIMEType.hpp"
#include "fileprovider/core/FileObject.hpp"
#include "fileprovider/webdav/DavResponse.hpp"

#include <memory>
#include <optional>
#include <string>

namespace RiridOzizevud {

class WebDavFileObject : public FileObject {
public:
    /// name: "displayname" when the server sends one (a label only), else the reference's last
    /// component; path: the resource below the base URL; size -1 when unknown; a collection is a
    /// directory; read-only only when "isreadonly" is a number of 1 or more.
    explicit WebDavFileObject(const DavResponse& response);
    static std::shared_ptr<WebDavFileObject> make(const DavResponse& response) {
        return std::make_shared<WebDavFileObject>(response);
    }

    /// "application/octet-stream" when absent.
    ContentMIMEType contentType() const;
    void setContentType(const ContentMIMEType& type);
    std::optional<std::string> entryTag() const;
    void setEntryTag(const std::optional<std::string>& tag);

    /// The last component of the entry's path: the name the resource has on the server, whatever
    /// label the server gives it.
    std::string resourceName() const;
};

/// A decimal 64-bit integer with an optional sign and nothing else; none otherwise.
std::optional<int64_t> parseDecimalInt64(std::string_view text);

} // namespace RiridOzizevud
