#pragma once
// What the library and its SMB worker program (one process per SMB session, see SMBWorker.hpp) say
// to each other over their socket pair.
//
// Every message is a frame: a 32-bit little-endian length, then that many bytes. A request begins
// with its Operation; the worker answers each request in order, except closeFile, which has no
// answer. An answer begins with a status byte: 0 and the operation's fields, or 1, an errno value
// and its English text. Bytes read from a file travel through the shared buffer, not the socket.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Ostrane::smbworker {

enum class Operation : std::uint8_t {
    // share, server, port (0: default), domain, user, password, timeout in ms, encrypted -> nothing
    connectShare = 1,
    // path -> count, then per entry: name, type (URLFileResourceType), has size, size
    listDirectory = 2,
    // path -> file number
    openFile = 3,
    // file number, offset, size (at most sharedBufferSize) -> count of bytes now in the shared buffer
    readFile = 4,
    // file number -> size
    sizeOfFile = 5,
    // file number; no answer
    closeFile = 6,
};

// The descriptors the worker finds open: its end of the socket pair, and the shared read buffer.
constexpr int socketDescriptor = 3;
constexpr int sharedBufferDescriptor = 4;
// One read step; larger reads are several requests.
constexpr std::size_t sharedBufferSize = 1 << 20;
// Longer frames are a broken peer (a listing of a huge folder stays far below it).
constexpr std::uint32_t largestFrame = 256u << 20;

// Builds one frame.
class FrameWriter {
public:
    FrameWriter() : bytes_(4, 0) {}
    explicit FrameWriter(Operation operation) : FrameWriter() { u8(static_cast<std::uint8_t>(operation)); }

    FrameWriter& u8(std::uint8_t value);
    FrameWriter& u32(std::uint32_t value);
    FrameWriter& i64(std::int64_t value);
    FrameWriter& text(const std::string& value);
    // The frame with its length filled in.
    std::vector<std::uint8_t>& frame();

private:
    std::vector<std::uint8_t> bytes_;
};

// Reads the fields of one frame body; any read past its end leaves the reader failed.
class FrameReader {
public:
    FrameReader(const std::uint8_t* data, std::size_t size) : at_(data), end_(data + size) {}
    explicit FrameReader(const std::vector<std::uint8_t>& body) : FrameReader(body.data(), body.size()) {}

    std::uint8_t u8();
    std::uint32_t u32();
    std::int64_t i64();
    std::string text();
    bool failed() const { return failed_; }
    bool atEnd() const { return at_ == end_; }

private:
    bool take(void* into, std::size_t count);

    const std::uint8_t* at_;
    const std::uint8_t* end_;
    bool failed_ = false;
};

// Writes all of `data` to a socket: no SIGPIPE, retried on EINTR. False when the peer is gone.
bool sendAll(int fd, const void* data, std::size_t size);

// The length field of a frame header.
std::uint32_t frameLength(const std::uint8_t header[4]);

}  // namespace Ostrane::smbworker
