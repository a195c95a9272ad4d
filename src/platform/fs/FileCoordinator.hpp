// platform::FileCoordinator — coordinated file access within this process: an accessor runs on a
// given operation queue once every item its intents name is free for it. Writers of an item
// exclude everyone else on it; readers share it. Linux offers no system-wide coordination, so
// programs other than this one are not held back.
#pragma once

#include "platform/base/Error.hpp"
#include "platform/net/URL.hpp"

#include <functional>
#include <memory>
#include <vector>

namespace platform {

class OperationQueue;

class FileAccessIntent {
public:
    // Reading options.
    static constexpr unsigned withoutChanges = 1;
    static constexpr unsigned forUploading = 8;
    // Writing options.
    static constexpr unsigned forDeleting = 1;
    static constexpr unsigned forMoving = 2;
    static constexpr unsigned forMerging = 4;
    static constexpr unsigned forReplacing = 8;

    static FileAccessIntent readingIntent(URL url, unsigned options = 0) { return {std::move(url), false, options}; }
    static FileAccessIntent writingIntent(URL url, unsigned options = 0) { return {std::move(url), true, options}; }

    const URL& url() const { return url_; }
    bool isWriting() const { return writing_; }
    unsigned options() const { return options_; }

private:
    FileAccessIntent(URL url, bool writing, unsigned options) : url_(std::move(url)), writing_(writing), options_(options) {}

    URL url_;
    bool writing_;
    unsigned options_;
};

class FileCoordinator {
public:
    /// How long an access waits for the items by default, in seconds.
    static constexpr double defaultTimeout = 60;

    /// coordinate(with:queue:byAccessor:): returns at once; on `queue` waits for the items (at most
    /// `timeout` seconds), then calls `accessor` once with nullptr while holding them, or with a
    /// CocoaError fileLocking naming the first item it could not get.
    static void coordinate(const std::vector<FileAccessIntent>& intents, const std::shared_ptr<OperationQueue>& queue,
                           std::function<void(ErrorRef error)> accessor, double timeout = defaultTimeout);
};

} // namespace platform
