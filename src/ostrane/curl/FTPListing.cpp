#include "ostrane/curl/FTPListing.hpp"

#include "ostrane/curl/ftp_list_parser.h"

#include <cstdint>
#include <limits>
#include <string>

namespace Ostrane {

namespace {

template <class F>
void forEachLine(std::string_view body, F&& line) {
    std::size_t start = 0;
    for (std::size_t i = 0; i < body.size(); ++i) {
        if (body[i] != '\n' && body[i] != '\r') continue;
        line(body.substr(start, i - start));
        if (body[i] == '\r' && i + 1 < body.size() && body[i + 1] == '\n') ++i;
        start = i + 1;
    }
    if (start < body.size()) line(body.substr(start));
}

// One listing line as a tree component, or none (not an entry, not UTF-8, hidden, unusable name).
std::shared_ptr<OstranePathComponent> component(std::string_view line, const std::shared_ptr<OstraneDirectory>& parent) {
    if (line.size() > std::size_t(std::numeric_limits<int32_t>::max())) return nullptr;
    ftp_list_record record;
    if (!parse_ftp_list_line(&record, line.data(), int32_t(line.size()))) return nullptr;
    const std::string_view name(record.name, std::size_t(record.name_length));
    if (name.empty() || name.front() == '.' || !isWellFormedUTF8(name) ||
        name.find_first_of(std::string_view("/\0", 2)) != std::string_view::npos) {
        return nullptr;
    }
    // An ls line of a link: its name without " -> target"; what it points at is for the client
    // to find out, through the link itself.
    if (line.front() == 'l') return OstraneSymbolicLink::make(std::string(name), parent);
    if (record.may_be_directory) return OstraneDirectory::make(std::string(name), parent);
    return OstraneFile::make(std::string(name), parent, record.size);
}

}  // namespace

bool isWellFormedUTF8(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t length;
        std::uint32_t scalar;
        if ((c & 0xE0) == 0xC0) {
            length = 2;
            scalar = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            length = 3;
            scalar = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            length = 4;
            scalar = c & 0x07;
        } else {
            return false;
        }
        if (s.size() - i < length) return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            scalar = (scalar << 6) | (cc & 0x3F);
        }
        if ((length == 2 && scalar < 0x80) || (length == 3 && scalar < 0x800) || (length == 4 && scalar < 0x10000) ||
            scalar > 0x10FFFF || (scalar >= 0xD800 && scalar <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

OstranePathComponent::Contents ftpListingComponents(std::string_view body,
                                                    const std::shared_ptr<OstraneDirectory>& parent) {
    OstranePathComponent::Contents entries;
    forEachLine(body, [&](std::string_view line) {
        if (auto child = component(line, parent)) entries.push_back(std::move(child));
    });
    return entries;
}

}  // namespace Ostrane
