#include "keychain/Options.hpp"

namespace KeychainStore {
namespace {

using namespace Security;

struct Named {
    const char* raw;
    const char* description;
};

constexpr Named itemClassNames[] = {
    {kSecClassGenericPassword, "GenericPassword"},
    {kSecClassInternetPassword, "InternetPassword"},
};

constexpr Named protocolNames[] = {
    {kSecAttrProtocolFTP, "FTP"}, {kSecAttrProtocolFTPAccount, "FTPAccount"}, {kSecAttrProtocolHTTP, "HTTP"},
    {kSecAttrProtocolIRC, "IRC"}, {kSecAttrProtocolNNTP, "NNTP"}, {kSecAttrProtocolPOP3, "POP3"},
    {kSecAttrProtocolSMTP, "SMTP"}, {kSecAttrProtocolSOCKS, "SOCKS"}, {kSecAttrProtocolIMAP, "IMAP"},
    {kSecAttrProtocolLDAP, "LDAP"}, {kSecAttrProtocolAppleTalk, "AppleTalk"}, {kSecAttrProtocolAFP, "AFP"},
    {kSecAttrProtocolTelnet, "Telnet"}, {kSecAttrProtocolSSH, "SSH"}, {kSecAttrProtocolFTPS, "FTPS"},
    {kSecAttrProtocolHTTPS, "HTTPS"}, {kSecAttrProtocolHTTPProxy, "HTTPProxy"},
    {kSecAttrProtocolHTTPSProxy, "HTTPSProxy"}, {kSecAttrProtocolFTPProxy, "FTPProxy"}, {kSecAttrProtocolSMB, "SMB"},
    {kSecAttrProtocolRTSP, "RTSP"}, {kSecAttrProtocolRTSPProxy, "RTSPProxy"}, {kSecAttrProtocolDAAP, "DAAP"},
    {kSecAttrProtocolEPPC, "EPPC"}, {kSecAttrProtocolIPP, "IPP"}, {kSecAttrProtocolNNTPS, "NNTPS"},
    {kSecAttrProtocolLDAPS, "LDAPS"}, {kSecAttrProtocolTelnetS, "TelnetS"}, {kSecAttrProtocolIMAPS, "IMAPS"},
    {kSecAttrProtocolIRCS, "IRCS"}, {kSecAttrProtocolPOP3S, "POP3S"},
};

constexpr Named authenticationTypeNames[] = {
    {kSecAttrAuthenticationTypeNTLM, "NTLM"},         {kSecAttrAuthenticationTypeMSN, "MSN"},
    {kSecAttrAuthenticationTypeDPA, "DPA"},           {kSecAttrAuthenticationTypeRPA, "RPA"},
    {kSecAttrAuthenticationTypeHTTPBasic, "HTTPBasic"}, {kSecAttrAuthenticationTypeHTTPDigest, "HTTPDigest"},
    {kSecAttrAuthenticationTypeHTMLForm, "HTMLForm"}, {kSecAttrAuthenticationTypeDefault, "Default"},
};

constexpr Named accessibilityNames[] = {
    {kSecAttrAccessibleWhenUnlocked, "WhenUnlocked"},
    {kSecAttrAccessibleAfterFirstUnlock, "AfterFirstUnlock"},
    {kSecAttrAccessibleAlways, "Always"},
    {kSecAttrAccessibleWhenPasscodeSetThisDeviceOnly, "WhenPasscodeSetThisDeviceOnly"},
    {kSecAttrAccessibleWhenUnlockedThisDeviceOnly, "WhenUnlockedThisDeviceOnly"},
    {kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly, "AfterFirstUnlockThisDeviceOnly"},
    {kSecAttrAccessibleAlwaysThisDeviceOnly, "AlwaysThisDeviceOnly"},
};

constexpr Named authenticationUINames[] = {
    {kSecUseAuthenticationUIAllow, "allow"},
    {kSecUseAuthenticationUIFail, "fail"},
    {kSecUseAuthenticationUISkip, "skip"},
};

template <class E, std::size_t N>
std::optional<E> lookup(const Named (&names)[N], std::string_view raw) {
    for (std::size_t i = 0; i < N; ++i) {
        if (raw == names[i].raw) return static_cast<E>(i);
    }
    return std::nullopt;
}

template <class E, std::size_t N>
std::array<E, N> casesOf(const Named (&)[N]) {
    std::array<E, N> cases{};
    for (std::size_t i = 0; i < N; ++i) cases[i] = static_cast<E>(i);
    return cases;
}

}  // namespace

const std::array<ProtocolType, 31> ProtocolTypeAllCases = casesOf<ProtocolType>(protocolNames);
const std::array<AuthenticationType, 8> AuthenticationTypeAllCases = casesOf<AuthenticationType>(authenticationTypeNames);
const std::array<Accessibility, 7> AccessibilityAllCases = casesOf<Accessibility>(accessibilityNames);

std::string rawValue(ItemClass v) { return itemClassNames[static_cast<int>(v)].raw; }
std::string rawValue(ProtocolType v) { return protocolNames[static_cast<int>(v)].raw; }
std::string rawValue(AuthenticationType v) { return authenticationTypeNames[static_cast<int>(v)].raw; }
std::string rawValue(Accessibility v) { return accessibilityNames[static_cast<int>(v)].raw; }
std::string rawValue(AuthenticationUI v) { return authenticationUINames[static_cast<int>(v)].raw; }

std::string description(ItemClass v) { return itemClassNames[static_cast<int>(v)].description; }
std::string description(ProtocolType v) { return protocolNames[static_cast<int>(v)].description; }
std::string description(AuthenticationType v) { return authenticationTypeNames[static_cast<int>(v)].description; }
std::string description(Accessibility v) { return accessibilityNames[static_cast<int>(v)].description; }
std::string description(AuthenticationUI v) { return authenticationUINames[static_cast<int>(v)].description; }

template <> std::optional<ItemClass> fromRawValue<ItemClass>(std::string_view raw) {
    return lookup<ItemClass>(itemClassNames, raw);
}
template <> std::optional<ProtocolType> fromRawValue<ProtocolType>(std::string_view raw) {
    return lookup<ProtocolType>(protocolNames, raw);
}
template <> std::optional<AuthenticationType> fromRawValue<AuthenticationType>(std::string_view raw) {
    return lookup<AuthenticationType>(authenticationTypeNames, raw);
}
template <> std::optional<Accessibility> fromRawValue<Accessibility>(std::string_view raw) {
    return lookup<Accessibility>(accessibilityNames, raw);
}

Dictionary Options::searchQuery(bool ignoringAttributeSynchronizable) const {
    Dictionary query;
    query.emplace(kSecClass, rawValue(itemClass));
    if (accessGroup) query.emplace(kSecAttrAccessGroup, *accessGroup);
    if (ignoringAttributeSynchronizable) query.emplace(kSecAttrSynchronizable, kSecAttrSynchronizableAny);
    else query.emplace(kSecAttrSynchronizable, synchronizable ? kCFBooleanTrue : kCFBooleanFalse);
    switch (itemClass) {
        case ItemClass::genericPassword:
            query.emplace(kSecAttrService, service);
            break;
        case ItemClass::internetPassword:
            if (server) {
                if (auto host = server->host()) query.emplace(kSecAttrServer, *host);
                if (auto port = server->port()) query.emplace(kSecAttrPort, static_cast<std::int64_t>(*port));
            }
            if (protocolType) query.emplace(kSecAttrProtocol, rawValue(*protocolType));
            query.emplace(kSecAttrAuthenticationType, rawValue(authenticationType));
            break;
    }
    if (authenticationPrompt) query.emplace(kSecUseOperationPrompt, *authenticationPrompt);
    if (authenticationContext) query.emplace(kSecUseAuthenticationContext, authenticationContext);
    return query;
}

std::pair<Dictionary, platform::ErrorRef> Options::itemAttributes(const std::optional<std::string>& key,
                                                                  const Data& value) const {
    Dictionary attributes;
    if (key) {
        attributes = searchQuery(true);
        attributes.insert_or_assign(kSecAttrAccount, *key);
    }
    attributes.insert_or_assign(kSecValueData, value);
    if (label) attributes.insert_or_assign(kSecAttrLabel, *label);
    if (comment) attributes.insert_or_assign(kSecAttrComment, *comment);
    if (!authenticationPolicy) {
        attributes.insert_or_assign(kSecAttrAccessible, rawValue(accessibility));
    } else {
        platform::ErrorRef error;
        AccessControlRef control =
            SecAccessControlCreateWithFlags(rawValue(accessibility), authenticationPolicy->rawValue(), &error);
        if (!control) {
            if (error) return {attributes, error};
            return {attributes, std::make_shared<const Status>(Status::unexpectedError)};
        }
        attributes.insert_or_assign(kSecAttrAccessControl, control);
    }
    attributes.insert_or_assign(kSecAttrSynchronizable, synchronizable ? kCFBooleanTrue : kCFBooleanFalse);
    return {attributes, nullptr};
}

} // namespace KeychainStore
