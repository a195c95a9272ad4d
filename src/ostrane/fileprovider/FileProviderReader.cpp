#include "ostrane/fileprovider/FileProviderReader.hpp"

#include "fileprovider/core/FileProvider.hpp"
#include "ostrane/fileprovider/ProviderAnswer.hpp"

#include <algorithm>
#include <utility>

namespace Ostrane {

using Reply = std::pair<std::optional<FileProviderReader::Bytes>, platform::ErrorRef>;

struct FileProviderReader::Chunk {
    std::int64_t offset = 0;
    std::int64_t length = 0;
    std::shared_ptr<ProviderAnswer<Reply>> answer = std::make_shared<ProviderAnswer<Reply>>();
    std::shared_ptr<platform::Progress> progress;
    bool awaited = false;
    std::optional<Bytes> bytes;  // set once awaited and whole

    std::int64_t end() const { return offset + length; }
};

FileProviderReader::FileProviderReader(std::shared_ptr<RiridOzizevud::FileProvider> provider, std::string path,
                                       std::int64_t size, std::chrono::milliseconds limit)
    : provider_(std::move(provider)), path_(std::move(path)), size_(size), limit_(limit) {}

FileProviderReader::~FileProviderReader() { dropWindow(); }

void FileProviderReader::close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    dropWindow();
}

FileProviderReader::ChunkRef FileProviderReader::request(std::int64_t offset, std::int64_t length) {
    auto chunk = std::make_shared<Chunk>();
    chunk->offset = offset;
    chunk->length = length;
    auto progressive = std::dynamic_pointer_cast<RiridOzizevud::FileProviderReadWriteProgressive>(provider_);
    if (!progressive) {
        chunk->progress = provider_->contents(path_, offset, length,
                                              [answer = chunk->answer](std::optional<Bytes> data, platform::ErrorRef error) {
                                                  answer->set({std::move(data), std::move(error)});
                                              });
        return chunk;
    }
    // The pieces are gathered as they arrive (one at a time, in order, on the provider's queue).
    // A length is what the caller may take, not what will come (a file of unknown size ends where
    // it ends): room is made for one chunk at most, and grows with what arrives.
    auto gathered = std::make_shared<Bytes>();
    gathered->reserve(static_cast<std::size_t>(std::min(length, chunkSize)));
    chunk->progress = progressive->contents(
        path_, offset, length, nullptr,
        [gathered, offset](std::int64_t position, const Bytes& piece) {
            if (position == offset + static_cast<std::int64_t>(gathered->size()))
                gathered->insert(gathered->end(), piece.begin(), piece.end());
        },
        [answer = chunk->answer, gathered](platform::ErrorRef error) {
            answer->set({error ? std::nullopt : std::optional<Bytes>(std::move(*gathered)), std::move(error)});
        });
    return chunk;
}

const FileProviderReader::Bytes* FileProviderReader::await(Chunk& chunk) {
    if (!chunk.awaited) {
        chunk.awaited = true;
        auto reply = chunk.answer->wait(limit_, chunk.progress);
        if (!reply) {
            if (chunk.progress) chunk.progress->cancel();
        } else if (!reply->second && reply->first) {
            const auto got = static_cast<std::int64_t>(reply->first->size());
            // Fewer bytes than asked inside a file of known size: the connection or the file
            // changed under us. Only a file of unknown size may end early.
            if (got == chunk.length || (size_ < 0 && got < chunk.length)) chunk.bytes = std::move(reply->first);
        }
    }
    return chunk.bytes ? &*chunk.bytes : nullptr;
}

std::int64_t FileProviderReader::windowEnd() const { return window_.empty() ? 0 : window_.back()->end(); }

void FileProviderReader::fillWindow(std::int64_t end) {
    // `end` lies within the file; a size near the largest count must not overflow the sum.
    constexpr std::int64_t ahead = chunksAhead * chunkSize;
    const std::int64_t target = size_ - end <= ahead ? size_ : end + ahead;
    for (std::int64_t next = windowEnd(); next < target;) {
        const std::int64_t length = std::min(chunkSize, size_ - next);
        window_.push_back(request(next, length));
        next += length;
    }
}

void FileProviderReader::dropWindow() {
    for (const auto& chunk : window_)
        if (!chunk->awaited && chunk->progress) chunk->progress->cancel();
    window_.clear();
}

std::optional<FileProviderReader::Bytes> FileProviderReader::read(std::int64_t offset, std::int64_t length) {
    std::lock_guard lock(mutex_);
    if (closed_ || offset < 0 || length < 0) return std::nullopt;
    if (size_ >= 0) {
        if (offset >= size_) return Bytes{};
        length = std::min(length, size_ - offset);
    }
    if (length == 0) return Bytes{};

    const bool inWindow = !window_.empty() && offset >= window_.front()->offset && offset < windowEnd();
    if (!inWindow) {
        dropWindow();
        // Only a read that goes on from the last one, in a file of known size, starts a window.
        if (offset != lastEnd_ || size_ < 0) {
            auto chunk = request(offset, length);
            const Bytes* bytes = await(*chunk);
            if (!bytes) return std::nullopt;
            lastEnd_ = offset + static_cast<std::int64_t>(bytes->size());
            return std::move(*chunk->bytes);
        }
        window_.push_back(request(offset, std::min(chunkSize, size_ - offset)));
    }
    // The reader skipped ahead within the window: what lies behind it is not wanted any more.
    while (!window_.empty() && window_.front()->end() <= offset) {
        if (!window_.front()->awaited && window_.front()->progress) window_.front()->progress->cancel();
        window_.pop_front();
    }
    Bytes out;
    out.reserve(static_cast<std::size_t>(std::min(length, chunksAhead * chunkSize)));
    const std::int64_t end = offset + length;
    // Requests run ahead of the chunk being read, however long the read: a long read (or a size
    // the server overstates) never puts more than the window's requests under way at once.
    for (std::size_t i = 0; i < window_.size() && window_[i]->offset < end; ++i) {
        const ChunkRef chunk = window_[i];
        fillWindow(std::min(end, chunk->end()));
        const Bytes* bytes = await(*chunk);
        if (!bytes) {
            dropWindow();
            return std::nullopt;
        }
        const std::int64_t from = std::max(offset, chunk->offset) - chunk->offset;
        const std::int64_t to = std::min(end, chunk->end()) - chunk->offset;
        out.insert(out.end(), bytes->begin() + from, bytes->begin() + to);
    }
    lastEnd_ = end;
    return out;
}

}  // namespace Ostrane
