#pragma once
// The keychain store's public object: generic passwords of one service, or internet passwords of
// one server and protocol. Immutable; every operation asks the item store afresh, synchronously on
// the caller's thread. Failures throw platform::Exception carrying a Status (or the access-control
// error); the subscripts and listings never throw.
#include "keychain/Attributes.hpp"
#include "keychain/Options.hpp"
#include "keychain/Status.hpp"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace KeychainStore {

/// One item as the listings show it: "class", "service" or "server", "key", ... (see allItems).
using DisplayItem = Security::Dictionary;

class Keychain {
public:
    /// Generic passwords of the application's bundle identifier.
    Keychain();
    /// A keychain with exactly these options.
    explicit Keychain(Options options) : options_(std::move(options)) {}
    virtual ~Keychain() = default;

    static std::shared_ptr<Keychain> make();
    static std::shared_ptr<Keychain> make(std::string service);
    static std::shared_ptr<Keychain> makeAccessGroup(std::string accessGroup);
    static std::shared_ptr<Keychain> make(std::string service, std::string accessGroup);
    static std::shared_ptr<Keychain> make(platform::URL server, ProtocolType protocolType,
                                          std::optional<std::string> accessGroup = std::nullopt,
                                          AuthenticationType authenticationType = AuthenticationType::default_);
    /// The server as text; throws platform::Exception (Status param) when it is not a URL.
    static std::shared_ptr<Keychain> make(const std::string& server, ProtocolType protocolType,
                                          std::optional<std::string> accessGroup = std::nullopt,
                                          AuthenticationType authenticationType = AuthenticationType::default_);

    const Options& options() const { return options_; }

    ItemClass itemClass() const { return options_.itemClass; }
    const std::string& service() const { return options_.service; }
    const std::optional<std::string>& accessGroup() const { return options_.accessGroup; }
    /// No value for a generic-password keychain.
    const std::optional<platform::URL>& server() const { return options_.server; }
    /// No value for a generic-password keychain.
    const std::optional<ProtocolType>& protocolType() const { return options_.protocolType; }
    AuthenticationType authenticationType() const { return options_.authenticationType; }
    Accessibility accessibility() const { return options_.accessibility; }
    const std::optional<AuthenticationPolicy>& authenticationPolicy() const { return options_.authenticationPolicy; }
    bool synchronizable() const { return options_.synchronizable; }
    const std::optional<std::string>& label() const { return options_.label; }
    const std::optional<std::string>& comment() const { return options_.comment; }
    const std::optional<std::string>& authenticationPrompt() const { return options_.authenticationPrompt; }
    /// `allow` when the option is not set.
    AuthenticationUI authenticationUI() const { return options_.authenticationUI.value_or(AuthenticationUI::allow); }
    const std::shared_ptr<LAContext>& authenticationContext() const { return options_.authenticationContext; }

    // Each setter gives a new keychain with one option changed; this one stays as it is.
    std::shared_ptr<Keychain> accessibility(Accessibility accessibility) const;
    std::shared_ptr<Keychain> accessibility(Accessibility accessibility, AuthenticationPolicy authenticationPolicy) const;
    std::shared_ptr<Keychain> synchronizable(bool synchronizable) const;
    std::shared_ptr<Keychain> label(std::string label) const;
    std::shared_ptr<Keychain> comment(std::string comment) const;
    /// Merged into the extra attributes: a given key replaces the entry, others stay.
    std::shared_ptr<Keychain> attributes(const Security::Dictionary& attributes) const;
    std::shared_ptr<Keychain> authenticationPrompt(std::string authenticationPrompt) const;
    std::shared_ptr<Keychain> authenticationUI(AuthenticationUI authenticationUI) const;
    std::shared_ptr<Keychain> authenticationContext(std::shared_ptr<LAContext> authenticationContext) const;

