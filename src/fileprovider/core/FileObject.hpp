// RiridOzizevud::FileObject and VolumeObject — one directory entry of any provider, and the
// storage behind a provider. Each is a dictionary of resource values with typed views over it;
// provider entry classes only fill the dictionary. Not locked: an entry belongs to one owner at a
// time (a provider hands it to a completion and keeps no reference).
#pragma once

#include "platform/data/Date.hpp"
#include "platform/data/Predicate.hpp"
#include "platform/net/URL.hpp"
#include "platform/net/URLResourceKey.hpp"
#include "platform/data/Value.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace RiridOzizevud {

using platform::URLFileResourceType;
using platform::URLResourceKey;

// The module's own resource keys.
inline constexpr const char* fileURLKey = "NSURLFileURLKey";               // URL
inline constexpr const char* serverDateKey = "NSURLServerDateKey";         // Date
inline constexpr const char* entryTagKey = "NSURLEntryTagKey";             // String
inline constexpr const char* mimeTypeKey = "NSURLMIMETypeIdentifierKey";   // String
inline constexpr const char* isEncryptedKey = "NSURLIsEncryptedKey";       // Bool
inline constexpr const char* childrensCount = "KelURLChildrensCount";      // Int

/// A provider path as URL path text: percent-encoded with the path characters less ":"; bytes
/// that are not UTF-8 are escaped one by one.
std::string percentEncodedPath(std::string_view path);

class FileObject : public std::enable_shared_from_this<FileObject> {
public:
    /// init(allValues:): stores the dictionary as given; it should hold the name and path strings.
    explicit FileObject(platform::ValueDictionary allValues);
    /// init(url:name:path:): the URL (when given), name and path.
    FileObject(const std::optional<platform::URL>& url, const std::string& name, const std::string& path);
    virtual ~FileObject() = default;

    virtual const platform::ValueDictionary& allValues() const { return allValues_; }
    virtual platform::ValueDictionary& allValues() { return allValues_; }
    virtual void setAllValues(platform::ValueDictionary values) { allValues_ = std::move(values); }

    /// The stored URL, else the path percent-encoded (path characters less ":") without its first
    /// "/", else the URL "/".
    virtual platform::URL url() const;
    virtual void setUrl(const platform::URL& url);
    /// The stored string; "" when absent.
    virtual std::string name() const;
    virtual void setName(const std::string& name);
    virtual std::string path() const;
    virtual void setPath(const std::string& path);
    /// The stored 64-bit size, else -1.
    virtual int64_t size() const;
    virtual void setSize(int64_t size);
    virtual std::optional<int64_t> childrensCount() const;
    virtual void setChildrensCount(std::optional<int64_t> count);
    virtual std::optional<platform::Date> creationDate() const;
    virtual void setCreationDate(std::optional<platform::Date> date);
    virtual std::optional<platform::Date> modifiedDate() const;
    virtual void setModifiedDate(std::optional<platform::Date> date);
    virtual URLFileResourceType type() const;
    virtual void setType(URLFileResourceType type);
    virtual bool isHidden() const;
    virtual void setIsHidden(bool hidden);
    /// Not writable: true only when NSURLIsWritableKey holds false.
    virtual bool isReadOnly() const;
    virtual void setIsReadOnly(bool readOnly);

    virtual bool isDirectory() const { return type() == URLFileResourceType::directory; }
    virtual bool isRegularFile() const { return type() == URLFileResourceType::regular; }
    virtual bool isSymLink() const { return type() == URLFileResourceType::symbolicLink; }

    /// Agrees with isEqual: entries equal by URL and size hash alike whatever their dates.
    virtual std::size_t hash() const;
    /// Same object; else same dynamic class and: both with a stored URL, equal URLs and sizes;
    /// otherwise equal paths, sizes and modification dates.
    virtual bool isEqual(const FileObject& other) const;

    /// The flat, name-keyed view that search predicates are evaluated against.
    platform::ValueDictionary predicateAttributes() const;

    /// Rewrites the metadata-query key paths of `predicate` into resource keys.
    static std::shared_ptr<const platform::Predicate> convertPredicate(
        const std::shared_ptr<const platform::Predicate>& fromSpotlight);

private:
    const platform::Value* value(const char* key) const;

    platform::ValueDictionary allValues_;
};

using FileObjectRef = std::shared_ptr<FileObject>;

inline bool operator==(const FileObject& a, const FileObject& b) { return a.isEqual(b); }

/// Hash functor for unordered containers of entries (by value, through hash()).
struct FileObjectHash {
    std::size_t operator()(const std::shared_ptr<const FileObject>& f) const { return f ? f->hash() : 0; }
};
struct FileObjectEqual {
    bool operator()(const std::shared_ptr<const FileObject>& a, const std::shared_ptr<const FileObject>& b) const {
        return a && b ? a->isEqual(*b) : a == b;
    }
};

class VolumeObject {
public:
    explicit VolumeObject(platform::ValueDictionary allValues);
    virtual ~VolumeObject() = default;

    virtual const platform::ValueDictionary& allValues() const { return allValues_; }
    virtual platform::ValueDictionary& allValues() { return allValues_; }
    virtual void setAllValues(platform::ValueDictionary values) { allValues_ = std::move(values); }

    virtual std::optional<platform::URL> url() const;
    virtual void setUrl(const std::optional<platform::URL>& url);
    virtual std::optional<std::string> name() const;
    virtual void setName(const std::optional<std::string>& name);
    virtual std::optional<std::string> uuid() const;
    virtual void setUuid(const std::optional<std::string>& uuid);
    /// The stored 64-bit value, else -1 (unknown).
    virtual int64_t totalCapacity() const;
    virtual void setTotalCapacity(int64_t capacity);
    /// The stored 64-bit value, else 0.
    virtual int64_t availableCapacity() const;
    virtual void setAvailableCapacity(int64_t capacity);
    /// total - available, or -available while the total is unknown; the setter stores the
    /// matching available capacity, so reading back gives the value written.
    virtual int64_t usage() const;
    virtual void setUsage(int64_t usage);
    virtual std::optional<platform::Date> creationDate() const;
    virtual void setCreationDate(std::optional<platform::Date> date);
    virtual bool isReadOnly() const;
    virtual void setIsReadOnly(bool readOnly);
    virtual bool isEncrypted() const;
    virtual void setIsEncrypted(bool encrypted);

private:
    platform::ValueDictionary allValues_;
};

using VolumeObjectRef = std::shared_ptr<VolumeObject>;

} // namespace RiridOzizevud
