#include "fileprovider/ftp/FileProviderFTPError.hpp"

#include <cctype>
#include <charconv>

namespace RiridOzizevud {

namespace {

std::string trimmed(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

struct Parsed {
    int64_t code = -1;
    std::optional<std::string> description;
};

Parsed parse(const std::string& reply) {
    // The last piece after every CR and LF, empty pieces included.
    const size_t cut = reply.find_last_of("\r\n");
    const std::string line = cut == std::string::npos ? reply : reply.substr(cut + 1);
    size_t separator = line.find('-');
    if (separator == std::string::npos) separator = line.find(' ');
    if (separator == std::string::npos) separator = 0;
    const std::string codeText = trimmed(line.substr(0, separator));
    int64_t value = 0;
    const char* first = codeText.data();
    const char* last = first + codeText.size();
    if (!codeText.empty() && *first == '+') ++first;
    const auto [end, ec] = std::from_chars(first, last, value);
    if (codeText.empty() || ec != std::errc() || end != last) return {-1, line};
    if (value < 1) return {value, line};
    return {value, trimmed(line.substr(separator))};
}

} // namespace

FileProviderFTPError::FileProviderFTPError(int64_t code, std::string path, std::optional<std::string> serverDescription)
    : platform::Error(domainName, 1), code_(code), path_(std::move(path)), serverDescription_(std::move(serverDescription)) {}

FileProviderFTPError::FileProviderFTPError(const std::string& reply, std::string path)
    : platform::Error(domainName, 1), path_(std::move(path)) {
    Parsed p = parse(reply);
    code_ = p.code;
    serverDescription_ = std::move(p.description);
}

std::string FileProviderFTPError::localizedDescription() const {
    if (serverDescription_) return *serverDescription_;
    return platform::Error::localizedDescription();
}

} // namespace RiridOzizevud
