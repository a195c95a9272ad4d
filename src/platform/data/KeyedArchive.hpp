// platform::KeyedArchiver / KeyedUnarchiver — keyed archiving (encode(with:) / init(coder:)) over
// JSON. An archive is one JSON object from key to value. Strings, numbers, booleans, null and
// arrays are written as themselves; every JSON object is tagged by its one member so that the
// kinds JSON lacks come back as they went in: {"$date": seconds since 1970}, {"$data": Base64},
// {"$url": absolute string}, {"$dict": {...}} and a nested archive {"$object": {...}}.
#pragma once

#include "platform/data/Value.hpp"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace platform {

class KeyedArchiver {
public:
    KeyedArchiver() = default;

    /// encode(_:forKey:) of an object value (null for an absent object).
    void encode(const Value& value, const std::string& key);
    void encode(bool value, const std::string& key);
    void encode(int64_t value, const std::string& key);
    void encode(int value, const std::string& key) { encode(static_cast<int64_t>(value), key); }
    void encode(double value, const std::string& key);
    void encode(const std::string& value, const std::string& key);
    void encode(const char* value, const std::string& key) { encode(std::string(value), key); }
    /// A nested archive, as an archivable object writes itself into its own archiver.
    void encode(const KeyedArchiver& object, const std::string& key);

    bool requiresSecureCoding() const { return true; }

    /// The archive as JSON, and as its text (archivedData).
    const nlohmann::json& json() const { return root_; }
    std::string encodedData() const;

private:
    nlohmann::json root_ = nlohmann::json::object();
};

class KeyedUnarchiver {
public:
    /// Throws platform::Exception with CocoaError coderReadCorrupt when `data` is not an archive.
    explicit KeyedUnarchiver(const std::string& data);
    explicit KeyedUnarchiver(nlohmann::json archive);

    bool requiresSecureCoding() const { return true; }
    bool containsValue(const std::string& key) const;

    /// decodeObject(forKey:): the value, no value when absent (an archived null reads as null).
    std::optional<Value> decodeObject(const std::string& key) const;
    /// The plain decoders read their own kind and answer false / 0 / no value otherwise.
    bool decodeBool(const std::string& key) const;
    int64_t decodeInt64(const std::string& key) const;
    double decodeDouble(const std::string& key) const;
    std::optional<std::string> decodeString(const std::string& key) const;
    std::optional<URL> decodeURL(const std::string& key) const;
    /// A nested archive written with encode(const KeyedArchiver&, key).
    std::optional<KeyedUnarchiver> decodeNested(const std::string& key) const;

private:
    const nlohmann::json* member(const std::string& key) const;

    nlohmann::json root_;
};

} // namespace platform
