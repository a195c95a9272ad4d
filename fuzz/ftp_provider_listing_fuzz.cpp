// fuzz-area: fpproviders
// The FTP provider's readers of server text: listing lines (facts, Unix and DOS), the addresses of
// "PASV" and "EPSV" replies and the error value made from a reply. The first byte picks the reader.
#include "fileprovider/ftp/FTPListParser.hpp"
#include "fileprovider/ftp/FileProviderFTPError.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static const std::optional<platform::URL> base = platform::URL::parse("ftp://files.example.com:21/base/");
    const uint8_t selector = data[0];
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    using namespace RiridOzizevud;
    switch (selector % 4) {
    case 0: {
        std::vector<std::string> lines;
        size_t start = 0;
        for (;;) {
            const size_t nl = text.find('\n', start);
            lines.push_back(text.substr(start, nl == std::string::npos ? std::string::npos : nl - start));
            if (nl == std::string::npos) break;
            start = nl + 1;
        }
        for (const auto& entry : parseFTPListLines(lines, selector & 4, "/dir", base)) {
            // Every entry stays below the base URL.
            if (entry->url().absoluteString().rfind("ftp://files.example.com:21/base/", 0) != 0) __builtin_trap();
        }
        break;
    }
    case 1:
        if (auto a = parsePASVReply(text); a && (a->port < 1 || a->port > 65535)) __builtin_trap();
        break;
    case 2:
        if (auto a = parseEPSVReply(text); a && (a->port < 1 || a->port > 65535)) __builtin_trap();
        break;
    case 3: {
        FileProviderFTPError error(text, "/x");
        (void)error.localizedDescription();
        break;
    }
    }
    return 0;
}
