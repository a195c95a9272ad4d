#pragma once
// Who the host application is: its bundle identifier, which names the keychain service of server
// passwords, and its reverse-DNS prefix, which begins the labels of the clients' queues. The host
// sets it once at start-up, before it stores or reads a password; until then the defaults hold:
// prefix "com.Pellmorrow", product "Calvora", bundle identifier "com.Pellmorrow.Calvora".
#include <string>

namespace KeychainStore {

class ApplicationIdentity {
public:
    static constexpr const char* defaultReverseDNSPrefix = "com.Pellmorrow";
    static constexpr const char* defaultProductWord = "Calvora";

    /// Throws std::invalid_argument when either part is empty, the prefix ends with "." or the
    /// product word holds a ".".
    static void set(const std::string& reverseDNSPrefix, const std::string& productWord);
    /// Back to the defaults.
    static void reset();

    static std::string reverseDNSPrefix();
    static std::string productWord();
    /// The prefix, ".", and the product word.
    static std::string bundleIdentifier();
};

} // namespace KeychainStore
