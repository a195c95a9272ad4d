#include "platform/data/UUID.hpp"

#include <cstdio>
#include <uuid/uuid.h>

namespace platform {

UUID::UUID() {
    uuid_t u;
    uuid_generate_random(u);
    for (int i = 0; i < 16; ++i) bytes_[i] = u[i];
}

std::optional<UUID> UUID::fromString(std::string_view text) {
    if (text.size() != 36) return std::nullopt;
    std::array<uint8_t, 16> b{};
    std::size_t bi = 0;
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    for (std::size_t i = 0; i < 36;) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') return std::nullopt;
            ++i;
            continue;
        }
        int hi = hex(text[i]), lo = hex(text[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        b[bi++] = static_cast<uint8_t>(hi << 4 | lo);
        i += 2;
    }
    return UUID(b);
}

std::string UUID::uuidString() const {
    char buf[37];
    std::snprintf(buf, sizeof buf, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                  bytes_[0], bytes_[1], bytes_[2], bytes_[3], bytes_[4], bytes_[5], bytes_[6], bytes_[7], bytes_[8],
                  bytes_[9], bytes_[10], bytes_[11], bytes_[12], bytes_[13], bytes_[14], bytes_[15]);
    return buf;
}

std::string newUUIDString() { return UUID().uuidString(); }

} // namespace platform
