// platform::JSON — coding helpers over nlohmann-json for the library's coded records.
//
// Readers treat a JSON null like an absent key. Decoding failures throw platform::Exception
// carrying a platform::DecodingError (NSCocoaErrorDomain: coderValueNotFound 4865 for a missing
// key or null, coderReadCorrupt 4864 for a wrong kind or bad raw value), whose description names
// the key.
//
//   auto name = JSON::required<std::string>(j, "name");          // throws when absent/null/not text
//   auto port = JSON::optional<int>(j, "port");                   // nullopt when absent or null
//   auto kind = JSON::requiredRawValue<Kind, std::string>(j, "kind", &kindFromRawValue);
//   JSON::encodeIfPresent(out, "port", port);                     // the present-only rule
#pragma once

#include "platform/base/Error.hpp"
#include "platform/net/URL.hpp"
#include "platform/data/Value.hpp"

#include <cmath>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace platform {

/// Swift's DecodingError, bridged as the platform does to NSCocoaErrorDomain.
class DecodingError : public CocoaError {
public:
    enum class Kind { typeMismatch, valueNotFound, keyNotFound, dataCorrupted };
    /// `codingPath`: the key (or dotted path) concerned, may be empty; `debugDescription`: details.
    DecodingError(Kind kind, std::string codingPath, std::string debugDescription);

    Kind kind() const { return kind_; }
    const std::string& codingPath() const { return codingPath_; }
    const std::string& debugText() const { return debug_; }

    /// "The data couldn’t be read because it is missing." / "…isn’t in the correct format.",
    /// followed by the key and details in parentheses.
    std::string localizedDescription() const override;

    [[noreturn]] static void raise(Kind kind, std::string codingPath, std::string debugDescription);

private:
    Kind kind_;
    std::string codingPath_;
    std::string debug_;
};

