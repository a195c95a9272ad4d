#pragma once
// The provider requests a FileProviderClient waits for on its queue, each bounded by a time limit:
// an item's attributes, a folder's listing, and a download streamed into place.
#include "ostrane/OstraneError.hpp"
#include "fileprovider/core/FileObject.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace RiridOzizevud {
class FileProvider;
}

namespace Ostrane::bridge {

using RiridOzizevud::FileObjectRef;
using RiridOzizevud::FileProvider;

OstraneErrorRef timedOutError();
OstraneErrorRef flattened(const platform::ErrorRef& error);

/// The entry of a path, or the error (a time-out when the provider never answered).
std::pair<FileObjectRef, OstraneErrorRef> attributesOf(const std::shared_ptr<FileProvider>& provider,
                                                      const std::string& path, std::chrono::milliseconds limit);

/// The entries of a folder, or the error. A listing of a file is no folder's listing: WebDAV answers
/// it as an empty folder, so an empty answer is checked against the path's own kind.
std::pair<std::optional<std::vector<FileObjectRef>>, OstraneErrorRef> listDirectory(
    const std::shared_ptr<FileProvider>& provider, const std::string& path, std::chrono::milliseconds limit);

/// Streams a file into place at `destination` (replacing a file there, never a folder). The bytes
/// go, as they arrive, into a file beside the destination that has no name until it is whole: a
/// failure, or the end of the process, leaves nothing and keeps what was there before.
OstraneErrorRef downloadInPlace(const std::shared_ptr<FileProvider>& provider, const std::string& file,
                                std::int64_t size, const std::string& destination, std::chrono::milliseconds limit);

}  // namespace Ostrane::bridge
