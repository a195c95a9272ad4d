// Raw-value types of the SMB2 message layer: the `Option` shape (hashable, made from any raw value)
// and the bit-set algebra shared by the header flags, access masks and share flags.
#pragma once

#include <concepts>
#include <cstddef>
#include <functional>
#include <initializer_list>
#include <optional>
#include <utility>

namespace RiridOzizevud {

/// Option: a hashable value built from any raw value, equal and hashed as that raw value.
template <class T>
concept Option = requires(const T& value, typename T::RawValue raw) {
    { T(raw) };
    { value.rawValue() } -> std::same_as<typename T::RawValue>;
    { value == value } -> std::convertible_to<bool>;
    { std::hash<T>{}(value) } -> std::convertible_to<std::size_t>;
};

/// A set of bits over an unsigned raw value. `Derived` is the concrete set; its members are
/// values of `Derived` with one or more bits.
template <class Derived, class Raw>
class SMBOptionSet {
public:
    using RawValue = Raw;

    constexpr SMBOptionSet() = default;
    constexpr explicit SMBOptionSet(Raw rawValue) : raw_(rawValue) {}
    /// The union of the members; empty for an empty list.
    constexpr SMBOptionSet(std::initializer_list<Derived> members) {
        for (const Derived& m : members) raw_ = static_cast<Raw>(raw_ | m.rawValue());
    }

    constexpr Raw rawValue() const { return raw_; }
    constexpr bool isEmpty() const { return raw_ == 0; }

    constexpr Derived union_(Derived other) const { return Derived(static_cast<Raw>(raw_ | other.rawValue())); }
    constexpr Derived intersection(Derived other) const { return Derived(static_cast<Raw>(raw_ & other.rawValue())); }
    constexpr Derived symmetricDifference(Derived other) const {
        return Derived(static_cast<Raw>(raw_ ^ other.rawValue()));
    }
    constexpr Derived subtracting(Derived other) const { return Derived(static_cast<Raw>(raw_ & ~other.rawValue())); }

    /// Every bit of `member` is present.
    constexpr bool contains(Derived member) const { return (raw_ & member.rawValue()) == member.rawValue(); }
    constexpr bool isSuperset(Derived of) const { return contains(of); }
    constexpr bool isSubset(Derived of) const { return (raw_ & ~of.rawValue()) == 0; }
    constexpr bool isStrictSubset(Derived of) const { return isSubset(of) && raw_ != of.rawValue(); }
    constexpr bool isStrictSuperset(Derived of) const { return isSuperset(of) && raw_ != of.rawValue(); }
    constexpr bool isDisjoint(Derived with) const { return (raw_ & with.rawValue()) == 0; }

    /// False when every bit of `member` was present already (the set is then unchanged); the
    /// member comes back either way.
    constexpr std::pair<bool, Derived> insert(Derived member) {
        const bool inserted = !contains(member);
        raw_ = static_cast<Raw>(raw_ | member.rawValue());
        return {inserted, member};
    }
    /// Clears the bits of `member`; the bits that were set, or no value when none was.
    constexpr std::optional<Derived> remove(Derived member) {
        const Derived had = intersection(member);
        raw_ = static_cast<Raw>(raw_ & ~member.rawValue());
        if (had.isEmpty()) return std::nullopt;
        return had;
    }
    /// Sets the bits of `member`; the bits that were set already, or no value when none was.
    constexpr std::optional<Derived> update(Derived member) {
        const Derived had = intersection(member);
        raw_ = static_cast<Raw>(raw_ | member.rawValue());
        if (had.isEmpty()) return std::nullopt;
        return had;
    }
    constexpr void formUnion(Derived other) { raw_ = static_cast<Raw>(raw_ | other.rawValue()); }
    constexpr void formIntersection(Derived other) { raw_ = static_cast<Raw>(raw_ & other.rawValue()); }
    constexpr void formSymmetricDifference(Derived other) { raw_ = static_cast<Raw>(raw_ ^ other.rawValue()); }
    constexpr void subtract(Derived other) { raw_ = static_cast<Raw>(raw_ & ~other.rawValue()); }

    friend constexpr bool operator==(const Derived& a, const Derived& b) { return a.rawValue() == b.rawValue(); }
    friend constexpr Derived operator|(const Derived& a, const Derived& b) { return a.union_(b); }
    friend constexpr Derived operator&(const Derived& a, const Derived& b) { return a.intersection(b); }
    friend constexpr Derived operator^(const Derived& a, const Derived& b) { return a.symmetricDifference(b); }
    friend constexpr Derived operator-(const Derived& a, const Derived& b) { return a.subtracting(b); }

protected:
    constexpr void setRaw(Raw rawValue) { raw_ = rawValue; }

private:
    Raw raw_ = 0;
};

/// std::hash of any raw-value type: the raw value's hash.
template <class T>
struct RawValueHash {
    std::size_t operator()(const T& value) const noexcept { return std::hash<typename T::RawValue>{}(value.rawValue()); }
};

} // namespace RiridOzizevud
