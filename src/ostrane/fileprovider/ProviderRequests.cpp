// The provider requests a FileProviderClient waits for, each bounded by a time limit.
#include "ostrane/fileprovider/ProviderRequests.hpp"

#include "ostrane/fileprovider/ProviderAnswer.hpp"

#include "fileprovider/core/FileProvider.hpp"
#include "platform/fs/FilePlacement.hpp"
#include "platform/dispatch/Progress.hpp"

namespace Ostrane::bridge {

namespace {

OstraneErrorRef notADirectoryError() { return OstraneError::make("Not a directory"); }

using Attributes = std::pair<FileObjectRef, platform::ErrorRef>;

}  // namespace

OstraneErrorRef timedOutError() { return OstraneError::make("The request timed out."); }

OstraneErrorRef flattened(const platform::ErrorRef& error) {
    return OstraneError::make(error ? error->localizedDescription() : "Failed to connect");
}

std::pair<FileObjectRef, OstraneErrorRef> attributesOf(const std::shared_ptr<FileProvider>& provider,
                                                      const std::string& path, std::chrono::milliseconds limit) {
    auto answer = std::make_shared<ProviderAnswer<Attributes>>();
    provider->attributesOfItem(path, [answer](FileObjectRef entry, platform::ErrorRef error) {
        answer->set({std::move(entry), std::move(error)});
    });
    auto result = answer->wait(limit);
    if (!result) return {nullptr, timedOutError()};
    if (result->second || !result->first) return {nullptr, flattened(result->second)};
    return {std::move(result->first), nullptr};
}

std::pair<std::optional<std::vector<FileObjectRef>>, OstraneErrorRef> listDirectory(
    const std::shared_ptr<FileProvider>& provider, const std::string& path, std::chrono::milliseconds limit) {
    using ListAnswer = std::pair<std::vector<FileObjectRef>, platform::ErrorRef>;
    auto answer = std::make_shared<ProviderAnswer<ListAnswer>>();
    provider->contentsOfDirectory(path, [answer](std::vector<FileObjectRef> files, platform::ErrorRef error) {
        answer->set({std::move(files), std::move(error)});
    });
    auto result = answer->wait(limit);
    if (!result) return {std::nullopt, timedOutError()};
    if (result->second) return {std::nullopt, flattened(result->second)};
    if (result->first.empty()) {
        auto [entry, error] = attributesOf(provider, path, limit);
        if (entry && !entry->isDirectory()) return {std::nullopt, notADirectoryError()};
    }
    return {std::move(result->first), nullptr};
}

OstraneErrorRef downloadInPlace(const std::shared_ptr<FileProvider>& provider, const std::string& file,
                                std::int64_t size, const std::string& destination, std::chrono::milliseconds limit) {
    auto progressive = std::dynamic_pointer_cast<RiridOzizevud::FileProviderReadWriteProgressive>(provider);
    if (!progressive)
        return OstraneError::make("The provider cannot stream a download");
    struct Sink {
        explicit Sink(std::string destination) : file(std::move(destination)) {}
        platform::PlacementFile file;
        OstraneErrorRef failure;  // written once, by the piece handler, before it answers
    };
    std::shared_ptr<Sink> sink;
    try {
        sink = std::make_shared<Sink>(destination);
    } catch (...) {
        return flattened(platform::errorFromException(std::current_exception()));
    }
    auto answer = std::make_shared<ProviderAnswer<platform::ErrorRef>>();
    const auto progress = progressive->contents(
        file, 0, -1, nullptr,
        [sink, answer](std::int64_t position, const platform::Data& piece) {
            // One piece at a time, in order, on the provider's operation queue.
            if (sink->failure)
                return;
            try {
                if (position != sink->file.size())
                    throw platform::Exception(platform::POSIXError::make(EIO, sink->file.destination()));
                sink->file.write(piece.data(), piece.size());
            } catch (...) {
                sink->failure = flattened(platform::errorFromException(std::current_exception()));
                answer->set(nullptr);
            }
        },
        [answer](platform::ErrorRef error) { answer->set(std::move(error)); });
    // A transfer may take long; it is given up only when it stops moving.
    const auto error = answer->wait(limit, progress);
    if (!error) {
        if (progress)
            progress->cancel();
        return timedOutError();
    }
    if (*error || sink->failure) {
        if (progress)
            progress->cancel();
        return sink->failure ? sink->failure : flattened(*error);
    }
    if (size >= 0 && sink->file.size() != size)
        return OstraneError::make("The server sent " + std::to_string(sink->file.size()) + " of " +
                                  std::to_string(size) + " bytes");
    try {
        sink->file.place(true);
    } catch (...) {
        return flattened(platform::errorFromException(std::current_exception()));
    }
    return nullptr;
}

}  // namespace Ostrane::bridge
