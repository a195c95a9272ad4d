// test-labels: unit
#include "fileprovider/core/PlatformExtensions.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>

using namespace RiridOzizevud;

TEST(PlatformExtensions, Keys) {
    EXPECT_STREQ(fileProvderOperationTypeKey, "KelOperationTypeKey");
    EXPECT_STREQ(startingTimeKey, "NSProgressStartingTimeKey");
    EXPECT_FALSE(filePathAllowed().contains(U':'));
    EXPECT_TRUE(filePathAllowed().contains(U'/'));
    EXPECT_TRUE(filePathAllowed().contains(U'a'));
    EXPECT_FALSE(filePathAllowed().contains(U' '));
}

TEST(PlatformExtensions, HexString) {
    const std::vector<uint8_t> bytes{0x0A, 0xFF};
    EXPECT_EQ(hexString(bytes), "0AFF");
    EXPECT_EQ(hexString(std::vector<uint8_t>{}), "");
    EXPECT_EQ(hexString(std::vector<uint8_t>{0x00, 0x01, 0xAB, 0x7F}), "0001AB7F");
}

TEST(PlatformExtensions, ASCIIEscaped) {
    const std::pair<std::string, std::string> rows[] = {
        {"caf\xC3\xA9", "caf\\u00e9"},
        {"", ""},
        {"plain \"quoted\"\n", "plain \"quoted\"\n"},
        {"\xE2\x82\xAC", "\\u20ac"},
        {"\xEF\xBF\xBF", "\\uffff"},
        // Above U+FFFF: two UTF-16 units, so JSON readers get the right scalar back.
        {"\xF0\x9F\x8E\xAC", "\\ud83c\\udfac"},
        {"\xF4\x8F\xBF\xBF", "\\udbff\\udfff"},
        // Bytes that are not UTF-8 become U+FFFD, never raw bytes in a header.
        {"a\xFFz", "a\\ufffdz"},
        {"\xC3", "\\ufffd"},
        {"\xED\xA0\x80", "\\ufffd\\ufffd\\ufffd"},
        {"\xC0\xAF", "\\ufffd\\ufffd"},
    };
    for (const auto& [in, out] : rows) EXPECT_EQ(asciiEscaped(in), out);

    // Dropbox puts the escaped text into a JSON header value: it must read back as the original.
    const std::string original = "/Films/\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88 \xF0\x9F\x8E\xAC caf\xC3\xA9.mkv";
    const std::string header = "{\"path\":\"" + asciiEscaped(original) + "\"}";
    for (char c : header) EXPECT_LT(static_cast<unsigned char>(c), 0x80);
    EXPECT_EQ(nlohmann::json::parse(header).at("path").get<std::string>(), original);
}

TEST(PlatformExtensions, IsPDF) {
    auto bytes = [](std::string_view s) { return std::vector<uint8_t>(s.begin(), s.end()); };
    EXPECT_FALSE(isPDF(bytes("%PDF")));
    EXPECT_TRUE(isPDF(bytes("%PDF-1.7\n")));
    EXPECT_FALSE(isPDF(bytes("")));
    EXPECT_FALSE(isPDF(bytes("%PDX-1.7")));
    EXPECT_FALSE(isPDF(bytes("x%PDF-1.7")));
}

TEST(PlatformExtensions, FileResourceType) {
    using T = platform::URLFileResourceType;
    const std::pair<const char*, T> rows[] = {
        {"NSFileTypeCharacterSpecial", T::characterSpecial},
        {"NSFileTypeDirectory", T::directory},
        {"NSFileTypeBlockSpecial", T::blockSpecial},
        {"NSFileTypeRegular", T::regular},
        {"NSFileTypeSymbolicLink", T::symbolicLink},
        {"NSFileTypeSocket", T::socket},
        {"NSFileTypeUnknown", T::unknown},
        {"NSFileTypeNamedPipe", T::unknown},
        {"", T::unknown},
        {"directory", T::unknown},
    };
    for (const auto& [raw, type] : rows) EXPECT_EQ(urlFileResourceType(raw), type) << raw;
}

TEST(PlatformExtensions, ContainsString) {
    EXPECT_FALSE(containsString("a", {}));
    EXPECT_TRUE(containsString("b", {"a", "b"}));
    EXPECT_FALSE(containsString("B", {"a", "b"}));
    EXPECT_TRUE(containsString("", {"", "x"}));
}