    std::optional<Data> getData(const std::string& key, bool ignoringAttributeSynchronizable) const;
    std::optional<std::string> getString(const std::string& key, bool ignoringAttributeSynchronizable) const;
    std::optional<std::string> get(const std::string& key, bool ignoringAttributeSynchronizable) const {
        return getString(key, ignoringAttributeSynchronizable);
    }

    /// Adds the item or updates the one that exists. A string must be UTF-8.
    void set(const std::string& value, const std::string& key, bool ignoringAttributeSynchronizable) const;
    void set(const char* value, const std::string& key, bool ignoringAttributeSynchronizable) const {
        set(std::string(value), key, ignoringAttributeSynchronizable);
    }
    void set(const Data& value, const std::string& key, bool ignoringAttributeSynchronizable) const;

    /// A missing item is no failure.
    void remove(const std::string& key, bool ignoringAttributeSynchronizable) const;
    /// Every item of this service (or server), synchronized or not.
    void removeAll() const;
    bool contains(const std::string& key, bool withoutAuthenticationUI) const;

    // Subscripts: errors become an absent value (what the operations print still shows).
    std::optional<std::string> subscript(const std::string& key) const { return subscriptString(key); }
    void subscript(const std::string& key, const std::optional<std::string>& value) const {
        subscriptString(key, value);
    }
    std::optional<std::string> subscriptString(const std::string& key) const;
    /// An absent value removes the item.
    void subscriptString(const std::string& key, const std::optional<std::string>& value) const;
    std::optional<Data> subscriptData(const std::string& key) const;
    void subscriptData(const std::string& key, const std::optional<Data>& value) const;
    std::optional<Attributes> subscriptAttributes(const std::string& key) const;

    /// keychain["key"] reads and assigns like the string subscript.
    class StringSubscript {
    public:
        operator std::optional<std::string>() const { return keychain_.subscriptString(key_); }  // NOLINT
        const StringSubscript& operator=(const std::optional<std::string>& value) const {
            keychain_.subscriptString(key_, value);
            return *this;
        }
        const StringSubscript& operator=(const char* value) const {
            return *this = std::optional<std::string>(value);
        }

    private:
        friend class Keychain;
        StringSubscript(const Keychain& keychain, std::string key) : keychain_(keychain), key_(std::move(key)) {}
        const Keychain& keychain_;
        std::string key_;
    };
    StringSubscript operator[](std::string key) const { return StringSubscript(*this, std::move(key)); }

    /// Hands the item's attributes (no value when there is none) to `handler` and returns what it
    /// returns. A failed lookup throws and never calls the handler.
    template <class F>
    auto get(const std::string& key, bool ignoringAttributeSynchronizable, F&& handler) const
        -> std::invoke_result_t<F, std::optional<Attributes>> {
        return std::forward<F>(handler)(lookupAttributes(key, ignoringAttributeSynchronizable));
    }

    std::vector<std::string> allKeys() const;
    std::vector<DisplayItem> allItems() const;
    /// (service or server, key) of every item of the class.
    static std::vector<std::pair<std::string, std::string>> allKeys(ItemClass itemClass);
    static std::vector<DisplayItem> allItems(ItemClass itemClass);

    /// "[]", or "[", then each item's display form on its own line indented by two blanks, then "]".
    std::string description() const;
    /// The raw attribute dictionaries of the items.
    std::string debugDescription() const;

protected:
    /// Makes the keychain that a setter returns; a subclass returns one of its own kind.
    virtual std::shared_ptr<Keychain> copy(Options options) const;

private:
    std::shared_ptr<Keychain> with(const std::function<void(Options&)>& change) const;
    std::optional<Attributes> lookupAttributes(const std::string& key, bool ignoringAttributeSynchronizable) const;
    Security::Array items() const;

    Options options_;
};

/// Whether `bytes` are well-formed UTF-8 (no overlong forms, surrogates or code points above U+10FFFF).
bool isValidUTF8(std::string_view bytes);

} // namespace KeychainStore
