#include "fileprovider/core/FileObject.hpp"

#include "fileprovider/core/PlatformExtensions.hpp"
#include "platform/text/CharacterSet.hpp"

#include <functional>
#include <limits>
#include <typeinfo>
#include <utility>

namespace RiridOzizevud {

using platform::URLResourceKey;
using platform::Value;
using platform::ValueDictionary;

namespace {

int64_t saturatingSub(int64_t a, int64_t b) {
    int64_t r = 0;
    if (__builtin_sub_overflow(a, b, &r))
        return b < 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
    return r;
}

void storeOptional(ValueDictionary& d, const char* key, std::optional<Value> v) {
    if (v)
        d[key] = std::move(*v);
    else
        d.erase(key);
}

} // namespace

std::string percentEncodedPath(std::string_view path) {
    if (auto encoded = platform::addingPercentEncoding(path, filePathAllowed()))
        return *encoded;
    // Not UTF-8: every byte outside the path characters is escaped on its own, so the text is
    // still a URL path (and never falls back to some other location).
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        if (c < 0x80 && filePathAllowed().contains(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// --- FileObject ---------------------------------------------------------------------------------

FileObject::FileObject(ValueDictionary allValues) : allValues_(std::move(allValues)) {}

FileObject::FileObject(const std::optional<platform::URL>& url, const std::string& name, const std::string& path) {
    if (url)
        allValues_[fileURLKey] = *url;
    allValues_[URLResourceKey::nameKey] = name;
    allValues_[URLResourceKey::pathKey] = path;
}

const Value* FileObject::value(const char* key) const { return platform::find(allValues(), key); }

platform::URL FileObject::url() const {
    if (const Value* v = value(fileURLKey); v && v->asURL())
        return *v->asURL();
    const std::string p = path();
    std::string encoded = percentEncodedPath(p);
    if (!encoded.empty() && encoded.front() == '/')
        encoded.erase(0, 1);
    if (auto u = platform::URL::parse(encoded))
        return *u;
    return *platform::URL::parse("/");
}

void FileObject::setUrl(const platform::URL& url) { allValues()[fileURLKey] = url; }

std::string FileObject::name() const {
    const Value* v = value(URLResourceKey::nameKey);
    return v && v->asString() ? *v->asString() : std::string();
}

void FileObject::setName(const std::string& name) { allValues()[URLResourceKey::nameKey] = name; }

std::string FileObject::path() const {
    const Value* v = value(URLResourceKey::pathKey);
    return v && v->asString() ? *v->asString() : std::string();
}

void FileObject::setPath(const std::string& path) { allValues()[URLResourceKey::pathKey] = path; }

int64_t FileObject::size() const {
    const Value* v = value(URLResourceKey::fileSizeKey);
    return v && v->asInt64() ? *v->asInt64() : -1;
}

void FileObject::setSize(int64_t size) { allValues()[URLResourceKey::fileSizeKey] = size; }

std::optional<int64_t> FileObject::childrensCount() const {
    const Value* v = value(RiridOzizevud::childrensCount);
    return v ? v->int64Value() : std::nullopt;
}

void FileObject::setChildrensCount(std::optional<int64_t> count) {
    storeOptional(allValues(), RiridOzizevud::childrensCount, count ? std::optional<Value>(*count) : std::nullopt);
}

std::optional<platform::Date> FileObject::creationDate() const {
    const Value* v = value(URLResourceKey::creationDateKey);
    return v ? v->dateValue() : std::nullopt;
}

void FileObject::setCreationDate(std::optional<platform::Date> date) {
    storeOptional(allValues(), URLResourceKey::creationDateKey, date ? std::optional<Value>(*date) : std::nullopt);
}

std::optional<platform::Date> FileObject::modifiedDate() const {
    const Value* v = value(URLResourceKey::contentModificationDateKey);
    return v ? v->dateValue() : std::nullopt;
}

void FileObject::setModifiedDate(std::optional<platform::Date> date) {
    storeOptional(allValues(), URLResourceKey::contentModificationDateKey,
                  date ? std::optional<Value>(*date) : std::nullopt);
}

URLFileResourceType FileObject::type() const {
    const Value* v = value(URLResourceKey::fileResourceTypeKey);
    if (v && v->asString())
        return platform::urlFileResourceTypeFromRawValue(*v->asString()).value_or(URLFileResourceType::unknown);
    return URLFileResourceType::unknown;
}

void FileObject::setType(URLFileResourceType type) {
    allValues()[URLResourceKey::fileResourceTypeKey] = platform::rawValue(type);
}

bool FileObject::isHidden() const {
    const Value* v = value(URLResourceKey::isHiddenKey);
    return v && v->asBool() ? *v->asBool() : false;
}

void FileObject::setIsHidden(bool hidden) { allValues()[URLResourceKey::isHiddenKey] = hidden; }

bool FileObject::isReadOnly() const {
    const Value* v = value(URLResourceKey::isWritableKey);
    return v && v->asBool() ? !*v->asBool() : false;
}

void FileObject::setIsReadOnly(bool readOnly) { allValues()[URLResourceKey::isWritableKey] = !readOnly; }

std::size_t FileObject::hash() const {
    // Entries equal by URL and size may differ in path and date, and entries equal by path may
    // differ in URL, so only what every equal pair shares goes in: the class and the size.
    std::size_t h = typeid(*this).hash_code();
    h ^= std::hash<int64_t>()(size()) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    return h;
}

bool FileObject::isEqual(const FileObject& other) const {
    if (this == &other)
        return true;
    if (typeid(*this) != typeid(other))
        return false;
    const Value* mine = value(fileURLKey);
    const Value* theirs = other.value(fileURLKey);
    if (mine && mine->asURL() && theirs && theirs->asURL())
        return *mine->asURL() == *theirs->asURL() && size() == other.size();
    return path() == other.path() && size() == other.size() && modifiedDate() == other.modifiedDate();
}

ValueDictionary FileObject::predicateAttributes() const {
    static const std::pair<const char*, const char*> table[] = {
        {fileURLKey, "url"},
        {URLResourceKey::nameKey, "name"},
        {URLResourceKey::pathKey, "path"},
        {URLResourceKey::fileSizeKey, "fileSize"},
        {URLResourceKey::creationDateKey, "creationDate"},
        {URLResourceKey::contentModificationDateKey, "modifiedDate"},
        {URLResourceKey::isHiddenKey, "isHidden"},
        {URLResourceKey::isWritableKey, "isWritable"},
        {serverDateKey, "serverDate"},
        {entryTagKey, "entryTag"},
        {mimeTypeKey, "mimeType"},
    };
    ValueDictionary out;
    for (const auto& [key, name] : table)
        if (const Value* v = value(key))
            out[name] = *v;
    if (auto it = out.find("entryTag"); it != out.end())
        out["eTag"] = it->second;
    if (auto it = out.find("fileSize"); it != out.end())
        out["filesize"] = it->second;
    out["isReadOnly"] = isReadOnly();
    out["isDirectory"] = isDirectory();
    out["isRegularFile"] = isRegularFile();
    out["isSymLink"] = isSymLink();
    switch (type()) {
    case URLFileResourceType::directory: out["type"] = "directory"; break;
    case URLFileResourceType::regular: out["type"] = "regular"; break;
    case URLFileResourceType::symbolicLink: out["type"] = "symbolicLink"; break;
    default: out["type"] = "unknown"; break;
    }
    return out;
}

std::shared_ptr<const platform::Predicate> FileObject::convertPredicate(
    const std::shared_ptr<const platform::Predicate>& fromSpotlight) {
    using platform::ComparisonPredicate;
    using platform::CompoundPredicate;
    using platform::Expression;
    if (!fromSpotlight)
        return fromSpotlight;
    if (const auto* compound = dynamic_cast<const CompoundPredicate*>(fromSpotlight.get())) {
        std::vector<platform::PredicateRef> converted;
        for (const auto& sub : compound->subpredicates())
            converted.push_back(convertPredicate(sub));
        switch (compound->compoundPredicateType()) {
        case CompoundPredicate::LogicalType::not_:
            return CompoundPredicate::notPredicate(converted.empty() ? nullptr : converted.front());
        case CompoundPredicate::LogicalType::and_:
            return CompoundPredicate::andPredicate(std::move(converted));
        case CompoundPredicate::LogicalType::or_:
            return CompoundPredicate::orPredicate(std::move(converted));
        }
    }
    if (const auto* cmp = dynamic_cast<const ComparisonPredicate*>(fromSpotlight.get())) {
        static const std::pair<const char*, const char*> table[] = {
            {platform::NSMetadataItemURLKey, fileURLKey},
            {platform::NSMetadataItemFSNameKey, URLResourceKey::nameKey},
            {platform::NSMetadataItemPathKey, URLResourceKey::pathKey},
            {platform::NSMetadataItemFSSizeKey, URLResourceKey::fileSizeKey},
            {platform::NSMetadataItemFSCreationDateKey, URLResourceKey::creationDateKey},
            {platform::NSMetadataItemFSContentChangeDateKey, URLResourceKey::contentModificationDateKey},
            {"kMDItemFSInvisible", URLResourceKey::isHiddenKey},
            {"kMDItemFSIsWriteable", URLResourceKey::isWritableKey},
            {"kMDItemKind", mimeTypeKey},
        };
        auto convert = [](const Expression& e) {
            if (e.expressionType() != Expression::Type::keyPath)
                return e;
            for (const auto& [attribute, key] : table)
                if (e.keyPath() == attribute)
                    return Expression::keyPath(key);
            return e;
        };
        return std::make_shared<ComparisonPredicate>(convert(cmp->leftExpression()), convert(cmp->rightExpression()),
                                                     cmp->comparisonPredicateModifier(), cmp->predicateOperatorType(),
                                                     cmp->options());
    }
    return fromSpotlight;
}

// --- VolumeObject -------------------------------------------------------------------------------

VolumeObject::VolumeObject(ValueDictionary allValues) : allValues_(std::move(allValues)) {}

std::optional<platform::URL> VolumeObject::url() const {
    const Value* v = platform::find(allValues(), URLResourceKey::volumeURLKey);
    return v ? v->urlValue() : std::nullopt;
}

void VolumeObject::setUrl(const std::optional<platform::URL>& url) {
    storeOptional(allValues(), URLResourceKey::volumeURLKey, url ? std::optional<Value>(*url) : std::nullopt);
}

std::optional<std::string> VolumeObject::name() const {
    const Value* v = platform::find(allValues(), URLResourceKey::volumeNameKey);
    return v ? v->stringValue() : std::nullopt;
}

void VolumeObject::setName(const std::optional<std::string>& name) {
    storeOptional(allValues(), URLResourceKey::volumeNameKey, name ? std::optional<Value>(*name) : std::nullopt);
}

std::optional<std::string> VolumeObject::uuid() const {
    const Value* v = platform::find(allValues(), URLResourceKey::volumeUUIDStringKey);
    return v ? v->stringValue() : std::nullopt;
}

void VolumeObject::setUuid(const std::optional<std::string>& uuid) {
    storeOptional(allValues(), URLResourceKey::volumeUUIDStringKey, uuid ? std::optional<Value>(*uuid) : std::nullopt);
}

int64_t VolumeObject::totalCapacity() const {
    const Value* v = platform::find(allValues(), URLResourceKey::volumeTotalCapacityKey);
    return v && v->asInt64() ? *v->asInt64() : -1;
}

void VolumeObject::setTotalCapacity(int64_t capacity) { allValues()[URLResourceKey::volumeTotalCapacityKey] = capacity; }

int64_t VolumeObject::availableCapacity() const {
    const Value* v = platform::find(allValues(), URLResourceKey::volumeAvailableCapacityKey);
    return v && v->asInt64() ? *v->asInt64() : 0;
}

void VolumeObject::setAvailableCapacity(int64_t capacity) {
    allValues()[URLResourceKey::volumeAvailableCapacityKey] = capacity;
}

int64_t VolumeObject::usage() const {
    const int64_t total = totalCapacity();
    return total < 0 ? saturatingSub(0, availableCapacity()) : saturatingSub(total, availableCapacity());
}

void VolumeObject::setUsage(int64_t usage) {
    const int64_t total = totalCapacity();
    allValues()[URLResourceKey::volumeAvailableCapacityKey] = total < 0 ? saturatingSub(0, usage) : saturatingSub(total, usage);
}

std::optional<platform::Date> VolumeObject::creationDate() const {
    const Value* v = platform::find(allValues(), URLResourceKey::volumeCreationDateKey);
    return v ? v->dateValue() : std::nullopt;
}

void VolumeObject::setCreationDate(std::optional<platform::Date> date) {
    storeOptional(allValues(), URLResourceKey::volumeCreationDateKey, date ? std::optional<Value>(*date) : std::nullopt);
}

bool VolumeObject::isReadOnly() const {
    const Value* v = platform::find(allValues(), URLResourceKey::volumeIsReadOnlyKey);
    return v && v->asBool() ? *v->asBool() : false;
}

void VolumeObject::setIsReadOnly(bool readOnly) { allValues()[URLResourceKey::volumeIsReadOnlyKey] = readOnly; }

bool VolumeObject::isEncrypted() const {
    const Value* v = platform::find(allValues(), URLResourceKey::volumeIsEncryptedKey);
    return v && v->asBool() ? *v->asBool() : false;
}

void VolumeObject::setIsEncrypted(bool encrypted) { allValues()[URLResourceKey::volumeIsEncryptedKey] = encrypted; }

} // namespace RiridOzizevud
