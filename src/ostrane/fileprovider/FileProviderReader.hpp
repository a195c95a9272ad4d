#pragma once
// Ranged reads of one open file through a provider's ranged read (its streamed form where it has
// one, which delivers pieces as they arrive), for a player that reads mostly in order. A read that
// goes on where the previous one ended starts a window of ranged requests ahead of the reader, so
// the round trip of each request is hidden behind the transfer of the ones before it; a read
// elsewhere drops the window and asks for exactly its own range.
//
// A read answers the whole range asked (cut at the end of the file), empty bytes at or past the
// end, or nothing on failure: a short answer from the server is a failure, never a short success.
#include "platform/dispatch/Progress.hpp"

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace RiridOzizevud {
class FileProvider;
}

namespace Ostrane {

class FileProviderReader {
public:
    using Bytes = std::vector<std::uint8_t>;

    /// How many bytes each request of the window asks for, and how many requests run ahead.
    static constexpr std::int64_t chunkSize = 4 << 20;
    static constexpr int chunksAhead = 4;

    /// `size` is the file's size as its attributes gave it (negative: unknown, and then an answer
    /// shorter than asked is taken as the end of the file).
    FileProviderReader(std::shared_ptr<RiridOzizevud::FileProvider> provider, std::string path, std::int64_t size,
                       std::chrono::milliseconds limit);
    ~FileProviderReader();
    FileProviderReader(const FileProviderReader&) = delete;
    FileProviderReader& operator=(const FileProviderReader&) = delete;

    std::optional<Bytes> read(std::int64_t offset, std::int64_t length);
    /// Cancels the requests under way; later reads fail.
    void close();

private:
    struct Chunk;
    using ChunkRef = std::shared_ptr<Chunk>;

    ChunkRef request(std::int64_t offset, std::int64_t length);
    /// The chunk's bytes, whole, or none.
    const Bytes* await(Chunk& chunk);
    /// Requests chunks until the window reaches `end` plus the read-ahead.
    void fillWindow(std::int64_t end);
    void dropWindow();
    std::int64_t windowEnd() const;

    const std::shared_ptr<RiridOzizevud::FileProvider> provider_;
    const std::string path_;
    const std::int64_t size_;
    const std::chrono::milliseconds limit_;

    std::mutex mutex_;  // one read at a time on a file
    bool closed_ = false;
    std::int64_t lastEnd_ = 0;  // where the previous read ended
    std::deque<ChunkRef> window_;
};

}  // namespace Ostrane
