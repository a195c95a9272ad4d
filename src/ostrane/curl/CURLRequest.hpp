#pragma once
// A curl request over one libcurl easy handle: made from a URL and a list of options, options added
// later, performed synchronously (the response, or a thrown CURLResponse::Error), reset. The handle
// keeps its connection between performs, so repeated requests to one server reuse the login.
//
// Every perform is bounded: a connection must be made, and each server reply and each stretch of
// the transfer must arrive, within the request's timeout (default 60 s); a long transfer that keeps
// moving is never cut off. TLS is 1.2 or later and verified; SSL_CERT_FILE / SSL_CERT_DIR replace
// the system's trusted certificates, as they do for OpenSSL's own defaults.
//
// Credentials go in as options, never in the URL, so no error text or trace can carry them.
// One request is performed by one thread at a time (a second caller waits its turn).
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace platform {

struct HTTPResponseHeader {
    enum class Name { contentLength, acceptRanges, lastModified };
    static std::string_view text(Name name);
};

class CURLResponse {
public:
    /// A failed perform: curl's result code and the text of what went wrong.
    class Error : public std::exception {
    public:
        Error(int code, std::string description);
        int code() const { return code_; }
        const std::string& description() const { return description_; }
        const char* what() const noexcept override { return description_.c_str(); }

    private:
        int code_;
        std::string description_;
    };

    /// FTP reply or HTTP status of the last command.
    long responseCode = 0;
    std::vector<std::uint8_t> bodyBytes;
    /// Header lines as the transfer reported them: FTP replies, and for a size query
    /// "Content-Length: n".
    std::vector<std::string> headerLines;

    std::string bodyString() const { return std::string(bodyBytes.begin(), bodyBytes.end()); }
    /// The value of the last header of that name (case-insensitive), blanks trimmed.
    std::optional<std::string> get(HTTPResponseHeader::Name name) const;
};

class CURLRequest {
public:
    enum class HTTPMethod { get, head };
    enum class TLS {
        none,      // plain
        required,  // AUTH TLS on the control connection and protected data connections, or fail
    };

    struct URL { std::string value; };
    struct Method { HTTPMethod value; };
    struct Range { std::string value; };
    struct UserName { std::string value; };
    struct Password { std::string value; };
    struct Timeout { std::chrono::milliseconds value; };
    struct UseTLS { TLS value; };
    using Option = std::variant<URL, Method, Range, UserName, Password, Timeout, UseTLS>;

    static Option url(std::string value) { return URL{std::move(value)}; }
    static Option httpMethod(HTTPMethod value) { return Method{value}; }
    /// "first-last", both inclusive.
    static Option range(std::string value) { return Range{std::move(value)}; }
    static Option userName(std::string value) { return UserName{std::move(value)}; }
    static Option password(std::string value) { return Password{std::move(value)}; }
    static Option timeout(std::chrono::milliseconds value) { return Timeout{value}; }
    static Option useTLS(TLS value) { return UseTLS{value}; }

    /// Receives the body as it arrives; false stops the transfer early without an error (the
    /// caller has what it wants). An exception thrown here ends the perform and is rethrown.
    using BodySink = std::function<bool(const std::uint8_t* bytes, std::size_t count)>;

    explicit CURLRequest(std::string url, std::vector<Option> options = {});
    CURLRequest(std::string url, Option option);
    ~CURLRequest();
    CURLRequest(const CURLRequest&) = delete;
    CURLRequest& operator=(const CURLRequest&) = delete;

    /// Later options of a kind replace earlier ones; the others stay.
    void addOptions(const std::vector<Option>& options);
    void addOption(const Option& option) { addOptions({option}); }
    /// Drops every option (the URL included) and sets these.
    void reset(std::vector<Option> options = {});

    /// The whole body in memory.
    CURLResponse perform();
    /// The body streamed to `sink`; the response comes back without it.
    CURLResponse perform(const BodySink& sink);

    static constexpr std::chrono::milliseconds defaultTimeout{60'000};

private:
    struct Handle;
    CURLResponse run(const BodySink* sink);

    std::mutex mutex_;  // one perform at a time; guards options_
    std::vector<Option> options_;
    std::unique_ptr<Handle> handle_;
};

}  // namespace platform
