#include "platform/data/Base64.hpp"

#include <array>

namespace platform::Base64 {

namespace {
constexpr char kStd[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kURL[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

std::string encodeWith(const uint8_t* p, std::size_t n, const char* alphabet, bool pad) {
    std::string out;
    out.reserve((n + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        uint32_t v = (uint32_t(p[i]) << 16) | (uint32_t(p[i + 1]) << 8) | p[i + 2];
        out += alphabet[v >> 18];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += alphabet[v & 63];
    }
    if (n - i == 1) {
        uint32_t v = uint32_t(p[i]) << 16;
        out += alphabet[v >> 18];
        out += alphabet[(v >> 12) & 63];
        if (pad) out += "==";
    } else if (n - i == 2) {
        uint32_t v = (uint32_t(p[i]) << 16) | (uint32_t(p[i + 1]) << 8);
        out += alphabet[v >> 18];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        if (pad) out += '=';
    }
    return out;
}

std::array<int8_t, 256> table(const char* alphabet) {
    std::array<int8_t, 256> t{};
    t.fill(-1);
    for (int i = 0; i < 64; ++i) t[static_cast<uint8_t>(alphabet[i])] = static_cast<int8_t>(i);
    return t;
}

// Decodes `text`; `requirePadding`: the length (with '=') must be a multiple of 4.
std::optional<std::vector<uint8_t>> decodeWith(std::string_view text, const std::array<int8_t, 256>& t,
                                               bool ignoreUnknown, bool requirePadding) {
    std::vector<int> sextets;
    sextets.reserve(text.size());
    std::size_t padding = 0;
    for (char ch : text) {
        auto c = static_cast<uint8_t>(ch);
        if (c == '=') {
            ++padding;
            continue;
        }
        int v = t[c];
        if (v < 0) {
            if (ignoreUnknown) continue;
            return std::nullopt;
        }
        if (padding) return std::nullopt;  // data after padding
        sextets.push_back(v);
    }
    if (padding > 2) return std::nullopt;
    std::size_t total = sextets.size() + padding;
    if (requirePadding || padding) {
        if (total % 4 != 0) return std::nullopt;
        if (padding && (sextets.size() % 4) != 4 - padding) return std::nullopt;
    }
    if (sextets.size() % 4 == 1) return std::nullopt;
    std::vector<uint8_t> out;
    out.reserve(sextets.size() * 3 / 4);
    std::size_t i = 0;
    for (; i + 4 <= sextets.size(); i += 4) {
        uint32_t v = (uint32_t(sextets[i]) << 18) | (uint32_t(sextets[i + 1]) << 12) | (uint32_t(sextets[i + 2]) << 6) | uint32_t(sextets[i + 3]);
        out.push_back(static_cast<uint8_t>(v >> 16));
        out.push_back(static_cast<uint8_t>(v >> 8));
        out.push_back(static_cast<uint8_t>(v));
    }
    std::size_t rest = sextets.size() - i;
    if (rest == 2) {
        if (sextets[i + 1] & 0x0F) return std::nullopt;
        out.push_back(static_cast<uint8_t>((sextets[i] << 2) | (sextets[i + 1] >> 4)));
    } else if (rest == 3) {
        if (sextets[i + 2] & 0x03) return std::nullopt;
        uint32_t v = (uint32_t(sextets[i]) << 18) | (uint32_t(sextets[i + 1]) << 12) | (uint32_t(sextets[i + 2]) << 6);
        out.push_back(static_cast<uint8_t>(v >> 16));
        out.push_back(static_cast<uint8_t>(v >> 8));
    }
    return out;
}
} // namespace

std::string encode(const std::vector<uint8_t>& data) { return encodeWith(data.data(), data.size(), kStd, true); }

std::string encode(std::string_view bytes) {
    return encodeWith(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), kStd, true);
}

std::string encodeURLSafe(const std::vector<uint8_t>& data) { return encodeWith(data.data(), data.size(), kURL, false); }

std::optional<std::vector<uint8_t>> decode(std::string_view text, bool ignoreUnknownCharacters) {
    static const auto t = table(kStd);
    return decodeWith(text, t, ignoreUnknownCharacters, true);
}

std::optional<std::string> decodeToString(std::string_view text, bool ignoreUnknownCharacters) {
    auto d = decode(text, ignoreUnknownCharacters);
    if (!d) return std::nullopt;
    return std::string(d->begin(), d->end());
}

std::optional<std::vector<uint8_t>> decodeURLSafe(std::string_view text) {
    static const auto t = table(kURL);
    return decodeWith(text, t, false, false);
}

} // namespace platform::Base64
