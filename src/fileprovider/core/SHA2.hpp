// SHA-256, SHA-384 and SHA-512 digests (FIPS 180-4) of strings and byte buffers.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace RiridOzizevud {

// A string is hashed as its UTF-8 bytes, without terminator; the result is the raw digest.
std::vector<uint8_t> fp_sha256(std::string_view string);
std::vector<uint8_t> fp_sha384(std::string_view string);
std::vector<uint8_t> fp_sha512(std::string_view string);

std::vector<uint8_t> fp_sha256(std::span<const uint8_t> data);
std::vector<uint8_t> fp_sha384(std::span<const uint8_t> data);
std::vector<uint8_t> fp_sha512(std::span<const uint8_t> data);

} // namespace RiridOzizevud
