#include "platform/data/JSON.hpp"

namespace platform {

namespace {
std::string describe(DecodingError::Kind kind, const std::string& path, const std::string& debug) {
    std::string s = kind == DecodingError::Kind::keyNotFound ? "No value for key" :
                    kind == DecodingError::Kind::valueNotFound ? "Null value for key" :
                    kind == DecodingError::Kind::typeMismatch ? "Wrong kind of value for key" : "Bad value for key";
    return s + " \"" + path + "\": " + debug;
}
CocoaError::Code codeOf(DecodingError::Kind kind) {
    return kind == DecodingError::Kind::keyNotFound || kind == DecodingError::Kind::valueNotFound
               ? CocoaError::coderValueNotFound
               : CocoaError::coderReadCorrupt;
}
} // namespace

DecodingError::DecodingError(Kind kind, std::string codingPath, std::string debugDescription)
    : CocoaError(codeOf(kind), ValueDictionary{{NSDebugDescriptionErrorKey, describe(kind, codingPath, debugDescription)}}),
      kind_(kind), codingPath_(std::move(codingPath)), debug_(std::move(debugDescription)) {}

std::string DecodingError::localizedDescription() const {
    std::string base = (kind_ == Kind::keyNotFound || kind_ == Kind::valueNotFound)
                           ? "The data couldn\u2019t be read because it is missing."
                           : "The data couldn\u2019t be read because it isn\u2019t in the correct format.";
    std::string detail;
    if (!codingPath_.empty()) detail = "key \"" + codingPath_ + "\"";
    if (!debug_.empty()) detail += (detail.empty() ? "" : ": ") + debug_;
    return detail.empty() ? base : base + " (" + detail + ")";
}

void DecodingError::raise(Kind kind, std::string codingPath, std::string debugDescription) {
    throw Exception(std::make_shared<const DecodingError>(kind, std::move(codingPath), std::move(debugDescription)));
}

namespace JSON {

std::optional<Json> parse(std::string_view text) {
    Json j = Json::parse(text.begin(), text.end(), nullptr, false);
    if (j.is_discarded()) return std::nullopt;
    return j;
}

std::optional<Json> object(const std::optional<std::vector<uint8_t>>& body) {
    if (!body) return std::nullopt;
    auto json = parse(std::string_view(reinterpret_cast<const char*>(body->data()), body->size()));
    if (!json || !json->is_object()) return std::nullopt;
    return json;
}

Json parseOrThrow(std::string_view text) {
    try {
        return Json::parse(text.begin(), text.end());
    } catch (const nlohmann::json::exception& e) {
        DecodingError::raise(DecodingError::Kind::dataCorrupted, std::string(), std::string("The given data was not valid JSON. ") + e.what());
    }
}

std::string dump(const Json& j, int indent) { return j.dump(indent, ' ', false, Json::error_handler_t::replace); }

const char* kindName(const Json& j) {
    switch (j.type()) {
    case Json::value_t::null: return "null";
    case Json::value_t::boolean: return "a boolean";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned: return "an integer";
    case Json::value_t::number_float: return "a number";
    case Json::value_t::string: return "a string";
    case Json::value_t::array: return "an array";
    case Json::value_t::object: return "an object";
    case Json::value_t::binary: return "binary data";
    case Json::value_t::discarded: return "nothing";
    }
    return "unknown";
}

const Json* member(const Json& obj, std::string_view key) {
    if (!obj.is_object()) return nullptr;
    auto it = obj.find(key);
    if (it == obj.end() || it->is_null()) return nullptr;
    return &*it;
}

namespace detail {
void mismatch(const std::string& path, const char* expected, const Json& got) {
    DecodingError::raise(DecodingError::Kind::typeMismatch, path, std::string("Expected ") + expected + " but found " + kindName(got) + ".");
}
} // namespace detail

} // namespace JSON
} // namespace platform
