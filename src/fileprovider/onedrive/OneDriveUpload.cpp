// Uploads of OneDriveFileProvider: every upload goes through a Graph upload session, in chunks of
// at most 10 MiB that the server asks for one after another; only one chunk is in memory at a time.
#include "fileprovider/onedrive/OneDriveFileProvider.hpp"

#include "fileprovider/core/PlatformExtensions.hpp"
#include "fileprovider/core/RequestHeaders.hpp"
#include "platform/data/JSON.hpp"
#include "platform/net/URLResponse.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <limits>
#include <unistd.h>

namespace RiridOzizevud {

namespace {

using Json = nlohmann::json;
using platform::URL;
using platform::URLRequest;

using platform::statusOf;


std::optional<int64_t> decimal(std::string_view text) {
    int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// Error bodies are kept for the server's message only.
constexpr size_t kReplyLimit = 1 << 20;

} // namespace

struct OneDriveFileProvider::UploadState {
    std::weak_ptr<OneDriveFileProvider> provider;
    FileOperationType operation;
    std::string path;
    int64_t size = 0;
    ProgressRef progress;
    UploadDataProvider dataProvider;
    SimpleCompletionHandler completionHandler;
    std::optional<URL> uploadURL;
    std::atomic<bool> finished{false};

    UploadState(FileOperationType operation) : operation(std::move(operation)) {}

