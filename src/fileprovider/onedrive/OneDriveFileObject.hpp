// A OneDrive entry: a FileObject filled from one Graph drive item, and the mapping between
// provider paths and Graph item URLs.
//
// A provider path is "" (the drive's root), a slash path below the root, or "id:" and an item id.
// Item URLs never leave the drive: dot segments of a path are resolved inside it first.
#pragma once

#include "fileprovider/core/ContentMIMEType.hpp"
#include "fileprovider/core/FileObject.hpp"
#include "fileprovider/onedrive/OneDriveRoute.hpp"

#include <nlohmann/json_fwd.hpp>

#include <memory>
#include <optional>
#include <string>

namespace RiridOzizevud {

class OneDriveFileObject : public FileObject {
    struct Token {};

public:
    using FileObject::url;

    static constexpr const char* fileResourceIdentifierKey = "NSURLFileResourceIdentifierKey";
    static constexpr const char* documentIdentifierKey = "NSURLDocumentIdentifierKey";

    /// init(baseURL:route:json:): nullptr unless "name" and "id" are strings.
    static std::shared_ptr<OneDriveFileObject> make(const std::optional<platform::URL>& baseURL, const OneDriveRoute& route,
                                                    const nlohmann::json& json);

    /// The Graph URL of a path: base, drive path, then "root", "root:" and the path, or "items"
    /// and the id, then the modifier ("children", "content"...) when given.
    static platform::URL url(const std::string& of, const std::optional<std::string>& modifier,
                             const platform::URL& baseURL, const OneDriveRoute& route);
    /// The provider path of a Graph item URL; "" for a URL that addresses no item of the drive.
    static std::string relativePathOf(const platform::URL& url, const std::optional<platform::URL>& baseURL,
                                      const OneDriveRoute& route);

    OneDriveFileObject(Token, const std::optional<platform::URL>& url, const std::string& name, const std::string& path);

    /// The item's Graph id (without "id:").
    std::optional<std::string> id() const;
    void setId(const std::optional<std::string>& id);
    /// "application/octet-stream" when none is stored.
    ContentMIMEType contentType() const;
    void setContentType(const ContentMIMEType& type);
    std::optional<std::string> entryTag() const;
    void setEntryTag(const std::optional<std::string>& tag);
    /// SHA-1 hash of the content, else its quickXor hash, as the server sent it.
    std::optional<std::string> fileHash() const;
    void setFileHash(const std::optional<std::string>& hash);

private:
    std::optional<std::string> string(const char* key) const;
    void setString(const char* key, const std::optional<std::string>& value);
};

} // namespace RiridOzizevud
