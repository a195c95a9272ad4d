// Small text helpers that every layer needs: ASCII case, prefixes and slash trimming. ASCII only on
// purpose: protocol tokens (schemes, header names, commands) compare this way; names of files never do.
#pragma once

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

inline char asciiLower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

inline std::string lowercased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), asciiLower);
    return text;
}

inline bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

inline bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(),
                      [](char a, char b) { return asciiLower(a) == asciiLower(b); });
}

/// The text without its leading and trailing slashes ("" when it is only slashes).
inline std::string trimSlashes(std::string_view path) {
    const auto first = path.find_first_not_of('/');
    if (first == std::string_view::npos) return {};
    return std::string(path.substr(first, path.find_last_not_of('/') - first + 1));
}

/// A decimal text with at most `fractionDigits` fraction digits and no trailing zeros ("51.50737",
/// "-0.1", "0"); no value for a number that is not finite or too long to be a measure.
inline std::optional<std::string> shortDecimalText(double value, int fractionDigits) {
    if (!std::isfinite(value)) return std::nullopt;
    char buffer[64];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, fractionDigits);
    if (error != std::errc()) return std::nullopt;
    std::string text(buffer, end);
    if (text.find('.') != std::string::npos) {
        while (text.back() == '0') text.pop_back();
        if (text.back() == '.') text.pop_back();
    }
    if (text == "-0") text = "0";
    return text;
}

} // namespace platform