    /// The upload's one report: its completion, then the delegate.
    void finish(const ErrorRef& error) {
        if (finished.exchange(true))
            return;
        if (completionHandler)
            completionHandler(error);
        if (auto self = provider.lock())
            notifyOperationResult(self, operation, error);
    }
};

// --- Entry points --------------------------------------------------------------------------------

ProgressRef OneDriveFileProvider::copyItem(const URL& localFile, const std::string& to, bool overwrite,
                                           SimpleCompletionHandler completionHandler) {
    if (refusedAsUploadSource(localFile, completionHandler))
        return nullptr;
    const auto operation = FileOperationType::copy(localFile.absoluteString(), to);
    if (auto veto = fileOperationDelegate(); veto && !veto->fileProviderShouldStart(selfOperations(), operation))
        return nullptr;
    const int64_t size = fileSize(localFile);
    return createUploadSession(
        to, operation, size, overwrite,
        [localFile, to](int64_t lower, int64_t upper) { return readLocalFileRange(localFile, lower, upper, to); },
        std::move(completionHandler));
}

ProgressRef OneDriveFileProvider::writeContents(const std::string& path, const std::optional<Data>& contents, bool,
                                                bool overwrite, SimpleCompletionHandler completionHandler) {
    const auto operation = FileOperationType::modify(path);
    if (auto veto = fileOperationDelegate(); veto && !veto->fileProviderShouldStart(selfOperations(), operation))
        return nullptr;
    auto data = std::make_shared<const Data>(contents.value_or(Data{}));
    const auto size = static_cast<int64_t>(data->size());
    return createUploadSession(
        path, operation, size, overwrite,
        [data](int64_t lower, int64_t upper) { return sliceData(*data, lower, upper); }, std::move(completionHandler));
}

// --- Data providers ------------------------------------------------------------------------------

Data OneDriveFileProvider::readLocalFileRange(const URL& url, int64_t lower, int64_t upper, const std::string& path) {
    const int fd = ::open(url.path().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        platform::throwError(platform::CocoaError::make(platform::CocoaError::fileNoSuchFile, path));
    if (lower < 0 || ::lseek(fd, static_cast<off_t>(lower), SEEK_SET) != static_cast<off_t>(lower)) {
        ::close(fd);
        platform::throwError(platform::CocoaError::make(platform::CocoaError::fileReadTooLarge, path));
    }
    Data data(static_cast<size_t>(std::max<int64_t>(0, upper - lower)));
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::read(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ::close(fd);
            platform::throwError(platform::CocoaError::make(platform::CocoaError::fileReadUnknown, path));
        }
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    data.resize(done);
    return data;
}

Data OneDriveFileProvider::sliceData(const Data& data, int64_t lower, int64_t upper) {
    const auto count = static_cast<int64_t>(data.size());
    const int64_t from = std::clamp<int64_t>(lower, 0, count);
    const int64_t to = std::clamp<int64_t>(upper, from, count);
    return Data(data.begin() + from, data.begin() + to);
}

// --- Session -------------------------------------------------------------------------------------

ProgressRef OneDriveFileProvider::createUploadSession(const std::string& path, const FileOperationType& operation,
                                                      int64_t size, bool overwrite, UploadDataProvider dataProvider,
                                                      SimpleCompletionHandler completionHandler) {
    // A session takes no empty upload; the caller hears so instead of never hearing back.
    if (size <= 0) {
        failLater(operation, platform::URLError::make(platform::URLError::zeroByteResource, url(path)),
                  std::move(completionHandler));
        return nullptr;
    }
    auto state = std::make_shared<UploadState>(operation);
    state->provider = self();
    state->path = path;
    state->size = size;
    state->progress = platform::Progress::make(size);
    state->dataProvider = std::move(dataProvider);
    state->completionHandler = std::move(completionHandler);
    label(state->progress, operation);
    if (!overwrite) {
        openUploadSession(state, false);
        return state->progress;
    }
    // "replace" would put the file in a folder's place, and the folder's tree would go.
    std::weak_ptr<OneDriveFileProvider> weak = state->provider;
    checkOverwriteTarget(path, state->progress, [weak, state](ErrorRef refused, const OverwriteTarget& found) {
        auto provider = weak.lock();
        if (!refused && !provider)
            refused = platform::URLError::make(platform::URLError::cancelled);
        if (refused) {
            state->progress->cancel();
            state->finish(refused);
            return;
        }
        // Nothing was there: what appears meanwhile is not replaced either.
        provider->openUploadSession(state, !found.absent);
    });
    return state->progress;
}

void OneDriveFileProvider::openUploadSession(const std::shared_ptr<UploadState>& state, bool replace) {
    const std::string& path = state->path;
    URLRequest request = graphRequest(url(path, "createUploadSession"), "POST");
    setContentTypeHeader(request, ContentMIMEType("application/json"));
    const std::string body =
        platform::JSON::dump(Json{{"item", {{"@microsoft.graph.conflictBehavior", replace ? "replace" : "fail"}}}});
    request.httpBody = Data(body.begin(), body.end());
    const URL sessionURL = *request.url;

    auto task = session()->dataTask(
        request, [state, sessionURL](std::optional<Data> data, std::shared_ptr<const platform::URLResponse> response,
                                     ErrorRef error) {
            if (error) {
                state->finish(error);
                return;
            }
            auto self = state->provider.lock();
            if (!self) {
                state->finish(platform::URLError::make(platform::URLError::cancelled, sessionURL));
                return;
            }
            // An item in the way (overwrite false) or a refused token: the server's own error.
            if (const int status = statusOf(response); status >= 300) {
                state->finish(self->serverError(status, state->path, data));
                return;
            }
            std::optional<URL> uploadURL;
            if (const auto json = data ? platform::JSON::object(*data) : std::nullopt) {
                const Json* value = platform::JSON::member(*json, "uploadUrl");
                if (value && value->is_string())
                    uploadURL = URL::parse(value->get<std::string>());
            }
            if (!uploadURL) {
                state->finish(platform::URLError::make(platform::URLError::badServerResponse, sessionURL));
                return;
            }
            state->uploadURL = uploadURL;
            self->uploadChunk(state, std::nullopt, 0);
        });
    std::weak_ptr<platform::URLSessionTask> weakTask = task;
    state->progress->setCancellationHandler([weakTask] {
        if (auto t = weakTask.lock())
            t->cancel();
    });
    state->progress->setUserInfoObject(platform::Value(platform::Date()), startingTimeKey);
    task->resume();
}

// --- Chunks --------------------------------------------------------------------------------------

void OneDriveFileProvider::uploadChunk(std::shared_ptr<UploadState> state, std::optional<std::pair<int64_t, int64_t>> range,
                                       int64_t uploadedBytes) {
    const URL uploadURL = *state->uploadURL;
    if (state->progress->isCancelled()) {
        state->finish(platform::URLError::make(platform::URLError::cancelled, uploadURL));
        return;
    }
    const int64_t lower = range ? range->first : 0;
    // The server asked for nothing this upload can send.
    if (lower < 0 || lower >= state->size) {
        state->finish(platform::URLError::make(platform::URLError::badServerResponse, uploadURL));
        return;
    }
    const int64_t upper = std::min(range ? range->second : state->size, lower + std::min(uploadChunkLimit, state->size - lower));
    if (upper <= lower) {
        state->finish(platform::URLError::make(platform::URLError::badServerResponse, uploadURL));
        return;
    }

    URLRequest request(uploadURL, URLRequest::CachePolicy::useProtocolCachePolicy, 60);
    request.httpMethod = "PUT";
    authorize(request);
    setContentRangeHeader(request, lower, upper, state->size);

    Data chunk;
    ErrorRef readError;
    try {
        chunk = state->dataProvider(lower, upper);
    } catch (...) {
        readError = platform::errorFromException(std::current_exception());
    }
    // A file that shrank since its size was read would send fewer bytes than its range says.
    if (!readError && static_cast<int64_t>(chunk.size()) != upper - lower)
        readError = platform::URLError::make(platform::URLError::requestBodyStreamExhausted, uploadURL);
    if (readError) {
        later([state, readError] { state->finish(readError); });
        return;
    }
    const auto chunkBytes = static_cast<int64_t>(chunk.size());

    auto session = this->session();
    auto task = session->uploadTask(request, chunk);
    chunk.clear();
    chunk.shrink_to_fit();

    nlohmann::ordered_json description;
    description["type"] = state->operation.description();
    description["source"] = state->operation.source();
    if (const auto& destination = state->operation.destination())
        description["dest"] = *destination;
    description["uploadedBytes"] = uploadedBytes;
    description["totalBytes"] = chunkBytes;
    task->setTaskDescription(description.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));

    const std::string sessionDescription = session->sessionDescription().value_or("");
    const uint64_t id = task->taskIdentifier();
    auto reply = std::make_shared<Data>();
    setTaskDataHandler(sessionDescription, id, [reply](const Data& piece) {
        if (reply->size() < kReplyLimit)
            reply->insert(reply->end(), piece.begin(), piece.end());
    });
    std::weak_ptr<OneDriveFileProvider> weak = state->provider;
    std::weak_ptr<platform::URLSessionTask> weakTask = task;
    setTaskCompletionHandler(sessionDescription, id,
                             [weak, weakTask, state, reply, lower, upper, uploadedBytes](ErrorRef error) {
                                 auto self = weak.lock();
                                 auto task = weakTask.lock();
                                 const int status = task ? statusOf(task->response()) : 0;
                                 if (!self) {
                                     state->finish(error ? error : platform::URLError::make(platform::URLError::cancelled));
                                     return;
                                 }
                                 self->chunkReply(state, lower, upper, uploadedBytes, status, *reply, error);
                             });
    if (auto delegate = sessionDelegate())
        delegate->observerProgress(task, state->progress, SessionDelegate::ObserveKind::upload);
    // Replaces the previous chunk's handler; set after cancellation it runs at once.
    state->progress->setCancellationHandler([weakTask, weak, uploadURL] {
        if (auto t = weakTask.lock())
            t->cancel();
        if (auto self = weak.lock()) {
            URLRequest remove(uploadURL, URLRequest::CachePolicy::useProtocolCachePolicy, 60);
            remove.httpMethod = "DELETE";
            self->session()->dataTask(remove)->resume();
        }
    });
    state->progress->setUserInfoObject(platform::Value(platform::Date()), startingTimeKey);
    task->resume();
}

void OneDriveFileProvider::chunkReply(const std::shared_ptr<UploadState>& state, int64_t lower, int64_t upper,
                                      int64_t uploadedBytes, int status, const Data& body, ErrorRef error) {
    const URL uploadURL = *state->uploadURL;
    if (error) {
        state->progress->cancel();
        state->finish(error);
        return;
    }
    if (status >= 300) {
        state->finish(serverError(status, state->path, body));
        return;
    }
    const auto json = platform::JSON::object(body);
    if (!json) {
        state->finish(platform::URLError::make(platform::URLError::badServerResponse, uploadURL));
        return;
    }
    if (json->contains("error")) {
        state->finish(serverError(FileProviderHTTPErrorCode::badRequest, state->path, body));
        return;
    }
    const Json* ranges = platform::JSON::member(*json, "nextExpectedRanges");
    if (ranges && ranges->is_array() && !ranges->empty() && ranges->front().is_string()) {
        const int64_t confirmed = uploadedBytes + (upper - lower);
        const std::string first = ranges->front().get<std::string>();
        const size_t dash = first.find('-');
        const int64_t nextLower = decimal(std::string_view(first).substr(0, dash)).value_or(confirmed);
        int64_t nextUpper = std::numeric_limits<int64_t>::max();
        if (dash != std::string::npos) {
            // "a-b" is a closed range, as HTTP ranges are: b is the last byte asked for.
            if (const auto last = decimal(std::string_view(first).substr(dash + 1)))
                nextUpper = *last < std::numeric_limits<int64_t>::max() ? *last + 1 : *last;
        }
        // A server that asks again for what it has would keep the upload going for ever.
        if (nextLower <= lower) {
            state->finish(platform::URLError::make(platform::URLError::badServerResponse, uploadURL));
            return;
        }
        state->progress->setCompletedUnitCount(std::min(confirmed, state->size));
        uploadChunk(state, std::make_pair(nextLower, nextUpper), confirmed);
        return;
    }
    if (const Json* id = platform::JSON::member(*json, "id"); id && id->is_string()) {
        state->progress->setCompletedUnitCount(state->size);
        state->finish(nullptr);
        return;
    }
    state->finish(platform::URLError::make(platform::URLError::badServerResponse, uploadURL));
}

} // namespace RiridOzizevud
