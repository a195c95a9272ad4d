// fuzz-sources: src/ostrane/curl/FTPListing.cpp src/ostrane/curl/ftp_list_parser.cpp src/ostrane/OstranePathComponent.cpp
// Any bytes as a LIST reply: every entry the client keeps has a usable UTF-8 name under the given
// parent, and sorting the entries keeps every one of them.
#include "ostrane/curl/FTPListing.hpp"

#include <unicode/ustring.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace {

// ICU's own reading of UTF-8, to check ours against.
bool icuAcceptsUTF8(std::string_view text) {
    UErrorCode status = U_ZERO_ERROR;
    int32_t length = 0;
    u_strFromUTF8(nullptr, 0, &length, text.data(), int32_t(text.size()), &status);
    return status == U_BUFFER_OVERFLOW_ERROR || status == U_STRING_NOT_TERMINATED_WARNING || U_SUCCESS(status);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::unique_ptr<char[]> copy(new char[size]);
    if (size) std::memcpy(copy.get(), data, size);
    const std::string_view body(copy.get(), size);

    if (size < 4096 && Ostrane::isWellFormedUTF8(body) != icuAcceptsUTF8(body)) std::abort();

    auto parent = Ostrane::OstraneDirectory::make("/");
    auto entries = Ostrane::ftpListingComponents(body, parent);
    for (const auto &entry : entries) {
        const auto &name = entry->name();
        if (name.empty() || name.front() == '.' || name.find('/') != std::string::npos ||
            name.find('\0') != std::string::npos || !icuAcceptsUTF8(name) || entry->parent() != parent) {
            std::abort();
        }
    }
    const auto count = entries.size();
    Ostrane::sortByName(entries);
    if (entries.size() != count) std::abort();
    return 0;
}
