#include "ostrane/curl/CURLRequest.hpp"

#include "ostrane/curl/TransferExit.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <mutex>

namespace platform {

namespace {

void globalInit() { Ostrane::TransferActivity::prepare(); }

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n')) {
        text.remove_suffix(1);
    }
    return text;
}

// A server has no business sending more header lines than this; beyond it they are dropped.
constexpr std::size_t kMaxHeaderLines = 1000;

struct Transfer {
    CURLResponse response;
    const CURLRequest::BodySink* sink = nullptr;
    bool discardBody = false;  // a size query: curl repeats its header lines as body
    std::exception_ptr failure;
    bool stoppedBySink = false;
};

size_t onBody(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const size_t bytes = size * count;
    try {
        if (transfer->discardBody) return bytes;
        if (transfer->sink) {
            if (!(*transfer->sink)(reinterpret_cast<const std::uint8_t*>(data), bytes)) {
                transfer->stoppedBySink = true;
                return CURL_WRITEFUNC_ERROR;
            }
        } else {
            transfer->response.bodyBytes.insert(transfer->response.bodyBytes.end(),
                                                reinterpret_cast<const std::uint8_t*>(data),
                                                reinterpret_cast<const std::uint8_t*>(data) + bytes);
        }
    } catch (...) {
        transfer->failure = std::current_exception();
        return CURL_WRITEFUNC_ERROR;
    }
    return bytes;
}

// Called by curl at least once a second: a process that exits stops its transfers.
int onProgress(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return Ostrane::TransferActivity::exiting() ? 1 : 0;
}

size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const size_t bytes = size * count;
    try {
        const auto line = trimmed(std::string_view(data, bytes));
        if (!line.empty() && transfer->response.headerLines.size() < kMaxHeaderLines) {
            transfer->response.headerLines.emplace_back(line);
        }
    } catch (...) {
        transfer->failure = std::current_exception();
        return 0;
    }
    return bytes;
}

}  // namespace

std::string_view HTTPResponseHeader::text(Name name) {
    switch (name) {
    case Name::contentLength: return "Content-Length";
    case Name::acceptRanges: return "Accept-Ranges";
    case Name::lastModified: return "Last-Modified";
    }
    return "";
}

CURLResponse::Error::Error(int code, std::string description) : code_(code), description_(std::move(description)) {}

std::optional<std::string> CURLResponse::get(HTTPResponseHeader::Name name) const {
    const auto wanted = HTTPResponseHeader::text(name);
    // The last one: FTP reply lines of the login come first, and a banner may say anything.
    for (auto it = headerLines.rbegin(); it != headerLines.rend(); ++it) {
        const auto& line = *it;
        const auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        if (equalsNoCase(trimmed(std::string_view(line).substr(0, colon)), wanted)) {
            return std::string(trimmed(std::string_view(line).substr(colon + 1)));
        }
    }
    return std::nullopt;
}

struct CURLRequest::Handle {
    CURL* easy = nullptr;
    Handle() : easy(curl_easy_init()) {}
    ~Handle() {
        // Once the process exits, the libraries under curl may be gone: the handle is left to the exit.
        if (easy && !Ostrane::TransferActivity::librariesGone()) curl_easy_cleanup(easy);
    }
};

CURLRequest::CURLRequest(std::string url, std::vector<Option> options) {
    globalInit();
    handle_ = std::make_unique<Handle>();
    options_.push_back(URL{std::move(url)});
    for (auto& o : options) options_.push_back(std::move(o));
}

CURLRequest::CURLRequest(std::string url, Option option) : CURLRequest(std::move(url), std::vector<Option>{option}) {}

CURLRequest::~CURLRequest() = default;

void CURLRequest::addOptions(const std::vector<Option>& options) {
    std::lock_guard lock(mutex_);
    // One option per kind, so a request reused for every read of a file does not grow.
    for (const auto& option : options) {
        std::erase_if(options_, [&](const Option& held) { return held.index() == option.index(); });
        options_.push_back(option);
    }
}

void CURLRequest::reset(std::vector<Option> options) {
    std::lock_guard lock(mutex_);
    options_ = std::move(options);
}

