// Number and date texts of the property lists: decimal and plain numbers, counts, bit rates,
// exposure fractions and PDF dates.
#include "fileprovider/info/InformationGenerators.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <numeric>

namespace RiridOzizevud {

namespace fileinfo {

// Decimal style: grouping by thousands with ",", at most `fractionDigits` digits after the point
// (halves to even), no trailing zeros.
std::string decimalText(double value, int fractionDigits) {
    if (!std::isfinite(value)) return "NaN";
    const double factor = std::pow(10.0, fractionDigits);
    double rounded = std::nearbyint(value * factor);
    const bool negative = rounded < 0;
    rounded = std::fabs(rounded);
    if (rounded >= 9.0e15) {
        char buf[400];
        std::snprintf(buf, sizeof buf, "%.0f", value);
        return buf;
    }
    auto units = static_cast<long long>(rounded);
    const auto scale = static_cast<long long>(factor);
    const long long whole = units / scale;
    long long fraction = units % scale;
    std::string digits = std::to_string(whole);
    std::string grouped;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
        grouped += digits[i];
    }
    std::string text = (negative && units != 0 ? "-" : "") + grouped;
    if (fraction > 0) {
        std::string f = std::to_string(fraction);
        f.insert(0, static_cast<std::size_t>(fractionDigits) - f.size(), '0');
        while (!f.empty() && f.back() == '0') f.pop_back();
        text += "." + f;
    }
    return text;
}

// Whole numbers within range as integer text; other values as the shortest text.
std::string plainText(const Value& v) {
    if (const int64_t* i = v.asInt64()) return std::to_string(*i);
    if (const double* d = v.asDouble()) {
        if (std::trunc(*d) == *d && std::fabs(*d) < 9.0e15) return std::to_string(static_cast<long long>(*d));
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.15g", *d);
        return buf;
    }
    return "";
}

// A count that fits an integer; nullopt for values that are not finite or out of range.
std::optional<int64_t> truncated(double d) {
    if (!std::isfinite(d) || d >= 9.2e18 || d <= -9.2e18) return std::nullopt;
    return static_cast<int64_t>(d);
}

std::string kbps(double bitsPerSecond) {
    const auto k = truncated(std::ceil(bitsPerSecond / 1000));
    return std::to_string(k.value_or(0)) + " kbps";
}

} // namespace fileinfo

using namespace fileinfo;

std::optional<platform::Date> Generator::pdfDate(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    std::string s;
    for (char c : *text)
        if (c != '\'') s += c;
    if (s.rfind("D:", 0) == 0) s.erase(0, 2);
    if (s.size() < 14 || !std::all_of(s.begin(), s.begin() + 14, [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
        return std::nullopt;
    const auto num = [&](std::size_t at, std::size_t n) { return std::stoi(s.substr(at, n)); };
    const int year = num(0, 4), month = num(4, 2), day = num(6, 2), hour = num(8, 2), minute = num(10, 2), second = num(12, 2);
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59) return std::nullopt;
    std::string zone = s.substr(14);
    // Offset from UTC in seconds of the zone part, in the forms the four patterns take:
    // "T" + "+hhmm"; "Z", "+hh", "+hhmm", "+hh:mm"; "+hhmm"; nothing (local time).
    std::optional<long> offset;
    bool local = false;
    const auto numericZone = [](const std::string& z) -> std::optional<long> {
        if (z.size() < 3 || (z[0] != '+' && z[0] != '-')) return std::nullopt;
        std::string digits;
        for (std::size_t i = 1; i < z.size(); ++i) {
            if (std::isdigit(static_cast<unsigned char>(z[i]))) digits += z[i];
            else if (!(z[i] == ':' && i == 3)) return std::nullopt;
        }
        if (digits.size() != 2 && digits.size() != 4) return std::nullopt;
        const long hh = std::stol(digits.substr(0, 2)), mm = digits.size() == 4 ? std::stol(digits.substr(2)) : 0;
        if (hh > 23 || mm > 59) return std::nullopt;
        return (z[0] == '-' ? -1 : 1) * (hh * 3600 + mm * 60);
    };
    if (zone.empty()) local = true;
    else if (zone == "Z") offset = 0;
    else if (zone[0] == 'T') offset = numericZone(zone.substr(1));
    else offset = numericZone(zone);
    if (!local && !offset) return std::nullopt;
    const auto date = platform::Date::fromCalendar(year, month, day, hour, minute, second, local);
    if (!date) return std::nullopt;
    return platform::Date::since1970(date->timeIntervalSince1970() - static_cast<double>(offset.value_or(0)));
}

std::optional<std::string> Generator::exposureTimeText(double seconds) {
    constexpr int64_t denominator = 1163962800000;
    if (!std::isfinite(seconds) || seconds < 0) return std::nullopt;
    const auto x = truncated(seconds * static_cast<double>(denominator));
    if (!x) return std::nullopt;
    const int64_t g = std::gcd(*x, denominator);
    return std::to_string(*x / g) + "/" + std::to_string(denominator / g);
}

} // namespace RiridOzizevud