namespace JSON {

using Json = nlohmann::json;

/// Parses JSON text; no value when it is not JSON (never throws).
std::optional<Json> parse(std::string_view text);
/// Parses JSON text; throws Exception(DecodingError dataCorrupted) when it is not JSON.
Json parseOrThrow(std::string_view text);
/// The body as a JSON object; no value when there is no body or it is not a JSON object.
std::optional<Json> object(const std::optional<std::vector<uint8_t>>& body);
/// Compact text; invalid UTF-8 in strings is replaced (U+FFFD), never throws.
std::string dump(const Json& j, int indent = -1);

/// Name of a JSON value's kind ("string", "number", "object"…), for messages.
const char* kindName(const Json& j);

namespace detail {
template <class T> struct is_vector : std::false_type {};
template <class T, class A> struct is_vector<std::vector<T, A>> : std::true_type {};
template <class T> struct is_string_map : std::false_type {};
template <class T, class C, class A> struct is_string_map<std::map<std::string, T, C, A>> : std::true_type {};
[[noreturn]] void mismatch(const std::string& path, const char* expected, const Json& got);
} // namespace detail

/// Converts one JSON value to T, checking its kind: bool, integers (a whole JSON number in T's
/// range), floating point (any number), std::string, URL (a string that parses), Value, Json,
/// std::vector<T>, std::map<std::string, T>, and any type with nlohmann from_json (its
/// nlohmann exceptions become DecodingError). `path` names the value in errors.
template <class T>
T decode(const Json& j, const std::string& path = {}) {
    if constexpr (std::is_same_v<T, Json>) {
        return j;
    } else if constexpr (std::is_same_v<T, Value>) {
        return Value::fromJSON(j);
    } else if constexpr (std::is_same_v<T, bool>) {
        if (!j.is_boolean()) detail::mismatch(path, "a boolean", j);
        return j.get<bool>();
    } else if constexpr (std::is_integral_v<T>) {
        if (j.is_number_integer()) {
            if (j.is_number_unsigned()) {
                auto u = j.get<uint64_t>();
                if (u > static_cast<uint64_t>(std::numeric_limits<T>::max())) detail::mismatch(path, "an integer in range", j);
                return static_cast<T>(u);
            }
            auto i = j.get<int64_t>();
            if constexpr (std::is_unsigned_v<T>) {
                if (i < 0 || static_cast<uint64_t>(i) > static_cast<uint64_t>(std::numeric_limits<T>::max()))
                    detail::mismatch(path, "an integer in range", j);
            } else {
                if (i < static_cast<int64_t>(std::numeric_limits<T>::min()) || i > static_cast<int64_t>(std::numeric_limits<T>::max()))
                    detail::mismatch(path, "an integer in range", j);
            }
            return static_cast<T>(i);
        }
        if (j.is_number_float()) {
            double d = j.get<double>();
            if (std::isfinite(d) && std::trunc(d) == d && d >= static_cast<double>(std::numeric_limits<T>::min()) &&
                d < std::ldexp(1.0, std::numeric_limits<T>::digits))
                return static_cast<T>(d);
        }
        detail::mismatch(path, "an integer", j);
    } else if constexpr (std::is_floating_point_v<T>) {
        if (!j.is_number()) detail::mismatch(path, "a number", j);
        return j.get<T>();
    } else if constexpr (std::is_same_v<T, std::string>) {
        if (!j.is_string()) detail::mismatch(path, "a string", j);
        return j.get_ref<const std::string&>();
    } else if constexpr (std::is_same_v<T, URL>) {
        if (!j.is_string()) detail::mismatch(path, "a URL string", j);
        auto u = URL::parse(j.get_ref<const std::string&>());
        if (!u) DecodingError::raise(DecodingError::Kind::dataCorrupted, path, "Invalid URL string.");
        return *u;
    } else if constexpr (detail::is_vector<T>::value) {
        if (!j.is_array()) detail::mismatch(path, "an array", j);
        T out;
        out.reserve(j.size());
        for (std::size_t i = 0; i < j.size(); ++i) {
            std::string p = path + "[" + std::to_string(i) + "]";
            if (j[i].is_null()) DecodingError::raise(DecodingError::Kind::valueNotFound, p, "Expected a value but found null.");
            out.push_back(decode<typename T::value_type>(j[i], p));
        }
        return out;
    } else if constexpr (detail::is_string_map<T>::value) {
        if (!j.is_object()) detail::mismatch(path, "an object", j);
        T out;
        for (auto it = j.begin(); it != j.end(); ++it) {
            std::string p = path.empty() ? it.key() : path + "." + it.key();
            if (it->is_null()) DecodingError::raise(DecodingError::Kind::valueNotFound, p, "Expected a value but found null.");
            out.emplace(it.key(), decode<typename T::mapped_type>(*it, p));
        }
        return out;
    } else {
        try {
            return j.get<T>();
        } catch (const nlohmann::json::exception& e) {
            DecodingError::raise(DecodingError::Kind::typeMismatch, path, e.what());
        }
    }
}

/// The entry under `key` of an object, nullptr when `obj` is no object, lacks the key or holds
/// null there.
const Json* member(const Json& obj, std::string_view key);

/// Required key: throws keyNotFound when absent, valueNotFound when null, typeMismatch when of
/// the wrong kind; also when `obj` is not an object.
template <class T>
T required(const Json& obj, std::string_view key) {
    if (!obj.is_object()) detail::mismatch(std::string(), "an object", obj);
    auto it = obj.find(key);
    if (it == obj.end()) DecodingError::raise(DecodingError::Kind::keyNotFound, std::string(key), "No value associated with the key.");
    if (it->is_null()) DecodingError::raise(DecodingError::Kind::valueNotFound, std::string(key), "Expected a value but found null.");
    return decode<T>(*it, std::string(key));
}

/// Optional key: no value when absent or null; throws when present with the wrong kind.
template <class T>
std::optional<T> optional(const Json& obj, std::string_view key) {
    if (!obj.is_object()) detail::mismatch(std::string(), "an object", obj);
    const Json* m = member(obj, key);
    if (!m) return std::nullopt;
    return decode<T>(*m, std::string(key));
}

/// Optional key read leniently: no value when absent, null or of the wrong kind (never throws).
template <class T>
std::optional<T> lenient(const Json& obj, std::string_view key) {
    const Json* m = member(obj, key);
    if (!m) return std::nullopt;
    try {
        return decode<T>(*m, std::string(key));
    } catch (const Exception&) {
        return std::nullopt;
    }
}

/// Required enum by raw value: reads a Raw, then `fromRawValue(raw)` (returning std::optional<E>);
/// throws dataCorrupted when the raw value has no case.
template <class E, class Raw, class F>
E requiredRawValue(const Json& obj, std::string_view key, F&& fromRawValue) {
    Raw raw = required<Raw>(obj, key);
    std::optional<E> e = fromRawValue(raw);
    if (!e) DecodingError::raise(DecodingError::Kind::dataCorrupted, std::string(key), "Cannot initialize from invalid raw value " + Json(raw).dump() + ".");
    return *e;
}

/// Optional enum by raw value: no value when absent or null; throws dataCorrupted for a raw value
/// without a case, typeMismatch for the wrong kind.
template <class E, class Raw, class F>
std::optional<E> optionalRawValue(const Json& obj, std::string_view key, F&& fromRawValue) {
    std::optional<Raw> raw = optional<Raw>(obj, key);
    if (!raw) return std::nullopt;
    std::optional<E> e = fromRawValue(*raw);
    if (!e) DecodingError::raise(DecodingError::Kind::dataCorrupted, std::string(key), "Cannot initialize from invalid raw value " + Json(*raw).dump() + ".");
    return e;
}

/// The present-only rule: writes `key` only when `value` holds one.
template <class T>
void encodeIfPresent(Json& obj, std::string_view key, const std::optional<T>& value) {
    if (value) obj[std::string(key)] = *value;
}
inline void encodeIfPresent(Json& obj, std::string_view key, const std::optional<URL>& value) {
    if (value) obj[std::string(key)] = value->absoluteString();
}

/// Runs `f`, turning nlohmann exceptions into Exception(DecodingError dataCorrupted / typeMismatch).
template <class F>
auto decoding(F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (const nlohmann::json::exception& e) {
        DecodingError::raise(DecodingError::Kind::typeMismatch, std::string(), e.what());
    }
}

} // namespace JSON
} // namespace platform
