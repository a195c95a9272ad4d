// test-labels: unit keychain
#include "keychain/Status.hpp"

#include <gtest/gtest.h>

#include <set>
#include <unordered_set>

using KeychainStore::Status;
using KeychainStore::statusError;

namespace {

std::string lineOf(int code) {
    testing::internal::CaptureStdout();
    auto error = statusError(code);
    return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(StatusTable, HasEveryCaseOnceInDeclaredOrder) {
    const auto& cases = Status::allCases();
    ASSERT_EQ(cases.size(), 403u);
    EXPECT_EQ(cases.front(), Status::success);
    EXPECT_EQ(cases.back(), Status::unexpectedError);
    // The order is the declared one, not the numeric one.
    EXPECT_EQ(cases[40], Status::inDarkWake);
    EXPECT_EQ(cases[41], Status::aclNotSimple);
    EXPECT_EQ(cases[62], Status::unsupportedAlgorithm);

    std::set<int> codes;
    std::set<std::string> messages;
    int empty = 0;
    for (Status::Case c : cases) {
        codes.insert(c);
        std::string message = Status(c).description();
        messages.insert(message);
        if (message.empty()) {
            ++empty;
            EXPECT_EQ(c, Status::internalComponent);
        }
    }
    EXPECT_EQ(codes.size(), 403u);
    EXPECT_EQ(messages.size(), 403u) << "every message differs from the others";
    EXPECT_EQ(empty, 1);
}

TEST(StatusTable, QuotedMessagesAndNames) {
    struct Row {
        Status::Case c;
        int code;
        const char* message;
    } rows[] = {
        {Status::success, 0, "No error."},
        {Status::io, -36, "I/O error (bummers)"},
        {Status::opWr, -49, "file already open with with write permission"},
        {Status::userCanceled, -128, "User canceled the operation."},
        {Status::internalComponent, -2070, ""},
        {Status::duplicateItem, -25299, "The specified item already exists in the keychain."},
        {Status::itemNotFound, -25300, "The specified item could not be found in the keychain."},
        {Status::inDarkWake, -25320, "In dark wake, no UI possible"},
        {Status::missingEntitlement, -34018,
         "Internal error when a required entitlement isn't present, client has neither application-identifier nor "
         "keychain-access-groups entitlements."},
        {Status::conversionError, -67594, "A conversion error has occurred."},
        {Status::unexpectedError, -99999, "Unexpected error has occurred."},
        {Status::returnPersitentRefUnsupported, -34011, nullptr},
        {Status::invaldCRLAuthority, -67827, nullptr},
        {Status::invalidTupleCredendtials, -67852, nullptr},
    };
    for (const Row& r : rows) {
        Status s(r.c);
        EXPECT_EQ(s.rawValue(), r.code);
        EXPECT_EQ(s.errorCode(), r.code);
        if (r.message) {
            EXPECT_EQ(s.description(), r.message);
        }
    }
}

TEST(StatusLookup, StatusAndRawValueConstructors) {
    EXPECT_EQ(Status(0), Status::success);
    EXPECT_EQ(Status(-25300), Status::itemNotFound);
    EXPECT_EQ(Status(1), Status::unexpectedError);
    EXPECT_EQ(Status(-1), Status::unexpectedError);
    EXPECT_FALSE(Status::fromRawValue(1).has_value());
    EXPECT_EQ(Status::fromRawValue(-99999), Status::unexpectedError);
    EXPECT_EQ(Status::fromRawValue(-128), Status::userCanceled);
}

TEST(StatusLookup, EqualityAndHashFollowTheCode) {
    EXPECT_EQ(Status(-25299), Status(Status::duplicateItem));
    EXPECT_NE(Status(Status::itemNotFound), Status(Status::duplicateItem));
    std::hash<Status> hash;
    EXPECT_EQ(hash(Status(-25299)), hash(Status(Status::duplicateItem)));
    std::unordered_set<Status> set{Status::itemNotFound, Status(-25300), Status::duplicateItem};
    EXPECT_EQ(set.size(), 2u);
}

TEST(StatusError, BridgesToThePlatformErrorShape) {
    Status s(Status::duplicateItem);
    const platform::Error& e = s;
    EXPECT_EQ(e.domain(), "com.Pellmorrow.KeychainStore.error");
    EXPECT_EQ(Status::errorDomain(), KeychainStore::KeychainErrorDomain);
    EXPECT_EQ(e.code(), -25299);
    EXPECT_EQ(e.localizedDescription(), "The specified item already exists in the keychain.");
    for (Status::Case c : {Status::success, Status::internalComponent, Status::param}) {
        auto info = Status(c).errorUserInfo();
        ASSERT_EQ(info.size(), 1u);
        EXPECT_EQ(info.begin()->first, platform::NSLocalizedDescriptionKey);
        EXPECT_EQ(*info.begin()->second.asString(), Status(c).description());
    }
}

TEST(StatusError, WritesOneLineExceptForUserCancel) {
    struct Row {
        int code;
        Status::Case expected;
        const char* line;
    } rows[] = {
        {-128, Status::userCanceled, ""},
        {-25299, Status::duplicateItem, "OSStatus error:[-25299] The specified item already exists in the keychain.\n"},
        {1, Status::unexpectedError, "OSStatus error:[-99999] Unexpected error has occurred.\n"},
        {-2070, Status::internalComponent, "OSStatus error:[-2070] \n"},
        {0, Status::success, "OSStatus error:[0] No error.\n"},
    };
    for (const Row& r : rows) {
        testing::internal::CaptureStdout();
        auto error = statusError(r.code);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), r.line) << r.code;
        EXPECT_EQ(*error, r.expected);
    }
    EXPECT_EQ(lineOf(-25308), "OSStatus error:[-25308] User interaction is not allowed.\n");
}
