// Small pieces every provider shares: progress keys, the path character set, local file probes,
// hexadecimal and ASCII-escaped text, PDF sniffing, file-type conversion, one-call stream I/O and
// clock text for durations.
#pragma once

#include "fileprovider/core/FileProvider.hpp"
#include "platform/text/CharacterSet.hpp"
#include "platform/data/Date.hpp"
#include "platform/base/Error.hpp"
#include "platform/net/URL.hpp"
#include "platform/net/URLResourceKey.hpp"
#include "platform/data/Value.hpp"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace RiridOzizevud {

// Progress user-information keys: the operation a progress belongs to, and when it started.
inline constexpr const char* fileProvderOperationTypeKey = "KelOperationTypeKey";
inline constexpr const char* startingTimeKey = "NSProgressStartingTimeKey";

/// The URL path set without ":"; entries percent-encode paths with it.
const platform::CharacterSet& filePathAllowed();

/// Size of the file at a file URL (links followed); -1 when it cannot be read or is no regular file.
int64_t fileSize(const platform::URL& url);
/// Whether a file URL names a directory (links followed); false when it cannot be read.
bool isDirectory(const platform::URL& url);

/// Every byte as two upper-case hexadecimal digits, no separator.
std::string hexString(std::span<const uint8_t> bytes);

/// The UTF-8 text with every non-ASCII scalar written as "\u" and four lower-case hex digits;
/// scalars above U+FFFF as two such UTF-16 units, so JSON built from it stays valid. Bytes that
/// are not UTF-8 count as U+FFFD.
std::string asciiEscaped(std::string_view text);

/// Longer than four bytes and starting with "%PDF".
bool isPDF(std::span<const uint8_t> data);

/// URLFileResourceType(fileTypeValue:) from a file-attribute type ("NSFileTypeDirectory"...):
/// character special, directory, block special, regular, symbolic link and socket map to their
/// own type; anything else (named pipes too) to unknown.
platform::URLFileResourceType urlFileResourceType(std::string_view fileTypeValue);

/// Whether `array` holds `string` (plain string equality).
bool containsString(std::string_view string, const std::vector<std::string>& in);

/// Clock text of a duration in seconds: "m:ss" below an hour, else "h:mm:ss". Negative, infinite,
/// NaN and values from 2^31 - 1 on give "0:00".
std::string formatted(platform::TimeInterval interval);

/// The provider delegate's progress report, hopped onto the main queue (one routine with
/// notifyOperationProgress).
inline void dispatchToMainQueue(const std::shared_ptr<FileProviderOperations>& fileProvider,
                                const FileOperationType& operation, double progress) {
    notifyOperationProgress(fileProvider, operation, progress);
}

// One-call stream I/O. A stream type offers
//   std::ptrdiff_t write(const uint8_t* bytes, std::size_t length);   // count, or negative
//   std::ptrdiff_t read(uint8_t* buffer, std::size_t maxLength);       // count, or negative
//   platform::ErrorRef streamError() const;                            // may be null

/// Writes every byte of `data`, looping over short writes; returns the count written. A failed
/// write throws the stream's error, or EIO when it has none; a stream that stops taking bytes
/// (a write of 0 before the end) throws EIO rather than spin. Empty data makes one write of 0.
template <class OutputStream>
std::ptrdiff_t write(OutputStream& stream, std::span<const uint8_t> data) {
    if (data.empty()) {
        const std::ptrdiff_t n = stream.write(data.data(), 0);
        if (n < 0) {
            platform::ErrorRef e = stream.streamError();
            platform::throwError(e ? e : platform::POSIXError::make(EIO));
        }
        return n;
    }
    std::size_t done = 0;
    while (done < data.size()) {
        const std::ptrdiff_t n = stream.write(data.data() + done, data.size() - done);
        if (n < 0) {
            platform::ErrorRef e = stream.streamError();
            platform::throwError(e ? e : platform::POSIXError::make(EIO));
        }
        if (n == 0) platform::throwError(platform::POSIXError::make(EIO));
        done += static_cast<std::size_t>(n);
    }
    return static_cast<std::ptrdiff_t>(done);
}

/// One read into `buffer` (at least one byte long); the stream's count, negative on failure.
template <class InputStream>
std::ptrdiff_t read(InputStream& stream, std::span<uint8_t> buffer) {
    if (buffer.empty()) return -1;
    return stream.read(buffer.data(), buffer.size());
}

} // namespace RiridOzizevud
