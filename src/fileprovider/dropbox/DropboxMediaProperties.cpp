// Media properties of DropboxFileProvider: dimensions, location, date taken and duration of photos
// and videos, read from the media information of "files/get_metadata".
#include "fileprovider/dropbox/DropboxFileProvider.hpp"

#include "fileprovider/core/PlatformExtensions.hpp"
#include "fileprovider/core/RFCStandards.hpp"
#include "platform/data/JSON.hpp"

#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>

namespace RiridOzizevud {

namespace {

using Json = nlohmann::json;

constexpr std::string_view propertyExtensions[] = {"jpg", "jpeg", "bmp", "gif", "png", "tif",
                                                   "tiff", "mp4", "mpg", "3gp", "mov", "avi"};

/// A decimal text with at most five fraction digits and no trailing zeros ("51.50737", "-0.1").
std::string decimalText(double value) {
    char buffer[64];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 5);
    if (error != std::errc())
        return "";
    std::string text(buffer, end);
    if (text.find('.') != std::string::npos) {
        while (text.back() == '0')
            text.pop_back();
        if (text.back() == '.')
            text.pop_back();
    }
    if (text == "-0")
        text = "0";
    return text;
}

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
        const std::string lat = latitude && std::isfinite(*latitude) ? decimalText(*latitude) : "";
        const std::string lon = longitude && std::isfinite(*longitude) ? decimalText(*longitude) : "";
        if (!lat.empty() && !lon.empty())
            add("Location", lat + ", " + lon);
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
