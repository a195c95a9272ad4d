// Stub — full implementation follows.
#include "platform/CharacterSet.hpp"
namespace platform {
CharacterSet CharacterSet::charactersIn(std::string_view) { return {}; }
CharacterSet CharacterSet::all() { return {}; }
static const CharacterSet& empty() { static const CharacterSet s; return s; }
const CharacterSet& CharacterSet::urlUserAllowed() { return empty(); }
const CharacterSet& CharacterSet::urlPasswordAllowed() { return empty(); }
const CharacterSet& CharacterSet::urlHostAllowed() { return empty(); }
const CharacterSet& CharacterSet::urlPathAllowed() { return empty(); }
const CharacterSet& CharacterSet::urlQueryAllowed() { return empty(); }
const CharacterSet& CharacterSet::urlFragmentAllowed() { return empty(); }
const CharacterSet& CharacterSet::alphanumerics() { return empty(); }
const CharacterSet& CharacterSet::letters() { return empty(); }
const CharacterSet& CharacterSet::decimalDigits() { return empty(); }
const CharacterSet& CharacterSet::whitespaces() { return empty(); }
const CharacterSet& CharacterSet::whitespacesAndNewlines() { return empty(); }
bool CharacterSet::baseContains(char32_t) const { return false; }
bool CharacterSet::contains(char32_t) const { return false; }
void CharacterSet::insert(char32_t) {}
void CharacterSet::remove(char32_t) {}
void CharacterSet::insert(std::string_view) {}
void CharacterSet::remove(std::string_view) {}
void CharacterSet::formUnion(const CharacterSet&) {}
void CharacterSet::subtract(const CharacterSet&) {}
void CharacterSet::invert() {}
CharacterSet CharacterSet::adding(std::string_view) const { return *this; }
CharacterSet CharacterSet::removing(std::string_view) const { return *this; }
CharacterSet CharacterSet::union_(const CharacterSet&) const { return *this; }
CharacterSet CharacterSet::subtracting(const CharacterSet&) const { return *this; }
CharacterSet CharacterSet::inverted() const { return *this; }
bool CharacterSet::operator==(const CharacterSet&) const { return true; }
std::optional<std::string> addingPercentEncoding(std::string_view t, const CharacterSet&) { return std::string(t); }
std::optional<std::string> removingPercentEncoding(std::string_view t) { return std::string(t); }
bool isValidUTF8(std::string_view) { return true; }
} // namespace platform
