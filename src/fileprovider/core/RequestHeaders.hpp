// The HTTP request header setters every remote provider uses: authorization, content type and
// byte ranges. Each sets one header (replacing an earlier value) or leaves the request untouched.
#pragma once

#include "fileprovider/core/ContentMIMEType.hpp"
#include "platform/net/URLCredential.hpp"
#include "platform/net/URLRequest.hpp"

#include <cstdint>
#include <optional>
#include <string_view>

namespace RiridOzizevud {

/// URLRequest.AuthenticationType (not the keychain store's type of a similar name).
enum class URLRequestAuthenticationType { basic, digest, oAuth1, oAuth2 };

/// The platform's String.Encoding, as far as a Content-Type charset needs it.
enum class StringEncoding {
    ascii, nextstep, japaneseEUC, utf8, isoLatin1, symbol, nonLossyASCII, shiftJIS, isoLatin2, unicode,
    windowsCP1251, windowsCP1252, windowsCP1253, windowsCP1254, windowsCP1250, iso2022JP, macOSRoman,
    utf16BigEndian, utf16LittleEndian, utf32, utf32BigEndian, utf32LittleEndian,
};

/// The IANA character-set name of an encoding; no value for one without a name (nonLossyASCII,
/// symbol, nextstep).
std::optional<std::string_view> ianaCharsetName(StringEncoding encoding);

/// "Authorization": Basic (user without ":" + ":" + password, UTF-8, Base64), "OAuth " or
/// "Bearer " + password; nothing for digest, without a credential, or for OAuth without a password.
void setAuthorizationHeader(platform::URLRequest& request, const std::optional<platform::URLCredential>& credential,
                            URLRequestAuthenticationType type);

/// "Content-Type": the MIME type, plus ";charset=" and the IANA name when the encoding has one.
void setContentTypeHeader(platform::URLRequest& request, const ContentMIMEType& contentType,
                          std::optional<StringEncoding> charset = std::nullopt);

/// "Range": "bytes=offset-last" for a length of 1 or more, "bytes=offset-" for a negative length
/// from an offset of 1 or more, nothing otherwise. A range whose end would pass the largest 64-bit
/// offset is sent open-ended instead of overflowing.
void setRangeHeader(platform::URLRequest& request, int64_t offset, int64_t length);

/// "Content-Range" for the half-open byte range [lower, upper) of a file of totalBytes: "bytes
/// lower-(upper-1)/total"; an empty or unbounded range gives "bytes lower-/total" ("bytes 0-/total"
/// from 0). An inverted range (upper below the clamped lower) sets nothing.
void setContentRangeHeader(platform::URLRequest& request, int64_t lower, int64_t upper, int64_t totalBytes);

} // namespace RiridOzizevud
