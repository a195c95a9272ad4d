#include "ostrane/smb/SMBWorkerProtocol.hpp"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

namespace Ostrane::smbworker {

FrameWriter& FrameWriter::u8(std::uint8_t value) {
    bytes_.push_back(value);
    return *this;
}

FrameWriter& FrameWriter::u32(std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) bytes_.push_back(static_cast<std::uint8_t>(value >> shift));
    return *this;
}

FrameWriter& FrameWriter::i64(std::int64_t value) {
    const auto bits = static_cast<std::uint64_t>(value);
    for (int shift = 0; shift < 64; shift += 8) bytes_.push_back(static_cast<std::uint8_t>(bits >> shift));
    return *this;
}

FrameWriter& FrameWriter::text(const std::string& value) {
    u32(static_cast<std::uint32_t>(value.size()));
    bytes_.insert(bytes_.end(), value.begin(), value.end());
    return *this;
}

std::vector<std::uint8_t>& FrameWriter::frame() {
    const auto length = static_cast<std::uint32_t>(bytes_.size() - 4);
    for (int i = 0; i < 4; ++i) bytes_[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(length >> (8 * i));
    return bytes_;
}

bool FrameReader::take(void* into, std::size_t count) {
    if (failed_ || static_cast<std::size_t>(end_ - at_) < count) {
        failed_ = true;
        return false;
    }
    std::memcpy(into, at_, count);
    at_ += count;
    return true;
}

std::uint8_t FrameReader::u8() {
    std::uint8_t value = 0;
    take(&value, 1);
    return value;
}

std::uint32_t FrameReader::u32() {
    std::uint8_t raw[4] = {};
    take(raw, 4);
    return frameLength(raw);
}

std::int64_t FrameReader::i64() {
    std::uint8_t raw[8] = {};
    take(raw, 8);
    std::uint64_t bits = 0;
    for (int i = 7; i >= 0; --i) bits = (bits << 8) | raw[i];
    return static_cast<std::int64_t>(bits);
}

std::string FrameReader::text() {
    const auto size = u32();
    if (failed_ || static_cast<std::size_t>(end_ - at_) < size) {
        failed_ = true;
        return {};
    }
    std::string value(reinterpret_cast<const char*>(at_), size);
    at_ += size;
    return value;
}

std::uint32_t frameLength(const std::uint8_t header[4]) {
    return static_cast<std::uint32_t>(header[0]) | static_cast<std::uint32_t>(header[1]) << 8 |
           static_cast<std::uint32_t>(header[2]) << 16 | static_cast<std::uint32_t>(header[3]) << 24;
}

bool sendAll(int fd, const void* data, std::size_t size) {
    const auto* at = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        const auto sent = ::send(fd, at, size, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        at += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

}  // namespace Ostrane::smbworker
