#pragma once
// Helpers for the keychain tests: readable values in failure messages, captured standard output,
// and the Status inside a thrown platform::Exception.
#include "keychain/Keychain.hpp"
#include "keychain/SecItem.hpp"
#include "keychain/Status.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <ostream>
#include <string>

namespace KeychainStore::Security {
inline void PrintTo(const Value& value, std::ostream* os) { *os << value.description(); }
}  // namespace KeychainStore::Security

namespace keychain_test {

using namespace KeychainStore;
using namespace KeychainStore::Security;

/// What `action` writes to standard output.
inline std::string stdoutOf(const std::function<void()>& action) {
    testing::internal::CaptureStdout();
    try {
        action();
    } catch (...) {
        testing::internal::GetCapturedStdout();
        throw;
    }
    return testing::internal::GetCapturedStdout();
}

/// The code of the Status that `action` throws; no value when it throws nothing. Any other
/// error is a test failure.
inline std::optional<int> thrownStatus(const std::function<void()>& action) {
    try {
        action();
    } catch (const platform::Exception& e) {
        if (auto status = std::dynamic_pointer_cast<const Status>(e.error())) return status->rawValue();
        ADD_FAILURE() << "not a Status: " << e.what();
        return static_cast<int>(e.error()->code());
    }
    return std::nullopt;
}

inline Data bytes(const std::string& text) { return Data(text.begin(), text.end()); }

}  // namespace keychain_test
