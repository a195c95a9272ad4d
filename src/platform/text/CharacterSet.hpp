// platform::CharacterSet — a set of Unicode scalars as the platform's CharacterSet, shaped for
// percent-encoding: the URL component sets, alphanumerics, and sets built by adding and removing
// characters. Plain copyable value; the named sets are built once, thread-safely.
#pragma once

#include <bitset>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace platform {

class CharacterSet {
public:
    /// The empty set.
    CharacterSet() = default;

    /// CharacterSet(charactersIn:): the scalars of a UTF-8 text (invalid UTF-8 bytes are skipped).
    static CharacterSet charactersIn(std::string_view utf8);
    /// Every Unicode scalar.
    static CharacterSet all();

    // The platform's URL sets (all ASCII only):
    /// letters, digits and  - . _ ~ ! $ & ' ( ) * + , ; =
    static const CharacterSet& urlUserAllowed();
    /// same as urlUserAllowed
    static const CharacterSet& urlPasswordAllowed();
    /// letters, digits and  - . _ ~ ! $ & ' ( ) * + , ; = : [ ]
    static const CharacterSet& urlHostAllowed();
    /// letters, digits and  - . _ ~ ! $ & ' ( ) * + , = : @ /      (no ";")
    static const CharacterSet& urlPathAllowed();
    /// letters, digits and  - . _ ~ ! $ & ' ( ) * + , ; = : @ / ?
    static const CharacterSet& urlQueryAllowed();
    /// same as urlQueryAllowed
    static const CharacterSet& urlFragmentAllowed();
    /// Unicode letters, marks and digits (general categories L*, M*, N*).
    static const CharacterSet& alphanumerics();
    /// Unicode letters and marks (L*, M*).
    static const CharacterSet& letters();
    /// Decimal digits (Nd).
    static const CharacterSet& decimalDigits();
    /// Space and tab (Zs and U+0009).
    static const CharacterSet& whitespaces();
    /// whitespaces plus line breaks (U+000A-000D, U+0085, U+2028, U+2029).
    static const CharacterSet& whitespacesAndNewlines();

    bool contains(char32_t scalar) const;

    // Mutating forms.
    void insert(char32_t scalar);
    void remove(char32_t scalar);
    void insert(std::string_view charactersInUTF8);   // insert(charactersIn:)
    void remove(std::string_view charactersInUTF8);   // remove(charactersIn:)
    void formUnion(const CharacterSet& other);
    void subtract(const CharacterSet& other);
    void invert();

    // Value forms.
    CharacterSet adding(std::string_view charactersInUTF8) const;
    CharacterSet removing(std::string_view charactersInUTF8) const;
    CharacterSet union_(const CharacterSet& other) const;
    CharacterSet subtracting(const CharacterSet& other) const;
    CharacterSet inverted() const;

    bool operator==(const CharacterSet& other) const;

private:
    // ASCII: a bitmap. Other scalars: explicit exceptions first, then a predicate (none = empty).
    using Predicate = std::function<bool(char32_t)>;
    bool nonASCIIContains(char32_t c) const;
    std::bitset<128> ascii_;
    std::shared_ptr<const Predicate> predicate_;
    std::set<char32_t> added_;    // non-ASCII scalars in the set whatever the predicate says
    std::set<char32_t> removed_;  // non-ASCII scalars out of the set whatever the predicate says
};

/// addingPercentEncoding(withAllowedCharacters:): every scalar outside `allowed` is written as its
/// UTF-8 bytes, each as "%" and two upper-case hex digits. No value when `text` is not valid UTF-8.
std::optional<std::string> addingPercentEncoding(std::string_view text, const CharacterSet& allowed);

/// removingPercentEncoding: decodes every "%XX". No value when an escape is malformed ("%", "%4",
/// "%zz") or the decoded bytes are not valid UTF-8.
std::optional<std::string> removingPercentEncoding(std::string_view text);

/// True when `text` is valid UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF).
bool isValidUTF8(std::string_view text);

} // namespace platform
