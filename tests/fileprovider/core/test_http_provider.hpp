// The smallest concrete HTTP provider: operations mapped onto the methods the loopback fake server
// understands (create POST, copy POST, move PATCH, remove DELETE, modify and uploads PUT, reads GET),
// a listing that pages through "GET <dir>?page=<token>" lines "name<TAB>size<TAB>next", and an error
// type of its own. Plus a delegate that records what the provider tells it.
#pragma once

#include "fileprovider/core/HTTPFileProvider.hpp"
#include "fileprovider/core/RequestHeaders.hpp"
#include "platform/dispatch/Progress.hpp"
#include "support/Wait.hpp"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace fptest {

using namespace RiridOzizevud;

class TestHTTPError : public FileProviderHTTPError {
public:
    using FileProviderHTTPError::FileProviderHTTPError;
};

class TestHTTPProvider : public HTTPFileProvider {
public:
    static std::string staticType() { return "TestHTTP"; }

    static std::shared_ptr<TestHTTPProvider> make(const std::string& base,
                                                  std::optional<platform::URLCredential> credential = std::nullopt) {
        return std::shared_ptr<TestHTTPProvider>(new TestHTTPProvider(platform::URL::parse(base), std::move(credential)));
    }

    std::atomic<int64_t> maxUpload{std::numeric_limits<int64_t>::max()};
    std::atomic<double> timeout{platform::URLRequest::defaultTimeoutInterval};

    int64_t maxUploadSimpleSupported() const override { return maxUpload.load(); }

    platform::URLRequest request(const FileOperationType& op, bool overwrite, const platform::ValueDictionary&) override {
        auto make = [&](const std::string& path, const std::string& method) {
            platform::URLRequest r(url(path));
            r.httpMethod = method;
            r.timeoutInterval = timeout.load();
            r.setValue(overwrite ? "T" : "F", "Overwrite");
            return r;
        };
        const std::string& src = op.source();
        const std::string dst = op.destination().value_or("");
        switch (op.kind()) {
        case FileOperationType::Kind::create: return make(src, "POST");
        case FileOperationType::Kind::copy:
            if (src.rfind("file://", 0) == 0) return make(dst, "PUT");
            if (dst.rfind("file://", 0) == 0) return make(src, "GET");
            {
                auto r = make(src, "POST");
                r.setValue(url(dst).absoluteString(), "Destination");
                return r;
            }
        case FileOperationType::Kind::move: {
            auto r = make(src, "PATCH");
            r.setValue(url(dst).absoluteString(), "Destination");
            return r;
        }
        case FileOperationType::Kind::remove: return make(src, "DELETE");
        case FileOperationType::Kind::modify: return make(src, "PUT");
        case FileOperationType::Kind::fetch: return make(src, "GET");
        case FileOperationType::Kind::link: break;
        }
        platform::throwError(platform::POSIXError::make(ENOTSUP));
    }

    using HTTPFileProvider::serverError;
    std::shared_ptr<const FileProviderHTTPError> serverError(FileProviderHTTPErrorCode code, const std::optional<std::string>& path,
                                                             const std::optional<Data>& data) override {
        return std::make_shared<TestHTTPError>("TestHTTP", code, path.value_or(""),
                                               data ? std::optional<std::string>(std::string(data->begin(), data->end())) : std::nullopt);
    }

    /// Statuses without a case keep this provider's error type too.
    std::shared_ptr<const FileProviderHTTPError> serverError(int status, const std::optional<std::string>& path,
                                                             const std::optional<Data>& data) override {
        if (const auto code = fromRawValue<FileProviderHTTPErrorCode>(status)) return serverError(*code, path, data);
        return std::make_shared<TestHTTPError>("TestHTTP", status, path.value_or(""),
                                               data ? std::optional<std::string>(std::string(data->begin(), data->end())) : std::nullopt);
    }

    std::shared_ptr<const FileProviderHTTPError> multiStatusError(const FileOperationType& op, const Data& data) override {
        const std::string text(data.begin(), data.end());
        if (text.find("ITEM-FAILED") == std::string::npos) return nullptr;
        return std::make_shared<TestHTTPError>("TestHTTP", FileProviderHTTPErrorCode::locked, op.source(), text);
    }

    /// Pages of "name\tsize" lines; a line "next\t<token>" asks for another page.
    void contentsOfDirectory(const std::string& path, FilesCompletionHandler completionHandler) override {
        listPages(path, std::move(completionHandler));
    }

