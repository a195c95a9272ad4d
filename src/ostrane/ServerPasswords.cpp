// A server record's password: a generic-password keychain item whose service is the application's
// bundle identifier and whose account is the record's identifier. Every client reads the same item
// through getPassword().
#include "keychain/ApplicationIdentity.hpp"
#include "keychain/Keychain.hpp"
#include "ostrane/OstraneInfo.hpp"
#include "platform/base/Trace.hpp"

#include <cerrno>

namespace Ostrane {
namespace {

std::shared_ptr<KeychainStore::Keychain> passwordKeychain() {
    return KeychainStore::Keychain::make(KeychainStore::ApplicationIdentity::bundleIdentifier());
}

// Reads and removals report nothing to their caller; the host can still see why one failed.
void traceFailure(const char* function, const std::string& identifier, const platform::Exception& e) {
    std::string description = e.error() ? e.error()->localizedDescription() : std::string("unknown error");
    Util::trace([=] { return "keychain " + std::string(function) + " failed for " + identifier + ": " + description; },
                "Ostrane/ServerPasswords", __LINE__, function);
}

}  // namespace

std::optional<std::string> OstraneInfo::getPassword() const { return passwordKeychain()->subscriptString(identifier); }

platform::ErrorRef OstraneInfo::setPassword(const std::optional<std::string>& password) const {
    auto keychain = passwordKeychain();
    try {
        if (password) keychain->set(*password, identifier, true);
        else keychain->remove(identifier, true);
    } catch (const platform::Exception& e) {
        traceFailure("setPassword(_:)", identifier, e);
        return e.error() ? e.error() : platform::POSIXError::make(EIO);
    }
    return nullptr;
}

void OstraneInfo::cleanup() const {
    try {
        passwordKeychain()->remove(identifier, true);
    } catch (const platform::Exception& e) {
        traceFailure("cleanup()", identifier, e);
    }
}

}  // namespace Ostrane
