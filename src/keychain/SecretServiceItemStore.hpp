#pragma once
// Items in the desktop Secret Service (GNOME Keyring, KWallet) through libsecret. Every search
// carries our own schema name, so other programs' secrets are never read, changed or deleted.
// Each item's attributes are stored as Secret Service attributes; its data is the secret.
//
// Status mapping: no service on the session bus -25291; no default collection to add to -25307;
// an item or collection that is locked -25308 when the call may not show an interface (and such
// items are passed over when it may skip them); a dismissed or unanswered unlock prompt -128.
#include "keychain/RecordItemStore.hpp"

#include <chrono>

namespace KeychainStore {

class SecretServiceItemStore : public RecordItemStore {
public:
    /// The schema name that every item and every search carries.
    static constexpr const char* schemaName = "com.Pellmorrow.KeychainStore";

    /// `promptTimeout` bounds the wait for the user to answer an unlock prompt.
    explicit SecretServiceItemStore(std::chrono::milliseconds promptTimeout = std::chrono::seconds(60));
    ~SecretServiceItemStore() override;

protected:
    OSStatus begin(bool write, const Access& access, std::unique_ptr<Transaction>& out) override;

private:
    class SecretServiceTransaction;
    std::chrono::milliseconds promptTimeout_;
};

} // namespace KeychainStore
