#pragma once
// How a Keychain describes its items: item classes, protocols, authentication types, protections,
// interface modes, the authentication policy, and the Options record with its query builders.
#include "keychain/SecItem.hpp"
#include "platform/base/Error.hpp"
#include "platform/net/URL.hpp"

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace KeychainStore {

using Security::Data;
using Security::LAContext;

enum class ItemClass { genericPassword, internetPassword };

enum class ProtocolType {
    ftp, ftpAccount, http, irc, nntp, pop3, smtp, socks, imap, ldap, appleTalk, afp, telnet, ssh, ftps, https,
    httpProxy, httpsProxy, ftpProxy, smb, rtsp, rtspProxy, daap, eppc, ipp, nntps, ldaps, telnetS, imaps, ircs, pop3S,
};

enum class AuthenticationType { ntlm, msn, dpa, rpa, httpBasic, httpDigest, htmlForm, default_ };

enum class Accessibility {
    whenUnlocked, afterFirstUnlock, always, whenPasscodeSetThisDeviceOnly, whenUnlockedThisDeviceOnly,
    afterFirstUnlockThisDeviceOnly, alwaysThisDeviceOnly,
};

enum class AuthenticationUI { allow, fail, skip };

inline constexpr std::array<ItemClass, 2> ItemClassAllCases{ItemClass::genericPassword, ItemClass::internetPassword};
extern const std::array<ProtocolType, 31> ProtocolTypeAllCases;
extern const std::array<AuthenticationType, 8> AuthenticationTypeAllCases;
extern const std::array<Accessibility, 7> AccessibilityAllCases;

/// The platform constant each case stands for.
std::string rawValue(ItemClass value);
std::string rawValue(ProtocolType value);
std::string rawValue(AuthenticationType value);
std::string rawValue(Accessibility value);
std::string rawValue(AuthenticationUI value);

/// Fixed English names ("GenericPassword", "HTTPS", "Default", "AfterFirstUnlock", "fail").
std::string description(ItemClass value);
std::string description(ProtocolType value);
std::string description(AuthenticationType value);
std::string description(Accessibility value);
std::string description(AuthenticationUI value);

/// The first case, in case order, whose raw value equals `raw`; no value otherwise.
template <class E>
std::optional<E> fromRawValue(std::string_view raw);
template <> std::optional<ItemClass> fromRawValue<ItemClass>(std::string_view raw);
template <> std::optional<ProtocolType> fromRawValue<ProtocolType>(std::string_view raw);
template <> std::optional<AuthenticationType> fromRawValue<AuthenticationType>(std::string_view raw);
template <> std::optional<Accessibility> fromRawValue<Accessibility>(std::string_view raw);

/// Flags that an item's access control demands, as the platform's access-control flags.
class AuthenticationPolicy {
public:
    using RawValue = std::uint64_t;
    static const AuthenticationPolicy userPresence;
    static const AuthenticationPolicy biometryAny;
    static const AuthenticationPolicy touchIDAny;
    static const AuthenticationPolicy biometryCurrentSet;
    static const AuthenticationPolicy touchIDCurrentSet;
    static const AuthenticationPolicy devicePasscode;
    static const AuthenticationPolicy watch;
    static const AuthenticationPolicy or_;
    static const AuthenticationPolicy and_;
    static const AuthenticationPolicy privateKeyUsage;
    static const AuthenticationPolicy applicationPassword;

    constexpr AuthenticationPolicy() = default;
    constexpr explicit AuthenticationPolicy(RawValue rawValue) : raw_(rawValue) {}
    constexpr AuthenticationPolicy(std::initializer_list<AuthenticationPolicy> members) {
        for (auto m : members) raw_ |= m.raw_;
    }
    constexpr RawValue rawValue() const { return raw_; }

    constexpr bool isEmpty() const { return raw_ == 0; }
    constexpr bool contains(AuthenticationPolicy member) const { return (raw_ & member.raw_) == member.raw_; }
    constexpr AuthenticationPolicy union_(AuthenticationPolicy other) const { return AuthenticationPolicy(raw_ | other.raw_); }
    constexpr AuthenticationPolicy intersection(AuthenticationPolicy other) const { return AuthenticationPolicy(raw_ & other.raw_); }
    constexpr AuthenticationPolicy symmetricDifference(AuthenticationPolicy other) const {
        return AuthenticationPolicy(raw_ ^ other.raw_);
    }
    constexpr AuthenticationPolicy subtracting(AuthenticationPolicy other) const {
        return AuthenticationPolicy(raw_ & ~other.raw_);
    }
    constexpr void formUnion(AuthenticationPolicy other) { raw_ |= other.raw_; }
    constexpr void formIntersection(AuthenticationPolicy other) { raw_ &= other.raw_; }
    constexpr void formSymmetricDifference(AuthenticationPolicy other) { raw_ ^= other.raw_; }
    constexpr void subtract(AuthenticationPolicy other) { raw_ &= ~other.raw_; }

    /// Whether `member` was new, and the member as it now stands in the set.
    constexpr std::pair<bool, AuthenticationPolicy> insert(AuthenticationPolicy member) {
        if (contains(member)) return {false, member};
        raw_ |= member.raw_;
        return {true, member};
    }
    /// The members removed, or no value when none of them was in the set.
    constexpr std::optional<AuthenticationPolicy> remove(AuthenticationPolicy member) {
        AuthenticationPolicy had = intersection(member);
        if (had.isEmpty()) return std::nullopt;
        raw_ &= ~member.raw_;
        return had;
    }

    constexpr AuthenticationPolicy operator|(AuthenticationPolicy o) const { return union_(o); }
    constexpr AuthenticationPolicy operator&(AuthenticationPolicy o) const { return intersection(o); }
    constexpr AuthenticationPolicy operator^(AuthenticationPolicy o) const { return symmetricDifference(o); }
    constexpr bool operator==(const AuthenticationPolicy&) const = default;

private:
    RawValue raw_ = 0;
};

inline constexpr AuthenticationPolicy AuthenticationPolicy::userPresence{1};
inline constexpr AuthenticationPolicy AuthenticationPolicy::biometryAny{2};
inline constexpr AuthenticationPolicy AuthenticationPolicy::touchIDAny{2};
inline constexpr AuthenticationPolicy AuthenticationPolicy::biometryCurrentSet{8};
inline constexpr AuthenticationPolicy AuthenticationPolicy::touchIDCurrentSet{8};
inline constexpr AuthenticationPolicy AuthenticationPolicy::devicePasscode{16};
inline constexpr AuthenticationPolicy AuthenticationPolicy::watch{32};
inline constexpr AuthenticationPolicy AuthenticationPolicy::or_{0x4000};
inline constexpr AuthenticationPolicy AuthenticationPolicy::and_{0x8000};
inline constexpr AuthenticationPolicy AuthenticationPolicy::privateKeyUsage{0x40000000};
inline constexpr AuthenticationPolicy AuthenticationPolicy::applicationPassword{0x80000000};

/// What one Keychain holds. Copied by value.
struct Options {
    ItemClass itemClass = ItemClass::genericPassword;
    std::string service;
    std::optional<std::string> accessGroup;
    std::optional<platform::URL> server;
    std::optional<ProtocolType> protocolType;
    AuthenticationType authenticationType = AuthenticationType::default_;
    Accessibility accessibility = Accessibility::afterFirstUnlock;
    std::optional<AuthenticationPolicy> authenticationPolicy;
    bool synchronizable = false;
    std::optional<std::string> label;
    std::optional<std::string> comment;
    std::optional<std::string> authenticationPrompt;
    std::optional<AuthenticationUI> authenticationUI;
    std::shared_ptr<LAContext> authenticationContext;
    /// Extra item attributes merged into every add and update.
    Security::Dictionary attributes;

    /// The query that selects this keychain's items (no account, limit, return or UI keys).
    Security::Dictionary searchQuery(bool ignoringAttributeSynchronizable) const;

    /// With a key: every attribute of a new item; without: only the changeable ones. When the
    /// access control cannot be made, the attributes built so far and the error.
    std::pair<Security::Dictionary, platform::ErrorRef> itemAttributes(const std::optional<std::string>& key,
                                                                       const Data& value) const;
};

} // namespace KeychainStore
