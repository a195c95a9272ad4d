#pragma once
// Stand-in for the platform's keychain item calls (SecItemCopyMatching, SecItemAdd, SecItemUpdate,
// SecItemDelete), their key constants and value kinds. The calls go to the process-wide item store
// (ItemStore.hpp). The key strings are our own: code always names them through the constants.
#include "keychain/Status.hpp"
#include "platform/data/Date.hpp"
#include "platform/data/Value.hpp"

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace KeychainStore::Security {

using Data = platform::Data;

/// The marker that lets a query match synchronized and local items alike.
struct SynchronizableAny {
    bool operator==(const SynchronizableAny&) const { return true; }
};

/// Access-control object: a protection (an accessibility constant) and policy flags.
class AccessControl {
public:
    AccessControl(std::string protection, std::uint64_t flags) : protection_(std::move(protection)), flags_(flags) {}
    const std::string& protection() const { return protection_; }
    std::uint64_t flags() const { return flags_; }
    bool operator==(const AccessControl& o) const { return protection_ == o.protection_ && flags_ == o.flags_; }

private:
    std::string protection_;
    std::uint64_t flags_;
};
using AccessControlRef = std::shared_ptr<const AccessControl>;

/// Authentication context. Linux offers no biometric or passcode prompt to bind it to, so it
/// carries nothing; queries may still name it.
class LAContext {
public:
    LAContext() = default;
};
using LAContextRef = std::shared_ptr<LAContext>;

/// A value in a query, attribute or result dictionary.
class Value {
public:
    using Array = std::vector<Value>;
    using Dictionary = std::map<std::string, Value>;
    using Storage = std::variant<std::string, std::int64_t, Data, bool, platform::Date, SynchronizableAny,
                                 AccessControlRef, LAContextRef, Array, Dictionary>;

    Value(std::string v) : v_(std::move(v)) {}                      // NOLINT
    Value(const char* v) : v_(std::string(v)) {}                    // NOLINT
    Value(std::int64_t v) : v_(v) {}                                // NOLINT
    Value(int v) : v_(static_cast<std::int64_t>(v)) {}              // NOLINT
    Value(Data v) : v_(std::move(v)) {}                             // NOLINT
    Value(bool v) : v_(v) {}                                        // NOLINT
    Value(platform::Date v) : v_(v) {}                              // NOLINT
    Value(SynchronizableAny v) : v_(v) {}                           // NOLINT
    Value(AccessControlRef v) : v_(std::move(v)) {}                 // NOLINT
    Value(LAContextRef v) : v_(std::move(v)) {}                     // NOLINT
    Value(Array v) : v_(std::move(v)) {}                            // NOLINT
    Value(Dictionary v) : v_(std::move(v)) {}                       // NOLINT

    template <class T> const T* as() const { return std::get_if<T>(&v_); }
    template <class T> bool is() const { return std::holds_alternative<T>(v_); }
    const Storage& storage() const { return v_; }

    bool operator==(const Value& o) const;

    /// Text form: strings quoted, byte buffers as their size only ("5 bytes"), so a secret never
    /// reaches a description.
    std::string description() const;

private:
    Storage v_;
};

using Dictionary = Value::Dictionary;
using Array = Value::Array;

/// The text form of a dictionary: ["key": value, ...], keys in order; "[:]" when empty.
std::string describe(const Dictionary& dictionary);

/// The result slot of SecItemCopyMatching and SecItemAdd.
using Result = std::optional<Value>;

// Item classes.
inline constexpr const char kSecClass[] = "kSecClass";
inline constexpr const char kSecClassGenericPassword[] = "kSecClassGenericPassword";
inline constexpr const char kSecClassInternetPassword[] = "kSecClassInternetPassword";

// Item attributes.
inline constexpr const char kSecAttrAccessGroup[] = "kSecAttrAccessGroup";
inline constexpr const char kSecAttrAccessible[] = "kSecAttrAccessible";
inline constexpr const char kSecAttrAccessControl[] = "kSecAttrAccessControl";
inline constexpr const char kSecAttrSynchronizable[] = "kSecAttrSynchronizable";
inline constexpr const char kSecAttrCreationDate[] = "kSecAttrCreationDate";
inline constexpr const char kSecAttrModificationDate[] = "kSecAttrModificationDate";
inline constexpr const char kSecAttrDescription[] = "kSecAttrDescription";
inline constexpr const char kSecAttrComment[] = "kSecAttrComment";
inline constexpr const char kSecAttrCreator[] = "kSecAttrCreator";
inline constexpr const char kSecAttrType[] = "kSecAttrType";
inline constexpr const char kSecAttrLabel[] = "kSecAttrLabel";
inline constexpr const char kSecAttrIsInvisible[] = "kSecAttrIsInvisible";
inline constexpr const char kSecAttrIsNegative[] = "kSecAttrIsNegative";
inline constexpr const char kSecAttrAccount[] = "kSecAttrAccount";
inline constexpr const char kSecAttrService[] = "kSecAttrService";
inline constexpr const char kSecAttrGeneric[] = "kSecAttrGeneric";
inline constexpr const char kSecAttrSecurityDomain[] = "kSecAttrSecurityDomain";
inline constexpr const char kSecAttrServer[] = "kSecAttrServer";
inline constexpr const char kSecAttrProtocol[] = "kSecAttrProtocol";
inline constexpr const char kSecAttrAuthenticationType[] = "kSecAttrAuthenticationType";
inline constexpr const char kSecAttrPort[] = "kSecAttrPort";
inline constexpr const char kSecAttrPath[] = "kSecAttrPath";

/// Value of kSecAttrSynchronizable in a query that matches synchronized and local items.
inline const SynchronizableAny kSecAttrSynchronizableAny{};
/// The platform's boolean objects.
inline constexpr bool kCFBooleanTrue = true;
inline constexpr bool kCFBooleanFalse = false;

// Accessibility constants.
inline constexpr const char kSecAttrAccessibleWhenUnlocked[] = "kSecAttrAccessibleWhenUnlocked";
inline constexpr const char kSecAttrAccessibleAfterFirstUnlock[] = "kSecAttrAccessibleAfterFirstUnlock";
inline constexpr const char kSecAttrAccessibleAlways[] = "kSecAttrAccessibleAlways";
inline constexpr const char kSecAttrAccessibleWhenPasscodeSetThisDeviceOnly[] = "kSecAttrAccessibleWhenPasscodeSetThisDeviceOnly";
inline constexpr const char kSecAttrAccessibleWhenUnlockedThisDeviceOnly[] = "kSecAttrAccessibleWhenUnlockedThisDeviceOnly";
inline constexpr const char kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly[] = "kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly";
inline constexpr const char kSecAttrAccessibleAlwaysThisDeviceOnly[] = "kSecAttrAccessibleAlwaysThisDeviceOnly";

// Protocol constants.
inline constexpr const char kSecAttrProtocolFTP[] = "kSecAttrProtocolFTP";
inline constexpr const char kSecAttrProtocolFTPAccount[] = "kSecAttrProtocolFTPAccount";
inline constexpr const char kSecAttrProtocolHTTP[] = "kSecAttrProtocolHTTP";
inline constexpr const char kSecAttrProtocolIRC[] = "kSecAttrProtocolIRC";
inline constexpr const char kSecAttrProtocolNNTP[] = "kSecAttrProtocolNNTP";
inline constexpr const char kSecAttrProtocolPOP3[] = "kSecAttrProtocolPOP3";
inline constexpr const char kSecAttrProtocolSMTP[] = "kSecAttrProtocolSMTP";
inline constexpr const char kSecAttrProtocolSOCKS[] = "kSecAttrProtocolSOCKS";
inline constexpr const char kSecAttrProtocolIMAP[] = "kSecAttrProtocolIMAP";
inline constexpr const char kSecAttrProtocolLDAP[] = "kSecAttrProtocolLDAP";
inline constexpr const char kSecAttrProtocolAppleTalk[] = "kSecAttrProtocolAppleTalk";
inline constexpr const char kSecAttrProtocolAFP[] = "kSecAttrProtocolAFP";
inline constexpr const char kSecAttrProtocolTelnet[] = "kSecAttrProtocolTelnet";
inline constexpr const char kSecAttrProtocolSSH[] = "kSecAttrProtocolSSH";
inline constexpr const char kSecAttrProtocolFTPS[] = "kSecAttrProtocolFTPS";
inline constexpr const char kSecAttrProtocolHTTPS[] = "kSecAttrProtocolHTTPS";
inline constexpr const char kSecAttrProtocolHTTPProxy[] = "kSecAttrProtocolHTTPProxy";
inline constexpr const char kSecAttrProtocolHTTPSProxy[] = "kSecAttrProtocolHTTPSProxy";
inline constexpr const char kSecAttrProtocolFTPProxy[] = "kSecAttrProtocolFTPProxy";
inline constexpr const char kSecAttrProtocolSMB[] = "kSecAttrProtocolSMB";
inline constexpr const char kSecAttrProtocolRTSP[] = "kSecAttrProtocolRTSP";
inline constexpr const char kSecAttrProtocolRTSPProxy[] = "kSecAttrProtocolRTSPProxy";
inline constexpr const char kSecAttrProtocolDAAP[] = "kSecAttrProtocolDAAP";
inline constexpr const char kSecAttrProtocolEPPC[] = "kSecAttrProtocolEPPC";
inline constexpr const char kSecAttrProtocolIPP[] = "kSecAttrProtocolIPP";
inline constexpr const char kSecAttrProtocolNNTPS[] = "kSecAttrProtocolNNTPS";
inline constexpr const char kSecAttrProtocolLDAPS[] = "kSecAttrProtocolLDAPS";
inline constexpr const char kSecAttrProtocolTelnetS[] = "kSecAttrProtocolTelnetS";
inline constexpr const char kSecAttrProtocolIMAPS[] = "kSecAttrProtocolIMAPS";
inline constexpr const char kSecAttrProtocolIRCS[] = "kSecAttrProtocolIRCS";
inline constexpr const char kSecAttrProtocolPOP3S[] = "kSecAttrProtocolPOP3S";

// Authentication-type constants.
inline constexpr const char kSecAttrAuthenticationTypeNTLM[] = "kSecAttrAuthenticationTypeNTLM";
inline constexpr const char kSecAttrAuthenticationTypeMSN[] = "kSecAttrAuthenticationTypeMSN";
inline constexpr const char kSecAttrAuthenticationTypeDPA[] = "kSecAttrAuthenticationTypeDPA";
inline constexpr const char kSecAttrAuthenticationTypeRPA[] = "kSecAttrAuthenticationTypeRPA";
inline constexpr const char kSecAttrAuthenticationTypeHTTPBasic[] = "kSecAttrAuthenticationTypeHTTPBasic";
inline constexpr const char kSecAttrAuthenticationTypeHTTPDigest[] = "kSecAttrAuthenticationTypeHTTPDigest";
inline constexpr const char kSecAttrAuthenticationTypeHTMLForm[] = "kSecAttrAuthenticationTypeHTMLForm";
inline constexpr const char kSecAttrAuthenticationTypeDefault[] = "kSecAttrAuthenticationTypeDefault";

// Item values.
inline constexpr const char kSecValueData[] = "kSecValueData";
inline constexpr const char kSecValueRef[] = "kSecValueRef";
inline constexpr const char kSecValuePersistentRef[] = "kSecValuePersistentRef";

// Search and return keys.
inline constexpr const char kSecMatchLimit[] = "kSecMatchLimit";
inline constexpr const char kSecMatchLimitOne[] = "kSecMatchLimitOne";
inline constexpr const char kSecMatchLimitAll[] = "kSecMatchLimitAll";
inline constexpr const char kSecReturnData[] = "kSecReturnData";
inline constexpr const char kSecReturnAttributes[] = "kSecReturnAttributes";
inline constexpr const char kSecReturnRef[] = "kSecReturnRef";
inline constexpr const char kSecReturnPersistentRef[] = "kSecReturnPersistentRef";

// Use keys.
inline constexpr const char kSecUseOperationPrompt[] = "kSecUseOperationPrompt";
inline constexpr const char kSecUseAuthenticationUI[] = "kSecUseAuthenticationUI";
inline constexpr const char kSecUseAuthenticationUIAllow[] = "kSecUseAuthenticationUIAllow";
inline constexpr const char kSecUseAuthenticationUIFail[] = "kSecUseAuthenticationUIFail";
inline constexpr const char kSecUseAuthenticationUISkip[] = "kSecUseAuthenticationUISkip";
inline constexpr const char kSecUseAuthenticationContext[] = "kSecUseAuthenticationContext";

// Access-control flags this platform can honour: only the combinators, which alone demand nothing.
inline constexpr std::uint64_t kSecAccessControlOr = 0x4000;
inline constexpr std::uint64_t kSecAccessControlAnd = 0x8000;

/// Makes an access-control object. A flag that asks for a user check this platform cannot make
/// (user presence, biometry, passcode, watch, application password, private-key use) gives no
/// object and sets `error` to Status unimplemented, so no item is stored without the protection
/// its owner asked for. An unknown protection gives Status param.
AccessControlRef SecAccessControlCreateWithFlags(const std::string& protection, std::uint64_t flags,
                                                 platform::ErrorRef* error);

OSStatus SecItemCopyMatching(const Dictionary& query, Result* result);
OSStatus SecItemAdd(const Dictionary& attributes, Result* result);
OSStatus SecItemUpdate(const Dictionary& query, const Dictionary& attributesToUpdate);
OSStatus SecItemDelete(const Dictionary& query);

} // namespace KeychainStore::Security
