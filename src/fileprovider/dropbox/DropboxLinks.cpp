// Temporary links and server-side copies of DropboxFileProvider: "files/get_temporary_link",
// "files/save_url" and "files/copy_reference/save".
#include "fileprovider/dropbox/DropboxFileProvider.hpp"

#include "platform/data/JSON.hpp"

#include <nlohmann/json.hpp>

namespace RiridOzizevud {

namespace {

using Json = nlohmann::json;
using platform::URL;

constexpr platform::TimeInterval kTemporaryLinkLifetime = 4 * 60 * 60;

} // namespace

// --- Temporary links and server-side copies ------------------------------------------------------

void DropboxFileProvider::publicLink(const std::string& to,
                                     std::function<void(std::optional<URL> link, FileObjectRef attribute,
                                                        std::optional<platform::Date> expiration, ErrorRef error)>
                                         completionHandler) {
    auto provider = self();
    const URL fileURL = url(to);
    singlePathCall("files/get_temporary_link", to, Json::object(),
                   [provider, to, fileURL, completionHandler = std::move(completionHandler)](
                       std::optional<Data> data, std::shared_ptr<const platform::URLResponse> response, ErrorRef error) {
                       if (const ErrorRef failure = provider->answerError(response, error, to, data)) {
                           completionHandler(std::nullopt, nullptr, std::nullopt, failure);
                           return;
                       }
                       const auto json = platform::JSON::object(data);
                       std::optional<URL> link;
                       FileObjectRef entry;
                       if (json) {
                           if (const auto text = platform::JSON::lenient<std::string>(*json, "link"))
                               if (auto parsed = URL::parse(*text); parsed && parsed->scheme())
                                   link = std::move(parsed);
                           if (const Json* metadata = platform::JSON::member(*json, "metadata"))
                               entry = DropboxFileObject::make(*metadata);
                       }
                       if (!link) {
                           completionHandler(std::nullopt, entry, std::nullopt, unreadableAnswer(fileURL));
                           return;
                       }
                       completionHandler(link, entry, platform::Date::now() + kTemporaryLinkLifetime, nullptr);
                   });
}

void DropboxFileProvider::copyItem(
    const URL& remoteURL, const std::string& to,
    std::function<void(std::optional<std::string> jobIdentifier, FileObjectRef attribute, ErrorRef error)>
        completionHandler) {
    if (remoteURL.isFileURL()) {
        if (completionHandler)
            completionHandler(std::nullopt, nullptr, platform::URLError::make(platform::URLError::badURL, remoteURL));
        return;
    }
    auto provider = self();
    const URL fileURL = url(to);
    const Json body = {{"path", *normalizedPath(to)}, {"url", remoteURL.absoluteString()}};
    auto task = session()->dataTask(
        rpcRequest("files/save_url", body),
        [provider, to, fileURL, completionHandler = std::move(completionHandler)](
            std::optional<Data> data, std::shared_ptr<const platform::URLResponse> response, ErrorRef error) {
            if (!completionHandler)
                return;
            if (const ErrorRef failure = provider->answerError(response, error, to, data)) {
                completionHandler(std::nullopt, nullptr, failure);
                return;
            }
            const auto json = platform::JSON::object(data);
            std::optional<std::string> job;
            FileObjectRef entry;
            if (json) {
                job = platform::JSON::lenient<std::string>(*json, "async_job_id");
                if (const Json* metadata = platform::JSON::member(*json, "metadata"))
                    entry = DropboxFileObject::make(*metadata);
            }
            if (!job && !entry) {
                completionHandler(std::nullopt, nullptr, unreadableAnswer(fileURL));
                return;
            }
            completionHandler(job, entry, nullptr);
        });
    task->resume();
}

void DropboxFileProvider::copyItemReference(const std::string& reference, const std::string& to,
                                            SimpleCompletionHandler completionHandler) {
    auto provider = self();
    const Json body = {{"path", *normalizedPath(to)}, {"copy_reference", reference}};
    auto task = session()->dataTask(
        rpcRequest("files/copy_reference/save", body),
        [provider, to, completionHandler = std::move(completionHandler)](
            std::optional<Data> data, std::shared_ptr<const platform::URLResponse> response, ErrorRef error) {
            if (completionHandler)
                completionHandler(provider->answerError(response, error, to, data));
        });
    task->resume();
}

} // namespace RiridOzizevud
