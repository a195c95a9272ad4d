// SMB2 puts every integer on the wire least significant byte first, whatever the host's order.
#pragma once

#include "platform/data/Value.hpp"

#include <cstddef>
#include <cstdint>

namespace RiridOzizevud::SMB2 {

template <class T>
void appendLittleEndian(platform::Data& out, T value) {
    for (std::size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i)));
}

/// The caller has checked that `offset + sizeof(T)` bytes are there.
template <class T>
T readLittleEndian(const platform::Data& data, std::size_t offset) {
    uint64_t value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) value |= static_cast<uint64_t>(data[offset + i]) << (8 * i);
    return static_cast<T>(value);
}

} // namespace RiridOzizevud::SMB2
