// test-labels: unit
#include "platform/base/Error.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <system_error>

using namespace platform;

namespace {

TEST(ErrorTest, URLErrorCodesAndDomain) {
    const std::pair<URLError::Code, int64_t> codes[] = {
        {URLError::cancelled, -999},           {URLError::badURL, -1000},
        {URLError::timedOut, -1001},           {URLError::unsupportedURL, -1002},
        {URLError::cannotFindHost, -1003},     {URLError::cannotConnectToHost, -1004},
        {URLError::networkConnectionLost, -1005}, {URLError::notConnectedToInternet, -1009},
        {URLError::badServerResponse, -1011},  {URLError::userAuthenticationRequired, -1013},
        {URLError::cannotDecodeRawData, -1015}, {URLError::cannotParseResponse, -1017},
        {URLError::fileDoesNotExist, -1100},   {URLError::fileIsDirectory, -1101},
        {URLError::noPermissionsToReadFile, -1102}, {URLError::dataLengthExceedsMaximum, -1103},
        {URLError::secureConnectionFailed, -1200}, {URLError::serverCertificateUntrusted, -1202},
        {URLError::cannotLoadFromNetwork, -2000}, {URLError::cannotCreateFile, -3000},
        {URLError::cannotOpenFile, -3001},     {URLError::cannotWriteToFile, -3003},
        {URLError::cannotRemoveFile, -3004},   {URLError::cannotMoveFile, -3005},
        {URLError::downloadDecodingFailedMidStream, -3006}, {URLError::downloadDecodingFailedToComplete, -3007},
    };
    for (auto [code, value] : codes) {
        auto e = URLError::make(code);
        EXPECT_EQ(e->code(), value);
        EXPECT_EQ(e->domain(), "NSURLErrorDomain");
        EXPECT_TRUE(e->userInfo().empty());
        EXPECT_FALSE(e->localizedDescription().empty());
        EXPECT_EQ(e->localizedDescription().find("couldn"), std::string::npos) << value;  // has its own text
    }
    EXPECT_EQ(URLError::make(URLError::timedOut)->localizedDescription(), "The request timed out.");
}

TEST(ErrorTest, URLErrorWithURLHasThreeKeys) {
    auto url = *URL::parse("x.txt", *URL::parse("https://h/dav/"));
    auto e = URLError::make(URLError::badURL, url);
    ASSERT_EQ(e->userInfo().size(), 3u);
    EXPECT_EQ(*e->userInfo().at("NSURL").asURL(), url);
    EXPECT_EQ(*e->userInfo().at("NSErrorFailingURLKey").asURL(), url);
    EXPECT_EQ(*e->userInfo().at("NSErrorFailingURLStringKey").asString(), "https://h/dav/x.txt");
    EXPECT_EQ(e->failingURL(), url);
    EXPECT_EQ(e->failingURLString(), "https://h/dav/x.txt");
    // Polymorphic use through ErrorRef.
    ErrorRef ref = e;
    auto back = std::dynamic_pointer_cast<const URLError>(ref);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->errorCode(), URLError::badURL);
    EXPECT_TRUE(ref->is(NSURLErrorDomain, -1000));
}

