#include "platform/net/Stream.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace platform {

// --- InputStream ---------------------------------------------------------------------------------

std::shared_ptr<InputStream> InputStream::make(Data data) {
    std::shared_ptr<InputStream> s(new InputStream());
    s->data_ = std::move(data);
    return s;
}

std::shared_ptr<InputStream> InputStream::make(const URL& fileURL) {
    if (!fileURL.isFileURL()) return nullptr;
    std::shared_ptr<InputStream> s(new InputStream());
    s->path_ = fileURL.path();
    return s;
}

InputStream::~InputStream() {
    if (file_) std::fclose(file_);
}

void InputStream::open() {
    std::lock_guard lock(mutex_);
    if (status_ != Status::notOpen) return;
    if (path_) {
        file_ = std::fopen(path_->c_str(), "rb");
        if (!file_) {
            error_ = POSIXError::make(errno, *path_);
            status_ = Status::error;
            return;
        }
    }
    status_ = Status::open;
}

void InputStream::close() {
    std::lock_guard lock(mutex_);
    if (file_) {
        std::fclose(file_);
        file_ = nullptr;
    }
    if (status_ != Status::error) status_ = Status::closed;
}

std::ptrdiff_t InputStream::read(uint8_t* buffer, std::size_t maxLength) {
    std::lock_guard lock(mutex_);
    if (status_ == Status::atEnd) return 0;
    if (status_ != Status::open || !buffer) return -1;
    if (maxLength == 0) return 0;
    if (data_) {
        const std::size_t n = std::min(maxLength, data_->size() - position_);
        if (n) std::memcpy(buffer, data_->data() + position_, n);
        position_ += n;
        if (position_ >= data_->size()) status_ = Status::atEnd;
        return static_cast<std::ptrdiff_t>(n);
    }
    const std::size_t n = std::fread(buffer, 1, maxLength, file_);
    if (n == 0) {
        if (std::ferror(file_)) {
            error_ = POSIXError::make(EIO, path_);
            status_ = Status::error;
            return -1;
        }
        status_ = Status::atEnd;
    }
    return static_cast<std::ptrdiff_t>(n);
}

bool InputStream::hasBytesAvailable() const {
    std::lock_guard lock(mutex_);
    return status_ == Status::open;
}

bool InputStream::rewind() {
    std::lock_guard lock(mutex_);
    if (data_) {
        position_ = 0;
        if (status_ != Status::error) status_ = Status::open;
        return status_ == Status::open;
    }
    if (!file_) {
        file_ = std::fopen(path_->c_str(), "rb");
        if (!file_) {
            error_ = POSIXError::make(errno, *path_);
            status_ = Status::error;
            return false;
        }
    } else if (std::fseek(file_, 0, SEEK_SET) != 0) {
        return false;
    }
    status_ = Status::open;
    return true;
}

std::optional<int64_t> InputStream::length() const {
    std::lock_guard lock(mutex_);
    if (data_) return static_cast<int64_t>(data_->size());
    return std::nullopt;
}

InputStream::Status InputStream::streamStatus() const {
    std::lock_guard lock(mutex_);
    return status_;
}

ErrorRef InputStream::streamError() const {
    std::lock_guard lock(mutex_);
    return error_;
}

// --- OutputStream --------------------------------------------------------------------------------

std::shared_ptr<OutputStream> OutputStream::toMemory() {
    std::shared_ptr<OutputStream> s(new OutputStream());
    s->toMemory_ = true;
    return s;
}

std::shared_ptr<OutputStream> OutputStream::make(const URL& fileURL, bool append) {
    if (!fileURL.isFileURL()) return nullptr;
    std::shared_ptr<OutputStream> s(new OutputStream());
    s->path_ = fileURL.path();
    s->append_ = append;
    return s;
}

OutputStream::~OutputStream() {
    if (file_) std::fclose(file_);
}

void OutputStream::open() {
    std::lock_guard lock(mutex_);
    if (status_ != Status::notOpen) return;
    if (path_) {
        file_ = std::fopen(path_->c_str(), append_ ? "ab" : "wb");
        if (!file_) {
            error_ = POSIXError::make(errno, *path_);
            status_ = Status::error;
            return;
        }
    }
    status_ = Status::open;
}

void OutputStream::close() {
    std::lock_guard lock(mutex_);
    if (file_) {
        if (std::fclose(file_) != 0 && status_ == Status::open) {
            error_ = POSIXError::make(errno, path_);
            status_ = Status::error;
        }
        file_ = nullptr;
    }
    if (status_ != Status::error) status_ = Status::closed;
}

std::ptrdiff_t OutputStream::write(const uint8_t* bytes, std::size_t length) {
    std::lock_guard lock(mutex_);
    if (status_ != Status::open || (!bytes && length)) return -1;
    if (length == 0) return 0;
    if (toMemory_) {
        memory_.insert(memory_.end(), bytes, bytes + length);
        return static_cast<std::ptrdiff_t>(length);
    }
    const std::size_t n = std::fwrite(bytes, 1, length, file_);
    if (n < length) {
        error_ = POSIXError::make(errno ? errno : EIO, path_);
        status_ = Status::error;
        return -1;
    }
    return static_cast<std::ptrdiff_t>(n);
}

bool OutputStream::hasSpaceAvailable() const {
    std::lock_guard lock(mutex_);
    return status_ == Status::open;
}

OutputStream::Status OutputStream::streamStatus() const {
    std::lock_guard lock(mutex_);
    return status_;
}

ErrorRef OutputStream::streamError() const {
    std::lock_guard lock(mutex_);
    return error_;
}

std::optional<Data> OutputStream::dataWrittenToMemory() const {
    std::lock_guard lock(mutex_);
    if (!toMemory_) return std::nullopt;
    return memory_;
}

} // namespace platform
