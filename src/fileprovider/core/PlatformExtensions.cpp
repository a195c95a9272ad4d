#include "fileprovider/core/PlatformExtensions.hpp"

#include <sys/stat.h>

#include <cmath>
#include <cstdio>

namespace RiridOzizevud {

const platform::CharacterSet& filePathAllowed() {
    static const platform::CharacterSet set = platform::CharacterSet::urlPathAllowed().removing(":");
    return set;
}

namespace {

bool statOf(const platform::URL& url, struct stat& st) {
    if (!url.isFileURL()) return false;
    const std::string path = url.path();
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

// Decodes one UTF-8 scalar at `i`; malformed or overlong input gives U+FFFD over one byte.
char32_t decodeScalar(std::string_view s, std::size_t& i) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t len = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if (c < 0x80) { ++i; return c; }
    if ((c & 0xE0) == 0xC0) { len = 2; cp = c & 0x1F; min = 0x80; }
    else if ((c & 0xF0) == 0xE0) { len = 3; cp = c & 0x0F; min = 0x800; }
    else if ((c & 0xF8) == 0xF0) { len = 4; cp = c & 0x07; min = 0x10000; }
    else { ++i; return 0xFFFD; }
    if (i + len > s.size()) { ++i; return 0xFFFD; }
    for (std::size_t k = 1; k < len; ++k) {
        const auto cc = static_cast<unsigned char>(s[i + k]);
        if ((cc & 0xC0) != 0x80) { ++i; return 0xFFFD; }
        cp = (cp << 6) | (cc & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) { ++i; return 0xFFFD; }
    i += len;
    return cp;
}

void appendUnit(std::string& out, unsigned unit) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\u%04x", unit);
    out += buf;
}

} // namespace

int64_t fileSize(const platform::URL& url) {
    struct stat st {};
    if (!statOf(url, st) || !S_ISREG(st.st_mode)) return -1;
    return static_cast<int64_t>(st.st_size);
}

bool isDirectory(const platform::URL& url) {
    struct stat st {};
    return statOf(url, st) && S_ISDIR(st.st_mode);
}

std::string hexString(std::span<const uint8_t> bytes) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 0x0F];
    }
    return out;
}

std::string asciiEscaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const char32_t cp = decodeScalar(text, i);
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp <= 0xFFFF) {
            appendUnit(out, static_cast<unsigned>(cp));
        } else {
            const char32_t v = cp - 0x10000;
            appendUnit(out, static_cast<unsigned>(0xD800 + (v >> 10)));
            appendUnit(out, static_cast<unsigned>(0xDC00 + (v & 0x3FF)));
        }
    }
    return out;
}

bool isPDF(std::span<const uint8_t> data) {
    return data.size() > 4 && data[0] == '%' && data[1] == 'P' && data[2] == 'D' && data[3] == 'F';
}

platform::URLFileResourceType urlFileResourceType(std::string_view fileTypeValue) {
    using T = platform::URLFileResourceType;
    if (fileTypeValue == "NSFileTypeCharacterSpecial") return T::characterSpecial;
    if (fileTypeValue == "NSFileTypeDirectory") return T::directory;
    if (fileTypeValue == "NSFileTypeBlockSpecial") return T::blockSpecial;
    if (fileTypeValue == "NSFileTypeRegular") return T::regular;
    if (fileTypeValue == "NSFileTypeSymbolicLink") return T::symbolicLink;
    if (fileTypeValue == "NSFileTypeSocket") return T::socket;
    return T::unknown;
}

bool containsString(std::string_view string, const std::vector<std::string>& in) {
    for (const auto& s : in)
        if (s == string) return true;
    return false;
}

std::string formatted(platform::TimeInterval value) {
    if (!(value >= 0) || value >= 2147483647.0) return "0:00";
    const auto hours = static_cast<long long>(value / 3600);
    const auto minutes = static_cast<long long>(std::fmod(value, 3600) / 60);
    const auto seconds = static_cast<long long>(std::fmod(value, 60));
    char buf[64];
    if (hours < 1) std::snprintf(buf, sizeof buf, "%lld:%02lld", minutes, seconds);
    else std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", hours, minutes, seconds);
    return buf;
}

} // namespace RiridOzizevud
