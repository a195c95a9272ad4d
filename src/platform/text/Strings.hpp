// Small text helpers that every layer needs: ASCII case, prefixes and slash trimming. ASCII only on
// purpose: protocol tokens (schemes, header names, commands) compare this way; names of files never do.
#pragma once

#include <algorithm>
#include <cctype>
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

} // namespace platform
