#include "fileprovider/dropbox/DropboxFileObject.hpp"

#include "fileprovider/core/RFCStandards.hpp"
#include "platform/data/JSON.hpp"

namespace RiridOzizevud {

namespace {

using Json = nlohmann::json;

std::optional<platform::Date> dateMember(const Json& object, std::string_view key) {
    if (const auto text = platform::JSON::lenient<std::string>(object, key))
        return dateFromRFCString(*text);
    return std::nullopt;
}

void setString(platform::ValueDictionary& values, const char* key, const std::optional<std::string>& text) {
    if (text)
        values[key] = *text;
    else
        values.erase(key);
}

} // namespace

DropboxFileObject::DropboxFileObject(Token, const std::string& name, const std::string& path)
    : FileObject(std::nullopt, name, path) {}

std::shared_ptr<DropboxFileObject> DropboxFileObject::make(const Json& jsonObject) {
    if (!jsonObject.is_object())
        return nullptr;
    const Json* object = &jsonObject;
    if (!jsonObject.contains("name")) {
        const Json* metadata = platform::JSON::member(jsonObject, "metadata");
        if (!metadata || !metadata->is_object())
            return nullptr;
        object = metadata;
    }
    const auto name = platform::JSON::lenient<std::string>(*object, "name");
    const auto path = platform::JSON::lenient<std::string>(*object, "path_display");
    if (!name || !path)
        return nullptr;

    auto entry = std::make_shared<DropboxFileObject>(Token{}, *name, *path);
    entry->setSize(platform::JSON::lenient<int64_t>(*object, "size").value_or(-1));

    auto& values = entry->allValues();
    if (const auto server = dateMember(*object, "server_modified"))
        values[serverDateKey] = *server;
    else
        values.erase(serverDateKey);
    entry->setModifiedDate(dateMember(*object, "client_modified"));

    const auto tag = platform::JSON::lenient<std::string>(*object, ".tag");
    entry->setType(tag && *tag == "folder" ? URLFileResourceType::directory : URLFileResourceType::regular);

    bool readOnly = false;
    if (const Json* sharing = platform::JSON::member(*object, "sharing_info"); sharing && sharing->is_object())
        readOnly = platform::JSON::lenient<bool>(*sharing, "read_only").value_or(false);
    values[URLResourceKey::isWritableKey] = !readOnly;

    setString(values, fileResourceIdentifierKey, platform::JSON::lenient<std::string>(*object, "id"));
    setString(values, generationIdentifierKey, platform::JSON::lenient<std::string>(*object, "rev"));
    return entry;
}

std::optional<platform::Date> DropboxFileObject::serverTime() const {
    if (const auto* value = platform::find(allValues(), serverDateKey))
        if (const auto* date = value->asDate())
            return *date;
    return std::nullopt;
}

std::optional<std::string> DropboxFileObject::id() const {
    if (const auto* value = platform::find(allValues(), fileResourceIdentifierKey))
        return value->stringValue();
    return std::nullopt;
}

std::optional<std::string> DropboxFileObject::rev() const {
    if (const auto* value = platform::find(allValues(), generationIdentifierKey))
        return value->stringValue();
    return std::nullopt;
}

} // namespace RiridOzizevud
