#include "platform/data/Value.hpp"

#include "platform/data/Base64.hpp"

#include <nlohmann/json.hpp>

namespace platform {

std::optional<double> Value::asNumber() const {
    if (auto i = asInt64()) return static_cast<double>(*i);
    if (auto d = asDouble()) return *d;
    return std::nullopt;
}

const Value* Value::find(std::string_view key) const {
    auto d = asDictionary();
    if (!d) return nullptr;
    auto it = d->find(std::string(key));
    return it == d->end() ? nullptr : &it->second;
}

const Value* Value::at(std::size_t index) const {
    auto a = asArray();
    if (!a || index >= a->size()) return nullptr;
    return &(*a)[index];
}

nlohmann::json Value::toJSON() const {
    using nlohmann::json;
    switch (kind()) {
    case Kind::null: return nullptr;
    case Kind::boolean: return *asBool();
    case Kind::integer: return *asInt64();
    case Kind::real: return *asDouble();
    case Kind::string: return *asString();
    case Kind::date: return asDate()->timeIntervalSince1970();
    case Kind::data: return Base64::encode(*asData());
    case Kind::url: return asURL()->absoluteString();
    case Kind::array: {
        json a = json::array();
        for (const auto& v : *asArray()) a.push_back(v.toJSON());
        return a;
    }
    case Kind::dictionary: {
        json o = json::object();
        for (const auto& [k, v] : *asDictionary()) o[k] = v.toJSON();
        return o;
    }
    }
    return nullptr;
}

Value Value::fromJSON(const nlohmann::json& j) {
    using nlohmann::json;
    switch (j.type()) {
    case json::value_t::null: return Value();
    case json::value_t::boolean: return Value(j.get<bool>());
    case json::value_t::number_integer: return Value(j.get<int64_t>());
    case json::value_t::number_unsigned: {
        auto u = j.get<uint64_t>();
        if (u <= static_cast<uint64_t>(INT64_MAX)) return Value(static_cast<int64_t>(u));
        return Value(static_cast<double>(u));
    }
    case json::value_t::number_float: return Value(j.get<double>());
    case json::value_t::string: return Value(j.get<std::string>());
    case json::value_t::array: {
        Array a;
        a.reserve(j.size());
        for (const auto& e : j) a.push_back(fromJSON(e));
        return Value(std::move(a));
    }
    case json::value_t::object: {
        Dictionary d;
        for (auto it = j.begin(); it != j.end(); ++it) d.emplace(it.key(), fromJSON(*it));
        return Value(std::move(d));
    }
    case json::value_t::binary: {
        const auto& b = j.get_binary();
        return Value(Data(b.begin(), b.end()));
    }
    case json::value_t::discarded: return Value();
    }
    return Value();
}

std::string Value::description() const {
    switch (kind()) {
    case Kind::date: return "Date(" + asDate()->iso8601String(true) + ")";
    case Kind::data: return "Data(" + std::to_string(asData()->size()) + " bytes)";
    case Kind::url: return "URL(" + asURL()->description() + ")";
    default: return toJSON().dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
}

void to_json(nlohmann::json& j, const Value& v) { j = v.toJSON(); }
void from_json(const nlohmann::json& j, Value& v) { v = Value::fromJSON(j); }

} // namespace platform
