// platform::Value — the one variant for untyped values (resource dictionaries, progress
// user info, error user info, properties), shared by all subsystems.
//
// Alternatives: null, bool, int64, double, string, Date, Data (bytes), URL, Array, Dictionary.
// The typed views (`asString()`, `asInt64()`…) read only their own alternative: a Value holding
// the integer 1 gives no bool and no double (use `asNumber()` to read either number kind).
#pragma once

#include "platform/data/Date.hpp"
#include "platform/net/URL.hpp"

#include <cstdint>
#include <map>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace platform {

/// The platform's Data: bytes.
using Data = std::vector<uint8_t>;

class Value {
public:
    using Array = std::vector<Value>;
    using Dictionary = std::map<std::string, Value>;

    enum class Kind { null, boolean, integer, real, string, date, data, url, array, dictionary };

    Value() = default;                            // null
    Value(std::nullptr_t) {}                      // null
    Value(bool v) : v_(v) {}
    template <class I, std::enable_if_t<std::is_integral_v<I> && !std::is_same_v<I, bool> &&
                                            !std::is_same_v<I, char>, int> = 0>
    Value(I v) : v_(static_cast<int64_t>(v)) {}
    Value(double v) : v_(v) {}
    Value(float v) : v_(static_cast<double>(v)) {}
    Value(std::string v) : v_(std::move(v)) {}
    Value(std::string_view v) : v_(std::string(v)) {}
    Value(const char* v) : v_(std::string(v)) {}
    Value(Date v) : v_(v) {}
    Value(Data v) : v_(std::move(v)) {}
    Value(URL v) : v_(std::move(v)) {}
    Value(Array v) : v_(std::move(v)) {}
    Value(Dictionary v) : v_(std::move(v)) {}

    Kind kind() const { return static_cast<Kind>(v_.index()); }
    bool isNull() const { return kind() == Kind::null; }

    // Typed views: a pointer to the held alternative, nullptr when another kind is held.
    const bool* asBool() const { return std::get_if<bool>(&v_); }
    const int64_t* asInt64() const { return std::get_if<int64_t>(&v_); }
    const double* asDouble() const { return std::get_if<double>(&v_); }
    const std::string* asString() const { return std::get_if<std::string>(&v_); }
    const Date* asDate() const { return std::get_if<Date>(&v_); }
    const Data* asData() const { return std::get_if<Data>(&v_); }
    const URL* asURL() const { return std::get_if<URL>(&v_); }
    const Array* asArray() const { return std::get_if<Array>(&v_); }
    const Dictionary* asDictionary() const { return std::get_if<Dictionary>(&v_); }
    Array* asArray() { return std::get_if<Array>(&v_); }
    Dictionary* asDictionary() { return std::get_if<Dictionary>(&v_); }

    /// Either number kind as a double (no value for any other kind).
    std::optional<double> asNumber() const;

    // Optional copies, for `value_or` style reads.
    std::optional<bool> boolValue() const { return opt(asBool()); }
    std::optional<int64_t> int64Value() const { return opt(asInt64()); }
    std::optional<double> doubleValue() const { return opt(asDouble()); }
    std::optional<std::string> stringValue() const { return opt(asString()); }
    std::optional<Date> dateValue() const { return opt(asDate()); }
    std::optional<URL> urlValue() const { return opt(asURL()); }

    /// Dictionary lookup: the entry under `key`, nullptr when this is no dictionary or lacks it.
    const Value* find(std::string_view key) const;
    /// Array element, nullptr when this is no array or the index is out of range.
    const Value* at(std::size_t index) const;

    bool operator==(const Value& other) const { return v_ == other.v_; }
    bool operator!=(const Value& other) const { return !(*this == other); }

    /// JSON form: null, bool, integer, double, string as themselves; Date as seconds since 1970
    /// (double); Data as Base64 text; URL as its absolute string; arrays and objects recursively.
    nlohmann::json toJSON() const;
    /// From JSON: null, bool, integer (unsigned above int64 becomes double), double, string,
    /// array, object. (JSON has no date, data or URL kinds.)
    static Value fromJSON(const nlohmann::json& j);

    /// Short debugging text (JSON-like).
    std::string description() const;

private:
    template <class T> static std::optional<T> opt(const T* p) { return p ? std::optional<T>(*p) : std::nullopt; }
    std::variant<std::monostate, bool, int64_t, double, std::string, Date, Data, URL, Array, Dictionary> v_;
};

using ValueArray = Value::Array;
using ValueDictionary = Value::Dictionary;

/// Entry of a dictionary (nullptr when missing).
inline const Value* find(const ValueDictionary& d, std::string_view key) {
    auto it = d.find(std::string(key));
    return it == d.end() ? nullptr : &it->second;
}

// nlohmann ADL hooks: `nlohmann::json j = value;` and `j.get<platform::Value>()`.
void to_json(nlohmann::json& j, const Value& v);
void from_json(const nlohmann::json& j, Value& v);

} // namespace platform
