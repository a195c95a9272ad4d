// FTPFileProvider::Operation: one operation's control connection, progress and completion, shared by
// the provider's operation and transfer files.
#pragma once

#include "fileprovider/ftp/FTPFileProvider.hpp"

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

    explicit Operation(FileOperationType op) : operation(std::move(op)) {}
};

} // namespace RiridOzizevud
