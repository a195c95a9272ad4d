// HTTPFileProvider's transfers: uploads from memory and from local files, downloads into a
// file, their progress, and the operations built on them.
#include "fileprovider/core/HTTPFileProvider.hpp"
#include "fileprovider/core/HTTPFileProviderHelpers.hpp"

#include "fileprovider/core/PlatformExtensions.hpp"
#include "platform/dispatch/OperationQueue.hpp"
#include "platform/fs/FileCoordinator.hpp"
#include "platform/fs/FilePlacement.hpp"
#include "platform/net/URLResourceKey.hpp"
#include "platform/net/URLResponse.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace RiridOzizevud {

namespace {

using httpprovider::bodyText;
using httpprovider::call;
using httpprovider::kErrorBodyLimit;
using platform::statusOf;

// Where uploads hold their coordinated reads (see sendFile). Never destroyed: an upload still
// running when the process exits keeps its thread.
const std::shared_ptr<platform::OperationQueue>& coordinationQueue() {
    static const auto* queue =
        new std::shared_ptr<platform::OperationQueue>(platform::OperationQueue::make("FileProvider.UploadCoordination"));
    return *queue;
}

// The end of an upload task: its completion, or the task found ended (a completion that never
// comes, as after a released provider's session let it go, holds nothing).
class TaskEnd {
public:
    void signal() {
        {
            std::lock_guard lock(mutex_);
            ended_ = true;
        }
        changed_.notify_all();
    }
    // Bounded by the task's own life: it ends by its completion, cancellation or idle time-out.
    void waitFor(const platform::URLSessionTask& task) {
        std::unique_lock lock(mutex_);
        while (!changed_.wait_for(lock, std::chrono::milliseconds(200), [this] { return ended_; }))
            if (task.state() == platform::URLSessionTask::State::completed) return;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool ended_ = false;
};

Data readBounded(const std::string& path) {
    Data out;
    std::ifstream in(path, std::ios::binary);
    if (!in) return out;
    out.resize(kErrorBodyLimit);
    in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size()));
    out.resize(static_cast<size_t>(std::max<std::streamsize>(0, in.gcount())));
    return out;
}

} // namespace

// --- Uploads ------------------------------------------------------------------------------------

ProgressRef HTTPFileProvider::refuseSize(const std::string& targetPath, int64_t, const FileOperationType& operation,
                                         const SimpleCompletionHandler& completionHandler) {
    const ErrorRef error = serverError(FileProviderHTTPErrorCode::payloadTooLarge, targetPath, std::nullopt);
    call(completionHandler, error);
    notifyOperationResult(selfOperations(), operation, error);
    return nullptr;
}

ProgressRef HTTPFileProvider::uploadProgress(const std::string& targetPath, int64_t size, const FileOperationType& operation,
                                             const SimpleCompletionHandler& completionHandler) {
    if (maxUploadSimpleSupported() < size) return refuseSize(targetPath, size, operation, completionHandler);
    auto progress = platform::Progress::make(size);
    label(progress, operation);
    return progress;
}

ProgressRef HTTPFileProvider::upload(const std::string& targetPath, const platform::URLRequest& request,
                                     std::shared_ptr<platform::InputStream> stream, int64_t size,
                                     const FileOperationType& operation, SimpleCompletionHandler completionHandler) {
    auto progress = uploadProgress(targetPath, size, operation, completionHandler);
    if (!progress) return nullptr;
    auto task = session()->uploadTask(request, std::move(stream));
    upload_task(targetPath, progress, task, operation, std::move(completionHandler));
    return progress;
}

ProgressRef HTTPFileProvider::upload_file(const std::string& targetPath, const platform::URLRequest& request,
                                          const platform::URL& localFile, const FileOperationType& operation,
                                          SimpleCompletionHandler completionHandler) {
    auto progress = uploadProgress(targetPath, fileSize(localFile), operation, completionHandler);
    if (!progress) return nullptr;
    sendFile(targetPath, request, localFile, progress, operation, std::move(completionHandler));
    return progress;
}

