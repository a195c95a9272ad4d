// A Dropbox entry: a FileObject filled from one metadata object of the Dropbox answers (listings,
// search matches, attributes, temporary links, saved files).
#pragma once

#include "fileprovider/core/FileObject.hpp"

#include <nlohmann/json_fwd.hpp>

#include <memory>
#include <optional>
#include <string>

namespace RiridOzizevud {

class DropboxFileObject : public FileObject {
    struct Token {};

public:
    /// Resource keys of the entry's Dropbox identifier and revision.
    static constexpr const char* fileResourceIdentifierKey = "NSURLFileResourceIdentifierKey";
    static constexpr const char* generationIdentifierKey = "NSURLGenerationIdentifierKey";

    /// init(jsonObject:): the object itself when it has "name", else its "metadata" object (the
    /// shape of search matches). Nullptr without a string "name" and "path_display" there.
    static std::shared_ptr<DropboxFileObject> make(const nlohmann::json& jsonObject);

    DropboxFileObject(Token, const std::string& name, const std::string& path);

    /// "server_modified" as read; none when absent or unreadable.
    std::optional<platform::Date> serverTime() const;
    std::optional<std::string> id() const;
    std::optional<std::string> rev() const;
};

} // namespace RiridOzizevud
