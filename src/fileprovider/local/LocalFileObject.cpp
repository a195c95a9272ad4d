#include "fileprovider/local/LocalFileObject.hpp"

#include "platform/base/Error.hpp"
#include "platform/fs/FileManager.hpp"

#include <cstdio>

namespace RiridOzizevud {

namespace {

std::string dropOneLeadingSlash(const std::string& s) { return !s.empty() && s[0] == '/' ? s.substr(1) : s; }

std::string dropLeadingSlashes(const std::string& s) {
    const auto first = s.find_first_not_of('/');
    return first == std::string::npos ? std::string() : s.substr(first);
}

} // namespace

const std::vector<std::string>& LocalFileObject::resourceKeys() {
    static const std::vector<std::string> keys = {
        URLResourceKey::nameKey,
        URLResourceKey::fileSizeKey,
        URLResourceKey::totalFileSizeKey,
        URLResourceKey::fileAllocatedSizeKey,
        "NSURLTotalFileAllocatedSizeKey",
        URLResourceKey::creationDateKey,
        URLResourceKey::contentModificationDateKey,
        URLResourceKey::fileResourceTypeKey,
        URLResourceKey::isHiddenKey,
        URLResourceKey::isWritableKey,
        URLResourceKey::typeIdentifierKey,
        "NSURLGenerationIdentifierKey",
        "NSURLDocumentIdentifierKey",
    };
    return keys;
}

LocalFileObject::LocalFileObject(Token, const platform::URL& url, const std::string& name, const std::string& path)
    : FileObject(url, name, path) {}

std::shared_ptr<LocalFileObject> LocalFileObject::make(const platform::URL& fileWithURL) {
    platform::ValueDictionary values;
    try {
        values = platform::FileManager::resourceValues(fileWithURL, resourceKeys());
    } catch (const platform::Exception&) {
        return nullptr;
    }
    std::string path = fileWithURL.relativePath();
    if (path.empty() || path[0] != '/') path = "/" + path;
    std::string name = fileWithURL.lastPathComponent();
    if (const platform::Value* v = platform::find(values, URLResourceKey::nameKey); v && v->asString())
        name = *v->asString();
    auto entry = std::make_shared<LocalFileObject>(Token{}, fileWithURL, name, path);
    for (auto& [key, value] : values) entry->allValues()[key] = std::move(value);
    return entry;
}

std::shared_ptr<LocalFileObject> LocalFileObject::make(const std::string& fileWithPath,
                                                       const std::optional<platform::URL>& relativeTo) {
    std::string text = dropOneLeadingSlash(fileWithPath);
    if (!relativeTo) return make(platform::URL::fileURLWithPath(text));

    // An absolute path of an item inside the base names the same item as its relative path. The
    // base must be a whole leading run of components: "/srv/basement" is not inside "/srv/base".
    const std::string basePath = dropLeadingSlashes(relativeTo->path());
    if (!basePath.empty()) {
        if (text == basePath)
            text.clear();
        else if (text.size() > basePath.size() && text.compare(0, basePath.size(), basePath) == 0 &&
                 text[basePath.size()] == '/')
            text = dropOneLeadingSlash(text.substr(basePath.size()));
    }
    const std::string relative =
        dropLeadingSlashes(platform::URL::removeDotSegments("/" + percentEncodedPath(text)));
    const auto url = platform::URL::parse(relative, relativeTo->absoluteURL());
    if (!url) return nullptr;
    return make(*url);
}

int64_t LocalFileObject::allocatedSize() const {
    const platform::Value* v = platform::find(allValues(), URLResourceKey::fileAllocatedSizeKey);
    return v && v->asInt64() ? *v->asInt64() : 0;
}

std::optional<int64_t> LocalFileObject::id() const {
    const platform::Value* v = platform::find(allValues(), "NSURLDocumentIdentifierKey");
    return v ? v->int64Value() : std::nullopt;
}

std::optional<std::string> LocalFileObject::rev() const {
    const platform::Value* v = platform::find(allValues(), "NSURLGenerationIdentifierKey");
    if (!v || !v->asData()) return std::nullopt;
    std::string out;
    for (uint8_t byte : *v->asData()) {
        char buf[3];
        std::snprintf(buf, sizeof buf, "%02hhx", byte);
        out += buf;
    }
    return out;
}

std::optional<int64_t> LocalFileObject::childrensCount() const {
    try {
        return static_cast<int64_t>(platform::FileManager::defaultManager()->contentsOfDirectory(url().path()).size());
    } catch (const platform::Exception&) {
        return std::nullopt;
    }
}

void LocalFileObject::setChildrensCount(std::optional<int64_t>) {}

} // namespace RiridOzizevud
