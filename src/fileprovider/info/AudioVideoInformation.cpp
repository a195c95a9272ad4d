// Thumbnails and property lists of audio and video files: cover art, the frame at one third,
// common metadata, durations and bit rates.
#include "fileprovider/info/InformationGenerators.hpp"

#include "fileprovider/core/PlatformExtensions.hpp"
#include "platform/fs/FileManager.hpp"
#include "platform/media/ImageSource.hpp"
#include "platform/media/MediaAsset.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>

namespace RiridOzizevud::fileinfo {

std::shared_ptr<platform::Image> audioThumbnailOf(const URL& url, const std::optional<Size>& size) {
    const auto asset = platform::MediaAsset::make(url);
    if (!asset) return nullptr;
    for (const auto& item : asset->commonMetadata()) {
        if (item.commonKey != platform::MediaAsset::commonKeyArtwork || !item.dataValue) continue;
        const auto source = platform::ImageSource::make(*item.dataValue);
        if (!source) return nullptr;
        return Generator::imageSourceThumbnail(*source, size);
    }
    return nullptr;
}

std::shared_ptr<platform::Image> videoThumbnailOf(const URL& url, const std::optional<Size>& size) {
    const auto asset = platform::MediaAsset::make(url);
    if (!asset) return nullptr;
    const Size maximum = size.value_or(Size{});
    if (!std::isfinite(maximum.width) || !std::isfinite(maximum.height)) return nullptr;
    platform::MediaTime time = asset->duration();
    time.value /= 3;
    return asset->copyImage(time, maximum, true);
}

namespace {

// "albumName" → "Album Name": a space between a lower-case and an upper-case letter, then every
// word capitalised.
std::string labelOf(const std::string& key) {
    std::string spaced;
    for (std::size_t i = 0; i < key.size(); ++i) {
        spaced += key[i];
        if (i + 1 < key.size() && std::islower(static_cast<unsigned char>(key[i])) &&
            std::isupper(static_cast<unsigned char>(key[i + 1])))
            spaced += ' ';
    }
    bool wordStart = true;
    for (auto& c : spaced) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isspace(u)) { wordStart = true; continue; }
        c = static_cast<char>(wordStart ? std::toupper(u) : std::tolower(u));
        wordStart = false;
    }
    return spaced;
}

// One number as a scanner reads it: spaces skipped, an optional sign, digits with an optional
// fraction and exponent.
std::optional<double> scanDouble(const std::string& s, std::size_t& at) {
    std::size_t i = at;
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    const std::size_t start = i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t digits = 0;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) { ++i; ++digits; }
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) { ++i; ++digits; }
    }
    if (digits == 0) return std::nullopt;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        std::size_t j = i + 1;
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
        if (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j]))) {
            while (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j]))) ++j;
            i = j;
        }
    }
    const double d = std::strtod(s.substr(start, i - start).c_str(), nullptr);
    if (!std::isfinite(d)) return std::nullopt;
    at = i;
    return d;
}

std::optional<std::string> locationText(const std::string& text) {
    std::size_t at = 0;
    const auto latitude = scanDouble(text, at);
    if (!latitude) return std::nullopt;
    const auto longitude = scanDouble(text, at);
    if (!longitude) return std::nullopt;
    const auto altitude = scanDouble(text, at);
    std::string out = decimalText(*latitude, 2) + "°, " + decimalText(*longitude, 2) + "°";
    if (altitude) out += ", " + decimalText(*altitude, 0) + "m";
    return out;
}

} // namespace

Generator::Properties audioPropertiesOf(const URL& url) {
    Generator::Properties p;
    if (!url.isFileURL()) return p;
    try {
        if (!platform::FileManager::checkResourceIsReachable(url)) return p;
    } catch (const platform::Exception&) {
        return p;
    }
    const auto asset = platform::MediaAsset::make(url);
    if (!asset) return p;
    for (const auto& item : asset->commonMetadata()) {
        if (!item.commonKey) continue;
        std::optional<Value> value;
        const std::string* text = item.value.asString();
        if (*item.commonKey == platform::MediaAsset::commonKeyLocation && text) {
            if (auto location = locationText(*text)) value = Value(*location);
        }
        if (!value) {
            if (item.value.asDate() || item.value.asNumber() || text) value = item.value;
        }
        addIfPresent(p, labelOf(*item.commonKey), std::move(value));
    }
    if (const auto player = asset->audioPlayer()) {
        addIfPresent(p, "Duration", Value(formatted(player->duration)));
        if (player->sampleRate) addIfPresent(p, "Bitrate", Value(*player->sampleRate));
    }
    return p;
}

Generator::Properties videoPropertiesOf(const URL& url) {
    Generator::Properties p;
    if (auto audio = audioPropertiesGenerator()) {
        p = audio(url);
        p.prop.erase("Duration");
        if (auto it = std::find(p.keys.begin(), p.keys.end(), "Duration"); it != p.keys.end()) p.keys.erase(it);
    }
    const auto asset = url.isFileURL() ? platform::MediaAsset::make(url) : nullptr;
    using Type = platform::MediaAsset::MediaType;
    if (asset) {
        const auto video = asset->tracks(Type::video);
        if (!video.empty()) {
            const auto w = truncated(video.front().naturalSize.width), h = truncated(video.front().naturalSize.height);
            if (w && h) addIfPresent(p, "Dimensions", Value(std::to_string(*w) + "x" + std::to_string(*h)));
            // Whole seconds of each track, summed without overflow: a file may claim any length,
            // and the clock text shows what it cannot count as "0:00".
            double seconds = 0;
            double rate = 0;
            for (const auto& track : video) {
                if (track.timeRangeDuration.timescale > 0)
                    seconds += static_cast<double>(track.timeRangeDuration.value / track.timeRangeDuration.timescale);
                rate += track.estimatedDataRate;
            }
            addIfPresent(p, "Duration", Value(formatted(seconds)));
            addIfPresent(p, "Video Bitrate", Value(kbps(rate)));
        }
    }
    double audioRate = 0;
    if (asset)
        for (const auto& track : asset->tracks(Type::audio)) audioRate += track.estimatedDataRate;
    addIfPresent(p, "Audio Bitrate", Value(kbps(audioRate)));
    return p;
}

} // namespace RiridOzizevud::fileinfo
