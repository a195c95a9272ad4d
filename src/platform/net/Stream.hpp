// platform::InputStream / OutputStream — the platform's byte streams, as far as request bodies and
// ranged reads need them: an input stream over bytes in memory or over a file, which can go back
// to its first byte so that a request can send its body again (an authentication retry); an output
// stream into memory or into a file. Each stream is used by one thread at a time; the members are
// guarded anyway, so reading the state from another thread is safe.
#pragma once

#include "platform/base/Error.hpp"
#include "platform/net/URL.hpp"
#include "platform/data/Value.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace platform {

class InputStream {
public:
    enum class Status { notOpen, open, atEnd, closed, error };

    /// InputStream(data:).
    static std::shared_ptr<InputStream> make(Data data);
    /// InputStream(url:) of a file URL; no value for another scheme.
    static std::shared_ptr<InputStream> make(const URL& fileURL);

    virtual ~InputStream();
    InputStream(const InputStream&) = delete;
    InputStream& operator=(const InputStream&) = delete;

    virtual void open();
    virtual void close();
    /// Up to `maxLength` bytes; 0 at the end; -1 on failure (streamError tells why) or when the
    /// stream is not open.
    virtual std::ptrdiff_t read(uint8_t* buffer, std::size_t maxLength);
    virtual bool hasBytesAvailable() const;
    /// Back to the first byte, open; false when this stream cannot go back.
    virtual bool rewind();
    /// The whole length when known in advance.
    virtual std::optional<int64_t> length() const;

    Status streamStatus() const;
    ErrorRef streamError() const;

protected:
    InputStream() = default;

private:
    mutable std::mutex mutex_;
    Status status_ = Status::notOpen;
    ErrorRef error_;
    // One of the two sources.
    std::optional<Data> data_;
    std::size_t position_ = 0;
    std::optional<std::string> path_;
    std::FILE* file_ = nullptr;
};

class OutputStream {
public:
    enum class Status { notOpen, open, closed, error };

    /// OutputStream.toMemory(): keeps what is written; see dataWrittenToMemory.
    static std::shared_ptr<OutputStream> toMemory();
    /// OutputStream(url:append:) of a file URL.
    static std::shared_ptr<OutputStream> make(const URL& fileURL, bool append);

    virtual ~OutputStream();
    OutputStream(const OutputStream&) = delete;
    OutputStream& operator=(const OutputStream&) = delete;

    virtual void open();
    virtual void close();
    /// The count written; -1 on failure or when the stream is not open.
    virtual std::ptrdiff_t write(const uint8_t* bytes, std::size_t length);
    virtual bool hasSpaceAvailable() const;

    Status streamStatus() const;
    ErrorRef streamError() const;
    /// The property NSStreamDataWrittenToMemoryStreamKey: the bytes of a memory stream (also after
    /// close); no value for a file stream.
    std::optional<Data> dataWrittenToMemory() const;

protected:
    OutputStream() = default;

private:
    mutable std::mutex mutex_;
    Status status_ = Status::notOpen;
    ErrorRef error_;
    bool toMemory_ = false;
    Data memory_;
    std::optional<std::string> path_;
    bool append_ = false;
    std::FILE* file_ = nullptr;
};

/// Key of the memory stream's bytes property.
inline constexpr const char* NSStreamDataWrittenToMemoryStreamKey = "NSStreamDataWrittenToMemoryStreamKey";

} // namespace platform
