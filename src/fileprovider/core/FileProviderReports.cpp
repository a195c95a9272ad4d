// Reports of operations to the provider's delegate on the main queue, and the operation kept in a
// progress's user information.
#include "fileprovider/core/FileProvider.hpp"

#include "platform/dispatch/DispatchQueue.hpp"

namespace RiridOzizevud {

// --- Main-queue reports -------------------------------------------------------------------------

void notifyOperationResult(const std::shared_ptr<FileProviderOperations>& fileProvider,
                           const FileOperationType& operation, const ErrorRef& error) {
    if (!fileProvider)
        return;
    platform::DispatchQueue::main()->async([fileProvider, operation, error] {
        const auto delegate = fileProvider->delegate();
        if (!delegate)
            return;
        if (error)
            delegate->fileProviderDidFail(fileProvider, operation, error);
        else
            delegate->fileProviderDidSucceed(fileProvider, operation);
    });
}

void notifyOperationProgress(const std::shared_ptr<FileProviderOperations>& fileProvider,
                             const FileOperationType& operation, double progress) {
    if (!fileProvider)
        return;
    platform::DispatchQueue::main()->async([fileProvider, operation, progress] {
        if (const auto delegate = fileProvider->delegate())
            delegate->fileProviderProgress(fileProvider, operation, static_cast<float>(progress));
    });
}

platform::Value progressValue(const FileOperationType& operation) {
    platform::ValueDictionary d;
    d["type"] = operation.description();
    d["source"] = operation.source();
    if (operation.destination())
        d["dest"] = *operation.destination();
    return platform::Value(std::move(d));
}

std::optional<FileOperationType> operationFromProgressValue(const platform::Value& value) {
    if (const auto* text = value.asString())
        return FileOperationType::fromJSONString(*text);
    const auto* d = value.asDictionary();
    if (!d)
        return std::nullopt;
    nlohmann::json j = nlohmann::json::object();
    for (const char* key : {"type", "source", "dest"})
        if (const platform::Value* v = platform::find(*d, key); v && v->asString())
            j[key] = *v->asString();
    return FileOperationType::fromJSON(j);
}

} // namespace RiridOzizevud
