// HTTPFileProvider's byte-range sinks and ranged reads: an answer judged by its status, cut to
// the asked range, written into a stream or handed on piece by piece.
#include "fileprovider/core/HTTPFileProvider.hpp"
#include "fileprovider/core/HTTPFileProviderHelpers.hpp"

#include "fileprovider/core/PlatformExtensions.hpp"
#include "fileprovider/core/RequestHeaders.hpp"
#include "platform/net/URLResponse.hpp"

#include <algorithm>
#include <cerrno>
#include <span>

namespace RiridOzizevud {

namespace {

using httpprovider::call;
using httpprovider::kErrorBodyLimit;
using platform::statusOf;

// Memory sink of a ranged read.
class MemorySink : public platform::OutputStream {
public:
    void open() override {}
    void close() override {}
    std::ptrdiff_t write(const uint8_t* bytes, std::size_t length) override {
        std::lock_guard lock(mutex_);
        data_.insert(data_.end(), bytes, bytes + length);
        return static_cast<std::ptrdiff_t>(length);
    }
    bool hasSpaceAvailable() const override { return true; }
    Data data() const {
        std::lock_guard lock(mutex_);
        return data_;
    }

private:
    mutable std::mutex mutex_;
    Data data_;
};

// The first and last byte a request's "Range: bytes=first-last" asks for; last -1 for "first-".
std::optional<std::pair<int64_t, int64_t>> requestedRange(const platform::URLRequest& request) {
    const auto range = request.value("Range");
    if (!range || range->rfind("bytes=", 0) != 0) return std::nullopt;
    const std::string spec = range->substr(6);
    const auto dash = spec.find('-');
    if (dash == std::string::npos || dash == 0 || spec.find(',') != std::string::npos) return std::nullopt;
    try {
        const int64_t first = std::stoll(spec.substr(0, dash));
        const int64_t last = dash + 1 < spec.size() ? std::stoll(spec.substr(dash + 1)) : -1;
        if (first < 0 || (last >= 0 && last < first)) return std::nullopt;
        return std::make_pair(first, last);
    } catch (...) {
        return std::nullopt;
    }
}

// Where a transfer's answer stands: its status, and the error page collected instead of the body.
struct AnswerState {
    int status = 0;
    bool failed = false;
    Data errorBody;
    bool reported = false;
    // A server that ignored the Range sends the whole file (200): what is skipped and kept of it.
    std::optional<std::pair<int64_t, int64_t>> range;
    int64_t skip = 0;
    int64_t left = -1;
    // The range arrived whole; the rest of the answer is not waited for.
    bool rangeComplete = false;
};

// The answer's status, judged when its response arrives (which is then passed on).
std::shared_ptr<AnswerState> judgedAnswer(const std::string& sessionDescription, uint64_t taskIdentifier,
                                          const platform::URLRequest& request, ResponseHandler responseHandler) {
    auto state = std::make_shared<AnswerState>();
    state->range = requestedRange(request);
    setTaskResponseHandler(sessionDescription, taskIdentifier,
                           [state, responseHandler = std::move(responseHandler)](std::shared_ptr<const platform::URLResponse> response) {
                               state->status = statusOf(response);
                               state->failed = state->status >= 300;
                               if (state->range && state->status == 200) {
                                   state->skip = state->range->first;
                                   state->left = state->range->second >= 0 ? state->range->second - state->range->first + 1 : -1;
                               }
                               call(responseHandler, response);
                           });
    return state;
}

// The part of a piece that belongs to the asked range (all of it for a 206 or an unranged answer),
// as a view: pieces pass through here at the stream's full rate, so they are not copied.
std::span<const uint8_t> partInRange(AnswerState& state, const Data& piece) {
    std::size_t begin = 0;
    if (state.skip > 0) {
        begin = static_cast<std::size_t>(std::min<int64_t>(state.skip, static_cast<int64_t>(piece.size())));
        state.skip -= static_cast<int64_t>(begin);
    }
    std::size_t end = piece.size();
    if (state.left >= 0) {
        end = begin + static_cast<std::size_t>(std::min<int64_t>(state.left, static_cast<int64_t>(end - begin)));
        state.left -= static_cast<int64_t>(end - begin);
        state.rangeComplete = state.left == 0;
    }
    return std::span<const uint8_t>(piece).subspan(begin, end - begin);
}

// A piece of an answer whose status failed is kept (up to a bound) for the error, never passed on.
bool keptAsErrorPage(AnswerState& state, const Data& piece) {
    if (!state.failed) return false;
    if (state.errorBody.size() < kErrorBodyLimit) state.errorBody.insert(state.errorBody.end(), piece.begin(), piece.end());
    return true;
}

// The fraction received so far, when the answer said how much is coming.
void reportReceived(const std::shared_ptr<HTTPFileProvider>& provider, const std::shared_ptr<platform::URLSessionTask>& task,
                    const FileOperationType& operation) {
    if (!task) return;
    const int64_t expected = task->countOfBytesExpectedToReceive();
    if (expected > 0)
        dispatchToMainQueue(provider, operation, static_cast<double>(task->countOfBytesReceived()) / static_cast<double>(expected));
}

} // namespace

ProgressRef HTTPFileProvider::download_progressive(const std::string& path, const platform::URLRequest& request,
                                                   const FileOperationType& operation, ResponseHandler responseHandler,
                                                   std::function<void(const Data&)> progressHandler,
                                                   SimpleCompletionHandler completionHandler) {
    auto self = std::dynamic_pointer_cast<HTTPFileProvider>(FileProviderBasic::shared_from_this());
    auto progress = platform::Progress::make(-1);
    label(progress, operation);
    auto task = session()->dataTask(request);
    const std::string description = session()->sessionDescription().value_or("");
    const uint64_t id = task->taskIdentifier();
    auto state = judgedAnswer(description, id, request, std::move(responseHandler));
    std::weak_ptr<platform::URLSessionTask> weakTask = task;
    setTaskDataHandler(description, id, [self, weakTask, state, operation, progressHandler](const Data& piece) {
        if (state->rangeComplete || keptAsErrorPage(*state, piece)) return;
        auto task = weakTask.lock();
        reportReceived(self, task, operation);
        const auto part = partInRange(*state, piece);
        if (part.size() == piece.size()) {
            if (!piece.empty()) call(progressHandler, piece);
        } else if (!part.empty()) {
            call(progressHandler, Data(part.begin(), part.end()));
        }
        if (state->rangeComplete && task) task->cancel();
    });
    setTaskCompletionHandler(description, id, [self, state, path, progress, operation, completionHandler](ErrorRef error) {
        ErrorRef failure = state->rangeComplete ? nullptr : error;
        if (!failure && state->failed) failure = self->guardedServerError(state->status, path, state->errorBody);
        if (failure) progress->cancel();
        call(completionHandler, failure);
        notifyOperationResult(self, operation, failure);
    });
    startObserved(progress, task, operation, SessionDelegate::ObserveKind::download);
    return progress;
}

ProgressRef HTTPFileProvider::download(const std::string& path, const platform::URLRequest& request,
                                       const FileOperationType& operation, ResponseHandler responseHandler,
                                       std::shared_ptr<platform::OutputStream> stream, SimpleCompletionHandler completionHandler) {
    auto self = std::dynamic_pointer_cast<HTTPFileProvider>(FileProviderBasic::shared_from_this());
    auto progress = platform::Progress::make(-1);
    label(progress, operation);
    auto task = session()->dataTask(request);
    const std::string description = session()->sessionDescription().value_or("");
    const uint64_t id = task->taskIdentifier();
    auto state = judgedAnswer(description, id, request, std::move(responseHandler));
    if (stream) stream->open();
    std::weak_ptr<platform::URLSessionTask> weakTask = task;
    setTaskDataHandler(description, id, [self, weakTask, state, stream, operation, completionHandler](const Data& piece) {
        if (piece.empty() || state->reported || state->rangeComplete || keptAsErrorPage(*state, piece)) return;
        auto task = weakTask.lock();
        reportReceived(self, task, operation);
        const auto part = partInRange(*state, piece);
        ErrorRef failure;
        if (!stream) failure = platform::POSIXError::make(EBADF);
        else if (!part.empty()) {
            try {
                RiridOzizevud::write(*stream, part);
            } catch (...) {
                failure = stream->streamError();
                if (!failure) failure = platform::errorFromException(std::current_exception());
            }
        }
        if (failure) {
            // Reported here, once; the cancellation that follows says nothing more.
            state->reported = true;
            call(completionHandler, failure);
            notifyOperationResult(self, operation, failure);
            if (task) task->cancel();
            return;
        }
        if (state->rangeComplete && task) task->cancel();
    });
    setTaskCompletionHandler(description, id, [self, state, stream, path, progress, operation, completionHandler](ErrorRef error) {
        if (stream) stream->close();
        ErrorRef failure = state->rangeComplete ? nullptr : error;
        if (!failure && state->failed) failure = self->guardedServerError(state->status, path, state->errorBody);
        if (failure) progress->cancel();
        if (state->reported) return;
        state->reported = true;
        call(completionHandler, failure);
        notifyOperationResult(self, operation, failure);
    });
    startObserved(progress, task, operation, SessionDelegate::ObserveKind::download);
    return progress;
}

ProgressRef HTTPFileProvider::contents(const std::string& path, int64_t offset, int64_t length,
                                       DataCompletionHandler completionHandler) {
    if (length == 0 || offset < 0) {
        later([completionHandler] { call(completionHandler, Data{}, nullptr); });
        return nullptr;
    }
    const auto operation = FileOperationType::fetch(path);
    ErrorRef requestError;
    auto request = makeRequest(operation, false, {}, requestError);
    if (!request) {
        later([completionHandler, requestError] { call(completionHandler, std::nullopt, requestError); });
        return nullptr;
    }
    setRangeHeader(*request, offset, length);
    auto sink = std::make_shared<MemorySink>();
    return download(path, *request, operation, nullptr, sink, [sink, completionHandler](ErrorRef error) {
        if (error) call(completionHandler, std::nullopt, error);
        else call(completionHandler, sink->data(), nullptr);
    });
}

ProgressRef HTTPFileProvider::contents(const std::string& path, int64_t offset, int64_t length,
                                       ResponseHandler responseHandler, ProgressDataHandler progressHandler,
                                       SimpleCompletionHandler completionHandler) {
    if (offset < 0) {
        later([completionHandler] { call(completionHandler, platform::POSIXError::make(EINVAL)); });
        return nullptr;
    }
    const auto operation = FileOperationType::fetch(path);
    ErrorRef requestError;
    auto request = makeRequest(operation, false, {}, requestError);
    if (!request) {
        later([completionHandler, requestError] { call(completionHandler, requestError); });
        return nullptr;
    }
    // Length 0 reads to the end: from the offset, so that every position handed on is true.
    setRangeHeader(*request, offset, length == 0 ? -1 : length);
    // Touched on the operation queue only: where the next piece starts (download_progressive
    // hands on only what lies in the range).
    auto position = std::make_shared<int64_t>(offset);
    auto onPiece = [position, progressHandler](const Data& piece) {
        call(progressHandler, *position, piece);
        *position += static_cast<int64_t>(piece.size());
    };
    return download_progressive(path, *request, operation, std::move(responseHandler), onPiece, [completionHandler](ErrorRef error) {
        call(completionHandler, error);
    });
}

} // namespace RiridOzizevud
