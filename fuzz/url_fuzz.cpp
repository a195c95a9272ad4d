// fuzz-sources: src/platform/net/URL.cpp src/platform/text/CharacterSet.cpp
// URL text from outside: parsing must never crash, and what parses must keep its invariants
// (the text reads back unchanged; derived URLs are URLs again; percent coding round-trips).
#include "platform/net/URL.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

using platform::CharacterSet;
using platform::URL;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);

    // Percent coding round trip with the path set less ":", as file-provider paths use it.
    static const CharacterSet filePath = CharacterSet::urlPathAllowed().removing(":");
    if (auto enc = platform::addingPercentEncoding(text, filePath)) {
        auto dec = platform::removingPercentEncoding(*enc);
        if (!dec || *dec != text) std::abort();
        // Encoded text is a URL reference, except that a leading "//" starts an authority.
        if (enc->rfind("//", 0) != 0 && !URL::parse(*enc, *URL::parse("http://h/dav/"))) std::abort();
    }
    (void)platform::removingPercentEncoding(text);

    auto url = URL::parse(text);
    if (url) {
        if (url->absoluteString() != text) std::abort();
        auto parts = URL::split(text);
        if (!parts || parts->toString() != text) std::abort();
        (void)url->host();
        (void)url->port();
        (void)url->path();
        (void)url->pathComponents();
        (void)url->pathExtension();
        for (const URL& d : {url->appendingPathComponent(text, false), url->appendingPathComponent("a b", true),
                             url->deletingLastPathComponent(), url->deletingPathExtension(),
                             url->appendingPathExtension("x"), url->standardized()}) {
            if (!URL::parse(d.absoluteString())) std::abort();
        }
        auto base = URL::parse("https://u:p@host:8443/a/b/c?q#f");
        if (auto r = URL::parse(text, *base)) {
            if (!URL::parse(r->absoluteString())) std::abort();
            (void)r->relativePath();
            auto s = r->standardized();
            if (s.percentEncodedPath().find("/../") != std::string::npos) std::abort();
        }
    }
    (void)platform::URLComponents::parse(text);
    return 0;
}
