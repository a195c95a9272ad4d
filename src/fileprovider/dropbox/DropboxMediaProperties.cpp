// Media properties of DropboxFileProvider: dimensions, location, date taken and duration of photos
// and videos, read from the media information of "files/get_metadata".
#include "fileprovider/dropbox/DropboxFileProvider.hpp"

#include "fileprovider/core/PlatformExtensions.hpp"
#include "fileprovider/core/RFCStandards.hpp"
#include "platform/data/JSON.hpp"
#include "platform/text/Strings.hpp"

#include <cmath>
#include <nlohmann/json.hpp>

namespace RiridOzizevud {

namespace {

using Json = nlohmann::json;

constexpr std::string_view propertyExtensions[] = {"jpg", "jpeg", "bmp", "gif", "png", "tif",
                                                   "tiff", "mp4", "mpg", "3gp", "mov", "avi"};

} // namespace

// --- Media properties ----------------------------------------------------------------------------

bool DropboxFileProvider::propertiesOfFileSupported(const std::string& path) {
    return hasExtension(path, propertyExtensions);
}

std::pair<platform::ValueDictionary, std::vector<std::string>> DropboxFileProvider::mediaProperties(const Json& metadata) {
    platform::ValueDictionary properties;
    std::vector<std::string> keys;
    auto add = [&](const std::string& key, std::string value) {
        properties[key] = std::move(value);
        keys.push_back(key);
    };
    if (!metadata.is_object())
        return {properties, keys};
    if (const Json* dimensions = platform::JSON::member(metadata, "dimensions")) {
        const auto height = platform::JSON::lenient<uint64_t>(*dimensions, "height");
        const auto width = platform::JSON::lenient<uint64_t>(*dimensions, "width");
        if (height && width)
            add("Dimensions", std::to_string(*width) + "x" + std::to_string(*height));
    }
    if (const Json* location = platform::JSON::member(metadata, "location")) {
        const auto latitude = platform::JSON::lenient<double>(*location, "latitude");
        const auto longitude = platform::JSON::lenient<double>(*location, "longitude");
        // A coordinate that cannot be written out leaves the label out, never half a location.
        const auto lat = latitude ? platform::shortDecimalText(*latitude, 5) : std::nullopt;
        const auto lon = longitude ? platform::shortDecimalText(*longitude, 5) : std::nullopt;
        if (lat && lon)
            add("Location", *lat + ", " + *lon);
    }
    if (const auto taken = platform::JSON::lenient<std::string>(metadata, "time_taken"))
        if (const auto date = dateFromRFCString(*taken))
            add("Date taken", (*date).localDateText());
    // Dropbox gives a video's duration in milliseconds.
    if (const auto duration = platform::JSON::lenient<uint64_t>(metadata, "duration"))
        add("Duration", formatted(static_cast<platform::TimeInterval>(*duration / 1000)));
    return {properties, keys};
}

ProgressRef DropboxFileProvider::propertiesOfFile(const std::string& path, PropertiesCompletionHandler completionHandler) {
    auto provider = self();
    singlePathCall("files/get_metadata", path, Json{{"include_media_info", true}},
                   [provider, path, completionHandler = std::move(completionHandler)](
                       std::optional<Data> data, std::shared_ptr<const platform::URLResponse> response, ErrorRef error) {
                       if (!completionHandler)
                           return;
                       if (const ErrorRef failure = provider->answerError(response, error, path, data)) {
                           completionHandler({}, {}, failure);
                           return;
                       }
                       platform::ValueDictionary properties;
                       std::vector<std::string> keys;
                       if (const auto json = platform::JSON::object(data))
                           if (const Json* info = platform::JSON::member(*json, "media_info"))
                               if (const Json* metadata = platform::JSON::member(*info, "metadata"))
                                   std::tie(properties, keys) = mediaProperties(*metadata);
                       completionHandler(std::move(properties), std::move(keys), nullptr);
                   });
    return nullptr;
}

} // namespace RiridOzizevud
