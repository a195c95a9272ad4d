// platform::Base64 — the platform's Data(base64Encoded:) and base64EncodedString().
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::Base64 {

/// Standard alphabet ("+/"), "=" padding, no line breaks.
std::string encode(const std::vector<uint8_t>& data);
std::string encode(std::string_view bytes);
/// URL-safe alphabet ("-_"), no padding (RFC 4648 section 5; for OAuth PKCE and the like).
std::string encodeURLSafe(const std::vector<uint8_t>& data);

/// Decodes standard Base64. No value for bad input: a character outside the alphabet (white space
/// included, unless `ignoreUnknownCharacters`), a length that is not a multiple of 4 after
/// padding, padding in the middle, or non-zero bits in the last character.
std::optional<std::vector<uint8_t>> decode(std::string_view text, bool ignoreUnknownCharacters = false);
/// Decodes and returns the bytes as a string.
std::optional<std::string> decodeToString(std::string_view text, bool ignoreUnknownCharacters = false);
/// URL-safe alphabet, padding optional.
std::optional<std::vector<uint8_t>> decodeURLSafe(std::string_view text);

} // namespace platform::Base64
