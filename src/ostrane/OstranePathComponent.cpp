#include "ostrane/OstranePathComponent.hpp"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>

#include <algorithm>

namespace Ostrane {
namespace {

// Names compare by their NFC form, byte-wise: UTF-8 byte order is code-point order, so this is
// code-point order over canonically normalized names. Text that is not UTF-8 keeps its own bytes,
// so two different undecodable names never become equal.
std::string canonicalKey(const std::string& name) {
    UErrorCode status = U_ZERO_ERROR;
    int32_t length = 0;
    u_strFromUTF8(nullptr, 0, &length, name.data(), static_cast<int32_t>(name.size()), &status);
    if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return name;
    status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status) || nfc == nullptr) return name;
    icu::UnicodeString text = icu::UnicodeString::fromUTF8(name);
    if (nfc->isNormalized(text, status) && U_SUCCESS(status)) return name;
    status = U_ZERO_ERROR;
    icu::UnicodeString normalized = nfc->normalize(text, status);
    if (U_FAILURE(status)) return name;
    std::string key;
    normalized.toUTF8String(key);
    return key;
}

std::string joinPath(const std::string& base, const std::string& name) {
    if (base.empty()) return name;
    std::string joined = base;
    while (joined.size() > 1 && joined.back() == '/') joined.pop_back();
    std::size_t skip = 0;
    while (skip < name.size() && name[skip] == '/') ++skip;
    if (skip == name.size()) return joined;
    if (joined.back() != '/') joined += '/';
    joined.append(name, skip, std::string::npos);
    return joined;
}

bool byName(const std::shared_ptr<OstranePathComponent>& a, const std::shared_ptr<OstranePathComponent>& b) {
    if (!a || !b) return a != nullptr && b == nullptr;  // null entries, if any, go last
    return *a < *b;
}

}  // namespace

OstranePathComponent::OstranePathComponent(std::string name, const std::shared_ptr<OstraneDirectory>& parent,
                                           OstraneFileType type)
    : type_(type),
      name_(std::move(name)),
      sortKey_(canonicalKey(name_)),
      parent_(parent),
      path_(parent ? joinPath(parent->path(), name_) : name_) {}

OstranePathComponent::Flag OstranePathComponent::flags() const {
    std::lock_guard lock(mutex_);
    return flags_;
}

void OstranePathComponent::setFlags(Flag flags) {
    bool changed;
    {
        std::lock_guard lock(mutex_);
        changed = flags_ != flags;
        flags_ = flags;
    }
    if (changed) flagsDidChange();
}

bool OstranePathComponent::isDirectory() const {
    if (dynamic_cast<const OstraneDirectory*>(this)) return true;
    if (auto link = dynamic_cast<const OstraneSymbolicLink*>(this))
        return std::dynamic_pointer_cast<OstraneDirectory>(link->target()) != nullptr;
    return false;
}

std::optional<OstranePathComponent::Contents> OstranePathComponent::contents() const { return std::nullopt; }

std::string OstranePathComponent::description() const { return name_; }

void sortByName(OstranePathComponent::Contents& components) {
    std::stable_sort(components.begin(), components.end(), byName);
}

OstraneFile::OstraneFile(std::string name, const std::shared_ptr<OstraneDirectory>& parent, std::int64_t size)
    : OstranePathComponent(std::move(name), parent, OstraneFileType::file), size_(size) {}

std::int64_t OstraneFile::size() const {
    std::lock_guard lock(mutex_);
    return size_;
}

void OstraneFile::setSize(std::int64_t size) {
    std::lock_guard lock(mutex_);
    size_ = size;
}

std::string OstraneFile::description() const { return name() + " " + std::to_string(size()); }

OstraneDirectory::OstraneDirectory(std::string name, const std::shared_ptr<OstraneDirectory>& parent)
    : OstranePathComponent(std::move(name), parent, OstraneFileType::directory) {}

std::optional<OstranePathComponent::Contents> OstraneDirectory::contents() const {
    std::lock_guard lock(mutex_);
    return contents_;
}

void OstraneDirectory::setContents(std::optional<Contents> contents) {
    std::optional<Contents> previous;
    {
        std::lock_guard lock(mutex_);
        previous = std::exchange(contents_, std::move(contents));
    }
    // `previous` may hold the last reference to a subtree; free it outside the lock.
}

void OstraneDirectory::flagsDidChange() {
    std::lock_guard lock(mutex_);
    if (!contents_ || contents_->empty()) return;
    auto& list = *contents_;
    if (!flagsLocked().contains(Flag::foldersOnTop)) {
        sortByName(list);
        return;
    }
    // Directories go to the front, each group sorted by name. Every other entry stays, including one
    // that happens to share a directory's name.
    auto isFolder = [](const std::shared_ptr<OstranePathComponent>& c) {
        return std::dynamic_pointer_cast<OstraneDirectory>(c) != nullptr;
    };
    auto middle = std::stable_partition(list.begin(), list.end(), isFolder);
    std::stable_sort(list.begin(), middle, byName);
    std::stable_sort(middle, list.end(), byName);
}

OstraneSymbolicLink::OstraneSymbolicLink(std::string name, const std::shared_ptr<OstraneDirectory>& parent)
    : OstranePathComponent(std::move(name), parent, OstraneFileType::symbolicLink) {}

std::shared_ptr<OstranePathComponent> OstraneSymbolicLink::target() const {
    std::lock_guard lock(mutex_);
    return target_;
}

void OstraneSymbolicLink::setTarget(std::shared_ptr<OstranePathComponent> target) {
    std::shared_ptr<OstranePathComponent> previous;
    {
        std::lock_guard lock(mutex_);
        previous = std::exchange(target_, std::move(target));
    }
}

std::optional<OstranePathComponent::Contents> OstraneSymbolicLink::contents() const {
    if (auto dir = std::dynamic_pointer_cast<OstraneDirectory>(target())) return dir->contents();
    return std::nullopt;
}

}  // namespace Ostrane
