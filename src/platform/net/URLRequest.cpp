#include "platform/net/URLRequest.hpp"

#include <algorithm>
#include <cstring>

namespace platform {

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
        if (x != y) return false;
    }
    return true;
}

} // namespace

URLRequest::URLRequest(std::optional<URL> u, CachePolicy policy, TimeInterval timeout)
    : url(std::move(u)), timeoutInterval(timeout), cachePolicy(policy) {}

bool URLRequest::isValidFieldName(std::string_view field) {
    if (field.empty()) return false;
    // RFC 9110 token characters.
    static constexpr const char* extra = "!#$%&'*+-.^_`|~";
    return std::all_of(field.begin(), field.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return (u >= '0' && u <= '9') || (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') ||
               (u != 0 && std::strchr(extra, c) != nullptr);
    });
}

bool URLRequest::isValidFieldValue(std::string_view value) {
    return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

bool URLRequest::setValue(const std::optional<std::string>& value, std::string_view field) {
    if (!isValidFieldName(field) || (value && !isValidFieldValue(*value))) return false;
    auto it = std::find_if(headers_.begin(), headers_.end(), [&](const auto& h) { return equalsIgnoringCase(h.first, field); });
    if (!value) {
        headers_.erase(std::remove_if(headers_.begin(), headers_.end(),
                                      [&](const auto& h) { return equalsIgnoringCase(h.first, field); }),
                       headers_.end());
        return true;
    }
    if (it == headers_.end()) headers_.emplace_back(std::string(field), *value);
    else it->second = *value;
    return true;
}

bool URLRequest::addValue(const std::string& value, std::string_view field) {
    if (!isValidFieldName(field) || !isValidFieldValue(value)) return false;
    auto it = std::find_if(headers_.begin(), headers_.end(), [&](const auto& h) { return equalsIgnoringCase(h.first, field); });
    if (it == headers_.end()) headers_.emplace_back(std::string(field), value);
    else it->second += "," + value;
    return true;
}

std::optional<std::string> URLRequest::value(std::string_view field) const {
    for (const auto& h : headers_)
        if (equalsIgnoringCase(h.first, field)) return h.second;
    return std::nullopt;
}

} // namespace platform
