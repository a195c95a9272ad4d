// The socket streams of the SMB client and their delegate: what the client needs of a stream pair
// scheduled on the main run loop. Concrete streams (over a socket) read, report events to their
// delegate and close; this base keeps the delegate (weakly) and the run-loop modes the stream is
// scheduled in.
#pragma once

#include "fileprovider/smb2/SMBOptionSet.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace RiridOzizevud {

/// The main run loop's default mode.
inline constexpr const char* kCFRunLoopDefaultMode = "kCFRunLoopDefaultMode";

/// What happened on a stream.
class SMBStreamEvent : public SMBOptionSet<SMBStreamEvent, uint32_t> {
public:
    using SMBOptionSet::SMBOptionSet;

    static const SMBStreamEvent openCompleted;
    static const SMBStreamEvent hasBytesAvailable;
    static const SMBStreamEvent hasSpaceAvailable;
    static const SMBStreamEvent errorOccurred;
    static const SMBStreamEvent endEncountered;
};

inline constexpr SMBStreamEvent SMBStreamEvent::openCompleted{1u << 0};
inline constexpr SMBStreamEvent SMBStreamEvent::hasBytesAvailable{1u << 1};
inline constexpr SMBStreamEvent SMBStreamEvent::hasSpaceAvailable{1u << 2};
inline constexpr SMBStreamEvent SMBStreamEvent::errorOccurred{1u << 3};
inline constexpr SMBStreamEvent SMBStreamEvent::endEncountered{1u << 4};

class SMBStream;

class SMBStreamDelegate {
public:
    virtual ~SMBStreamDelegate() = default;
    /// stream(_:handle:): called on the thread of the run loop the stream is scheduled in.
    virtual void stream(const std::shared_ptr<SMBStream>& aStream, SMBStreamEvent eventCode) = 0;
};

class SMBStream : public std::enable_shared_from_this<SMBStream> {
public:
    virtual ~SMBStream() = default;
    SMBStream(const SMBStream&) = delete;
    SMBStream& operator=(const SMBStream&) = delete;

    /// Subclasses release their socket and call this.
    virtual void close();
    bool isClosed() const;

    /// Held weakly.
    std::shared_ptr<SMBStreamDelegate> delegate() const;
    void setDelegate(const std::shared_ptr<SMBStreamDelegate>& delegate);

    /// schedule(in: .main, forMode:) and remove(from: .main, forMode:).
    void schedule(const std::string& mode);
    void remove(const std::string& mode);
    bool isScheduled(const std::string& mode) const;

protected:
    SMBStream() = default;

private:
    mutable std::mutex mutex_;
    std::weak_ptr<SMBStreamDelegate> delegate_;
    std::set<std::string> modes_;
    bool closed_ = false;
};

class SMBInputStream : public SMBStream {
public:
    /// Up to `maxLength` bytes; 0 at the end, -1 on failure.
    virtual std::ptrdiff_t read(uint8_t* buffer, std::size_t maxLength) = 0;
    /// True when a read would return data (or when that can only be known by reading).
    virtual bool hasBytesAvailable() const = 0;
};

class SMBOutputStream : public SMBStream {};

} // namespace RiridOzizevud
