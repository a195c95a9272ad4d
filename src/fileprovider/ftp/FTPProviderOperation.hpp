// FTPFileProvider::Operation: one operation's control connection, progress and completion, shared by
// the provider's operation and transfer files.
#pragma once

#include "fileprovider/core/PlatformExtensions.hpp"
#include "fileprovider/ftp/FTPFileProvider.hpp"
#include "platform/data/Date.hpp"

#include <atomic>
#include <memory>

namespace RiridOzizevud {

struct FTPFileProvider::Operation {
    FileOperationType operation;
    ProgressRef progress;
    std::shared_ptr<FTPSession> engine;
    std::shared_ptr<FileProviderStreamTask> control;
    SimpleCompletionHandler completion;
    std::atomic<bool> done{false};
    /// Whether a copy or move may replace what is at its destination.
    bool overwrite = false;

    explicit Operation(FileOperationType op) : operation(std::move(op)) {}

    /// The hook every transfer gives the engine for its data connection: from then on cancelling
    /// the progress cancels that connection, and the transfer's time starts.
    FTPSession::TaskHook dataTaskHook() {
        return [progress = progress](const std::shared_ptr<FileProviderStreamTask>& data) {
            std::weak_ptr<FileProviderStreamTask> weak = data;
            progress->setCancellationHandler([weak] {
                if (auto d = weak.lock()) d->cancel();
            });
            progress->setUserInfoObject(platform::Value(platform::Date::now()), startingTimeKey);
        };
    }
};

} // namespace RiridOzizevud
