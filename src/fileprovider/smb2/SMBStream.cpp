#include "fileprovider/smb2/SMBStream.hpp"

namespace RiridOzizevud {

void SMBStream::close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
}

bool SMBStream::isClosed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

std::shared_ptr<SMBStreamDelegate> SMBStream::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

void SMBStream::setDelegate(const std::shared_ptr<SMBStreamDelegate>& delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = delegate;
}

void SMBStream::schedule(const std::string& mode) {
    std::lock_guard lock(mutex_);
    modes_.insert(mode);
}

void SMBStream::remove(const std::string& mode) {
    std::lock_guard lock(mutex_);
    modes_.erase(mode);
}

bool SMBStream::isScheduled(const std::string& mode) const {
    std::lock_guard lock(mutex_);
    return modes_.count(mode) > 0;
}

} // namespace RiridOzizevud