    ProgressRef listPages(const std::string& path, FilesCompletionHandler completionHandler,
                          std::function<std::optional<platform::URLRequest>(const std::optional<std::string>&)> requests = nullptr) {
        auto base = url(path);
        if (!requests) {
            requests = [base, this](const std::optional<std::string>& token) -> std::optional<platform::URLRequest> {
                auto u = platform::URL::parse(base.absoluteString() + "?page=" + token.value_or("first"));
                platform::URLRequest r(u);
                r.timeoutInterval = timeout.load();
                return r;
            };
        }
        return paginated(path, requests,
                         [path](const std::optional<Data>& data, const ProgressRef&) -> Page {
                             std::vector<FileObjectRef> files;
                             std::optional<std::string> next;
                             std::istringstream in(data ? std::string(data->begin(), data->end()) : "");
                             std::string line;
                             while (std::getline(in, line)) {
                                 const auto tab = line.find('\t');
                                 if (tab == std::string::npos) continue;
                                 const std::string name = line.substr(0, tab);
                                 if (name == "next") {
                                     next = line.substr(tab + 1);
                                     continue;
                                 }
                                 if (name == "fail") return {files, platform::POSIXError::make(EPROTO), std::nullopt};
                                 files.push_back(std::make_shared<FileObject>(std::nullopt, name, path + "/" + name));
                             }
                             return {files, nullptr, next};
                         },
                         std::move(completionHandler));
    }

    /// What attributesOfItem answers (on dispatch_queue) when set before use; the base's
    /// abstract-member error otherwise.
    std::function<std::pair<FileObjectRef, ErrorRef>(const std::string& path)> attributes;

    void attributesOfItem(const std::string& path, FileCompletionHandler completionHandler) override {
        if (!attributes) return HTTPFileProvider::attributesOfItem(path, std::move(completionHandler));
        dispatch_queue()->async([answer = attributes(path), completionHandler] { completionHandler(answer.first, answer.second); });
    }

    void storageProperties(std::function<void(VolumeObjectRef)> completionHandler) override {
        dispatch_queue()->async([completionHandler] { completionHandler(nullptr); });
    }

private:
    TestHTTPProvider(std::optional<platform::URL> base, std::optional<platform::URLCredential> credential)
        : HTTPFileProvider(staticType(), std::move(base), std::move(credential), nullptr) {}
};

/// Records the provider's reports (which arrive on the main queue).
class RecordingProviderDelegate : public FileProviderDelegate {
public:
    struct Report {
        FileOperationType operation;
        ErrorRef error;  // nullptr: success
    };
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Report> reports;
    std::vector<float> fractions;

    void fileProviderDidSucceed(const std::shared_ptr<FileProviderOperations>&, const FileOperationType& op) override {
        std::lock_guard lock(mutex);
        reports.push_back({op, nullptr});
        changed.notify_all();
    }
    void fileProviderDidFail(const std::shared_ptr<FileProviderOperations>&, const FileOperationType& op, const ErrorRef& e) override {
        std::lock_guard lock(mutex);
        reports.push_back({op, e});
        changed.notify_all();
    }
    void fileProviderProgress(const std::shared_ptr<FileProviderOperations>&, const FileOperationType&, float progress) override {
        std::lock_guard lock(mutex);
        fractions.push_back(progress);
    }
    bool waitReports(size_t count) {
        std::unique_lock lock(mutex);
        return ostrane_test::waitUntil(changed, lock, [&] { return reports.size() >= count; });
    }
    std::vector<Report> all() {
        std::lock_guard lock(mutex);
        return reports;
    }
};

/// A completion that can be waited for, and that notices being called twice. The handler keeps
/// its state alive, so a late call after the test cannot touch freed memory.
template <class... Args>
class Awaited {
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        int calls = 0;
        std::tuple<Args...> result;
    };
    std::shared_ptr<State> s_ = std::make_shared<State>();

public:
    std::function<void(Args...)> handler() {
        auto s = s_;
        return [s](Args... args) {
            std::lock_guard lock(s->mutex);
            ++s->calls;
            s->result = std::make_tuple(args...);
            s->changed.notify_all();
        };
    }
    /// True once called; false when `limit` passed first.
    bool wait(std::chrono::steady_clock::duration limit = ostrane_test::hangLimit) {
        std::unique_lock lock(s_->mutex);
        return ostrane_test::waitUntil(s_->changed, lock, [&] { return s_->calls > 0; }, limit);
    }
    int calls() {
        std::lock_guard lock(s_->mutex);
        return s_->calls;
    }
    std::tuple<Args...> result() {
        std::lock_guard lock(s_->mutex);
        return s_->result;
    }
};

}  // namespace fptest
