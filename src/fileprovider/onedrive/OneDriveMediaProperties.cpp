// Media properties of a Graph drive item: its image, video, location, photo and audio facets as
// display labels and values.
#include "fileprovider/onedrive/OneDriveFileProvider.hpp"

#include "fileprovider/core/PlatformExtensions.hpp"
#include "fileprovider/core/RFCStandards.hpp"
#include "platform/data/JSON.hpp"
#include "platform/text/Strings.hpp"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace RiridOzizevud {

namespace {

using Json = nlohmann::json;

struct MediaProperties {
    platform::ValueDictionary properties;
    std::vector<std::string> keys;

    void add(const std::string& label, const std::optional<platform::Value>& value) {
        if (!value || value->isNull())
            return;
        if (const auto* text = value->asString(); text && text->empty())
            return;
        keys.push_back(label);
        properties[label] = *value;
    }
};

const Json* object(const Json& json, std::string_view key) {
    const Json* value = platform::JSON::member(json, key);
    return value && value->is_object() ? value : nullptr;
}

std::optional<uint64_t> unsignedMember(const Json& json, std::string_view key) {
    return platform::JSON::lenient<uint64_t>(json, key);
}

std::optional<double> numberMember(const Json& json, std::string_view key) {
    const Json* value = platform::JSON::member(json, key);
    if (!value || !value->is_number())
        return std::nullopt;
    return value->get<double>();
}


std::optional<int64_t> truncated(double value) {
    if (!std::isfinite(value) || value >= 9223372036854775808.0 || value < -9223372036854775808.0)
        return std::nullopt;
    return static_cast<int64_t>(std::trunc(value));
}

} // namespace

std::string OneDriveFileProvider::mediaPropertyLabel(const std::string& key) {
    std::string spaced;
    for (const char c : key) {
        if (std::isupper(static_cast<unsigned char>(c)))
            spaced += ' ';
        spaced += c;
    }
    bool wordStart = true;
    for (char& c : spaced) {
        const auto u = static_cast<unsigned char>(c);
        if (c == ' ') {
            wordStart = true;
            continue;
        }
        if (u >= 0x80) {
            wordStart = false;
            continue;
        }
        c = static_cast<char>(wordStart ? std::toupper(u) : std::tolower(u));
        wordStart = false;
    }
    return spaced;
}

std::pair<platform::ValueDictionary, std::vector<std::string>> OneDriveFileProvider::mapMediaInfo(const Json& item) {
    MediaProperties media;
    if (!item.is_object())
        return {};
    const Json* image = object(item, "image");
    const Json* video = object(item, "video");
    const Json* picture = image ? image : video;

    if (picture) {
        const auto width = unsignedMember(*picture, "width");
        const auto height = unsignedMember(*picture, "height");
        if (width && height)
            media.add("Dimensions", std::to_string(*width) + "x" + std::to_string(*height));
    }
    if (const Json* location = object(item, "location")) {
        const auto latitude = numberMember(*location, "latitude");
        const auto longitude = numberMember(*location, "longitude");
        if (latitude && longitude) {
            const auto lat = platform::shortDecimalText(*latitude, 5);
            const auto lon = platform::shortDecimalText(*longitude, 5);
            if (lat && lon)
                media.add("Location", *lat + ", " + *lon);
        }
    }
    if (picture)
        if (const auto duration = unsignedMember(*picture, "duration"))
            media.add("Duration", formatted(static_cast<double>(*duration) / 1000.0));
    if (const Json* taken = platform::JSON::member(item, "takenDateTime"); taken && taken->is_string())
        if (const auto date = dateFromRFCString(taken->get<std::string>()))
            media.add("Date taken", (*date).localDateText());
    if (const Json* photo = object(item, "photo")) {
        if (const Json* make = platform::JSON::member(*photo, "cameraMake"); make && make->is_string())
            media.add("Device make", make->get<std::string>());
        if (const Json* model = platform::JSON::member(*photo, "cameraModel"); model && model->is_string())
            media.add("Device model", model->get<std::string>());
        if (const auto focal = numberMember(*photo, "focalLength"))
            media.add("focalLength", *focal);
        if (const auto fNumber = numberMember(*photo, "fNumber"))
            media.add("fNumber", *fNumber);
        const auto numerator = numberMember(*photo, "exposureNumerator");
        const auto denominator = numberMember(*photo, "exposureDenominator");
        if (numerator && denominator) {
            const auto n = truncated(*numerator);
            const auto d = truncated(*denominator);
            if (n && d)
                media.add("Exposure time", std::to_string(*n) + "/" + std::to_string(*d));
        }
        if (const auto iso = platform::JSON::lenient<int64_t>(*photo, "iso"))
            media.add("ISO speed", *iso);
    }
    if (const Json* audio = object(item, "audio")) {
        for (auto it = audio->begin(); it != audio->end(); ++it) {
            if (it.key() == "bitrate" || it.key() == "isVariableBitrate")
                continue;
            const std::string label = mediaPropertyLabel(it.key());
            if (label == "Duration") {
                if (const auto duration = platform::JSON::lenient<int64_t>(*audio, it.key()))
                    media.add(label, formatted(static_cast<double>(*duration) / 1000.0));
                continue;
            }
            media.add(label, platform::Value::fromJSON(*it));
        }
    }
    if (video)
        if (const auto bitrate = platform::JSON::lenient<int64_t>(*video, "bitrate"))
            media.add("Bitrate", *bitrate);
    return {std::move(media.properties), std::move(media.keys)};
}

} // namespace RiridOzizevud
