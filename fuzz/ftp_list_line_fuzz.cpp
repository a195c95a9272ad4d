// fuzz-sources: src/ostrane/curl/ftp_list_parser.cpp
// One listing line in a heap buffer of exactly its size, so AddressSanitizer reports a read at or
// past the end; whatever the parser points at must lie inside the line.
#include "ostrane/curl/ftp_list_parser.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > size_t(std::numeric_limits<int32_t>::max())) return 0;
    std::unique_ptr<char[]> line(new char[size]);
    if (size) std::memcpy(line.get(), data, size);
    const char *begin = line.get();
    const char *end = begin + size;
    const int32_t length = int32_t(size);

    ftp_list_record r;
    if (parse_ftp_list_line(&r, begin, length)) {
        if (!r.name || r.name < begin || r.name_length < 0 || r.name + r.name_length > end) std::abort();
        if (r.id && (r.id < begin || r.id_length < 0 || r.id + r.id_length > end)) std::abort();
    }
    // The fixed-clock entry point walks the same code with extreme clocks.
    Ostrane::ftplist::parseAt(&r, begin, length, std::numeric_limits<int64_t>::max());
    Ostrane::ftplist::parseAt(&r, begin, length, std::numeric_limits<int64_t>::min());
    return 0;
}
