#include "platform/data/KeyedArchive.hpp"

#include "platform/data/Base64.hpp"
#include "platform/base/Error.hpp"

namespace platform {
namespace {

nlohmann::json toArchive(const Value& v) {
    switch (v.kind()) {
    case Value::Kind::null: return nullptr;
    case Value::Kind::boolean: return *v.asBool();
    case Value::Kind::integer: return *v.asInt64();
    case Value::Kind::real: return *v.asDouble();
    case Value::Kind::string: return *v.asString();
    case Value::Kind::date: return {{"$date", v.asDate()->timeIntervalSince1970()}};
    case Value::Kind::data: return {{"$data", Base64::encode(*v.asData())}};
    case Value::Kind::url: return {{"$url", v.asURL()->absoluteString()}};
    case Value::Kind::array: {
        nlohmann::json a = nlohmann::json::array();
        for (const auto& e : *v.asArray())
            a.push_back(toArchive(e));
        return a;
    }
    case Value::Kind::dictionary: {
        nlohmann::json d = nlohmann::json::object();
        for (const auto& [k, e] : *v.asDictionary())
            d[k] = toArchive(e);
        return {{"$dict", std::move(d)}};
    }
    }
    return nullptr;
}

[[noreturn]] void corrupt(const std::string& why) {
    throwError(CocoaError::withDescription(CocoaError::coderReadCorrupt, "The archive could not be read: " + why + "."));
}

std::optional<Value> fromArchive(const nlohmann::json& j) {
    switch (j.type()) {
    case nlohmann::json::value_t::null: return Value();
    case nlohmann::json::value_t::boolean: return Value(j.get<bool>());
    case nlohmann::json::value_t::number_integer: return Value(j.get<int64_t>());
    case nlohmann::json::value_t::number_unsigned:
        if (j.get<uint64_t>() <= static_cast<uint64_t>(INT64_MAX))
            return Value(static_cast<int64_t>(j.get<uint64_t>()));
        return Value(j.get<double>());
    case nlohmann::json::value_t::number_float: return Value(j.get<double>());
    case nlohmann::json::value_t::string: return Value(j.get<std::string>());
    case nlohmann::json::value_t::array: {
        Value::Array a;
        for (const auto& e : j) {
            auto v = fromArchive(e);
            if (!v)
                return std::nullopt;
            a.push_back(std::move(*v));
        }
        return Value(std::move(a));
    }
    case nlohmann::json::value_t::object: {
        if (j.size() != 1)
            return std::nullopt;
        const auto first = j.begin();
        const std::string& tag = first.key();
        const nlohmann::json& body = first.value();
        if (tag == "$date" && body.is_number())
            return Value(Date(body.get<double>()));
        if (tag == "$data" && body.is_string()) {
            auto bytes = Base64::decode(body.get<std::string>());
            return bytes ? std::optional<Value>(Value(std::move(*bytes))) : std::nullopt;
        }
        if (tag == "$url" && body.is_string()) {
            auto u = URL::parse(body.get<std::string>());
            return u ? std::optional<Value>(Value(std::move(*u))) : std::nullopt;
        }
        if (tag == "$dict" && body.is_object()) {
            Value::Dictionary d;
            for (const auto& [k, e] : body.items()) {
                auto v = fromArchive(e);
                if (!v)
                    return std::nullopt;
                d.emplace(k, std::move(*v));
            }
            return Value(std::move(d));
        }
        return std::nullopt;
    }
    default:
        return std::nullopt;
    }
}

} // namespace

void KeyedArchiver::encode(const Value& value, const std::string& key) { root_[key] = toArchive(value); }
void KeyedArchiver::encode(bool value, const std::string& key) { root_[key] = value; }
void KeyedArchiver::encode(int64_t value, const std::string& key) { root_[key] = value; }
void KeyedArchiver::encode(double value, const std::string& key) { root_[key] = value; }
void KeyedArchiver::encode(const std::string& value, const std::string& key) { root_[key] = value; }
void KeyedArchiver::encode(const KeyedArchiver& object, const std::string& key) {
    root_[key] = {{"$object", object.root_}};
}

std::string KeyedArchiver::encodedData() const {
    return root_.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

KeyedUnarchiver::KeyedUnarchiver(const std::string& data) {
    nlohmann::json j = nlohmann::json::parse(data, nullptr, false);
    if (j.is_discarded())
        corrupt("it is not JSON");
    if (!j.is_object())
        corrupt("it is not a keyed archive");
    root_ = std::move(j);
}

KeyedUnarchiver::KeyedUnarchiver(nlohmann::json archive) : root_(std::move(archive)) {
    if (!root_.is_object())
        corrupt("it is not a keyed archive");
}

const nlohmann::json* KeyedUnarchiver::member(const std::string& key) const {
    const auto it = root_.find(key);
    return it == root_.end() ? nullptr : &*it;
}

bool KeyedUnarchiver::containsValue(const std::string& key) const { return member(key) != nullptr; }

std::optional<Value> KeyedUnarchiver::decodeObject(const std::string& key) const {
    const auto* m = member(key);
    return m ? fromArchive(*m) : std::nullopt;
}

bool KeyedUnarchiver::decodeBool(const std::string& key) const {
    const auto* m = member(key);
    return m && m->is_boolean() ? m->get<bool>() : false;
}

int64_t KeyedUnarchiver::decodeInt64(const std::string& key) const {
    const auto* m = member(key);
    if (m && m->is_number_integer() && !(m->is_number_unsigned() && m->get<uint64_t>() > static_cast<uint64_t>(INT64_MAX)))
        return m->get<int64_t>();
    return 0;
}

double KeyedUnarchiver::decodeDouble(const std::string& key) const {
    const auto* m = member(key);
    return m && m->is_number() ? m->get<double>() : 0.0;
}

std::optional<std::string> KeyedUnarchiver::decodeString(const std::string& key) const {
    const auto* m = member(key);
    return m && m->is_string() ? std::optional<std::string>(m->get<std::string>()) : std::nullopt;
}

std::optional<URL> KeyedUnarchiver::decodeURL(const std::string& key) const {
    const auto v = decodeObject(key);
    return v ? v->urlValue() : std::nullopt;
}

std::optional<KeyedUnarchiver> KeyedUnarchiver::decodeNested(const std::string& key) const {
    const auto* m = member(key);
    if (!m || !m->is_object() || m->size() != 1)
        return std::nullopt;
    const auto it = m->find("$object");
    if (it == m->end() || !it->is_object())
        return std::nullopt;
    return KeyedUnarchiver(*it);
}

} // namespace platform
