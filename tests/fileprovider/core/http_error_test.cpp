// test-labels: unit
#include "fileprovider/core/FileProviderHTTPError.hpp"
#include "fileprovider/core/RFCStandards.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

using namespace RiridOzizevud;

namespace {

class TestHTTPError : public FileProviderHTTPError {
public:
    using FileProviderHTTPError::FileProviderHTTPError;
};

} // namespace

TEST(FileProviderHTTPErrorCode, EveryCaseRoundTripsWithItsClassAndPhrase) {
    EXPECT_EQ(FileProviderHTTPErrorCodeAllCases.size(), 61u);
    std::set<int> seen;
    for (auto c : FileProviderHTTPErrorCodeAllCases) {
        const int code = rawValue(c);
        EXPECT_TRUE(seen.insert(code).second) << code;
        EXPECT_EQ(fromRawValue<FileProviderHTTPErrorCode>(code), c) << code;
        EXPECT_FALSE(description(c).empty()) << code;
        const std::string_view expectedClass = code < 200   ? "Informational"
                                               : code < 300 ? "Success"
                                               : code < 400 ? "Redirection"
                                               : code < 500 ? "Client Error"
                                                            : "Server Error";
        EXPECT_EQ(typeDescription(c), expectedClass) << code;
    }
    // Declared in ascending order.
    EXPECT_TRUE(std::is_sorted(FileProviderHTTPErrorCodeAllCases.begin(), FileProviderHTTPErrorCodeAllCases.end()));
}

TEST(FileProviderHTTPErrorCode, Phrases) {
    const std::pair<FileProviderHTTPErrorCode, const char*> rows[] = {
        {FileProviderHTTPErrorCode::continue_, "Continue"},
        {FileProviderHTTPErrorCode::unauthorized, "Unauthorized/Expired Session"},
        {FileProviderHTTPErrorCode::switchProxy, "Switch Proxy"},
        {FileProviderHTTPErrorCode::unorderedCollection, "Unordered Collection"},
        {FileProviderHTTPErrorCode::bandwidthLimitExceeded, "Bandwidth Limit Exceeded"},
        {FileProviderHTTPErrorCode::multiStatus, "Multi-Status"},
        {FileProviderHTTPErrorCode::nonAuthoritativeInformation, "Non-Authoritative Information"},
        {FileProviderHTTPErrorCode::imUsed, "IM Used"},
        {FileProviderHTTPErrorCode::networkAuthenticationRequired, "Network Authentication Required"},
    };
    for (const auto& [c, phrase] : rows) EXPECT_EQ(description(c), phrase) << rawValue(c);
    EXPECT_EQ(typeDescription(FileProviderHTTPErrorCode::unavailableForLegalReasons), "Client Error");
    EXPECT_EQ(typeDescription(FileProviderHTTPErrorCode::networkAuthenticationRequired), "Server Error");
    EXPECT_EQ(typeDescription(FileProviderHTTPErrorCode::imUsed), "Success");
}

TEST(FileProviderHTTPErrorCode, StatusesWithoutACase) {
    for (int code : {0, 1, 99, 103, 209, 418, 420, 427, 430, 450, 499, 501, 520, 600, -1, 99999})
        EXPECT_FALSE(fromRawValue<FileProviderHTTPErrorCode>(code)) << code;
    EXPECT_EQ(fromRawValue<FileProviderHTTPErrorCode>(404), FileProviderHTTPErrorCode::notFound);
    // The integer and the string lookups live side by side.
    EXPECT_EQ(fromRawValue<RFCStandards>(rawValue(RFCStandards::asctime)), RFCStandards::asctime);
}

TEST(FileProviderHTTPErrorCode, PlatformWordingDiffersFromTheTable) {
    EXPECT_EQ(localizedDescription(FileProviderHTTPErrorCode::notFound), "not found");
    EXPECT_EQ(localizedDescription(FileProviderHTTPErrorCode::unauthorized), "unauthorized");
    EXPECT_NE(localizedDescription(FileProviderHTTPErrorCode::unauthorized),
              description(FileProviderHTTPErrorCode::unauthorized));
    EXPECT_EQ(localizedDescription(FileProviderHTTPErrorCode::ok), "no error");
}

TEST(FileProviderHTTPError, DescriptionKeepsEveryStatusNumber) {
    struct Row {
        int status;
        const char* text;
        bool hasCase;
    };
    const Row rows[] = {
        {401, "Status 401: Unauthorized/Expired Session", true},
        {207, "Status 207: Multi-Status", true},
        {404, "Status 404: Not Found", true},
        {501, "Status 501: Not Implemented", false},
        {418, "Status 418: I'm a teapot", false},
        {499, "Status 499: Client Error", false},
        {520, "Status 520: Server Error", false},
        {399, "Status 399: Redirection", false},
        {0, "Status 0: Unknown Status", false},
        {700, "Status 700: Unknown Status", false},
    };
    for (const auto& r : rows) {
        const TestHTTPError e("Test.HTTPError", r.status, "dir/file.txt", "server said no");
        EXPECT_EQ(e.description(), r.text);
        EXPECT_EQ(e.localizedDescription(), r.text);
        EXPECT_EQ(e.statusCode(), r.status);
        EXPECT_EQ(e.code(), r.status);
        EXPECT_EQ(e.errorCode().has_value(), r.hasCase) << r.status;
        EXPECT_EQ(e.path(), "dir/file.txt");
        EXPECT_EQ(e.serverDescription(), "server said no");
    }
    platform::ErrorRef asBase = std::make_shared<const TestHTTPError>("Test.HTTPError", FileProviderHTTPErrorCode::gone,
                                                                      "p", std::nullopt);
    auto http = std::dynamic_pointer_cast<const FileProviderHTTPError>(asBase);
    ASSERT_TRUE(http);
    EXPECT_EQ(http->errorCode(), FileProviderHTTPErrorCode::gone);
    EXPECT_EQ(asBase->localizedDescription(), "Status 410: Gone");
    EXPECT_FALSE(http->serverDescription());
}