TEST(PlatformExtensions, DurationText) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<double, const char*> rows[] = {
        {65, "1:05"},
        {3661, "1:01:01"},
        {59.9, "0:59"},
        {0, "0:00"},
        {3600, "1:00:00"},
        {3599.99, "59:59"},
        {86400 * 2 + 5, "48:00:05"},
        {2147483646, "596523:14:06"},
        {2147483647, "0:00"},
        {-1, "0:00"},
        {-0.5, "0:00"},
        {inf, "0:00"},
        {-inf, "0:00"},
        {std::nan(""), "0:00"},
    };
    for (const auto& [value, text] : rows) EXPECT_EQ(formatted(value), text) << value;
}

TEST(PlatformExtensions, LocalFileProbes) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("ostrane-probe-" + std::to_string(::getpid()));
    fs::create_directories(dir / "sub dir");
    { std::ofstream(dir / "f ile.bin") << std::string(1234, 'x'); }
    fs::create_symlink(dir / "f ile.bin", dir / "link");
    const auto url = [&](const fs::path& p) { return platform::URL::fileURLWithPath(p.string()); };

    EXPECT_EQ(fileSize(url(dir / "f ile.bin")), 1234);
    EXPECT_EQ(fileSize(url(dir / "link")), 1234);
    EXPECT_EQ(fileSize(url(dir / "missing")), -1);
    EXPECT_EQ(fileSize(url(dir / "sub dir")), -1);
    EXPECT_EQ(fileSize(*platform::URL::parse("https://example.com/f")), -1);
    EXPECT_TRUE(isDirectory(url(dir / "sub dir")));
    EXPECT_FALSE(isDirectory(url(dir / "f ile.bin")));
    EXPECT_FALSE(isDirectory(url(dir / "missing")));
    fs::remove_all(dir);
}

namespace {

// A stream that takes at most `chunk` bytes a call and can fail after a number of calls.
struct FakeStream {
    std::size_t chunk = 3;
    int failAfterCalls = -1;
    bool stall = false;
    platform::ErrorRef error;
    std::vector<uint8_t> written;
    int calls = 0;

    std::ptrdiff_t write(const uint8_t* bytes, std::size_t length) {
        if (failAfterCalls >= 0 && calls++ >= failAfterCalls) return -1;
        if (stall && length > 0) return 0;
        const std::size_t n = std::min(chunk, length);
        written.insert(written.end(), bytes, bytes + n);
        return static_cast<std::ptrdiff_t>(n);
    }
    std::ptrdiff_t read(uint8_t* buffer, std::size_t max) {
        const std::size_t n = std::min(chunk, max);
        for (std::size_t i = 0; i < n; ++i) buffer[i] = static_cast<uint8_t>(i);
        return static_cast<std::ptrdiff_t>(n);
    }
    platform::ErrorRef streamError() const { return error; }
};

int posixCodeOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const platform::Exception& e) {
        return static_cast<int>(e.error()->code());
    }
    return 0;
}

} // namespace

TEST(PlatformExtensions, StreamWriteLoopsUntilEveryByteIsWritten) {
    const std::vector<uint8_t> data{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    FakeStream s;
    EXPECT_EQ(write(s, data), 10);
    EXPECT_EQ(s.written, data);

    FakeStream empty;
    EXPECT_EQ(write(empty, std::vector<uint8_t>{}), 0);

    FakeStream failing;
    failing.failAfterCalls = 2;
    EXPECT_EQ(posixCodeOf([&] { write(failing, data); }), EIO);

    FakeStream withError;
    withError.failAfterCalls = 0;
    withError.error = platform::POSIXError::make(ECONNRESET);
    EXPECT_EQ(posixCodeOf([&] { write(withError, data); }), ECONNRESET);

    FakeStream stalled;
    stalled.stall = true;
    EXPECT_EQ(posixCodeOf([&] { write(stalled, data); }), EIO);
}

TEST(PlatformExtensions, StreamReadIsOneCall) {
    FakeStream s;
    std::vector<uint8_t> buffer(10);
    EXPECT_EQ(read(s, std::span<uint8_t>(buffer)), 3);
    EXPECT_EQ(read(s, std::span<uint8_t>()), -1);
}
