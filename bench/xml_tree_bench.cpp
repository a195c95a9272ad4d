// bench-area: fpcore
// Parse time of a generated 10,000-entry multistatus reply through the XML tree, against expat
// alone with empty handlers on the same bytes (the library call under the tree).
#include "fileprovider/core/XMLTree.hpp"
#include "BenchSupport.hpp"

#include <expat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

namespace {

using namespace ostrane_bench;

std::string multistatus(int entries) {
    std::string x = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<D:multistatus xmlns:D=\"DAV:\">\n";
    for (int i = 0; i < entries; ++i) {
        const std::string n = std::to_string(i);
        x += "<D:response xmlns:lp1=\"DAV:\" xmlns:lp2=\"http://apache.org/dav/props/\">\n"
             "<D:href>/media/film%20" + n + ".mkv</D:href>\n<D:propstat>\n<D:prop>\n<lp1:resourcetype/>\n"
             "<lp1:creationdate>2024-05-01T12:00:00Z</lp1:creationdate>\n"
             "<lp1:getcontentlength>" + std::to_string(1000000 + i) + "</lp1:getcontentlength>\n"
             "<lp1:getlastmodified>Wed, 01 May 2024 12:00:00 GMT</lp1:getlastmodified>\n"
             "<lp1:getetag>\"f4240-" + n + "\"</lp1:getetag>\n<lp2:executable>F</lp2:executable>\n"
             "<D:getcontenttype>video/x-matroska</D:getcontenttype>\n</D:prop>\n"
             "<D:status>HTTP/1.1 200 OK</D:status>\n</D:propstat>\n</D:response>\n";
    }
    return x + "</D:multistatus>\n";
}

} // namespace

int main() {
    constexpr int entries = 10000;
    const std::string body = multistatus(entries);
    std::size_t found = 0;
    const double ours = bestSeconds(5, [&] {
        auto doc = RiridOzizevud::XMLDocument::make();
        doc->load(body);
        found = doc->rootElement()->children.size();
    });
    const double raw = bestSeconds(5, [&] {
        XML_Parser p = XML_ParserCreate(nullptr);
        XML_SetElementHandler(p, [](void*, const XML_Char*, const XML_Char**) {}, [](void*, const XML_Char*) {});
        XML_SetCharacterDataHandler(p, [](void*, const XML_Char*, int) {});
        XML_Parse(p, body.data(), static_cast<int>(body.size()), XML_TRUE);
        XML_ParserFree(p);
    });
    if (found != entries) {
        std::fprintf(stderr, "parsed %zu entries, expected %d\n", found, entries);
        return 1;
    }
    std::printf("xml tree parse of a %d-entry multistatus (%zu bytes), entries/s: ours %.0f, expat alone %.0f, ratio %.2f\n",
                entries, body.size(), entries / ours, entries / raw, raw / ours);
    return 0;
}
