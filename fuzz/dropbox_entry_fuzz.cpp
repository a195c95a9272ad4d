// fuzz-sources: src/fileprovider/dropbox/DropboxFileObject.cpp src/fileprovider/dropbox/FileProviderDropboxError.cpp src/fileprovider/core/FileObject.cpp src/fileprovider/core/FileProviderHTTPError.cpp src/fileprovider/core/RFCStandards.cpp src/platform/data/JSON.cpp src/platform/data/Value.cpp src/platform/net/URL.cpp src/platform/text/CharacterSet.cpp src/platform/base/Error.cpp src/platform/data/Date.cpp src/platform/data/Predicate.cpp src/platform/data/Base64.cpp src/fileprovider/core/PlatformExtensions.cpp
// Any bytes as a Dropbox answer: an entry read from it has the name and path the object gave, and
// an error body yields at most a description.
#include "fileprovider/dropbox/DropboxFileObject.hpp"
#include "fileprovider/dropbox/FileProviderDropboxError.hpp"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <string>

using namespace RiridOzizevud;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    (void)dropboxServerDescription(platform::Data(data, data + size));
    const auto json = nlohmann::json::parse(text, nullptr, false);
    if (json.is_discarded()) return 0;
    if (const auto entry = DropboxFileObject::make(json)) {
        const auto& source = json.contains("name") ? json : json.at("metadata");
        if (entry->name() != source.at("name").get<std::string>()) __builtin_trap();
        if (entry->path() != source.at("path_display").get<std::string>()) __builtin_trap();
        (void)entry->predicateAttributes();
        (void)entry->serverTime();
    }
    if (json.is_object() && json.contains("entries") && json["entries"].is_array())
        for (const auto& element : json["entries"]) (void)DropboxFileObject::make(element);
    return 0;
}
