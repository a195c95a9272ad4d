// fuzz-area: fpproviders
// Any bytes as a multistatus reply: every response read from it gives an entry whose path starts
// with "/" and holds no dot segment, and whose URL stays below the base URL.
#include "fileprovider/webdav/DavResponse.hpp"
#include "fileprovider/webdav/WebDavFileObject.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

using namespace RiridOzizevud;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const auto base = *platform::URL::parse("http://dav.example:8080/dav/");
    // Read whole and in two pieces split where the first byte says: both read alike.
    const auto whole = DavResponse::parse(std::span<const uint8_t>(data, size), base);
    if (size > 1) {
        const std::size_t split = data[0] % size;
        std::size_t count = 0;
        MultistatusParser parser(base, [&count](DavResponse&&) { ++count; });
        const bool ok = parser.feed(std::span<const uint8_t>(data, split), false) &&
                        parser.feed(std::span<const uint8_t>(data + split, size - split), true);
        if (ok && count != whole.size()) __builtin_trap();
        if (!ok && !whole.empty()) __builtin_trap();
    }
    for (const auto& response : whole) {
        const WebDavFileObject entry(response);
        const std::string path = entry.path();
        if (path.empty() || path.front() != '/') __builtin_trap();
        if (path.find("/../") != std::string::npos || path.ends_with("/..")) __builtin_trap();
        if (!entry.url().absoluteString().starts_with(base.absoluteString())) __builtin_trap();
        (void)davStatusCode(response.hrefString);
    }
    return 0;
}
