// platform::Collation — the platform's string comparisons for names shown to people, on ICU.
// All three use the process's locale (ICU's default), falling back to the root order when the
// locale is "C"/POSIX, whose tailoring would order by code point.
#pragma once

#include <string_view>

namespace platform {

/// The platform's ComparisonResult.
enum class ComparisonResult : int { orderedAscending = -1, orderedSame = 0, orderedDescending = 1 };

/// localizedStandardCompare: Finder-like; letter case ignored, embedded numbers by value
/// ("file2" before "file10").
ComparisonResult localizedStandardCompare(std::string_view a, std::string_view b);
/// localizedCompare: letter case and accents count; digits compared one by one.
ComparisonResult localizedCompare(std::string_view a, std::string_view b);
/// localizedCaseInsensitiveCompare: letter case ignored, accents count.
ComparisonResult localizedCaseInsensitiveCompare(std::string_view a, std::string_view b);

} // namespace platform
