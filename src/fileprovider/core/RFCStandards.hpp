// The date formats of HTTP, WebDAV and the web APIs (the platform's date-format patterns), and
// reading a date written in any of them. Own code: every pattern must match the whole text.
#pragma once

#include "platform/data/Date.hpp"

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace RiridOzizevud {

enum class RFCStandards { rfc822, rfc850, rfc1123, rfc3339, rfc3339Extended, asctime };

inline constexpr std::array<RFCStandards, 6> RFCStandardsAllCases{
    RFCStandards::rfc822, RFCStandards::rfc850, RFCStandards::rfc1123,
    RFCStandards::rfc3339, RFCStandards::rfc3339Extended, RFCStandards::asctime};

namespace RFCStandardsAlias {
inline constexpr RFCStandards http = RFCStandards::rfc1123;
inline constexpr RFCStandards usenet = RFCStandards::rfc850;
} // namespace RFCStandardsAlias

/// The format pattern, e.g. "EEE',' dd' 'MMM' 'yyyy HH':'mm':'ss z" for rfc1123.
std::string_view rawValue(RFCStandards standard);

template <class E>
std::optional<E> fromRawValue(std::string_view raw);

/// The case whose pattern equals `raw` exactly.
template <>
std::optional<RFCStandards> fromRawValue<RFCStandards>(std::string_view raw);

/// Date(rfcString:): tries rfc822, rfc850, asctime, rfc3339, rfc3339Extended in that order and
/// gives the first date read. A two-digit year is placed in the 100 years that start 80 years
/// before now; rfc822 also takes a four-digit year, so RFC 1123 dates are read by it. Day and
/// month names are English, in any case. asctime dates carry no zone and are read as GMT.
std::optional<platform::Date> dateFromRFCString(std::string_view rfcString);

/// The date read with one format alone (whole-text match); no value when it does not fit.
std::optional<platform::Date> rfcDate(std::string_view text, RFCStandards standard);

/// The date written with a format, in GMT ("GMT" for the z field, "Z" for the ISO zone). No value
/// for a date outside the years 1 to 9999.
std::optional<std::string> rfcString(const platform::Date& date, RFCStandards standard);

} // namespace RiridOzizevud