void HTTPFileProvider::sendFile(const std::string& targetPath, const platform::URLRequest& request,
                                const platform::URL& localFile, const ProgressRef& progress,
                                const FileOperationType& operation, SimpleCompletionHandler completionHandler) {
    std::weak_ptr<HTTPFileProvider> weak = weakSelf();
    // The read is held on a queue of its own for as long as the file is sent, which holds up no
    // provider's queue; it is taken before the task exists, so not one byte is read before.
    platform::FileCoordinator::coordinate(
        {platform::FileAccessIntent::readingIntent(localFile, platform::FileAccessIntent::forUploading)},
        coordinationQueue(),
        [weak, targetPath, request, localFile, progress, operation, completionHandler](ErrorRef error) {
            auto self = weak.lock();
            if (!error && (!self || progress->isCancelled()))
                error = platform::URLError::make(platform::URLError::cancelled, localFile);
            if (error) {
                progress->cancel();
                call(completionHandler, error);
                return;
            }
            auto ended = std::make_shared<TaskEnd>();
            auto task = self->session()->uploadTask(request, localFile);
            // The end is signalled before anyone hears of it: a writer that the completion starts
            // waits only for this read to be let go, never for itself.
            self->upload_task(targetPath, progress, task, operation, [ended, completionHandler](ErrorRef failure) {
                ended->signal();
                call(completionHandler, failure);
            });
            self.reset();
            ended->waitFor(*task);
        });
}

void HTTPFileProvider::upload_task(const std::string& targetPath, const ProgressRef& progress,
                                   const std::shared_ptr<platform::URLSessionTask>& task, const FileOperationType& operation,
                                   SimpleCompletionHandler completionHandler) {
    const std::string description = session()->sessionDescription().value_or("");
    const uint64_t id = task->taskIdentifier();
    // Touched only on the operation queue, one callback at a time.
    auto body = std::make_shared<Data>();
    setTaskDataHandler(description, id, [body](const Data& piece) {
        if (body->size() < kErrorBodyLimit) body->insert(body->end(), piece.begin(), piece.end());
    });
    std::weak_ptr<HTTPFileProvider> weak = weakSelf();
    const std::string domain = type_;
    std::weak_ptr<platform::URLSessionTask> weakTask = task;
    setTaskCompletionHandler(description, id, [weak, weakTask, body, targetPath, progress, operation, completionHandler,
                                               domain](ErrorRef error) {
        auto self = weak.lock();
        auto task = weakTask.lock();
        ErrorRef failure = error;
        const int status = task ? statusOf(task->response()) : -1;
        if (!error && status >= 300) {
            failure = self ? self->guardedServerError(status, targetPath, *body)
                           : std::make_shared<FileProviderHTTPError>(domain, status, targetPath, bodyText(*body));
        }
        if (failure) progress->cancel();
        call(completionHandler, failure);
        if (self) notifyOperationResult(self->selfOperations(), operation, failure);
    });
    startObserved(progress, task, operation, SessionDelegate::ObserveKind::upload);
}

// --- Downloads ----------------------------------------------------------------------------------

ProgressRef HTTPFileProvider::download_file(const std::string& path, const platform::URLRequest& request,
                                            const FileOperationType& operation,
                                            std::function<void(std::optional<platform::URL>, ErrorRef)> completionHandler) {
    return downloadTo(path, request, operation, nullptr, std::move(completionHandler));
}

ProgressRef HTTPFileProvider::downloadTo(const std::string& path, const platform::URLRequest& request,
                                         const FileOperationType& operation, std::shared_ptr<platform::PlacementFile> into,
                                         std::function<void(std::optional<platform::URL>, ErrorRef)> completionHandler) {
    auto self = std::dynamic_pointer_cast<HTTPFileProvider>(FileProviderBasic::shared_from_this());
    auto progress = platform::Progress::make(-1);
    label(progress, operation);
    auto task = into ? session()->downloadTask(request, std::move(into)) : session()->downloadTask(request);
    const std::string description = session()->sessionDescription().value_or("");
    const uint64_t id = task->taskIdentifier();
    setTaskCompletionHandler(description, id, [self, progress, operation, completionHandler](ErrorRef error) {
        if (!error) return;  // a finished download has its own handler
        progress->cancel();
        call(completionHandler, std::nullopt, error);
        notifyOperationResult(self, operation, error);
    });
    std::weak_ptr<platform::URLSessionTask> weakTask = task;
    setTaskDownloadHandler(description, id, [self, weakTask, path, progress, operation, completionHandler](const platform::URL& location) {
        auto task = weakTask.lock();
        const int status = task ? statusOf(task->response()) : -1;
        if (status >= 200 && status <= 299) {
            call(completionHandler, location, nullptr);
            return;
        }
        // Every other answer fails, so an error page never becomes the downloaded file.
        ErrorRef error = status >= 300 ? self->guardedServerError(status, path, readBounded(location.path()))
                                       : platform::URLError::make(platform::URLError::badServerResponse, self->url(path));
        progress->cancel();
        call(completionHandler, std::nullopt, error);
        notifyOperationResult(self, operation, error);
    });
    startObserved(progress, task, operation, SessionDelegate::ObserveKind::download);
    return progress;
}

