#include "fileprovider/core/RequestHeaders.hpp"

#include "platform/data/Base64.hpp"

#include <initializer_list>
#include <limits>
#include <string>

namespace RiridOzizevud {

std::optional<std::string_view> ianaCharsetName(StringEncoding encoding) {
    switch (encoding) {
    case StringEncoding::ascii: return "us-ascii";
    case StringEncoding::japaneseEUC: return "euc-jp";
    case StringEncoding::utf8: return "utf-8";
    case StringEncoding::isoLatin1: return "iso-8859-1";
    case StringEncoding::shiftJIS: return "cp932";
    case StringEncoding::isoLatin2: return "iso-8859-2";
    case StringEncoding::unicode: return "utf-16";
    case StringEncoding::windowsCP1251: return "windows-1251";
    case StringEncoding::windowsCP1252: return "windows-1252";
    case StringEncoding::windowsCP1253: return "windows-1253";
    case StringEncoding::windowsCP1254: return "windows-1254";
    case StringEncoding::windowsCP1250: return "windows-1250";
    case StringEncoding::iso2022JP: return "iso-2022-jp";
    case StringEncoding::macOSRoman: return "macintosh";
    case StringEncoding::utf16BigEndian: return "utf-16be";
    case StringEncoding::utf16LittleEndian: return "utf-16le";
    case StringEncoding::utf32: return "utf-32";
    case StringEncoding::utf32BigEndian: return "utf-32be";
    case StringEncoding::utf32LittleEndian: return "utf-32le";
    case StringEncoding::nextstep:
    case StringEncoding::symbol:
    case StringEncoding::nonLossyASCII: return std::nullopt;
    }
    return std::nullopt;
}

void setAuthorizationHeader(platform::URLRequest& request, const std::optional<platform::URLCredential>& credential,
                            URLRequestAuthenticationType type) {
    if (!credential) return;
    switch (type) {
    case URLRequestAuthenticationType::basic: {
        // A ":" in the user name would move the split point of "user:password".
        std::string text;
        for (char c : credential->user().value_or(""))
            if (c != ':') text += c;
        text += ':';
        text += credential->password().value_or("");
        request.setValue("Basic " + platform::Base64::encode(std::string_view(text)), "Authorization");
        return;
    }
    case URLRequestAuthenticationType::oAuth1:
        if (credential->password()) request.setValue("OAuth " + *credential->password(), "Authorization");
        return;
    case URLRequestAuthenticationType::oAuth2:
        if (credential->password()) request.setValue("Bearer " + *credential->password(), "Authorization");
        return;
    case URLRequestAuthenticationType::digest:
        // Digest answers come from the session's challenge handling.
        return;
    }
}

void setContentTypeHeader(platform::URLRequest& request, const ContentMIMEType& contentType,
                          std::optional<StringEncoding> charset) {
    std::string value = contentType.rawValue;
    if (charset) {
        if (auto name = ianaCharsetName(*charset)) {
            value += ";charset=";
            value += *name;
        }
    }
    request.setValue(value, "Content-Type");
}

namespace {

// Appending piece by piece (rather than chaining operator+ on temporaries) also keeps GCC 12's
// -Wrestrict false positive away at -O3.
std::string text(std::initializer_list<std::string_view> pieces) {
    std::string out;
    for (auto p : pieces) out.append(p);
    return out;
}

} // namespace

void setRangeHeader(platform::URLRequest& request, int64_t offset, int64_t length) {
    constexpr int64_t maxValue = std::numeric_limits<int64_t>::max();
    const std::string from = std::to_string(offset);
    if (length > 0) {
        if (offset < 0) return;
        // offset + length - 1 without overflow; past the largest offset the range is open-ended.
        if (offset - 1 > maxValue - length) {
            request.setValue(text({"bytes=", from, "-"}), "Range");
            return;
        }
        request.setValue(text({"bytes=", from, "-", std::to_string(offset + (length - 1))}), "Range");
    } else if (length < 0 && offset > 0) {
        request.setValue(text({"bytes=", from, "-"}), "Range");
    }
}

void setContentRangeHeader(platform::URLRequest& request, int64_t lower, int64_t upper, int64_t totalBytes) {
    constexpr int64_t maxValue = std::numeric_limits<int64_t>::max();
    const int64_t clamped = lower < 0 ? 0 : lower;
    if (upper < clamped) return;
    const std::string total = std::to_string(totalBytes);
    // Both are non-negative here, so upper - clamped cannot overflow.
    if (upper != maxValue && upper - clamped >= 1) {
        request.setValue(text({"bytes ", std::to_string(clamped), "-", std::to_string(upper - 1), "/", total}),
                         "Content-Range");
    } else if (lower < 1) {
        request.setValue(text({"bytes 0-/", total}), "Content-Range");
    } else {
        request.setValue(text({"bytes ", std::to_string(clamped), "-/", total}), "Content-Range");
    }
}

} // namespace RiridOzizevud
