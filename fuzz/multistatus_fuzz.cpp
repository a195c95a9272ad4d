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
    for (const auto& response : DavResponse::parse(std::span<const uint8_t>(data, size), base)) {
        const WebDavFileObject entry(response);
        const std::string path = entry.path();
        if (path.empty() || path.front() != '/') __builtin_trap();
        if (path.find("/../") != std::string::npos || path.ends_with("/..")) __builtin_trap();
        if (!entry.url().absoluteString().starts_with(base.absoluteString())) __builtin_trap();
        (void)davStatusCode(response.hrefString);
    }
    return 0;
}