// --- Transfer operations ------------------------------------------------------------------------

bool HTTPFileProvider::refusedAsUploadSource(const platform::URL& localFile, const SimpleCompletionHandler& completionHandler) {
    std::error_code ec;
    const auto status = localFile.isFileURL() ? std::filesystem::status(localFile.path(), ec)
                                              : std::filesystem::file_status(std::filesystem::file_type::not_found);
    if (!ec && std::filesystem::is_regular_file(status)) return false;
    const auto code = (ec || !std::filesystem::exists(status)) ? platform::URLError::fileDoesNotExist
                                                               : platform::URLError::fileIsDirectory;
    later([completionHandler, code, localFile] { call(completionHandler, platform::URLError::make(code, localFile)); });
    return true;
}

ProgressRef HTTPFileProvider::copyItem(const platform::URL& localFile, const std::string& to, bool overwrite,
                                       SimpleCompletionHandler completionHandler) {
    if (refusedAsUploadSource(localFile, completionHandler)) return nullptr;
    const auto operation = FileOperationType::copy(localFile.absoluteString(), to);
    if (auto veto = fileOperationDelegate(); veto && !veto->fileProviderShouldStart(selfOperations(), operation))
        return nullptr;
    ErrorRef requestError;
    const auto request = makeRequest(operation, overwrite, {}, requestError);
    if (!request) {
        failLater(operation, requestError, std::move(completionHandler));
        return nullptr;
    }
    if (!overwrite) return upload_file(to, *request, localFile, operation, std::move(completionHandler));
    auto progress = uploadProgress(to, fileSize(localFile), operation, completionHandler);
    if (!progress) return nullptr;
    afterOverwriteCheck(to, overwrite, *request, operation, {}, progress, completionHandler,
                        [to, localFile, progress, operation, completionHandler](HTTPFileProvider& self,
                                                                                const platform::URLRequest& request) {
                            self.sendFile(to, request, localFile, progress, operation, completionHandler);
                        });
    return progress;
}

ProgressRef HTTPFileProvider::writeContents(const std::string& path, const std::optional<Data>& contents, bool,
                                            bool overwrite, SimpleCompletionHandler completionHandler) {
    const auto operation = FileOperationType::modify(path);
    if (auto veto = fileOperationDelegate(); veto && !veto->fileProviderShouldStart(selfOperations(), operation))
        return nullptr;
    Data data = contents.value_or(Data{});
    platform::ValueDictionary attributes;
    attributes[platform::URLResourceKey::contentModificationDateKey] = platform::Value(platform::Date());
    ErrorRef requestError;
    const auto request = makeRequest(operation, overwrite, attributes, requestError);
    if (!request) {
        failLater(operation, requestError, std::move(completionHandler));
        return nullptr;
    }
    const auto size = static_cast<int64_t>(data.size());
    if (!overwrite)
        return upload(path, *request, platform::InputStream::make(std::move(data)), size, operation, std::move(completionHandler));
    auto progress = uploadProgress(path, size, operation, completionHandler);
    if (!progress) return nullptr;
    afterOverwriteCheck(path, overwrite, *request, operation, attributes, progress, completionHandler,
                        [path, data = std::move(data), progress, operation, completionHandler](
                            HTTPFileProvider& self, const platform::URLRequest& request) {
                            auto task = self.session()->uploadTask(request, platform::InputStream::make(data));
                            self.upload_task(path, progress, task, operation, completionHandler);
                        });
    return progress;
}

} // namespace RiridOzizevud