CURLResponse CURLRequest::perform() { return run(nullptr); }

CURLResponse CURLRequest::perform(const BodySink& sink) { return run(&sink); }

CURLResponse CURLRequest::run(const BodySink* sink) {
    std::lock_guard lock(mutex_);
    CURL* easy = handle_->easy;
    if (!easy) throw CURLResponse::Error(CURLE_FAILED_INIT, curl_easy_strerror(CURLE_FAILED_INIT));
    // Reset drops the settings of the last perform but keeps the connection to the server.
    curl_easy_reset(easy);

    std::optional<std::string> url, range, user, password;
    HTTPMethod method = HTTPMethod::get;
    std::chrono::milliseconds timeout = defaultTimeout;
    TLS tls = TLS::none;
    for (const auto& option : options_) {
        if (auto* o = std::get_if<URL>(&option)) url = o->value;
        if (auto* o = std::get_if<Method>(&option)) method = o->value;
        if (auto* o = std::get_if<Range>(&option)) range = o->value;
        if (auto* o = std::get_if<UserName>(&option)) user = o->value;
        if (auto* o = std::get_if<Password>(&option)) password = o->value;
        if (auto* o = std::get_if<Timeout>(&option)) timeout = o->value;
        if (auto* o = std::get_if<UseTLS>(&option)) tls = o->value;
    }
    if (!url) throw CURLResponse::Error(CURLE_URL_MALFORMAT, "No URL set");
    // USER and PASS are command lines of their own: a line break would smuggle in another command.
    const auto breaksCommand = [](const std::optional<std::string>& text) {
        return text && text->find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos;
    };
    if (breaksCommand(user) || breaksCommand(password)) {
        throw CURLResponse::Error(CURLE_BAD_FUNCTION_ARGUMENT, "The user name or password holds a line break");
    }
    if (timeout < std::chrono::milliseconds(1)) timeout = std::chrono::milliseconds(1);
    const long seconds = std::max<long>(1, static_cast<long>((timeout.count() + 999) / 1000));

    Transfer transfer;
    transfer.sink = sink;
    transfer.discardBody = method == HTTPMethod::head;
    char errorText[CURL_ERROR_SIZE] = {0};

    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_URL, url->c_str());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "ftp,ftps,http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer);
    // Larger reads than curl's 16 KiB: a download keeps pace with the curl program.
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 256L * 1024);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);

    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeout.count()));
    curl_easy_setopt(easy, CURLOPT_SERVER_RESPONSE_TIMEOUT, seconds);
    curl_easy_setopt(easy, CURLOPT_ACCEPTTIMEOUT_MS, static_cast<long>(timeout.count()));
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, seconds);

    curl_easy_setopt(easy, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    if (const char* file = std::getenv("SSL_CERT_FILE"); file && *file) curl_easy_setopt(easy, CURLOPT_CAINFO, file);
    if (const char* dir = std::getenv("SSL_CERT_DIR"); dir && *dir) curl_easy_setopt(easy, CURLOPT_CAPATH, dir);
    if (tls == TLS::required) curl_easy_setopt(easy, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));

    if (user) curl_easy_setopt(easy, CURLOPT_USERNAME, user->c_str());
    if (password) curl_easy_setopt(easy, CURLOPT_PASSWORD, password->c_str());
    curl_easy_setopt(easy, CURLOPT_NOBODY, method == HTTPMethod::head ? 1L : 0L);
    if (range) curl_easy_setopt(easy, CURLOPT_RANGE, range->c_str());

    Ostrane::TransferActivity activity;
    CURLcode result = curl_easy_perform(easy);
    // The handle must not keep pointers into this frame or the secret after we return.
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(easy, CURLOPT_PASSWORD, "");

    if (transfer.failure) std::rethrow_exception(transfer.failure);
    if (result == CURLE_WRITE_ERROR && transfer.stoppedBySink) result = CURLE_OK;
    if (result != CURLE_OK) {
        throw CURLResponse::Error(result, errorText[0] ? std::string(errorText) : curl_easy_strerror(result));
    }
    long code = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &code);
    transfer.response.responseCode = code;
    return std::move(transfer.response);
}

}  // namespace platform
