#include "fileprovider/onedrive/OneDriveFileObject.hpp"

#include "fileprovider/core/RFCStandards.hpp"
#include "platform/data/JSON.hpp"
#include "platform/text/Strings.hpp"

#include <vector>

namespace RiridOzizevud {

namespace {

using Json = nlohmann::json;

using platform::startsWith;

std::string_view trimmed(std::string_view text) {
    const auto isTrim = [](char c) { return c == ' ' || c == '/'; };
    while (!text.empty() && isTrim(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isTrim(text.back()))
        text.remove_suffix(1);
    return text;
}

// "." and ".." segments resolved within the rest, never above it: the server (or curl) would
// otherwise resolve them against the whole URL and leave the drive.
std::string withoutDotSegments(std::string_view rest) {
    std::vector<std::string_view> out;
    bool dots = false;
    for (size_t start = 0;;) {
        const size_t end = rest.find('/', start);
        const std::string_view segment =
            rest.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (segment == ".") {
            dots = true;
        } else if (segment == "..") {
            dots = true;
            if (!out.empty())
                out.pop_back();
        } else {
            out.push_back(segment);
        }
        if (end == std::string_view::npos)
            break;
        start = end + 1;
    }
    if (!dots)
        return std::string(rest);
    std::string joined;
    for (size_t i = 0; i < out.size(); ++i) {
        if (i)
            joined += '/';
        joined += out[i];
    }
    return std::string(trimmed(joined));
}

const std::string* stringMember(const Json& object, std::string_view key) {
    const Json* value = platform::JSON::member(object, key);
    return value && value->is_string() ? &value->get_ref<const std::string&>() : nullptr;
}

const Json* objectMember(const Json& object, std::string_view key) {
    const Json* value = platform::JSON::member(object, key);
    return value && value->is_object() ? value : nullptr;
}

std::optional<platform::Date> dateMember(const Json& object, std::string_view key) {
    if (const auto* text = stringMember(object, key))
        return dateFromRFCString(*text);
    return std::nullopt;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    for (size_t start = 0;;) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return parts;
}

} // namespace

platform::URL OneDriveFileObject::url(const std::string& of, const std::optional<std::string>& modifier,
                                      const platform::URL& baseURL, const OneDriveRoute& route) {
    const bool idForm = startsWith(of, "id:");
    const std::string rest = idForm ? of.substr(3) : of;
    const std::string tail = withoutDotSegments(trimmed(rest));
    platform::URL url = baseURL.appendingPathComponent(route.drivePath(), false);
    // "/" (or "id:/") names the root too: "root:/children" would be an item called "children".
    if (tail.empty())
        url = url.appendingPathComponent("root", false);
    else
        url = url.appendingPathComponent(idForm ? "items" : "root:", false);
    if (modifier) {
        if (!tail.empty())
            url = url.appendingPathComponent(idForm ? tail : tail + ":", false);
        return url.appendingPathComponent(*modifier, false);
    }
    if (!tail.empty())
        url = url.appendingPathComponent(tail, false);
    return url;
}

std::string OneDriveFileObject::relativePathOf(const platform::URL& url, const std::optional<platform::URL>& baseURL,
                                               const OneDriveRoute& route) {
    std::string basePath;
    if (baseURL)
        basePath = baseURL->appendingPathComponent(route.drivePath(), false).path();
    std::string path = url.path();
    if (!basePath.empty() && startsWith(path, basePath))
        path = path.substr(basePath.size());
    const auto notSlash = path.find_first_not_of('/');
    path = notSlash == std::string::npos ? std::string() : path.substr(notSlash);
    while (!path.empty() && path.back() == '/')
        path.pop_back();
    if (startsWith(path, "items/")) {
        const auto parts = split(path, '/');
        return parts.size() >= 2 ? "id:" + parts[1] : "";
    }
    if (startsWith(path, "root:")) {
        const auto parts = split(path, ':');
        return parts.size() >= 2 ? parts[1] : "";
    }
    return "";
}

OneDriveFileObject::OneDriveFileObject(Token, const std::optional<platform::URL>& url, const std::string& name,
                                       const std::string& path)
    : FileObject(url, name, path) {}

std::shared_ptr<OneDriveFileObject> OneDriveFileObject::make(const std::optional<platform::URL>& baseURL,
                                                             const OneDriveRoute& route, const Json& json) {
    if (!json.is_object())
        return nullptr;
    const auto* name = stringMember(json, "name");
    const auto* id = stringMember(json, "id");
    if (!name || !id)
        return nullptr;

    std::string path = "id:" + *id;
    if (const Json* parent = objectMember(json, "parentReference")) {
        if (const auto* parentPath = stringMember(*parent, "path")) {
            const size_t colon = parentPath->find(':');
            std::string folder = colon == std::string::npos ? *parentPath : parentPath->substr(colon + 1);
            if (folder.empty() || folder.back() != '/')
                folder += '/';
            path = folder + *name;
        }
    }
    std::optional<platform::URL> itemURL;
    if (baseURL)
        itemURL = url(path, std::nullopt, *baseURL, route);

    auto entry = std::make_shared<OneDriveFileObject>(Token{}, itemURL, *name, path);
    entry->setId(*id);
    const Json* size = platform::JSON::member(json, "size");
    entry->setSize(size && size->is_number() ? platform::JSON::lenient<int64_t>(json, "size").value_or(-1) : -1);
    const Json* folder = platform::JSON::member(json, "folder");
    if (folder && folder->is_object())
        entry->setChildrensCount(platform::JSON::lenient<int64_t>(*folder, "childCount"));
    entry->setModifiedDate(dateMember(json, "lastModifiedDateTime"));
    entry->setCreationDate(dateMember(json, "createdDateTime"));
    entry->setType(folder ? URLFileResourceType::directory : URLFileResourceType::regular);

    const Json* file = objectMember(json, "file");
    const std::string* mime = file ? stringMember(*file, "mimeType") : nullptr;
    entry->setContentType(ContentMIMEType(mime ? *mime : "application/octet-stream"));
    const auto* tag = stringMember(json, "eTag");
    entry->setEntryTag(tag ? std::optional<std::string>(*tag) : std::nullopt);

    std::optional<std::string> hash;
    if (const Json* hashes = file ? objectMember(*file, "hashes") : nullptr) {
        if (const auto* sha1 = stringMember(*hashes, "sha1Hash"))
            hash = *sha1;
        else if (const auto* quickXor = stringMember(*hashes, "quickXorHash"))
            hash = *quickXor;
    }
    entry->setFileHash(hash);
    return entry;
}

std::optional<std::string> OneDriveFileObject::string(const char* key) const {
    if (const auto* value = platform::find(allValues(), key))
        return value->stringValue();
    return std::nullopt;
}

void OneDriveFileObject::setString(const char* key, const std::optional<std::string>& value) {
    if (value)
        allValues()[key] = *value;
    else
        allValues().erase(key);
}

std::optional<std::string> OneDriveFileObject::id() const { return string(fileResourceIdentifierKey); }
void OneDriveFileObject::setId(const std::optional<std::string>& id) { setString(fileResourceIdentifierKey, id); }

ContentMIMEType OneDriveFileObject::contentType() const {
    return ContentMIMEType(string(mimeTypeKey).value_or("application/octet-stream"));
}
void OneDriveFileObject::setContentType(const ContentMIMEType& type) { setString(mimeTypeKey, type.rawValue); }

std::optional<std::string> OneDriveFileObject::entryTag() const { return string(entryTagKey); }
void OneDriveFileObject::setEntryTag(const std::optional<std::string>& tag) { setString(entryTagKey, tag); }

std::optional<std::string> OneDriveFileObject::fileHash() const { return string(documentIdentifierKey); }
void OneDriveFileObject::setFileHash(const std::optional<std::string>& hash) { setString(documentIdentifierKey, hash); }

} // namespace RiridOzizevud