TEST(ErrorTest, CocoaErrors) {
    const std::pair<CocoaError::Code, int64_t> codes[] = {
        {CocoaError::fileNoSuchFile, 4},          {CocoaError::fileLocking, 255},
        {CocoaError::fileReadUnknown, 256},       {CocoaError::fileReadNoPermission, 257},
        {CocoaError::fileReadInvalidFileName, 258}, {CocoaError::fileReadCorruptFile, 259},
        {CocoaError::fileReadNoSuchFile, 260},    {CocoaError::fileReadTooLarge, 263},
        {CocoaError::fileWriteUnknown, 512},      {CocoaError::fileWriteNoPermission, 513},
        {CocoaError::fileWriteInvalidFileName, 514}, {CocoaError::fileWriteFileExists, 516},
        {CocoaError::fileWriteOutOfSpace, 640},   {CocoaError::fileWriteVolumeReadOnly, 642},
        {CocoaError::userCancelled, 3072},        {CocoaError::featureUnsupported, 3328},
        {CocoaError::coderReadCorrupt, 4864},     {CocoaError::coderValueNotFound, 4865},
    };
    for (auto [code, value] : codes) {
        auto e = CocoaError::make(code);
        EXPECT_EQ(e->code(), value);
        EXPECT_EQ(e->domain(), "NSCocoaErrorDomain");
        EXPECT_TRUE(e->userInfo().empty());
        EXPECT_FALSE(e->localizedDescription().empty());
    }
    auto p = CocoaError::make(CocoaError::fileWriteFileExists, std::string("/tmp/x"));
    ASSERT_EQ(p->userInfo().size(), 1u);
    EXPECT_EQ(*p->userInfo().at("NSFilePath").asString(), "/tmp/x");
    EXPECT_EQ(p->filePath(), "/tmp/x");
    auto d = CocoaError::withDescription(CocoaError::coderValueNotFound, "Base URL is not set.");
    EXPECT_EQ(d->localizedDescription(), "Base URL is not set.");
    EXPECT_EQ(d->userInfo().at(NSLocalizedDescriptionKey), Value("Base URL is not set."));
}

TEST(ErrorTest, POSIXErrorsAndFileMapping) {
    auto e = POSIXError::make(ENOENT, std::string("/nope"));
    EXPECT_EQ(e->domain(), "NSPOSIXErrorDomain");
    EXPECT_EQ(e->code(), ENOENT);
    EXPECT_EQ(e->localizedDescription(), "No such file or directory");
    EXPECT_EQ(e->filePath(), "/nope");
    auto c = cocoaFileError(ENOENT, "/nope", false);
    EXPECT_EQ(c->code(), CocoaError::fileReadNoSuchFile);
    ASSERT_TRUE(c->underlyingError());
    EXPECT_EQ(c->underlyingError()->domain(), NSPOSIXErrorDomain);
    EXPECT_EQ(cocoaFileError(EEXIST, "/x", true)->code(), CocoaError::fileWriteFileExists);
    EXPECT_EQ(cocoaFileError(EACCES, "/x", true)->code(), CocoaError::fileWriteNoPermission);
    EXPECT_EQ(cocoaFileError(EROFS, "/x", true)->code(), CocoaError::fileWriteVolumeReadOnly);
}

TEST(ErrorTest, ExceptionsCarryErrors) {
    try {
        throwError(URLError::make(URLError::cancelled));
        FAIL();
    } catch (const Exception& ex) {
        EXPECT_EQ(ex.error()->code(), URLError::cancelled);
        EXPECT_NE(std::string(ex.what()).find("NSURLErrorDomain"), std::string::npos);
    }
    auto fromSystem = errorFromException(std::make_exception_ptr(std::system_error(EACCES, std::generic_category())));
    EXPECT_EQ(fromSystem->domain(), NSPOSIXErrorDomain);
    EXPECT_EQ(fromSystem->code(), EACCES);
    auto fromOther = errorFromException(std::make_exception_ptr(std::runtime_error("boom")));
    EXPECT_EQ(fromOther->localizedDescription(), "boom");
    auto fromOurs = errorFromException(std::make_exception_ptr(Exception(CocoaError::make(CocoaError::fileLocking))));
    EXPECT_EQ(fromOurs->code(), 255);
}

TEST(ErrorTest, GenericErrorText) {
    auto e = makeError("Custom", 7);
    EXPECT_EQ(e->localizedDescription(), "The operation couldn\u2019t be completed. (Custom error 7.)");
    EXPECT_EQ(e->debugDescription(), "Error Domain=Custom Code=7 \"The operation couldn\u2019t be completed. (Custom error 7.)\"");
    auto withUnderlying = makeError("Outer", 1, {}, e);
    EXPECT_EQ(withUnderlying->underlyingError(), e);
}

} // namespace
