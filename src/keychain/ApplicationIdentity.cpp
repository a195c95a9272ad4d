#include "keychain/ApplicationIdentity.hpp"

#include <mutex>
#include <stdexcept>

namespace KeychainStore {
namespace {

struct Identity {
    std::mutex mutex;
    std::string prefix = ApplicationIdentity::defaultReverseDNSPrefix;
    std::string product = ApplicationIdentity::defaultProductWord;
};

// Made on first use, so other start-up code may read it safely.
Identity& identity() {
    static Identity value;
    return value;
}

}  // namespace

void ApplicationIdentity::set(const std::string& reverseDNSPrefix, const std::string& productWord) {
    if (reverseDNSPrefix.empty() || reverseDNSPrefix.front() == '.' || reverseDNSPrefix.back() == '.')
        throw std::invalid_argument("application identity: the reverse-DNS prefix must be a non-empty dotted name");
    if (productWord.empty() || productWord.find('.') != std::string::npos)
        throw std::invalid_argument("application identity: the product word must be a non-empty word without \".\"");
    Identity& id = identity();
    std::lock_guard<std::mutex> lock(id.mutex);
    id.prefix = reverseDNSPrefix;
    id.product = productWord;
}

void ApplicationIdentity::reset() {
    Identity& id = identity();
    std::lock_guard<std::mutex> lock(id.mutex);
    id.prefix = defaultReverseDNSPrefix;
    id.product = defaultProductWord;
}

std::string ApplicationIdentity::reverseDNSPrefix() {
    Identity& id = identity();
    std::lock_guard<std::mutex> lock(id.mutex);
    return id.prefix;
}

std::string ApplicationIdentity::productWord() {
    Identity& id = identity();
    std::lock_guard<std::mutex> lock(id.mutex);
    return id.product;
}

std::string ApplicationIdentity::bundleIdentifier() {
    Identity& id = identity();
    std::lock_guard<std::mutex> lock(id.mutex);
    return id.prefix + "." + id.product;
}

} // namespace KeychainStore
